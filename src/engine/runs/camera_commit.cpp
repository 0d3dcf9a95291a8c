// A camera batch's commit: its downloads are moved beside their targets where they are on
// another file system, flushed, checked, recorded (a move), renamed into place, and then their
// photos deleted on the camera. A move deletes a photo on the camera only once its copy is
// durable under its final name, through a record that a crash leaves behind for the next pass.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <set>
#include <utility>

#include "engine/base/run_support.h"
#include "engine/records/camera_move_record.h"
#include "engine/records/move_journal.h"
#include "engine/runs/action_run.h"
#include "engine/runs/camera_take.h"
#include "engine/shots/shot_names.h"
#include "rawmeta/xmp_sidecar.h"
#include "support/file_ops.h"
#include "support/path_util.h"

namespace brisko {

using namespace camera_pass;

namespace {

uint64_t DeviceOf(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? uint64_t(st.st_dev) : 0;
}

// One flush for each file system the files are on.
int FlushFileSystems(const std::vector<std::string>& paths) {
  std::set<uint64_t> done;
  int result = 0;
  for (const std::string& path : paths) {
    const uint64_t device = DeviceOf(path);
    if (!done.insert(device).second) continue;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 || ::syncfs(fd) != 0) result = errno ? errno : EIO;
    if (fd >= 0) ::close(fd);
  }
  return result;
}

}  // namespace

void ActionRun::CameraRun::Commit() {
  const std::vector<PendingShot> shotsNow = std::exchange(shotsPending, {});
  if (batch.empty()) return;
  MoveBesideTargets();
  if (!FlushBatch()) return;
  CheckBatch(shotsNow);
  RememberShots(shotsNow);
  if (!move) {
    CameraMoveJournal none(a.GetTempFolder());
    std::vector<std::string> placed(batch.size());
    PlaceBatch(placed);
    SettleBatch(placed, none);
    return;
  }
  // A record holds no more than its readers take: a larger batch is recorded, placed and
  // settled a part at a time, each part's record complete on its own.
  std::vector<Pending> all = std::move(batch);
  CameraMoveRecord record;
  record.action = a.m_settings.m_strName;
  record.camera = m_source.Text();
  if (session) record.serial = session->Serial();
  for (const Pending& p : all) record.entries.push_back(EntryOf(p));
  const size_t empty = FormatCameraMoveRecord({}).size();
  auto bytesOf = [&](size_t i) {
    CameraMoveRecord one;
    one.entries = {record.entries[i]};
    return FormatCameraMoveRecord(one).size() - empty;
  };
  CameraMoveRecord head = record;
  head.entries.clear();
  head.together = !shotsNow.empty();
  // A shot is never split between two records: the runs are made of whole shots.
  std::vector<std::pair<size_t, size_t>> units;
  for (size_t i = 0; i < all.size(); ++i) {
    if (i > 0 && all[i].shot >= 0 && all[i].shot == all[i - 1].shot) {
      units.back().second = i + 1;
    } else {
      units.emplace_back(i, i + 1);
    }
  }
  auto unitBytes = [&](size_t u) {
    size_t bytes = 0;
    for (size_t i = units[u].first; i < units[u].second; ++i) bytes += bytesOf(i);
    return bytes;
  };
  for (const auto& [firstUnit, endUnit] : RunsWithin(units.size(), FormatCameraMoveRecord(head).size(),
                                                     RecordBound(kMaxCameraMoveRecordBytes), unitBytes)) {
    const size_t first = units[firstUnit].first, end = units[endUnit - 1].second;
    batch.assign(all.begin() + long(first), all.begin() + long(end));
    CameraMoveRecord part = head;
    part.entries.assign(record.entries.begin() + long(first), record.entries.begin() + long(end));
    CameraMoveJournal journal(a.GetTempFolder());
    if (!RecordBatch(journal, part)) continue;
    std::vector<std::string> placed(batch.size());
    PlaceBatch(placed);
    const std::vector<Pending> settled = batch;
    SettleBatch(placed, journal);
    TagSidecars(settled, placed, shotsNow);
    ConfirmShots(settled, placed, shotsNow);
  }
}

