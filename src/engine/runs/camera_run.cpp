// The run of an action whose source is a camera: the camera's files are listed (or, for a
// camera that announces new shots, taken from its events) and selected as a card's would be;
// camera_take.cpp then takes them. The batch's ID.TXT is read from the camera before the photos
// and written back to it after them.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>
#include <utility>

#include "camera/camera_pool.h"
#include "camera/camera_source.h"
#include "engine/base/run_support.h"
#include "engine/records/camera_move_record.h"
#include "engine/runs/action_run.h"
#include "engine/runs/camera_take.h"
#include "engine/shots/shot_names.h"
#include "engine/shots/shots.h"
#include "scheduler/id_txt.h"
#include "support/file_ops.h"
#include "support/file_spec_find.h"
#include "support/path_util.h"
#include "support/text.h"

namespace brisko {

using namespace camera_pass;

namespace {

// An ID.TXT is a few lines; anything larger is not read from a camera.
constexpr uint64_t kMaxIdTxtBytes = 64 * 1024;
// How long a lone file of a shot waits for its partner, from the pass that first lists it.
constexpr int64_t kCameraPartnerWaitSeconds = 5;

}  // namespace

// The batch's ID.TXT: where it is on the camera, and its copy in the temp folder that the pass
// reads and writes.
struct ActionRun::CameraIdTxt {
  // As the selection listed it; the listing changes once photos are taken.
  const CameraListing::File* onCamera = nullptr;
  bool had = false;  // the camera held one when the pass began
  std::unique_ptr<CIdTxt> record;
  std::string local;
  std::string folder = "/";
  std::string name = kIdTxtFileName;
  bool keepLocal = false;
};

bool ActionRun::RunCameraBody() {
  const std::string description = GetDescription();
  const std::optional<CameraSource> source = CameraSourceToRun();
  if (!source) return false;
  StationValues& values = m_host->Values();
  if (!values.m_cameras) values.m_cameras = std::make_shared<CameraPool>();
  // Calls into the camera dispatch events while they wait; no action starts meanwhile.
  ++values.g_nShellOperationDepth;
  struct Depth {
    StationValues& values;
    ~Depth() { --values.g_nShellOperationDepth; }
  } depth{values};
  CameraPool& pool = *values.m_cameras;
  CameraSession* session = pool.Connect(
      *source, [this] { m_host->DispatchPendingEvents(); },
      [this](const std::string& line) { m_host->AddToLog(line); });
  if (!session) {
    // An absent camera is an absent card: nothing to do, nothing to say.
    m_host->SetProgress(0, 100, description, "No action required");
    return true;
  }
  const std::set<std::string> unsettled = RecallCameraPhotos(*source);
  if (!ListCamera(*source, *session)) {
    m_host->SetProgress(0, 100, description, "No action required");
    return true;
  }
  CameraIdTxt idTxt;
  std::vector<CameraFile> files = SelectCameraFiles(*source, unsettled, idTxt);
  if (files.empty()) {
    m_host->SetProgress(0, 100, description, "No action required");
    return true;
  }
  struct ClearRecord {
    CIdTxt*& ref;
    ~ClearRecord() { ref = nullptr; }
  } clearRecord{m_pIdTxt};
  ReadCameraIdTxt(*session, files, idTxt);

  if (m_settings.m_iType == kMoveFilesFromMedia) {
    char line[64];
    std::snprintf(line, sizeof line, "Moving %d file(s) from media", static_cast<int>(files.size()));
    LogMessage(line);
  }
  const bool result = CameraCopyOrMove(*source, session, files);

  values.m_iBatchCounter += 1;
  WriteCameraIdTxt(*source, session, idTxt);
  if (!idTxt.keepLocal) ::unlink(idTxt.local.c_str());
  m_host->SetProgress(0, 100, description, "Completed action");
  return result;
}

// The camera the source names, where the action's type takes photos from one; a failure is
// logged and ends the pass.
std::optional<CameraSource> ActionRun::CameraSourceToRun() {
  std::string why;
  const std::optional<CameraSource> source = ParseCameraSource(m_settings.m_strSourceFolder, &why);
  if (!source || !(m_settings.m_iType == kCopyFiles || m_settings.m_iType == kMoveFiles ||
                   m_settings.m_iType == kMoveFilesFromMedia)) {
    LogMessage("FAILED: Camera source " + m_settings.m_strSourceFolder + ": " +
               (source
                    ? std::string("only Copy Files, Move Files and Move Files from Media take photos from a "
                                  "camera")
                    : why));
    m_host->SetProgress(0, 100, GetDescription(), "Completed action");
    return std::nullopt;
  }
  return source;
}

// What earlier passes left: the copies known for these settings, the photos a camera refused to
// delete, and (returned) the photos whose move a record holds unfinished.
std::set<std::string> ActionRun::RecallCameraPhotos(const CameraSource& source) {
  const std::string settings = SelectionSettings();
  if (settings != m_memory.cameraSettings) {
    m_memory.cameraCopies.clear();
    m_memory.cameraLeft.clear();
    m_memory.cameraSettings = settings;
  }
  const bool move = m_settings.m_iType != kCopyFiles;
  // What a camera refusing deletes kept is never taken again, after a restart too.
  auto keyOf = [](const CameraMoveRecord::Entry& e) {
    return CameraPath(e.folder, e.name) + "\t" + std::to_string(e.size) + "\t" + std::to_string(e.modTime);
  };
  std::set<std::string> unsettled;
  if (move) {
    for (const CameraMoveRecord::Entry& e :
         ReadKeptOnCamera(GetTempFolder(), m_settings.m_strName, source.Text()))
      m_memory.cameraLeft.insert(keyOf(e));
    for (const CameraMoveRecord::Entry& e :
         ReadUnfinishedOnCamera(GetTempFolder(), m_settings.m_strName, source.Text()))
      unsettled.insert(keyOf(e));
  }
  return unsettled;
}

// The camera's files as they are now; false (the camera said lost) when it cannot be read.
bool ActionRun::ListCamera(const CameraSource& source, CameraSession& session) {
  const std::string description = GetDescription();
  CameraPool& pool = *m_host->Values().m_cameras;
  if (session.Dead()) {
    pool.Lost(source, [this](const std::string& line) { m_host->AddToLog(line); });
    return false;
  }
  m_host->SetProgress(0, 1, description, "Creating file list");
  const CameraStatus listed = pool.Refresh(source, session, [this] { m_host->DispatchPendingEvents(); });
  if (!listed.Ok()) {
    pool.Lost(source, [&](const std::string& line) { m_host->AddToLog(line + " (" + listed.text + ")"); });
    return false;
  }
  return true;
}

// Selection: the file specification, the age from the camera's time, the newest left behind.
// Notes the camera's ID.TXT in `idTxt` on the way.
std::vector<ActionRun::CameraFile> ActionRun::SelectCameraFiles(const CameraSource& source,
                                                                const std::set<std::string>& unsettled,
                                                                CameraIdTxt& idTxt) {
  CameraPool& pool = *m_host->Values().m_cameras;
  FileSpecFilter filter;
  std::string patternError;
  filter.SetErrorSink(&patternError, nullptr);
  filter.SetSpecs(m_settings.m_strFileSpec, m_settings.m_strFileSpecExclude,
                  m_settings.m_bUseRegexFilespec != 0);
  const bool subfolders = m_settings.m_iType == kMoveFilesFromMedia || m_settings.m_bIncludeSubFolders;
  const int64_t now = m_host->Now();
  const int64_t minimumAge = MinimumFileAge();
  const std::string prefix = source.Text();
  std::vector<CameraFile> present;  // what the selection may take
  std::vector<Selected> selected;
  size_t heldBack = 0;
  const CameraListing::File*& idTxtFile = idTxt.onCamera;
  for (const CameraListing::File& f : pool.Listing(source).files) {
    const bool top = f.folder == "/" || f.folder.find('/', 1) == std::string::npos;
    if (EqualsNoCase(f.name, kIdTxtFileName) && top && (!idTxtFile || f.folder == "/")) idTxtFile = &f;
    if (!subfolders && f.folder != "/") continue;
    // A folder named *.processing is passed over by its own name, as on a card.
    if (IsProcessingFolder(f.folder) || IsFileLayerTempName(f.name)) continue;
    if (m_memory.cameraLeft.count(CameraKey(f)) || unsettled.count(CameraKey(f))) continue;
    const std::string path = prefix + CameraPath(f.folder, f.name);
    // What a shot's files may bring along: its sidecars, whatever the file pattern names.
    present.push_back({f, path});
    if (!filter.Passes(f.name, false)) continue;
    if (std::max<int64_t>(0, now - f.stat.modTime) < minimumAge) {
      LogFileNote(1, "File not old enough", path);
      ++heldBack;
      continue;
    }
    // A copy already up to date counts for "leave at least" but is not handed on; a pass with
    // nothing else to do leaves the camera (and its ID.TXT) alone.
    bool settled = false;
    if (m_settings.m_iType == kCopyFiles) {
      auto upToDate = [&](const std::string& target) {
        FileInfo status;
        return GetFileStatus(target, status) && f.stat.modTime <= status.modTime;
      };
      auto known = m_memory.cameraCopies.find(CameraKey(f));
      settled =
          (known != m_memory.cameraCopies.end() && upToDate(known->second)) ||
          (!m_settings.m_bCreateNewSubfolder &&
           upToDate(WithTrailingSeparator(m_settings.m_strDestFolder) + KeptFolder(f, subfolders) + f.name));
    }
    selected.push_back({path, f.stat.modTime, settled});
  }
  if (!patternError.empty()) LogMessage(patternError);
  if (KeepsShots()) {
    KeepCameraShots(source, present, selected, heldBack);
  } else {
    LeaveNewestFiles(selected, heldBack);
  }
  std::vector<CameraFile> files;
  std::map<std::string, CameraFile*> byPath;
  for (CameraFile& c : present) byPath[c.listed] = &c;
  for (const Selected& s : selected) {
    auto it = byPath.find(s.path);
    if (s.settled || it == byPath.end() || !it->second) continue;
    files.push_back(std::move(*it->second));
    it->second = nullptr;  // once, though a shot may name it again
  }
  return files;
}

// The batch's ID.TXT, read from the camera's storage root into the temp folder.
void ActionRun::ReadCameraIdTxt(CameraSession& session, const std::vector<CameraFile>& files,
                                CameraIdTxt& idTxt) {
  auto pump = [this] { m_host->DispatchPendingEvents(); };
  idTxt.record = std::make_unique<CIdTxt>(&m_host->Store());
  idTxt.local = HiddenDownloadName(GetTempFolder());
  const CameraListing::File* idTxtFile = idTxt.onCamera;
  bool haveIdTxt = false;
  idTxt.had = idTxtFile != nullptr;
  if (idTxtFile && idTxtFile->stat.size <= kMaxIdTxtBytes) {
    idTxt.folder = idTxtFile->folder;
    idTxt.name = idTxtFile->name;
    const int fd = ::open(idTxt.local.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) {
      const CameraStatus got = session.Download(idTxt.folder, idTxt.name, fd, pump);
      ::close(fd);
      haveIdTxt = got.Ok() && idTxt.record->ReadFromFolders({idTxt.local}, [&](const std::string&) {
        return std::optional<std::string>(idTxt.local);
      });
    }
  } else if (!files.empty()) {
    // A camera keeps its files below a storage folder ("/store_00010001"); a new ID.TXT goes there.
    const std::string& first = files.front().file.folder;
    const size_t slash = first.find('/', 1);
    if (first.rfind("/store_", 0) == 0) idTxt.folder = first.substr(0, slash);
  }
  if (!haveIdTxt) {
    if (m_settings.m_iType == kMoveFilesFromMedia && m_settings.m_bCreateIDTxtFile) {
      idTxt.record->m_iBatchID = idTxt.record->NewBatchId();
      haveIdTxt = true;
    } else {
      idTxt.record.reset();
    }
  }
  if (idTxt.record) idTxt.record->m_strFilePath = idTxt.local;
  m_pIdTxt = idTxt.record.get();
}

// Written after the photos, as on a card; a camera that takes no files is said once.
void ActionRun::WriteCameraIdTxt(const CameraSource& source, CameraSession* session, CameraIdTxt& idTxt) {
  if (!idTxt.record) return;
  if (idTxt.record->Write(idTxt.local, true)) {
    UploadCameraIdTxt(source, session, idTxt);
    if (m_settings.m_bDisplayIdTxtContents && m_host->EditIdTxt(*idTxt.record) &&
        idTxt.record->Write(idTxt.local, false))
      UploadCameraIdTxt(source, session, idTxt);
  }
  m_pIdTxt = nullptr;
  idTxt.record.reset();
}

void ActionRun::UploadCameraIdTxt(const CameraSource& source, CameraSession* session, CameraIdTxt& idTxt) {
  auto pump = [this] { m_host->DispatchPendingEvents(); };
  CameraPool& pool = *m_host->Values().m_cameras;
  std::string text;
  FILE* f = std::fopen(idTxt.local.c_str(), "rb");
  if (!f) return;
  char buffer[4096];
  size_t n = 0;
  while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0 && text.size() < kMaxIdTxtBytes)
    text.append(buffer, n);
  std::fclose(f);
  if (!session || session->Dead()) return;
  // The old one goes only on a camera that takes files; a camera may hold two files of one
  // name, so it cannot stay while the new one is written.
  CameraStatus put = CameraStatus::Make(CameraStatus::Kind::Unsupported, "the camera takes no files");
  if (session->CanUpload()) {
    session->Delete(idTxt.folder, idTxt.name, pump);
    put = session->Upload(idTxt.folder, idTxt.name, text, pump);
    if (!put.Ok() && !IsLoss(put)) put = session->Upload(idTxt.folder, idTxt.name, text, pump);
    if (put.Ok()) {
      // The listing learns the new file (its time and size) without reading the camera again.
      CameraListing::File written{idTxt.folder, idTxt.name, {}};
      if (session->Stat(idTxt.folder, idTxt.name, written.stat, pump).Ok()) {
        std::vector<CameraListing::File>& all = pool.Listing(source).files;
        bool replaced = false;
        for (CameraListing::File& f : all) {
          if (f.folder == idTxt.folder && f.name == idTxt.name) {
            f = written;
            replaced = true;
          }
        }
        if (!replaced) all.push_back(written);
      }
    }
    if (!put.Ok() && idTxt.had) {
      // Its old text is gone from the camera: the record stays in the temp folder.
      idTxt.keepLocal = true;
      LogMessage("FAILED: Write ID.TXT to the camera (" + put.text + "); it is kept at " + idTxt.local);
      return;
    }
  }
  if (!put.Ok() && !m_memory.cameraIdTxtSaid) {
    LogMessage("ID.TXT not written to the camera (" + put.text + ")");
    m_memory.cameraIdTxtSaid = true;
  }
}

