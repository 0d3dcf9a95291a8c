#include "engine/records/recovery.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <map>
#include <set>

#include "camera/camera_pool.h"
#include "camera/camera_source.h"
#include "engine/base/record_file.h"
#include "engine/printing/print_record.h"
#include "engine/records/tag_batch.h"
#include "support/file_ops.h"
#include "support/path_util.h"

namespace brisko {

int RecoverAll(const std::string& tempFolder, const MoveRecovery& how, const CameraRecovery* cameras,
               const PrintRecovery* prints) {
  const std::string folder = WithTrailingSeparator(tempFolder);
  // A record deleted by hand (its card never came back) holds its copies no longer.
  std::vector<std::string> present;
  for (const char* suffix : {kMoveRecordSuffix, kTagBatchSuffix, kCameraMoveRecordSuffix}) {
    for (std::string& path : ListRecordFiles(folder, suffix)) present.push_back(std::move(path));
  }
  ReleaseHeldMissing(folder, present);
  int placed = RecoverMoves(folder, how);
  placed += RecoverTagBatches(folder, how);
  placed += RecoverCameraMoves(folder, how, cameras ? *cameras : CameraRecovery{});
  if (prints) placed += RecoverPrintRecords(folder, *prints);
  return placed;
}

namespace {

// What one record file names: the files that may be the only copy of a photo while it is there
// (temporaries, downloads, the photo itself), and the targets its copies are placed at.
struct RecordNames {
  struct stat seen {};
  std::vector<std::string> named;
  std::vector<std::string> targets;
  // The photos still at their sources while their moves wait: another pass must not take one
  // up again (its record finishes it), unless another file took its name.
  std::vector<std::pair<std::string, FileIdentity>> sources;
};

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
         a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

void ReadNames(const std::string& path, RecordNames& out) {
  out.named.clear();
  out.targets.clear();
  out.sources.clear();
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return;
  std::string text;
  const bool read = ::fstat(fd, &out.seen) == 0 && ReadBounded(fd, text, kMaxMoveBatchRecordBytes);
  ::close(fd);
  if (!read) return;
  auto batch = [&out](const MoveBatchRecord& r) {
    for (const MoveBatchRecord::Entry& e : r.entries) {
      out.named.push_back(e.temp);
      out.targets.push_back(e.target);
      if (e.sourceIdentity.inode != 0) out.sources.emplace_back(e.source, e.sourceIdentity);
    }
  };
  MoveRecord single;
  MoveBatchRecord moves;
  CameraMoveRecord camera;
  if (path.ends_with(kMoveRecordSuffix)) {
    if (ParseMoveRecord(text, single)) {
      out.named = {single.photo, single.copy, single.scratch};
      if (single.step == MoveStep::Placing) out.targets.push_back(single.target);
      if (single.step == MoveStep::Copying && single.photoIdentity.inode != 0)
        out.sources.emplace_back(single.photo, single.photoIdentity);
    } else if (ParseMoveBatchRecord(text, moves)) {
      batch(moves);
    }
  } else if (path.ends_with(kTagBatchSuffix)) {
    if (ParseTagBatchRecord(text, moves)) batch(moves);
  } else if (ParseCameraMoveRecord(text, camera)) {
    for (const CameraMoveRecord::Entry& e : camera.entries) {
      out.named.push_back(e.temp);
      out.targets.push_back(e.target);
    }
  }
}

// The records of one temp folder as last read: a record is read again only when it changed
// (records are renamed into place, so a new one is a new inode), the folder listed again only
// when it changed, so a pass costs a stat of the folder.
class RecordView {
 public:
  // Brings the view up to date with `folder` (with its trailing separator).
  void Refresh(const std::string& folder) {
    struct stat now {};
    if (::stat(folder.c_str(), &now) != 0) {
      m_records.clear();
      m_folder.clear();
      m_targets.clear();
      return;
    }
    // A change within the folder's clock tick after the last listing would not show in its
    // time: a folder changed lately is listed again.
    const bool recent = ::time(nullptr) - now.st_mtim.tv_sec < 3;
    if (folder == m_folder && SameFile(now, m_seen) && !recent) return;
    m_folder = folder;
    m_seen = now;
    std::map<std::string, RecordNames> fresh;
    for (const char* suffix : {kMoveRecordSuffix, kTagBatchSuffix, kCameraMoveRecordSuffix}) {
      for (const std::string& path : ListRecordFiles(folder, suffix)) {
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0) continue;
        auto known = m_records.find(path);
        if (known != m_records.end() && SameFile(known->second.seen, st)) {
          fresh[path] = std::move(known->second);
        } else {
          ReadNames(path, fresh[path]);
        }
      }
    }
    m_records = std::move(fresh);
    m_targets.clear();
    m_keys.clear();
    m_sources.clear();
    for (const auto& [path, names] : m_records) {
      m_targets.insert(names.targets.begin(), names.targets.end());
      m_sources.insert(names.sources.begin(), names.sources.end());
    }
    for (const std::string& target : m_targets) {
      HeldKey key;
      if (HeldKeyOf(target, key)) m_keys.push_back(std::move(key));
    }
  }
  std::set<std::string> Named() const {
    std::set<std::string> named;
    for (const auto& [path, names] : m_records) named.insert(names.named.begin(), names.named.end());
    named.erase(std::string());
    return named;
  }
  const std::set<std::string>& Targets() const { return m_targets; }
  const std::multimap<std::string, FileIdentity>& Sources() const { return m_sources; }
  const std::vector<HeldKey>& Keys() const { return m_keys; }