void ActionRun::CameraRun::ConfirmShots(const std::vector<Pending>& part,
                                        const std::vector<std::string>& placed,
                                        const std::vector<PendingShot>& shots) {
  std::map<int, std::vector<std::string>> moved;
  for (size_t k = 0; k < part.size(); ++k) {
    if (part[k].shot < 0) continue;
    std::vector<std::string>& kinds = moved[part[k].shot];
    if (!placed[k].empty())
      kinds.push_back(ShotNames::KindOf(placed[k], shots[size_t(part[k].shot)].remembered.base));
  }
  for (const auto& [shot, kinds] : moved) names.Confirm(shots[size_t(shot)].remembered, kinds);
  if (!moved.empty()) names.Save(a.m_host->Now());
}

void ActionRun::CameraRun::TagSidecars(const std::vector<Pending>& part,
                                       const std::vector<std::string>& placed,
                                       const std::vector<PendingShot>& shots) {
  std::set<int> done;
  for (size_t k = 0; k < part.size(); ++k) {
    const int shot = part[k].shot;
    if (shot < 0 || placed[k].empty() || shots[size_t(shot)].xmpTarget.empty() || !done.insert(shot).second)
      continue;
    std::string why;
    if (WriteSidecarUserComment(shots[size_t(shot)].xmpTarget, shots[size_t(shot)].comment, &why))
      a.m_host->NotePhotoStep(PhotoStep::Tagged);
    else
      a.LogMessage("Not tagged: " + why + ": " + shots[size_t(shot)].xmpTarget);
  }
}

CameraMoveRecord::Entry ActionRun::CameraRun::EntryOf(const Pending& p) const {
  struct stat st {};
  const bool sameFs = ::stat(p.temp.c_str(), &st) == 0 && DeviceOf(SplitPath(p.target).folder) == st.st_dev;
  CameraMoveRecord::Entry entry{p.from->file.folder,
                                p.from->file.name,
                                p.from->file.stat.size,
                                p.from->file.stat.modTime,
                                p.target,
                                p.temp,
                                sameFs ? uint64_t(st.st_ino) : 0,
                                uint64_t(st.st_size)};
  // A shot is finished whole after a crash, as the record of a card's shots: no hash for it.
  if (p.checked && p.shot < 0) entry.hash = p.hash;
  return entry;
}

void ActionRun::CameraRun::MoveBesideTargets() {
  for (Pending& p : batch) {
    const std::string folder = SplitPath(p.target).folder;
    if (DeviceOf(p.temp) == DeviceOf(folder)) continue;
    const std::string beside = HiddenDownloadName(folder);
    int err = 0;
    if (CopyFile(p.temp, beside, Collision::Fail, nullptr, &err)) {
      ::unlink(p.temp.c_str());
      p.temp = beside;
    }
  }
}

bool ActionRun::CameraRun::FlushBatch() {
  std::vector<std::string> temps;
  for (const Pending& p : batch) temps.push_back(p.temp);
  const int flushErr = FlushFileSystems(temps);
  if (flushErr != 0) {
    for (const Pending& p : batch) {
      ::unlink(p.temp.c_str());
      a.LogMessage((move ? "Failed: Move file from " : "FAILED: Copy file ") + p.from->listed +
                   (move ? " to " : " to ") + p.target);
      a.LogMessage(ErrnoText(flushErr));
    }
    batch.clear();
    batchBytes = 0;
    pendingTargets.clear();
    result = false;
    return false;
  }
  return true;
}

void ActionRun::CameraRun::CheckBatch(const std::vector<PendingShot>& shots) {
  if (!check) return;
  std::set<int> failedShots;
  for (Pending& p : batch) {
    ContentHash back;
    if (!p.hash.set || (HashFromDisk(p.temp, back) == 0 && back == p.hash)) {
      p.checked = p.hash.set;
      continue;
    }
    ::unlink(p.temp.c_str());
    if (!DownloadAgain(p)) {
      p.temp.clear();
      if (p.shot >= 0) failedShots.insert(p.shot);
    }
  }
  std::vector<Pending> kept;
  for (Pending& p : batch) {
    if (!p.temp.empty() && !failedShots.count(p.shot)) {
      kept.push_back(std::move(p));
      continue;
    }
    if (!p.temp.empty()) ::unlink(p.temp.c_str());
    pendingTargets.erase(p.target);
    batchBytes -= p.size;
  }
  batch = std::move(kept);
  for (const int shot : failedShots) {
    a.LogMessage((move ? "FAILED: Move shot " : "FAILED: Copy shot ") + shots[size_t(shot)].leader +
                 ": a copy read back from the disk differed twice; it stays whole on the camera");
    result = false;
  }
}

