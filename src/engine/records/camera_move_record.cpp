#include "engine/records/camera_move_record.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <optional>

#include "camera/camera_source.h"
#include "engine/base/record_file.h"
#include "engine/base/run_support.h"
#include "support/file_identity.h"
#include "support/file_ops.h"
#include "support/path_util.h"
#include "support/volume_identity.h"

namespace brisko {

namespace {

constexpr std::string_view kHeader = "BriskoCameraMove 1";
constexpr size_t kMaxEntries = 100000;

std::vector<std::string_view> Split(std::string_view line, char by) {
  std::vector<std::string_view> parts;
  size_t start = 0;
  for (;;) {
    const size_t at = line.find(by, start);
    parts.push_back(line.substr(start, at == std::string_view::npos ? std::string_view::npos : at - start));
    if (at == std::string_view::npos) return parts;
    start = at + 1;
  }
}

}  // namespace

std::string FormatCameraMoveRecord(const CameraMoveRecord& record) {
  std::string out(kHeader);
  out += "\naction\t" + EscapeRecordField(record.action) + "\ncamera\t" + EscapeRecordField(record.camera) +
         "\n";
  if (record.together) out += "shots\t1\n";
  if (record.volume != 0 || record.device != 0)
    out += "volume\t" + std::to_string(record.volume) + "\t" + std::to_string(record.device) + "\n";
  if (!record.serial.empty()) out += "serial\t" + EscapeRecordField(record.serial) + "\n";
  for (const CameraMoveRecord::Entry& e : record.entries) {
    out += "entry\t" + EscapeRecordField(e.folder) + "\t" + EscapeRecordField(e.name) + "\t" +
           std::to_string(e.size) + "\t" + std::to_string(e.modTime) + "\t" + EscapeRecordField(e.target) +
           "\t" + EscapeRecordField(e.temp) + "\t" + std::to_string(e.copyInode) + "\t" +
           std::to_string(e.copySize);
    // A checked copy's hash, in records since checks were made.
    if (e.hash.set) out += "\t" + e.hash.Text();
    out += "\n";
  }
  out += "end\n";
  return out;
}

bool ParseCameraMoveRecord(std::string_view text, CameraMoveRecord& record) {
  record = {};
  if (text.size() > kMaxCameraMoveRecordBytes) return false;
  bool action = false, camera = false;
  const bool lines = ForEachRecordLine(
      text, [](std::string_view l) { return l == kHeader; }, "end",
      [&](size_t, std::string_view line) {
        const std::vector<std::string_view> f = Split(line, '\t');
        if (f[0] == "action" && f.size() == 2 && !action) {
          action = UnescapeRecordField(f[1], record.action);
          return action;
        }
        if (f[0] == "camera" && f.size() == 2 && !camera) {
          camera = UnescapeRecordField(f[1], record.camera);
          return camera;
        }
        if (f[0] == "shots" && f.size() == 2 && f[1] == "1" && !record.together) {
          record.together = true;
          return true;
        }
        if (f[0] == "volume" && f.size() == 3 && record.volume == 0 && record.device == 0)
          return ParseRecordNumber(f[1], record.volume) && ParseRecordNumber(f[2], record.device) &&
                 (record.volume != 0 || record.device != 0);
        if (f[0] == "serial" && f.size() == 2 && record.serial.empty())
          return UnescapeRecordField(f[1], record.serial) && !record.serial.empty();
        if (f[0] != "entry" || (f.size() != 9 && f.size() != 10) || record.entries.size() >= kMaxEntries)
          return false;
        CameraMoveRecord::Entry e;
        if (!UnescapeRecordField(f[1], e.folder) || !UnescapeRecordField(f[2], e.name) ||
            !ParseRecordNumber(f[3], e.size) || !ParseRecordNumber(f[4], e.modTime) ||
            !UnescapeRecordField(f[5], e.target) || !UnescapeRecordField(f[6], e.temp) ||
            !ParseRecordNumber(f[7], e.copyInode) || !ParseRecordNumber(f[8], e.copySize) ||
            (f.size() == 10 && !ContentHash::Parse(f[9], e.hash)))
          return false;
        if (e.name.empty() || e.target.empty()) return false;
        record.entries.push_back(std::move(e));
        return true;
      });
  return lines && action && camera;
}

CameraMoveJournal::CameraMoveJournal(std::string tempFolder)
    : m_record(std::move(tempFolder), kCameraMoveRecordSuffix, kMaxCameraMoveRecordBytes) {}

CameraMoveJournal::CameraMoveJournal(HeldRecord&& claimed) : m_record(std::move(claimed)) {}

void CameraMoveJournal::Keep(std::vector<std::string> placed) {
  m_record.Keep(std::move(placed));
}

void CameraMoveJournal::Remove() {
  const std::string path = m_record.Path();
  m_record.Remove();
  if (!path.empty()) SyncFolderHolding(path);
}

bool CameraMoveJournal::Write(const CameraMoveRecord& record, int* err) {
  const std::optional<CameraSource> source = ParseCameraSource(record.camera);
  if (source && source->kind == CameraSource::Kind::Disk && record.volume == 0 && record.device == 0) {
    CameraMoveRecord noted = record;
    const std::string folder = source->port.substr(5);
    struct stat st {};
    if (::stat(folder.c_str(), &st) == 0) noted.device = st.st_dev;
    noted.volume = VolumeIdOf(folder);
    return m_record.Write(FormatCameraMoveRecord(noted),
                          record.entries.empty() ? std::string("camera") : record.entries.front().name, err);
  }
  return m_record.Write(FormatCameraMoveRecord(record),
                        record.entries.empty() ? std::string("camera") : record.entries.front().name, err);
}

namespace {

std::string CameraPath(const std::string& folder, const std::string& name) {
  return folder == "/" ? "/" + name : folder + "/" + name;
}

// Whether the copy of `e` is proven to be at its target: by the inode number the record names,
// or, where the record names none (a copy placed across file systems by an earlier version), by
// the bytes of the download still beside it. A size alone proves nothing.
bool ProvenPlaced(const CameraMoveRecord::Entry& e) {
  struct stat st {};
  if (::stat(e.target.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || uint64_t(st.st_size) != e.copySize)
    return false;
  if (e.copyInode != 0) return uint64_t(st.st_ino) == e.copyInode;
  return !e.temp.empty() && SameContent(e.temp, e.target);
}

bool Exists(const std::string& path) {
  struct stat st {};
  return !path.empty() && ::lstat(path.c_str(), &st) == 0;
}

// A Directory Browse camera whose folder is now on another volume than the record noted: its
// card taken out (the empty mount point) or another one put in. Nothing on it tells of ours.
bool DiskCameraElsewhere(const CameraMoveRecord& record) {
  if (record.volume == 0 && record.device == 0) return false;
  const std::optional<CameraSource> source = ParseCameraSource(record.camera);
  if (!source || source->kind != CameraSource::Kind::Disk) return false;
  const std::string folder = source->port.substr(5);
  struct stat st {};
  if (::stat(folder.c_str(), &st) != 0) return true;
  const uint64_t volume = VolumeIdOf(folder);
  if (record.volume != 0 && volume != 0) return volume != record.volume;
  if (record.device == 0 || uint64_t(st.st_dev) == record.device) return false;
  return !FolderHasEntries(folder.c_str());
}

class CameraRecoverer {
 public:
  CameraRecoverer(std::string folder, const MoveRecovery& how, const CameraRecovery& cameras)
      : m_folder(std::move(folder)), m_how(how), m_cameras(cameras) {}

  int Run(HeldRecord& claimed, const std::string* text) {
    CameraMoveJournal journal(std::move(claimed));
    CameraMoveRecord record;
    // Not one of ours, or one a later version wrote: left for the operator.
    if (!text || !ParseCameraMoveRecord(*text, record) || !m_how.Owns(record.action))
      return 0;  // let go as it is, holds and all
    CameraSession* session =
        m_cameras.connect && !DiskCameraElsewhere(record) ? m_cameras.connect(record.camera) : nullptr;
    // Another camera on the port: nothing on it tells of ours, which is away.
    if (session && !record.serial.empty() && !session->Serial().empty() && session->Serial() != record.serial)
      session = nullptr;
    int finished = 0;
    Progress progress;
    progress.waiting = record;
    progress.waiting.entries.clear();
    for (const CameraMoveRecord::Entry& e : record.entries) {
      if (FinishEntry(record, e, session, progress)) ++finished;
    }
    finished += NoteKept(record, progress);
    if (progress.waiting.entries.empty()) {
      journal.Remove();
    } else {
      if (progress.waiting.entries.size() != record.entries.size()) journal.Write(progress.waiting);
      journal.Keep(std::move(progress.held));
    }
    return finished;
  }

 private:
  // What a record's completion has found so far, entry by entry.
  struct Progress {
    CameraMoveRecord waiting;
    std::vector<std::string> held;
    std::vector<CameraMoveRecord::Entry> kept, keptFrom;
  };

  void Log(const std::string& text) {
    if (m_how.log) m_how.log(text);
  }

  // True when the entry is finished.
  bool FinishEntry(const CameraMoveRecord& record, const CameraMoveRecord::Entry& e, CameraSession* session,
                   Progress& progress) {
    bool placed = ProvenPlaced(e);
    if (!session) {
      // The camera is away: nothing can be told about the photo on it. The copy in place is
      // held back; the download (if any) stays with the record.
      progress.waiting.entries.push_back(e);
      if (placed) progress.held.push_back(e.target);
      return false;
    }
    const std::string listed = record.camera + CameraPath(e.folder, e.name);
    CameraFileStat now;
    const CameraStatus there = session->Stat(e.folder, e.name, now, m_cameras.pump);
    const bool gone =
        there.kind == CameraStatus::Kind::NotFound && m_cameras.present && m_cameras.present(record.camera);
    if (!there.Ok() && !gone) {
      progress.waiting.entries.push_back(e);  // the camera failed: the next pass asks again
      if (placed) progress.held.push_back(e.target);
      return false;
    }
    const bool same = there.Ok() && now.size == e.size && now.modTime == e.modTime;
    if (!placed && same && e.copyInode == 0 && !Exists(e.temp)) placed = SameAsOnCamera(*session, e);
    if (!placed && same && record.together && Exists(e.temp)) placed = PlaceShotFile(e, listed);
    if (!placed) return PlaceDownload(e, listed, same, progress);
    if (e.hash.set && !CopyReadsBack(e, listed, same)) return false;
    if (same && !DeleteOnCamera(record, e, *session, listed, progress)) return false;
    // Proven in place: the download beside it (a copy across file systems) is surplus now.
    if (e.copyInode == 0 && Exists(e.temp)) ::unlink(e.temp.c_str());
    return true;
  }

  // A copy not in place: its download takes its place when the photo is off the camera since.
  // True when it did.
  bool PlaceDownload(const CameraMoveRecord::Entry& e, const std::string& listed, bool same,
                     Progress& progress) {
    if (!Exists(e.temp)) return false;  // nothing left of the move: the photo is where it was
    if (same) {
      ::unlink(e.temp.c_str());  // never placed: the photo is still on the camera
      return false;
    }
    // Off the camera since: the download is all that is left of the photo.
    std::string at;
    if (!MoveFile(e.temp, e.target, Collision::Rename, &at)) {
      progress.waiting.entries.push_back(e);
      return false;
    }
    SyncFolderHolding(at);
    Log(FillIn("Recovered file from %s to %s", listed, at));
    return true;
  }

  // A checked copy read back from the disk. False when it differs and was taken back, the photo
  // still on the camera.
  bool CopyReadsBack(const CameraMoveRecord::Entry& e, const std::string& listed, bool same) {
    ContentHash back;
    if (HashFromDisk(e.target, back) != 0 || back != e.hash) {
      if (same) {
        // The photo is still on the camera: the copy that differs goes, and the next pass
        // copies it anew.
        ::unlink(e.target.c_str());
        SyncFolderHolding(e.target);
        if (Exists(e.temp)) ::unlink(e.temp.c_str());
        Log("FAILED: Recover file from " + listed + " to " + e.target +
            ": its copy read back from the disk differed; the photo stays on the camera");
        return false;
      }
      // The last copy left is never deleted, whatever it holds.
      Log("FAILED: Recover file from " + listed + ": its copy " + e.target +
          " differs from the photo as it was copied");
    }
    return true;
  }

  // The photo whose copy is in place is deleted on the camera. False when it was not and the
  // entry waits or is kept on the camera.
  bool DeleteOnCamera(const CameraMoveRecord& record, const CameraMoveRecord::Entry& e,
                      CameraSession& session, const std::string& listed, Progress& progress) {
    const CameraStatus deleted = session.Delete(e.folder, e.name, m_cameras.pump);
    const bool lost = deleted.kind == CameraStatus::Kind::Gone ||
                      deleted.kind == CameraStatus::Kind::Timeout ||
                      (m_cameras.present && !m_cameras.present(record.camera));
    if (!deleted.Ok() && deleted.kind != CameraStatus::Kind::NotFound && lost) {
      progress.waiting.entries.push_back(e);
      progress.held.push_back(e.target);
      return false;
    }
    if (!deleted.Ok() && deleted.kind != CameraStatus::Kind::NotFound) {
      // The camera refuses deletes: the photo stays on it and its copy is a copy. What it
      // kept is noted durably below, or the next pass would copy the photo again.
      Log("FAILED: Delete on the camera " + listed + " (" + deleted.text + "); its copy is " + e.target);
      Log("Copied file " + listed + " to " + e.target + " (it stays on the camera)");
      progress.kept.push_back({e.folder, e.name, e.size, e.modTime, e.target, std::string(), 0, 0});
      progress.keptFrom.push_back(e);
      return false;
    }
    if (deleted.Ok())
      Log("Deleted on the camera after an interrupted move: " + listed + " (its copy is " + e.target + ")");
    return true;
  }

  // Notes durably what a camera refusing deletes kept; how many entries that finished.
  int NoteKept(const CameraMoveRecord& record, Progress& progress) {
    int finished = 0;
    if (!progress.kept.empty()) {
      if (NoteKeptOnCamera(m_folder, record.action, record.camera, progress.kept, nullptr)) {
        for (const CameraMoveRecord::Entry& e : progress.keptFrom) {
          if (e.copyInode == 0 && Exists(e.temp)) ::unlink(e.temp.c_str());
          ++finished;
        }
      } else {
        // Not noted: the record keeps them, with their copies held back.
        for (const CameraMoveRecord::Entry& e : progress.keptFrom) {
          progress.waiting.entries.push_back(e);
          progress.held.push_back(e.target);
        }
      }
    }
    return finished;
  }
  // A file of a shot whose partners may be in place already: its download (flushed before the
  // record was written) takes its place, and the photo is then deleted on the camera as theirs.
  bool PlaceShotFile(const CameraMoveRecord::Entry& e, const std::string& listed) {
    int err = RenameNoReplace(e.temp, e.target);
    if (err == EXDEV && CopyFile(e.temp, e.target, Collision::Fail, nullptr, &err)) err = 0;
    if (err != 0) return false;
    SyncFolderHolding(e.target);
    Log(FillIn("Recovered file from %s to %s", listed, e.target));
    return true;
  }
  // A copy an earlier version placed across file systems names no inode number and left no
  // download: the photo on the camera is read again and compared. A copy tagged on the way
  // never compares equal; its photo then stays on the camera (twice rather than lost).
  bool SameAsOnCamera(CameraSession& session, const CameraMoveRecord::Entry& e) {
    struct stat st {};
    if (::stat(e.target.c_str(), &st) != 0 || uint64_t(st.st_size) != e.copySize || e.copySize != e.size)
      return false;
    std::string probe = m_folder + ".camera-check.brisko-XXXXXX";
    const int fd = ::mkostemp(probe.data(), O_CLOEXEC);
    if (fd < 0) return false;
    const bool got = session.Download(e.folder, e.name, fd, m_cameras.pump).Ok();
    const bool closed = ::close(fd) == 0;
    const bool same = got && closed && SameContent(probe, e.target);
    ::unlink(probe.c_str());
    return same;
  }
  std::string m_folder;
  const MoveRecovery& m_how;
  const CameraRecovery& m_cameras;
};

}  // namespace

int RecoverCameraMoves(const std::string& tempFolder, const MoveRecovery& how,
                       const CameraRecovery& cameras) {
  const std::string folder = WithTrailingSeparator(tempFolder);
  CameraRecoverer recoverer(folder, how, cameras);
  return RecoverRecords(
      folder, kCameraMoveRecordSuffix, kMaxCameraMoveRecordBytes,
      [&](HeldRecord& record, const std::string* text) { return recoverer.Run(record, text); });
}

namespace {

std::vector<std::pair<std::string, CameraMoveRecord>> KeptRecords(const std::string& folder,
                                                                  const std::string& action,
                                                                  const std::string& camera,
                                                                  const char* suffix = kCameraKeptSuffix) {
  std::vector<std::pair<std::string, CameraMoveRecord>> found;
  for (const std::string& path : ListRecordFiles(folder, suffix)) {
    std::string text;
    CameraMoveRecord record;
    if (ReadRecordFile(path, kMaxCameraMoveRecordBytes, text) && ParseCameraMoveRecord(text, record) &&
        record.action == action && record.camera == camera)
      found.emplace_back(path, std::move(record));
  }
  return found;
}

}  // namespace

std::vector<CameraMoveRecord::Entry> ReadKeptOnCamera(const std::string& tempFolder,
                                                      const std::string& action, const std::string& camera) {
  std::vector<CameraMoveRecord::Entry> entries;
  for (auto& [path, record] : KeptRecords(WithTrailingSeparator(tempFolder), action, camera)) {
    for (CameraMoveRecord::Entry& e : record.entries) entries.push_back(std::move(e));
  }
  return entries;
}

std::vector<CameraMoveRecord::Entry> ReadUnfinishedOnCamera(const std::string& tempFolder,
                                                            const std::string& action,
                                                            const std::string& camera) {
  std::vector<CameraMoveRecord::Entry> entries;
  for (auto& [path, record] :
       KeptRecords(WithTrailingSeparator(tempFolder), action, camera, kCameraMoveRecordSuffix)) {
    for (CameraMoveRecord::Entry& e : record.entries) entries.push_back(std::move(e));
  }
  return entries;
}

bool NoteKeptOnCamera(const std::string& tempFolder, const std::string& action, const std::string& camera,
                      const std::vector<CameraMoveRecord::Entry>& entries,
                      const std::function<bool(const CameraMoveRecord::Entry&)>& stillThere) {
  const std::string folder = WithTrailingSeparator(tempFolder);
  // Another station sharing the folder may be noting its own at this moment.
  const FolderLock lock(folder);
  auto records = KeptRecords(folder, action, camera);
  CameraMoveRecord merged;
  merged.action = action;
  merged.camera = camera;
  for (auto& [path, record] : records) {
    for (CameraMoveRecord::Entry& e : record.entries) {
      if (!stillThere || stillThere(e)) merged.entries.push_back(std::move(e));
    }
  }
  // Noted once, though a recovery may note again what a run noted just before it died.
  for (const CameraMoveRecord::Entry& e : entries) {
    const bool known = std::any_of(merged.entries.begin(), merged.entries.end(), [&e](const auto& k) {
      return k.folder == e.folder && k.name == e.name && k.size == e.size && k.modTime == e.modTime;
    });
    if (!known) merged.entries.push_back(e);
  }
  std::string path = records.empty() ? std::string() : records.front().first;
  if (merged.entries.empty()) {
    for (auto& [p, record] : records) ::unlink(p.c_str());
    return true;
  }
  const int fd = WriteRecordFile(folder, "camera", kCameraKeptSuffix, FormatCameraMoveRecord(merged), path,
                                 nullptr, nullptr);
  if (fd < 0) return false;
  ::close(fd);
  for (size_t k = 1; k < records.size(); ++k) ::unlink(records[k].first.c_str());
  return true;
}

}  // namespace brisko