 private:
  std::string m_folder;
  struct stat m_seen {};
  std::map<std::string, RecordNames> m_records;
  std::set<std::string> m_targets;
  std::vector<HeldKey> m_keys;  // the targets' files, or their real paths before they are placed
  std::multimap<std::string, FileIdentity> m_sources;
};

RecordView& View() {
  static RecordView view;
  return view;
}

// Every file the records in `folder` name: while a record is there, what it names may be the
// only copy of a photo.
std::set<std::string> NamedByRecords(const std::string& folder) {
  View().Refresh(folder);
  return View().Named();
}

bool Alive(pid_t pid) {
  return pid == ::getpid() || ::kill(pid, 0) == 0 || errno == EPERM;
}

bool IsRotatorScratch(std::string_view name) {
  return name.rfind("ExifRotatorTemp_", 0) == 0 && name.size() > 9 &&
         name.substr(name.size() - 9) == ".jpg_temp";
}

// The rotator holds a lock on its scratch while it works with it, as every writer of a hidden
// temporary does from its creation to its rename; a file nobody holds is a dead writer's.
bool NoWriterHolds(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return false;
  const bool free = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
  ::close(fd);
  return free;
}

}  // namespace

int SweepDeadLeftovers(const std::string& tempFolder, const std::string& folder, bool below) {
  const std::set<std::string> named = NamedByRecords(WithTrailingSeparator(tempFolder));
  constexpr size_t kMaxEntries = 100000;
  constexpr int kMaxDepth = 8;
  size_t seen = 0;
  int removed = 0;
  std::vector<std::pair<std::string, int>> folders{{WithTrailingSeparator(folder), 0}};
  while (!folders.empty() && seen < kMaxEntries) {
    const auto [at, depth] = folders.back();
    folders.pop_back();
    DIR* dir = ::opendir(at.c_str());
    if (!dir) continue;
    std::vector<std::string> doomed;
    while (const dirent* entry = ::readdir(dir)) {
      if (++seen > kMaxEntries) break;
      const std::string_view name(entry->d_name);
      if (name == "." || name == "..") continue;
      const std::string path = at + entry->d_name;
      if (entry->d_type == DT_DIR) {
        if (below && depth < kMaxDepth) folders.emplace_back(path + "/", depth + 1);
        continue;
      }
      if (entry->d_type != DT_REG && entry->d_type != DT_UNKNOWN) continue;
      if (named.count(path)) continue;
      const pid_t writer = HiddenTempWriter(name);
      // Half-written temporaries without a process id in their name (records, rewritten photos)
      // are judged by their lock, in the temp folder only: its files are all this program's.
      const bool unnamed = !below && writer == 0 && IsFileLayerTempName(name);
      if ((writer > 0 && !Alive(writer)) || ((IsRotatorScratch(name) || unnamed) && NoWriterHolds(path)))
        doomed.push_back(path);
    }
    ::closedir(dir);
    for (const std::string& path : doomed) {
      struct stat st {};
      if (::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::unlink(path.c_str()) == 0) ++removed;
    }
  }
  return removed;
}

bool AnyCopyHeld(const std::string& tempFolder) {
  View().Refresh(WithTrailingSeparator(tempFolder));
  return AnyMoveWaiting() || !View().Targets().empty() || !View().Sources().empty();
}

bool CopyHeld(const std::string& path) {
  if (HeldForWaitingMove(path) || View().Targets().count(path) != 0) return true;
  // A source whose recorded move waits (its record claimed by another station that moment, or
  // its card back only now): left to that record, or the photo would be moved twice.
  const auto [from, to] = View().Sources().equal_range(path);
  for (auto it = from; it != to; ++it)
    if (StillTheRecordedFile(path, it->second)) return true;
  HeldKey key;
  return !View().Keys().empty() && HeldKeyOf(path, key) && KeyAmong(key, View().Keys());
}

CameraRecovery CameraRecoveryOf(RunHost& host) {
  StationValues& values = host.Values();
  if (!values.m_cameras) values.m_cameras = std::make_shared<CameraPool>();
  std::shared_ptr<CameraPool> pool = values.m_cameras;
  CameraRecovery how;
  how.pump = [&host] { host.DispatchPendingEvents(); };
  how.connect = [pool, &host, pump = how.pump](const std::string& text) -> CameraSession* {
    const std::optional<CameraSource> source = ParseCameraSource(text);
    if (!source) return nullptr;
    return pool->Connect(*source, pump, [&host](const std::string& line) { host.AddToLog(line); });
  };
  how.present = [pool](const std::string& text) {
    const std::optional<CameraSource> source = ParseCameraSource(text);
    return source && pool->Present(*source);
  };
  return how;
}

}  // namespace brisko