bool ActionRun::CameraRun::DownloadAgain(Pending& p) {
  if (lost || !session) return false;  // the camera's loss said so; the photo stays on it
  std::string temp;
  ContentHash hash;
  const std::string folder = SplitPath(p.temp).folder;
  if (Download(*p.from, temp, &hash, &folder) != Got::Ok) return false;  // logged there
  // Flushed on its own: a copy made twice is rare.
  const int fd = ::open(temp.c_str(), O_RDONLY | O_CLOEXEC);
  const bool flushed = fd >= 0 && ::fsync(fd) == 0;
  if (fd >= 0) ::close(fd);
  ContentHash back;
  if (flushed && HashFromDisk(temp, back) == 0 && back == hash) {
    p.temp = temp;
    p.hash = hash;
    p.checked = true;
    return true;
  }
  ::unlink(temp.c_str());
  // A shot's file fails with its shot, in one line for the shot.
  if (p.shot < 0) {
    a.LogMessage(CheckFailedLine(move ? MoveFailedLine(p.from->listed, p.target)
                                      : "FAILED: Copy file " + p.from->listed + " to " + p.target));
  }
  result = false;
  return false;
}

bool ActionRun::CameraRun::RecordBatch(CameraMoveJournal& journal, const CameraMoveRecord& record) {
  int err = 0;
  if (!journal.Write(record, &err)) {
    // Without the record a crash could double every photo of the batch: none is placed.
    for (const Pending& p : batch) {
      ::unlink(p.temp.c_str());
      a.LogMessage(MoveFailedLine(p.from->listed, p.target));
    }
    a.LogMessage("FAILED: Write move record: " + ErrnoText(err));
    batch.clear();
    batchBytes = 0;
    pendingTargets.clear();
    result = false;
    return false;
  }
  MoveJournal::Reached("camera batch recorded");
  return true;
}

void ActionRun::CameraRun::PlaceBatch(std::vector<std::string>& placed) {
  // Placed: renamed (or, from another file system, copied) under the final name.
  ++values.g_nShellOperationDepth;
  for (size_t k = 0; k < batch.size(); ++k) {
    const Pending& p = batch[k];
    const bool replace = !move || a.m_settings.m_bOverwriteExistingFiles;
    int err = 0;
    if (::renameat2(AT_FDCWD, p.temp.c_str(), AT_FDCWD, p.target.c_str(), replace ? 0 : RENAME_NOREPLACE) !=
        0)
      err = errno;
    if (err == EXDEV) {
      err = 0;
      // The download stays until the photo is deleted on the camera: it is what proves the
      // copy in place to be this photo.
      if (!CopyFile(p.temp, p.target, replace ? Collision::Replace : Collision::Fail, nullptr, &err)) {
        if (err == 0) err = EIO;
      } else if (!move) {
        ::unlink(p.temp.c_str());
      }
    }
    if (err != 0) {
      ::unlink(p.temp.c_str());
      if (move) {
        a.LogMessage(MoveFailedLine(p.from->listed, p.target));
      } else {
        a.LogMessage("FAILED: Copy file " + p.from->listed + " to " + p.target);
      }
      a.LogMessage(ErrnoText(err));
      result = false;
      continue;
    }
    placed[k] = p.target;
    if (p.shot >= 0) MoveJournal::Reached("camera shot file placed");
  }
  if (move) TakeBackPartShots(placed);
  std::set<std::string> folders;
  for (const std::string& path : placed) {
    if (!path.empty() && folders.insert(SplitPath(path).folder).second) SyncFolderHolding(path);
  }
  --values.g_nShellOperationDepth;
}

void ActionRun::CameraRun::RememberShots(const std::vector<PendingShot>& shots) {
  std::set<int> queued;
  for (const Pending& p : batch)
    if (move && p.shot >= 0) queued.insert(p.shot);
  const int64_t now = a.m_host->Now();
  for (int i = 0; i < static_cast<int>(shots.size()); ++i)
    if (queued.count(i)) names.Remember(shots[size_t(i)].remembered, now);
  if (!queued.empty()) names.Save(now);
  shotLeaders.clear();
  for (const PendingShot& shot : shots) shotLeaders.push_back(shot.leader);
}

