#include "engine/recovery.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <set>

#include "camera/camera_pool.h"
#include "camera/camera_source.h"
#include "engine/print_record.h"
#include "engine/record_file.h"
#include "engine/tag_batch.h"
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

// Every file the records in `folder` name: while a record is there, what it names may be the
// only copy of a photo.
std::set<std::string> NamedByRecords(const std::string& folder) {
  std::set<std::string> named;
  auto read = [](const std::string& path, std::string& text) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return false;
    const bool ok = ReadBounded(fd, text, kMaxMoveBatchRecordBytes);
    ::close(fd);
    return ok;
  };
  std::string text;
  for (const std::string& path : ListRecordFiles(folder, kMoveRecordSuffix)) {
    MoveRecord single;
    MoveBatchRecord batch;
    if (!read(path, text)) continue;
    if (ParseMoveRecord(text, single)) {
      named.insert({single.photo, single.copy, single.scratch});
    } else if (ParseMoveBatchRecord(text, batch)) {
      for (const MoveBatchRecord::Entry& e : batch.entries) named.insert(e.temp);
    }
  }
  for (const std::string& path : ListRecordFiles(folder, kTagBatchSuffix)) {
    MoveBatchRecord batch;
    if (!read(path, text) || !ParseTagBatchRecord(text, batch)) continue;
    for (const MoveBatchRecord::Entry& e : batch.entries) named.insert(e.temp);
  }
  for (const std::string& path : ListRecordFiles(folder, kCameraMoveRecordSuffix)) {
    CameraMoveRecord camera;
    if (!read(path, text) || !ParseCameraMoveRecord(text, camera)) continue;
    for (const CameraMoveRecord::Entry& e : camera.entries) named.insert(e.temp);
  }
  return named;
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
