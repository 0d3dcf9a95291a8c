#include "camera/camera_pool.h"

#include <sys/stat.h>

#include <chrono>
#include <functional>

#include "support/volume_identity.h"

namespace brisko {

namespace {

// Events taken in one pass; the rest wait for the next.
constexpr int kMaxEventsPerPass = 500;

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

bool IsFolder(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool Exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

std::string Join(const std::string& folder, const std::string& name) {
  return folder == "/" ? "/" + name : folder + "/" + name;
}

std::string Named(const CameraInfo& camera) {
  return camera.model + " on " + camera.port;
}

}  // namespace

std::string CameraRefusedLine(const CameraInfo& camera, const CameraStatus& status) {
  if (status.kind == CameraStatus::Kind::Busy) {
    return "Camera " + Named(camera) + " cannot be opened: another program holds it (" + status.text +
           "); the desktop mounts cameras itself: unmount the camera in the file manager, or run "
           "gio mount -u gphoto2://[" +
           camera.port + "]/ (gio mount -l shows its address)";
  }
  return "Camera " + Named(camera) + " cannot be opened: " + status.text;
}

CameraPool::CameraPool(std::shared_ptr<CameraBackend> backend, CameraLimits limits)
    : m_backend(backend ? std::move(backend) : MakeGphotoBackend()), m_limits(limits) {}

CameraPool::~CameraPool() = default;

CameraListing& CameraPool::Listing(const CameraSource& source) {
  return SlotOf(source).listing;
}

void CameraPool::Lost(const CameraSource& source, const Log& log) {
  Slot& slot = SlotOf(source);
  if (!slot.session) return;
  if (log) log("Camera disconnected: " + Named(slot.session->Info()));
  slot.session.reset();
  slot.listing = {};
}

CameraSession* CameraPool::Connect(const CameraSource& source, const CameraPump& pump, const Log& log) {
  Slot& slot = SlotOf(source);
  const bool disk = source.kind == CameraSource::Kind::Disk;
  struct stat folder {};
  const bool diskGone =
      disk && (::stat(source.port.substr(5).c_str(), &folder) != 0 || !S_ISDIR(folder.st_mode));
  const uint64_t diskVolume = disk && !diskGone ? VolumeIdOf(source.port.substr(5)) : 0;
  const bool diskSwapped = disk && !diskGone && slot.session &&
                           (uint64_t(folder.st_dev) != slot.diskDevice || diskVolume != slot.diskVolume);
  if (slot.session && (slot.session->Dead() || diskGone || diskSwapped)) Lost(source, log);
  if (slot.session) return slot.session.get();
  if (diskGone) {
    // A folder that is not there (or is a file) would otherwise be silence for ever.
    const std::string line = "Camera not found: " + source.Text() +
                             (Exists(source.port.substr(5)) ? " (not a folder)" : " (no such folder)");
    if (line != slot.refusedSaid && log) log(line);
    slot.refusedSaid = line;
    return nullptr;
  }
  const int64_t now = NowMs();
  if (slot.lastLookMs != 0 && now - slot.lastLookMs < m_limits.lookEveryMs) return nullptr;
  slot.lastLookMs = now;

  CameraInfo found;
  if (source.kind == CameraSource::Kind::Disk) {
    found = {"Directory Browse", source.port};
  } else {
    std::vector<CameraInfo> cameras;
    if (!CameraSession::Detect(m_backend, m_limits, cameras, pump).Ok()) return nullptr;
    const CameraInfo* match = nullptr;
    for (const CameraInfo& camera : cameras) {
      if (source.kind == CameraSource::Kind::First || camera.port == source.port) {
        match = &camera;
        break;
      }
    }
    if (!match) return nullptr;
    found = *match;
  }
  auto session = std::make_unique<CameraSession>(m_backend, found, m_limits);
  const CameraStatus status = session->Open(pump);
  if (!status.Ok()) {
    const std::string line = CameraRefusedLine(found, status);
    if (line != slot.refusedSaid && log) log(line);
    slot.refusedSaid = line;
    return nullptr;
  }
  slot.refusedSaid.clear();
  slot.lastLookMs = 0;
  slot.listing = {};
  if (log) log("Camera connected: " + Named(found));
  slot.session = std::move(session);
  slot.diskDevice = disk ? uint64_t(folder.st_dev) : 0;
  slot.diskVolume = diskVolume;
  return slot.session.get();
}

CameraStatus CameraPool::Refresh(const CameraSource& source, CameraSession& session, const CameraPump& pump) {
  CameraListing& listing = SlotOf(source).listing;
  if (listing.valid && session.HasEvents()) {
    for (int i = 0; i < kMaxEventsPerPass; ++i) {
      CameraEvent event;
      CameraStatus status = session.WaitForEvent(10, event, pump);
      if (status.kind == CameraStatus::Kind::Unsupported) break;
      if (!status.Ok()) return status;
      if (event.kind == CameraEvent::Kind::None) return {};
      if (event.kind != CameraEvent::Kind::FileAdded || listing.files.size() >= kMaxCameraEntries) continue;
      CameraListing::File file{event.folder, event.name, {}};
      status = session.Stat(file.folder, file.name, file.stat, pump);
      if (status.kind == CameraStatus::Kind::NotFound) continue;
      if (!status.Ok()) return status;
      bool known = false;
      for (const CameraListing::File& f : listing.files)
        known = known || (f.folder == file.folder && f.name == file.name);
      if (!known) listing.files.push_back(std::move(file));
      bool folderKnown = false;
      for (const std::string& f : listing.folders) folderKnown = folderKnown || f == event.folder;
      if (!folderKnown) listing.folders.push_back(event.folder);
    }
    return {};
  }
  CameraStatus forgot = session.ForgetCache(pump);
  if (!forgot.Ok()) return forgot;
  CameraListing fresh;
  size_t entries = 0;
  std::function<CameraStatus(const std::string&, int)> walk = [&](const std::string& folder,
                                                                  int depth) -> CameraStatus {
    fresh.folders.push_back(folder);
    std::vector<std::string> files, folders;
    CameraStatus status = session.ListFolder(folder, files, folders, pump);
    if (!status.Ok()) return status;
    for (const std::string& name : files) {
      if (++entries > kMaxCameraEntries) return {};
      CameraListing::File file{folder, name, {}};
      status = session.Stat(folder, name, file.stat, pump);
      if (status.kind == CameraStatus::Kind::NotFound) continue;  // taken meanwhile
      if (!status.Ok()) return status;
      fresh.files.push_back(std::move(file));
    }
    if (depth >= kMaxCameraFolderDepth) return {};
    for (const std::string& name : folders) {
      if (++entries > kMaxCameraEntries) return {};
      status = walk(Join(folder, name), depth + 1);
      if (!status.Ok()) return status;
    }
    return {};
  };
  CameraStatus status = walk("/", 0);
  if (!status.Ok()) return status;
  // Events that came while the tree was read are in the listing already.
  if (session.HasEvents()) {
    for (int i = 0; i < kMaxEventsPerPass; ++i) {
      CameraEvent event;
      if (!session.WaitForEvent(0, event, pump).Ok() || event.kind == CameraEvent::Kind::None) break;
    }
  }
  fresh.valid = true;
  listing = std::move(fresh);
  return {};
}

bool CameraPool::Present(const CameraSource& source) {
  Slot& slot = SlotOf(source);
  if (!slot.session || slot.session->Dead()) return false;
  return source.kind != CameraSource::Kind::Disk || IsFolder(source.port.substr(5));
}

CameraStatus CameraPool::Detect(std::vector<CameraInfo>& cameras, const CameraPump& pump) {
  return CameraSession::Detect(m_backend, m_limits, cameras, pump);
}

}  // namespace brisko