void ActionRun::KeepCameraShots(const CameraSource& source, const std::vector<CameraFile>& present,
                                std::vector<Selected>& selected, size_t& heldBack) {
  const int64_t now = m_host->Now();
  std::map<std::string, int64_t> seen;  // what the camera no longer holds is forgotten
  for (const CameraFile& c : present) {
    const std::string key = CameraKey(c.file);
    auto known = m_memory.cameraFirstSeen.find(key);
    seen[key] = known == m_memory.cameraFirstSeen.end() ? now : known->second;
  }
  m_memory.cameraFirstSeen = std::move(seen);
  const std::string prefix = source.Text();
  // "camera:disk:/cam/DCIM/100/" is the camera's "/DCIM/100".
  auto cameraFolder = [&prefix](const std::string& folder) {
    std::string at = folder.substr(std::min(prefix.size(), folder.size()));
    while (at.size() > 1 && at.back() == '/') at.pop_back();
    return at.empty() ? std::string("/") : at;
  };
  std::map<std::string, std::vector<const CameraListing::File*>> byFolder;
  std::map<std::pair<std::string, std::string>, const CameraListing::File*> byName;
  for (const CameraFile& c : present) {
    byFolder[c.file.folder].push_back(&c.file);
    byName[{c.file.folder, c.file.name}] = &c.file;
  }
  auto list = [&](const std::string& folder, std::vector<FileInfo>& entries) {
    for (const CameraListing::File* f : byFolder[cameraFolder(folder)]) {
      FileInfo e;
      e.name = f->name;
      e.path = folder + f->name;
      e.modTime = f->stat.modTime;
      e.size = f->stat.size;
      entries.push_back(std::move(e));
    }
    return true;
  };
  // A camera writes a shot's RAW and JPEG one after the other, a tethered one seconds apart: a
  // lone RAW or JPEG waits a moment for its partner (from the pass that first lists it, or from
  // its camera time), unless its shot has gone already (it then joins it by the names remembered).
  const ShotNames names(GetTempFolder());
  auto waits = [&](const std::string& folder, const Shot& shot) {
    if (shot.members.size() != 1 || shot.members[0].kind == ShotFileKind::Other) return false;
    auto found = byName.find({cameraFolder(folder), shot.members[0].name});
    if (found == byName.end()) return false;
    const CameraListing::File& f = *found->second;
    // Its camera's time counts too: a single pass (--run-once) lists every file for the first
    // time and would otherwise never take a lone one.
    if (now - m_memory.cameraFirstSeen[CameraKey(f)] >= kCameraPartnerWaitSeconds ||
        now - f.stat.modTime >= kCameraPartnerWaitSeconds)
      return false;
    std::string kind = SplitPath(f.name).extension;
    for (char& ch : kind) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    return names.Find(folder, shot.key, 0, {kind}, now) == nullptr;
  };
  KeepShotsInSelection(selected, heldBack, list, waits);
}

}  // namespace brisko
