// Taking a camera's selected photos: each is downloaded once into a hidden name beside its
// destination (or into the temp folder when it is turned or tagged on the way), judged by the
// filters that need its data, named, and queued for the batch's commit (camera_commit.cpp).
#include "engine/runs/camera_take.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <set>
#include <utility>

#include "engine/base/run_support.h"
#include "engine/records/move_journal.h"
#include "engine/runs/action_run.h"
#include "engine/shots/shot_date.h"
#include "engine/shots/shot_names.h"
#include "engine/shots/shots.h"
#include "imagemeta/auto_rotate.h"
#include "imagemeta/jpeg_exif_file.h"
#include "naming/exif_access.h"
#include "scheduler/id_txt.h"
#include "support/file_ops.h"
#include "support/path_util.h"
#include "support/text.h"

namespace brisko {

using namespace camera_pass;

namespace {

// A batch shares one flush of its file system; bounded so the log keeps step with the camera.
constexpr size_t kCameraBatchFiles = 64;
constexpr uint64_t kCameraBatchBytes = 512ull << 20;

std::string StemOf(const std::string& name) {
  const size_t dot = name.find_last_of('.');
  return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
}

// The downloads of a shot that is not taken go.
void RemoveDownloads(const std::vector<std::string>& temps) {
  for (const std::string& t : temps) ::unlink(t.c_str());
}

std::string LowerCase(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

}  // namespace

bool ActionRun::CameraRun::Run(std::vector<CameraFile>& files) {
  const std::string description = a.GetDescription();
  downloadFolder = steps ? a.GetTempFolder() : WithTrailingSeparator(a.m_settings.m_strDestFolder);
  a.CreateFolderPath(downloadFolder);
  if (a.KeepsShots()) {
    RunShots(files, description);
    Commit();
    names.Save(a.m_host->Now());
    return result;
  }
  const int n = static_cast<int>(files.size());
  for (int i = 0; i < n && !lost; ++i) {
    if (move) values.m_iFileCounter += 1;
    a.m_host->SetProgress(i, n, description, move ? "Moving files" : "Copying files");
    if (!TakeOne(files[size_t(i)])) break;
  }
  Commit();
  return result;
}

ActionRun::CameraRun::Got ActionRun::CameraRun::Download(const CameraFile& from, std::string& temp,
                                                         ContentHash* hash, const std::string* folder) {
  const CameraListing::File& f = from.file;
  temp = HiddenDownloadName(folder ? *folder : downloadFolder);
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) {
    const int err = errno;
    a.LogMessage(move ? MoveFailedLine(from.listed, downloadFolder)
                      : "FAILED: Copy file " + from.listed + " to " + downloadFolder);
    a.LogMessage(ErrnoText(err));
    result = false;
    return Got::Skipped;
  }
  auto hasher = hash ? std::make_shared<ContentHasher>() : nullptr;
  const CameraStatus got = session->Download(f.folder, f.name, fd, pump, hasher);
  if (hasher) *hash = hasher->Digest();
  // The disk starts writing now, while the next photo comes; the batch's flush then waits
  // for less.
  if (got.Ok()) ::sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
  const bool closed = ::close(fd) == 0;
  if (!got.Ok() || !closed) {
    // The partial copy goes; the photo stays on the camera for the next pass.
    ::unlink(temp.c_str());
    if (got.kind == CameraStatus::Kind::NotFound && pool.Present(m_source)) {
      Forget(f);  // taken off the camera since it was listed
      return Got::Skipped;
    }
    if (IsLoss(got) || !pool.Present(m_source)) {
      LoseCamera(got, from.listed);
      return Got::Lost;
    }
    a.LogMessage(move ? MoveFailedLine(from.listed, downloadFolder)
                      : "FAILED: Copy file " + from.listed + " to " + downloadFolder);
    a.LogMessage("  Reason: " + (got.Ok() ? std::string("closing the copy failed") : got.text));
    result = false;
    return Got::Skipped;
  }
  MoveJournal::Reached("camera photo downloaded");
  // The copy carries the camera's time (a camera that gives none leaves the download's own).
  if (f.stat.modTime > 0) SetFileTimes(temp, f.stat.modTime, kKeepTime);
  return Got::Ok;
}

bool ActionRun::CameraRun::PassesFilters(const std::string& temp, const std::string& listed) {
  if (a.m_settings.m_bSelectByOrientation) {
    const std::optional<bool> landscape = DecideLandscape(temp);
    if (landscape && *landscape != (a.m_settings.m_bSelectLandscape != 0)) {
      a.LogFileNote(1, "Wrong orientation", listed);
      return false;
    }
  }
  return a.PassesGpsFilter(temp);
}

bool ActionRun::CameraRun::TurnAndTag(const std::string& temp, const CameraFile& from,
                                      BriskoExifFields& fields) {
  bool rotated = false;
  if (move && a.m_settings.m_bAutoRotateJPG && JpegNeedsRotation(temp)) {
    const std::string turned = HiddenDownloadName(downloadFolder);
    std::string whyNot;
    if (AutoRotateJpeg(downloadFolder, temp, turned, &whyNot) &&
        ::rename(turned.c_str(), temp.c_str()) == 0) {
      rotated = true;
      a.LogMessage("Rotated " + from.listed);
      a.m_host->NotePhotoStep(PhotoStep::Rotated);
    } else {
      ::unlink(turned.c_str());
      a.LogMessage("Not rotated: " +
                   (whyNot.empty() ? std::string("the lossless turn of its picture failed") : whyNot) + ": " +
                   from.listed);
    }
  }
  if (move && a.m_settings.m_bAddOrUpdateBriskoExif) {
    CompleteFieldsForWrite(fields, from.listed, a.m_pIdTxt, values.m_strBarcodeInputsArray,
                           values.m_strOperatorSelectedText,
                           BriskoExifCustomMap(a.m_settings.m_BriskoExifCustomActionFieldsMap));
    const std::string tagged = HiddenDownloadName(downloadFolder);
    if (fields.WriteToFile(temp, tagged, DefaultExifAccess()) &&
        ::rename(tagged.c_str(), temp.c_str()) == 0) {
      a.m_host->NotePhotoStep(PhotoStep::Tagged);
    } else {
      ::unlink(tagged.c_str());
      a.LogMessage("Not tagged: its JPEG data cannot be read: " + from.listed);
    }
  }
  const int64_t modTime = from.file.stat.modTime;
  if (modTime > 0 && (rotated || (move && a.m_settings.m_bAddOrUpdateBriskoExif)))
    SetFileTimes(temp, modTime, kKeepTime);
  return rotated;
}

std::string ActionRun::CameraRun::DestinationOf(const CameraListing::File& f, const std::string& temp,
                                                const BriskoExifFields& fields, const NamingContext& context,
                                                bool rotated) {
  std::string destination = WithTrailingSeparator(a.m_settings.m_strDestFolder);
  if (a.m_settings.m_bCreateNewSubfolder) {
    const std::string subfolder =
        a.m_settings.m_SubfolderTemplate.GenerateSubfolderName(a.m_pIdTxt, fields, temp, context);
    if (!subfolder.empty()) destination = TrimTrailingSeparators(destination) + "/" + subfolder + "/";
  }
  if (!move) destination += KeptFolder(f, a.m_settings.m_bIncludeSubFolders != 0);
  if (rotated && a.m_settings.m_bAutoRotateUseSubfolder) destination += "Rotated/";
  if (!PathExists(destination)) a.CreateFolderPath(destination);
  return destination;
}

bool ActionRun::CameraRun::UpToDate(const CameraListing::File& f, const std::string& target) const {
  FileInfo status;
  return GetFileStatus(target, status) && f.stat.modTime <= status.modTime;
}

bool ActionRun::CameraRun::TakeOne(const CameraFile& from) {
  const CameraListing::File& f = from.file;
  NamingContext context = a.MakeNamingContext();
  context.listed = ListedPhoto{from.listed, std::time_t(f.stat.modTime), std::time_t(f.stat.modTime)};

  // A copy whose destination is known without the photo is checked before it is downloaded.
  if (!move) {
    auto known = a.m_memory.cameraCopies.find(CameraKey(f));
    if (known != a.m_memory.cameraCopies.end() && UpToDate(f, known->second)) return true;
    if (!a.m_settings.m_bCreateNewSubfolder &&
        UpToDate(f, WithTrailingSeparator(a.m_settings.m_strDestFolder) +
                        KeptFolder(f, a.m_settings.m_bIncludeSubFolders != 0) + f.name))
      return true;
  }

  std::string temp;
  ContentHash hash;
  const Got got = Download(from, temp, check ? &hash : nullptr);
  if (got != Got::Ok) return got != Got::Lost;
  if (!PassesFilters(temp, from.listed)) {
    ::unlink(temp.c_str());
    a.m_memory.cameraLeft.insert(CameraKey(f));
    return true;
  }
  // The download's hidden name says nothing of what it is: the listed name does.
  ShotDateAccess dates(temp, f.name, std::string(), std::string());
  context.exif = &dates;
  BriskoExifFields fields;
  a.ReadFields(temp, fields);
  const bool rotated = TurnAndTag(temp, from, fields);
  const std::string destination = DestinationOf(f, temp, fields, context, rotated);
  std::string name = f.name;
  if (move && a.m_settings.m_bRenameFile) {
    std::string newName =
        a.m_settings.m_RenameTemplate.GenerateNewName(temp, a.m_pIdTxt, fields, false, context);
    if (!newName.empty()) name = std::move(newName);
  }
  std::string target = destination + name;
  if (!move) {
    if (UpToDate(f, target)) {
      ::unlink(temp.c_str());
      a.m_memory.cameraCopies[CameraKey(f)] = target;
      return true;
    }
  } else if (!a.m_settings.m_bOverwriteExistingFiles) {
    a.MakeUniqueFileName(target,
                         [&](const std::string& p) { return pendingTargets.count(p) || PathExists(p); });
  }
  pendingTargets.insert(target);
  batch.push_back({&from, temp, target, f.stat.size});
  // A turned or tagged download is a new file: nothing to compare it with.
  if (!rotated && !(move && a.m_settings.m_bAddOrUpdateBriskoExif)) batch.back().hash = hash;
  batchBytes += f.stat.size;
  if (batch.size() >= kCameraBatchFiles || batchBytes >= kCameraBatchBytes) Commit();
  return true;
}

void ActionRun::CameraRun::RunShots(std::vector<CameraFile>& files, const std::string& description) {
  std::vector<std::string> folderOrder;
  std::map<std::string, std::vector<const CameraFile*>> byFolder;
  for (const CameraFile& c : files) {
    auto [it, fresh] = byFolder.try_emplace(c.file.folder);
    if (fresh) folderOrder.push_back(c.file.folder);
    it->second.push_back(&c);
  }
  const int n = static_cast<int>(files.size());
  int done = 0;
  for (const std::string& folder : folderOrder) {
    std::map<std::string, const CameraFile*> byName;
    std::vector<std::string> listed;
    for (const CameraFile* c : byFolder[folder]) {
      byName[c->file.name] = c;
      listed.push_back(c->file.name);
    }
    for (const Shot& shot : GroupShots(listed)) {
      a.m_host->SetProgress(done, n, description, move ? "Moving files" : "Copying files");
      std::vector<const CameraFile*> members;
      for (const std::string& name : SelectedFiles(shot, [](const std::string&) { return true; }))
        members.push_back(byName[name]);
      done += static_cast<int>(members.size());
      if (!TakeShot(shot, members) || lost) return;
    }
  }
}

bool ActionRun::CameraRun::TakeShot(const Shot& shot, const std::vector<const CameraFile*>& members) {
  const std::vector<std::string> all = SelectedFiles(shot, [](const std::string&) { return true; });
  std::vector<std::string> temps;
  std::vector<ContentHash> hashes;
  const Got got = DownloadShot(members, temps, hashes);
  if (got != Got::Ok) return got != Got::Lost;
  auto indexOf = [&all](const std::string& name) {
    return size_t(std::find(all.begin(), all.end(), name) - all.begin());
  };
  const size_t lead = indexOf(shot.members[shot.leader].name);
  const CameraFile& leader = *members[lead];
  // The filters read the leader (the JPEG where there is one); its partners follow it.
  if (!PassesFilters(temps[lead], leader.listed)) {
    for (const CameraFile* c : members) a.m_memory.cameraLeft.insert(CameraKey(c->file));
    RemoveDownloads(temps);
    return true;
  }
  const std::string partnerName = ShotDatePartner(shot);
  const std::string partnerTemp = partnerName.empty() ? partnerName : temps[indexOf(partnerName)];
  ShotDateAccess dates(temps[lead], leader.file.name, partnerTemp, partnerName);
  std::time_t captured = 0;
  if (!dates.ReadDateTime(temps[lead], captured)) captured = 0;
  std::vector<std::string> kinds;
  std::string moved;
  for (const std::string& name : all) {
    kinds.push_back(LowerCase(MemberNewName(shot, name, "")));
    moved += (moved.empty() ? "" : "|") + kinds.back();
  }
  const std::string sourceFolder = SplitPath(leader.listed).folder;
  // Only moves remember where their shots went: a copy's partner is copied where it stands.
  const ShotNames::Entry* earlier =
      move ? names.Find(sourceFolder, shot.key, captured, kinds, a.m_host->Now()) : nullptr;
  if (move && !earlier) values.m_iFileCounter += 1;
  NamingContext context = a.MakeNamingContext();
  context.listed = ListedPhoto{leader.listed, std::time_t(leader.file.stat.modTime),
                               std::time_t(leader.file.stat.modTime)};
  context.exif = &dates;
  BriskoExifFields fields;
  a.ReadFields(temps[lead], fields);
  bool hasJpeg = false;
  const bool rotated = TurnShotJpeg(all, members, temps, hashes, fields, hasJpeg);
  std::string destination;
  std::string base;
  NameShot(leader, temps[lead], earlier, fields, context, rotated, destination, base);
  const std::string suffix = ShotSuffix(shot, all, base, destination, earlier);
  const int index = static_cast<int>(shotsPending.size());
  shotsPending.push_back(
      {leader.listed, {sourceFolder, shot.key, captured, destination, base + suffix, 0, moved}, {}, {}});
  // A partner joining its shot: the block went with the shot's first files.
  if (move && a.m_settings.m_bAddOrUpdateBriskoExif && !hasJpeg && !earlier)
    KeepSidecarBlock(shot, all, leader, fields, destination, base + suffix);
  QueueShot(shot, all, members, temps, hashes, destination, base + suffix, index);
  if (batch.size() >= kCameraBatchFiles || batchBytes >= kCameraBatchBytes) Commit();
  return true;
}

ActionRun::CameraRun::Got ActionRun::CameraRun::DownloadShot(const std::vector<const CameraFile*>& members,
                                                             std::vector<std::string>& temps,
                                                             std::vector<ContentHash>& hashes) {
  for (const CameraFile* c : members) {
    std::string temp;
    ContentHash& hash = hashes.emplace_back();
    const Got got = Download(*c, temp, check ? &hash : nullptr);
    if (got != Got::Ok) {
      RemoveDownloads(temps);
      return got;
    }
    temps.push_back(temp);
  }
  return Got::Ok;
}

bool ActionRun::CameraRun::TurnShotJpeg(const std::vector<std::string>& all,
                                        const std::vector<const CameraFile*>& members,
                                        const std::vector<std::string>& temps,
                                        std::vector<ContentHash>& hashes, BriskoExifFields& fields,
                                        bool& hasJpeg) {
  bool rotated = false;
  for (size_t i = 0; i < all.size() && !hasJpeg; ++i) {
    if (ShotKindOf(all[i]) != ShotFileKind::Jpeg) continue;
    rotated = TurnAndTag(temps[i], *members[i], fields);
    hasJpeg = true;
    if (rotated || (move && a.m_settings.m_bAddOrUpdateBriskoExif)) hashes[i] = {};  // a new file now
  }
  return rotated;
}

void ActionRun::CameraRun::NameShot(const CameraFile& leader, const std::string& leaderTemp,
                                    const ShotNames::Entry* earlier, const BriskoExifFields& fields,
                                    const NamingContext& context, bool rotated, std::string& destination,
                                    std::string& base) {
  if (earlier) {
    // A partner of a shot taken a moment ago: it joins that shot's name and folder.
    destination = earlier->folder;
    base = earlier->base;
    if (!PathExists(destination)) a.CreateFolderPath(destination);
  } else {
    destination = DestinationOf(leader.file, leaderTemp, fields, context, rotated);
    base = StemOf(leader.file.name);
    if (move && a.m_settings.m_bRenameFile) {
      const std::string made =
          a.m_settings.m_RenameTemplate.GenerateNewName(leaderTemp, a.m_pIdTxt, fields, false, context);
      if (!made.empty()) base = StemOf(made);
    }
  }
}

std::string ActionRun::CameraRun::ShotSuffix(const Shot& shot, const std::vector<std::string>& all,
                                             const std::string& base, const std::string& destination,
                                             const ShotNames::Entry* earlier) {
  std::string suffix;
  if (move && !a.m_settings.m_bOverwriteExistingFiles) {
    bool ok = true;
    suffix = SharedCollisionSuffix(
        shot, all, base,
        [&](const std::string& name) {
          return pendingTargets.count(destination + name) || PathExists(destination + name);
        },
        ok, 10000,
        [&](const std::string& b) { return !earlier && names.Reserved(destination, b, a.m_host->Now()); });
  }
  return suffix;
}

void ActionRun::CameraRun::KeepSidecarBlock(const Shot& shot, const std::vector<std::string>& all,
                                            const CameraFile& leader, BriskoExifFields& fields,
                                            const std::string& destination, const std::string& name) {
  CompleteFieldsForWrite(fields, leader.listed, a.m_pIdTxt, values.m_strBarcodeInputsArray,
                         values.m_strOperatorSelectedText,
                         BriskoExifCustomMap(a.m_settings.m_BriskoExifCustomActionFieldsMap));
  PendingShot& pending = shotsPending.back();
  pending.comment = fields.BuildBlock();
  pending.xmpTarget = destination + name + ".xmp";
  for (const std::string& file : all)
    if (EqualsNoCase(SplitPath(file).extension, ".xmp"))
      pending.xmpTarget = destination + MemberNewName(shot, file, name);
}

void ActionRun::CameraRun::QueueShot(const Shot& shot, const std::vector<std::string>& all,
                                     const std::vector<const CameraFile*>& members,
                                     const std::vector<std::string>& temps,
                                     const std::vector<ContentHash>& hashes, const std::string& destination,
                                     const std::string& name, int index) {
  for (size_t i = 0; i < all.size(); ++i) {
    const CameraListing::File& f = members[i]->file;
    const std::string target = destination + MemberNewName(shot, all[i], name);
    if (!move && UpToDate(f, target)) {
      ::unlink(temps[i].c_str());
      a.m_memory.cameraCopies[CameraKey(f)] = target;
      continue;
    }
    pendingTargets.insert(target);
    batch.push_back({members[i], temps[i], target, f.stat.size, index});
    batch.back().hash = hashes[i];
    batchBytes += f.stat.size;
  }
}

void ActionRun::CameraRun::Forget(const CameraListing::File& f) {
  std::vector<CameraListing::File>& all = pool.Listing(m_source).files;
  for (auto it = all.begin(); it != all.end(); ++it) {
    if (it->folder == f.folder && it->name == f.name) {
      all.erase(it);
      break;
    }
  }
}

void ActionRun::CameraRun::LoseCamera(const CameraStatus& status, const std::string& listed) {
  lost = true;
  pool.Lost(m_source, [&](const std::string& line) {
    a.m_host->AddToLog(line + " (" + status.text + "; " + listed + " stays on the camera)");
  });
  session = nullptr;
}

bool ActionRun::CameraCopyOrMove(const CameraSource& source, CameraSession*& session,
                                 std::vector<CameraFile>& files) {
  return CameraRun(*this, source, session).Run(files);
}

}  // namespace brisko