void ActionRun::CameraRun::TakeBackPartShots(std::vector<std::string>& placed) {
  std::set<int> failed;
  for (size_t k = 0; k < batch.size(); ++k)
    if (batch[k].shot >= 0 && placed[k].empty()) failed.insert(batch[k].shot);
  for (size_t k = 0; k < batch.size(); ++k) {
    if (placed[k].empty() || !failed.count(batch[k].shot)) continue;
    ::unlink(placed[k].c_str());
    if (batch[k].temp != placed[k]) ::unlink(batch[k].temp.c_str());
    placed[k].clear();
  }
  for (const int shot : failed) {
    a.LogMessage("FAILED: Move shot " + shotLeaders[size_t(shot)] + ": it stays whole on the camera");
    result = false;
  }
}

void ActionRun::CameraRun::SettleBatch(const std::vector<std::string>& placed, CameraMoveJournal& journal) {
  MoveJournal::Reached("camera batch placed");
  bool keepRecord = false;
  std::vector<std::string> held;
  std::vector<CameraMoveRecord::Entry> kept;
  for (size_t k = 0; k < batch.size(); ++k) {
    if (placed[k].empty()) continue;
    const CameraFile& from = *batch[k].from;
    if (!move) {
      a.m_memory.cameraCopies[CameraKey(from.file)] = placed[k];
      if (a.m_settings.m_bUseExternalExe) a.RunExternalApplication(placed[k]);
      a.LogMessage("Copied file " + from.listed + " to " + placed[k] + CheckedMark(batch[k].checked));
      continue;
    }
    a.ApplyFileAttributes(placed[k]);
    CameraStatus deleted = session && !lost
                               ? session->Delete(from.file.folder, from.file.name, pump)
                               : CameraStatus::Make(CameraStatus::Kind::Gone, "the camera is gone");
    // Not there while the camera is: taken off it meanwhile, so this copy is the only one.
    bool stays = false;
    if (deleted.Ok() || (deleted.kind == CameraStatus::Kind::NotFound && pool.Present(m_source))) {
      Forget(from.file);
      if (batch[k].temp != placed[k]) ::unlink(batch[k].temp.c_str());
    } else if (IsLoss(deleted) || !pool.Present(m_source)) {
      // The record stays: the next pass with the camera there deletes what was copied, and
      // until then no action takes the copy on (the photo would be moved twice).
      keepRecord = true;
      held.push_back(placed[k]);
      if (!lost) LoseCamera(deleted, from.listed);
    } else {
      // A camera that refuses deletes keeps the photo; it is not taken again, after a
      // restart too.
      stays = true;
      a.m_memory.cameraLeft.insert(CameraKey(from.file));
      kept.push_back({from.file.folder, from.file.name, from.file.stat.size, from.file.stat.modTime,
                      placed[k], std::string(), 0, 0});
      if (batch[k].temp != placed[k]) ::unlink(batch[k].temp.c_str());
      a.LogMessage("FAILED: Delete on the camera " + from.listed + " (" + deleted.text + "); its copy is " +
                   placed[k]);
    }
    if (a.m_settings.m_bUseExternalExe) a.RunExternalApplication(placed[k]);
    if (keepRecord && lost) {
      a.LogMessage("Copied file " + from.listed + " to " + placed[k] +
                   " (deleted on the camera once it is back)");
    } else if (stays) {
      a.LogMessage("Copied file " + from.listed + " to " + placed[k] + " (it stays on the camera)");
    } else {
      a.LogMessage("Moved file from " + from.listed + " to " + placed[k] + CheckedMark(batch[k].checked));
    }
  }
  if (!kept.empty()) {
    const std::vector<CameraListing::File>& all = pool.Listing(m_source).files;
    auto stillThere = [&all](const CameraMoveRecord::Entry& e) {
      for (const CameraListing::File& f : all) {
        if (f.folder == e.folder && f.name == e.name) return true;
      }
      return false;
    };
    // Without it, a restart would copy these photos again: the record of the move stays.
    if (!NoteKeptOnCamera(a.GetTempFolder(), a.m_settings.m_strName, m_source.Text(), kept, stillThere))
      keepRecord = true;
  }
  MoveJournal::Reached("camera sources deleted");
  if (keepRecord) {
    journal.Keep(std::move(held));
  } else {
    journal.Remove();
  }
  batch.clear();
  batchBytes = 0;
  pendingTargets.clear();
}

}  // namespace brisko
