// "Keep RAW+JPEG pairs and sidecars together": the selection counts shots, and Move Files takes
// a shot at a time, with one counter value, one name and one folder for all of its files. The
// files of whole shots share one durable record (a shots record: recovery finishes every file
// of it), so a crash never leaves a shot half moved.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <set>
#include <utility>

#include "engine/base/record_file.h"
#include "engine/base/run_support.h"
#include "engine/records/move_journal.h"
#include "engine/records/tag_batch.h"
#include "engine/runs/action_run.h"
#include "engine/shots/shot_date.h"
#include "engine/shots/shot_names.h"
#include "engine/shots/shots.h"
#include "imagemeta/auto_rotate.h"
#include "imagemeta/jpeg_exif_file.h"
#include "naming/brisko_exif_fields.h"
#include "naming/exif_access.h"
#include "rawmeta/xmp_sidecar.h"
#include "support/copy_batch.h"
#include "support/file_identity.h"
#include "support/file_ops.h"
#include "support/folder_enum.h"
#include "support/logger.h"
#include "support/path_util.h"
#include "support/text.h"

namespace brisko {

namespace {

std::string StemOf(const std::string& name) {
  const size_t dot = name.find_last_of('.');
  return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
}

bool Flushed(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = ::fsync(fd) == 0;
  ::close(fd);
  return ok;
}

// Into place under `target`, or the first free "name (n).ext" should the name have been taken
// meanwhile (replacing it when the action overwrites); "" with *err on failure.
std::string PlaceFile(const std::string& from, const std::string& target, bool overwrite, int* err) {
  if (overwrite) {
    *err = ::rename(from.c_str(), target.c_str()) == 0 ? 0 : errno;
    return *err == 0 ? target : std::string();
  }
  for (int n = 1; n <= 9999; ++n) {
    const std::string to = n == 1 ? target : CollisionName(target, n);
    *err = RenameNoReplace(from, to);
    if (*err == 0) return to;
    if (*err != EEXIST) break;
  }
  return {};
}

}  // namespace

bool ActionRun::KeepsShots() const {
  return m_settings.m_bKeepShotsTogether != 0 &&
         (m_settings.m_iType == kMoveFiles || m_settings.m_iType == kCopyFiles ||
          m_settings.m_iType == kMoveFilesFromMedia);
}

bool ActionRun::ShotFollower(const std::string& path) const {
  if (!KeepsShots()) return false;
  const PathParts parts = SplitPath(path);
  const std::string name = parts.name + parts.extension;
  if (IsSidecarName(name)) return true;
  if (ShotKindOf(name) == ShotFileKind::Jpeg) return false;
  // The filters read the shot's JPEG where it has one.
  for (const char* ext : {".jpg", ".JPG", ".jpeg", ".JPEG", ".Jpg"})
    if (PathExists(parts.folder + parts.name + ext)) return true;
  return false;
}

// The selection regrouped into whole shots, a folder at a time; a shot not ready counts as held
// back.
class ActionRun::ShotSelection {
 public:
  ShotSelection(ActionRun& action, const ShotLister& list, const ShotWait& waits, size_t& heldBack)
      : a(action),
        list(list),
        waits(waits),
        heldBack(heldBack),
        now(action.m_host->Now()),
        minimumAge(action.MinimumFileAge()) {}

  // The shots of `folder` with a file among `picked` (its eligible names).
  void TakeFolder(const std::string& folder, const std::set<std::string>& picked) {
    std::vector<FileInfo> entries;
    std::map<std::string, int64_t> times;
    std::vector<std::string> names;
    if (list ? list(folder, entries) : ListFolder(folder, "*", entries)) {
      for (const FileInfo& e : entries) {
        if (e.directory || IsFileLayerTempName(e.name) || IsSetAsideName(e.name)) continue;
        names.push_back(e.name);
        times[e.name] = e.modTime;
      }
    } else {
      names.assign(picked.begin(), picked.end());
    }
    for (const Shot& shot : GroupShots(names)) TakeShot(folder, shot, picked, times);
  }

  // "Leave at least" counts shots: the newest go back, first of equals first.
  void LeaveNewest() {
    if (a.m_settings.m_iType >= kDeleteFiles && a.m_settings.m_iType <= kMoveFilesFromMedia &&
        a.m_settings.m_iLeaveMinFilecount > 0) {
      const size_t wanted = static_cast<size_t>(a.m_settings.m_iLeaveMinFilecount);
      while (!units.empty() && heldBack < wanted) {
        size_t best = 0;
        for (size_t j = 1; j < units.size(); ++j)
          if (units[j].time > units[best].time) best = j;
        units.erase(units.begin() + static_cast<std::ptrdiff_t>(best));
        ++heldBack;
      }
    }
  }

  // The files of the shots taken, each with its shot's time.
  void AppendTo(std::vector<Selected>& eligible) {
    for (Unit& u : units)
      for (std::string& f : u.files) eligible.push_back({std::move(f), u.time, false});
  }

 private:
  struct Unit {
    std::vector<std::string> files;
    int64_t time = 0;
  };

  void TakeShot(const std::string& folder, const Shot& shot, const std::set<std::string>& picked,
                std::map<std::string, int64_t>& times) {
    bool any = false, whole = true;
    std::string leader = folder + shot.members[shot.leader].name;
    auto moves = [&](const std::string& name) { return picked.count(name) || a.TakesName(name); };
    for (const ShotMember& m : shot.members) {
      if (picked.count(m.name)) any = true;
      // A copy takes what is not up to date yet; a move waits for the whole shot.
      if (a.m_settings.m_iType != kCopyFiles && a.TakesName(m.name) && !picked.count(m.name)) whole = false;
    }
    if (!any) {
      // Sidecars picked on their own, of files that do not move: each goes as any file would.
      for (const ShotMember& m : shot.members)
        for (const std::string& s : m.sidecars)
          if (picked.count(s)) units.push_back({{folder + s}, times[s]});
      return;
    }
    if (!whole) {
      // A member is still being written, locked or filtered out: the shot waits for it.
      a.LogFileNote(1, "Shot not complete", leader);
      ++heldBack;
      return;
    }
    if (waits && waits(folder, shot)) {
      a.LogFileNote(1, "Shot not complete", leader);
      ++heldBack;
      return;
    }
    Unit unit;
    std::vector<int64_t> memberTimes;
    for (const std::string& f : SelectedFiles(shot, moves)) {
      unit.files.push_back(folder + f);
      memberTimes.push_back(times.count(f) ? times[f] : 0);
    }
    // Members the file specification leaves out still lend the shot its date: a RAW still being
    // written holds its JPEG back as it would if both moved.
    std::vector<int64_t> lenderTimes = memberTimes;
    std::vector<std::string> members;
    for (const ShotMember& m : shot.members) {
      members.push_back(m.name);
      if (!moves(m.name) && m.kind != ShotFileKind::Other) lenderTimes.push_back(times[m.name]);
    }
    if (!ShotOldEnough(lenderTimes, now, minimumAge)) {
      a.LogFileNote(1, "File not old enough", leader);
      ++heldBack;
      return;
    }
    if (lenderTimes.size() > memberTimes.size())
      a.m_memory.wholeShots[folder + shot.key] = std::move(members);
    unit.time = ShotTime(memberTimes);
    units.push_back(std::move(unit));
  }

  ActionRun& a;
  const ShotLister& list;
  const ShotWait& waits;
  size_t& heldBack;
  const int64_t now;
  const int64_t minimumAge;
  std::vector<Unit> units;
};

void ActionRun::KeepShotsInSelection(std::vector<Selected>& eligible, size_t& heldBack,
                                     const ShotLister& list, const ShotWait& waits) {
  ShotSelection selection(*this, list, waits, heldBack);
  std::vector<Selected> kept;  // settled entries stand for themselves
  std::vector<std::string> folderOrder;
  std::map<std::string, std::set<std::string>> chosen;  // folder -> eligible names
  for (Selected& s : eligible) {
    if (s.settled || s.path.empty()) {
      kept.push_back(std::move(s));
      continue;
    }
    const PathParts parts = SplitPath(s.path);
    auto [it, fresh] = chosen.try_emplace(parts.folder);
    if (fresh) folderOrder.push_back(parts.folder);
    it->second.insert(parts.name + parts.extension);
  }
  m_memory.wholeShots.clear();
  for (const std::string& folder : folderOrder) selection.TakeFolder(folder, chosen[folder]);
  selection.LeaveNewest();
  eligible.clear();
  selection.AppendTo(eligible);
  for (Selected& s : kept) eligible.push_back(std::move(s));
}

// Shots a batch at a time: their JPEGs' turned or tagged copies and their copies across file
// systems are made under hidden names beside their targets and flushed, one shots record names
// every file, then all go into place (plain renames where source and target share a file
// system), the sources of copies are removed, and the record goes.
class ActionRun::MoveShotsRun {
 public:
  explicit MoveShotsRun(ActionRun& action)
      : a(action),
        values(action.m_host->Values()),
        names(action.GetTempFolder()),
        wholeShots(std::exchange(action.m_memory.wholeShots, {})) {
    // A copy that reads back wrong twice fails its shot, which stays whole at its source.
    cross.SetCheck(action.m_settings.m_bVerifyCopies != 0);
  }

  bool Run(const std::vector<std::string>& files) {
    // The list holds whole shots; it is grouped again by folder, in the order of the list.
    std::vector<std::string> folderOrder;
    std::map<std::string, std::vector<std::string>> byFolder;
    for (const std::string& path : files) {
      const PathParts parts = SplitPath(path);
      auto [it, fresh] = byFolder.try_emplace(parts.folder);
      if (fresh) folderOrder.push_back(parts.folder);
      it->second.push_back(parts.name + parts.extension);
    }
    const std::string description = a.GetDescription();
    const int n = static_cast<int>(files.size());
    int done = 0;
    for (const std::string& folder : folderOrder) {
      for (const Shot& shot : GroupShots(byFolder[folder])) {
        a.m_host->SetProgress(done, n, description, "Moving files");
        done += static_cast<int>(SelectedFiles(shot, [](const std::string&) { return true; }).size());
        MoveShot(folder, shot);
      }
    }
    Commit();
    names.Save(a.m_host->Now());
    return result;
  }

 private:
  struct File {
    std::string source, target, temp;  // temp: a copy beside the target ("" for a rename)
    FileIdentity sourceId, copyId;
    int crossIndex = -1;  // its entry in the cross-file-system batch
    size_t shot = 0;
  };
  struct PendingShot {
    std::string leader;     // the listed leader, for the log
    std::string xmpTarget;  // where a shot without a JPEG gets its BriskoExif sidecar ("": none)
    std::string comment;
    bool failed = false;
    bool noted = false;  // in the names remembered for late partners
    ShotNames::Entry remembered;
  };

  void MoveShot(const std::string& folder, const Shot& shot) {
    const std::string leaderName = shot.members[shot.leader].name;
    const std::string leader = folder + leaderName;
    const std::vector<std::string> all = SelectedFiles(shot, [](const std::string&) { return true; });
    std::vector<std::string> kinds;
    for (const std::string& name : all) kinds.push_back(Lowered(MemberNewName(shot, name, "")));
    // The date is the whole shot's: a JPEG moving without its RAW still takes the RAW's date.
    Shot whole = shot;
    if (auto it = wholeShots.find(folder + shot.key); it != wholeShots.end()) {
      std::vector<Shot> grouped = GroupShots(it->second);
      if (grouped.size() == 1) whole = std::move(grouped[0]);
    }
    const std::string dateLeader = folder + whole.members[whole.leader].name;
    const std::string partner = ShotDatePartner(whole);
    ShotDateAccess dates(leader, dateLeader, dateLeader, partner.empty() ? partner : folder + partner,
                         partner.empty() ? partner : folder + partner);
    const int64_t captured = CaptureTimeOf(dates, leader);
    const ShotNames::Entry* earlier = names.Find(folder, shot.key, captured, kinds, a.m_host->Now());
    const bool joins = earlier != nullptr;
    if (!joins) values.m_iFileCounter += 1;
    NamingContext context = a.MakeNamingContext();
    context.exif = &dates;
    BriskoExifFields fields;
    a.ReadFields(leader, fields);
    std::string base;
    std::string destination = DestinationOf(earlier, leader, fields, context, base);
    if (a.m_settings.m_bAddOrUpdateBriskoExif) {
      const StationValues& station = a.m_host->Values();
      CompleteFieldsForWrite(fields, leader, a.m_pIdTxt, station.m_strBarcodeInputsArray,
                             station.m_strOperatorSelectedText,
                             BriskoExifCustomMap(a.m_settings.m_BriskoExifCustomActionFieldsMap));
    }
    // The JPEG's own steps come first: a turned JPEG takes its shot into "Rotated/".
    const ShotMember* jpeg = nullptr;
    for (const ShotMember& m : shot.members)
      if (m.kind == ShotFileKind::Jpeg && !jpeg) jpeg = &m;
    std::string processed;
    if (jpeg) processed = Process(folder + jpeg->name, fields, destination, joins);
    if (!joins) {
      base = StemOf(leaderName);
      if (a.m_settings.m_bRenameFile) {
        const std::string made =
            a.m_settings.m_RenameTemplate.GenerateNewName(leader, a.m_pIdTxt, fields, false, context);
        if (!made.empty()) base = StemOf(made);
      }
    }
    std::string suffix;
    if (!a.m_settings.m_bOverwriteExistingFiles) {
      bool ok = true;
      const int64_t now = a.m_host->Now();
      suffix = SharedCollisionSuffix(
          shot, all, base, [&](const std::string& name) { return Taken(destination + name); }, ok, 10000,
          [&](const std::string& b) { return !joins && names.Reserved(destination, b, now); });
    }
    if (files.size() + all.size() > CopyBatch::kMaxFiles) Commit();
    const size_t index = shots.size();
    PendingShot pendingShot;
    pendingShot.leader = leader;
    std::string moved;
    for (const std::string& k : kinds) moved += (moved.empty() ? "" : "|") + k;
    pendingShot.remembered = {folder, shot.key, captured, destination, base + suffix, 0, moved};
    // A partner joining its shot: the block went with the shot's first files.
    if (a.m_settings.m_bAddOrUpdateBriskoExif && !jpeg && !joins) {
      // Into the shot's own XMP sidecar where it has one (merged), else a new one.
      pendingShot.comment = fields.BuildBlock();
      pendingShot.xmpTarget = destination + base + suffix + ".xmp";
      for (const std::string& name : all)
        if (EqualsNoCase(SplitPath(name).extension, ".xmp"))
          pendingShot.xmpTarget = destination + MemberNewName(shot, name, base + suffix);
    }
    AddFiles(folder, shot, all, jpeg, processed, destination, base + suffix, index, pendingShot);
    if (!processed.empty()) ::unlink(processed.c_str());
    shots.push_back(std::move(pendingShot));
    if (cross.Full()) Commit();
    ++values.g_nShellOperationDepth;
    a.m_host->DispatchPendingEvents();  // between files, as the shell operation does
    --values.g_nShellOperationDepth;
  }

  // Where the shot goes, created when missing; `base` gets the name of the shot it joins.
  std::string DestinationOf(const ShotNames::Entry* earlier, const std::string& leader,
                            const BriskoExifFields& fields, const NamingContext& context, std::string& base) {
    std::string destination;
    if (earlier) {
      // A partner of a shot that moved a moment ago: it joins that shot's name and folder.
      destination = earlier->folder;
      base = earlier->base;
      if (!PathExists(destination)) ActionRun::CreateFolderPath(destination);
    } else {
      destination = WithTrailingSeparator(a.m_settings.m_strDestFolder);
      const std::string subfolder =
          a.m_settings.m_bCreateNewSubfolder
              ? a.m_settings.m_SubfolderTemplate.GenerateSubfolderName(a.m_pIdTxt, fields, leader, context)
              : std::string();
      if (!subfolder.empty()) {
        destination = TrimTrailingSeparators(destination) + "/" + subfolder + "/";
        if (!PathExists(destination)) ActionRun::CreateFolderPath(destination);
      }
    }
    return destination;
  }

  // The shot's files join the batch under their new names (`newBase`): the JPEG's processed copy,
  // a copy across file systems, or a plain rename; each with its source's identity as read now.
  void AddFiles(const std::string& folder, const Shot& shot, const std::vector<std::string>& all,
                const ShotMember* jpeg, std::string& processed, const std::string& destination,
                const std::string& newBase, size_t index, PendingShot& pendingShot) {
    for (const std::string& name : all) {
      File f;
      f.source = folder + name;
      f.target = destination + MemberNewName(shot, name, newBase);
      f.shot = index;
      if (f.target == f.source) continue;  // already where and as it should be
      if (jpeg && name == jpeg->name && !processed.empty()) {
        f.temp = processed;
        processed.clear();
      } else if (fileSystems.Crosses(f.source, destination)) {
        const CopyBatch::Entry& e =
            cross.Add(f.source, f.target,
                      a.m_settings.m_bOverwriteExistingFiles ? Collision::Replace : Collision::Rename);
        f.crossIndex = static_cast<int>(cross.Entries().size()) - 1;
        if (e.err != 0) pendingShot.failed = true;
      }
      if (!ReadFileIdentity(f.source, f.sourceId)) pendingShot.failed = true;
      f.copyId = f.sourceId;
      pending.insert(f.target);
      files.push_back(std::move(f));
    }
  }

  // The JPEG turned and/or tagged into a flushed hidden copy beside its target ("" when it
  // needs neither or they failed: it then moves as it is). `destination` gains "Rotated/".
  std::string Process(const std::string& jpeg, BriskoExifFields& fields, std::string& destination,
                      bool fixed) {
    std::string copy;
    if (a.m_settings.m_bAutoRotateJPG && JpegNeedsRotation(jpeg)) {
      std::string folder = destination;
      if (a.m_settings.m_bAutoRotateUseSubfolder && !fixed) folder += "Rotated/";
      ActionRun::CreateFolderPath(folder);
      const std::string turned = HiddenTempName(folder, "rot");
      std::string why;
      if (AutoRotateJpeg(a.GetTempFolder(), jpeg, turned, &why)) {
        a.LogMessage("Rotated " + jpeg);
        a.m_host->NotePhotoStep(PhotoStep::Rotated);
        copy = turned;
        destination = folder;
      } else {
        ::unlink(turned.c_str());
        a.LogMessage("Not rotated: " + (why.empty() ? std::string("the lossless turn failed") : why) + ": " +
                     jpeg);
      }
    }
    if (a.m_settings.m_bAddOrUpdateBriskoExif) {
      std::string tagged;
      FileIdentity id;
      if (WriteTaggedCopy(copy.empty() ? jpeg : copy, destination, fields, tagged, id)) {
        if (!copy.empty()) ::unlink(copy.c_str());
        copy = tagged;
        a.m_host->NotePhotoStep(PhotoStep::Tagged);
      } else {
        a.LogMessage("Not tagged: " + jpeg);
      }
    }
    if (copy.empty()) return copy;
    if (auto listed = ListedPhotoOf(jpeg)) KeepListedTime(copy, *listed);
    if (!Flushed(copy)) {
      ::unlink(copy.c_str());
      return {};
    }
    return copy;
  }

  static int64_t CaptureTimeOf(ExifAccess& dates, const std::string& path) {
    std::time_t when = 0;
    return dates.ReadDateTime(path, when) ? when : 0;
  }
  static std::string Lowered(std::string s) {
    for (char& c : s)
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
  }

  bool Taken(const std::string& path) { return pending.count(path) || PathExists(path); }

  void Commit() {
    if (files.empty() && shots.empty()) return;
    ++values.g_nShellOperationDepth;
    cross.Flush();
    // A shot with a file that could not be copied stays whole at its source.
    CheckCopies();
    MoveBatchRecord record = RecordOfShots();
    // Where each shot goes is on disk before any of it moves: a partner arriving after a crash
    // still finds its shot.
    NoteShotNames();
    MoveJournal::Reached("shot names noted");
    MoveJournal journal(a.GetTempFolder());
    int err = 0;
    const bool recorded = record.entries.empty() || journal.Write(record, &err);
    if (!recorded) {
      a.LogMessage("FAILED: Write move record for " + record.entries.front().source);
      a.LogMessage(ErrnoText(err));
      for (File& f : files)
        if (f.crossIndex < 0 && !f.temp.empty()) ::unlink(f.temp.c_str());
      cross.Clear();  // the uncommitted copies go; every source stays
      for (PendingShot& s : shots) s.failed = true;
    } else if (!record.entries.empty()) {
      MoveJournal::Reached("shots recorded");
      PlaceFiles();
      MoveJournal::Reached("shots placed");
      RemoveSources();
      MoveJournal::Reached("sources removed");
      SettleRecord(journal, record);
    }
    --values.g_nShellOperationDepth;
    ConfirmMoved();
    LogFiles();
    LogShots();
    files.clear();
    shots.clear();
    pending.clear();
    placed.clear();
    failures.clear();
    waiting.clear();
    cross.Clear();
  }

  // The copies made, as they are now: a copy that failed or cannot be read fails its shot.
  void CheckCopies() {
    for (File& f : files) {
      if (f.crossIndex >= 0) {
        const CopyBatch::Entry& e = cross.Entries()[size_t(f.crossIndex)];
        if (e.err != 0 || e.temp.empty()) shots[f.shot].failed = true;
        f.temp = e.temp;
      }
      if (!f.temp.empty() && !ReadFileIdentity(f.temp, f.copyId)) shots[f.shot].failed = true;
    }
  }

  // The shots record: every file of the shots that did not fail.
  MoveBatchRecord RecordOfShots() {
    MoveBatchRecord record;
    record.action = a.m_settings.m_strName;
    record.overwrite = a.m_settings.m_bOverwriteExistingFiles != 0;
    record.together = true;
    for (File& f : files) {
      if (shots[f.shot].failed) {
        // Its copy never takes its place: gone before the batch places the others.
        if (!f.temp.empty()) ::unlink(f.temp.c_str());
        continue;
      }
      record.entries.push_back({f.source, f.sourceId, f.target, f.copyId, f.temp});
    }
    return record;
  }

  void NoteShotNames() {
    for (PendingShot& shot : shots) {
      if (shot.failed) continue;
      names.Remember(shot.remembered, a.m_host->Now());
      shot.noted = true;
    }
    names.Save(a.m_host->Now());
  }

  // Every recorded file into place: the batch's copies, then the renames of the others, whose
  // folders are flushed.
  void PlaceFiles() {
    cross.Place();
    std::set<std::string> folders;
    for (File& f : files) {
      if (shots[f.shot].failed) continue;
      if (f.crossIndex >= 0) {
        const CopyBatch::Entry& e = cross.Entries()[size_t(f.crossIndex)];
        placed[&f] = e.placed;
        if (e.placed.empty()) failures[&f] = e.err;
      } else {
        int e = 0;
        const std::string at = PlaceFile(f.temp.empty() ? f.source : f.temp, f.target,
                                         a.m_settings.m_bOverwriteExistingFiles != 0, &e);
        placed[&f] = at;
        if (at.empty()) failures[&f] = e;
        folders.insert(SplitPath(f.target).folder);
      }
      MoveJournal::Reached("shot file placed");
    }
    for (const std::string& folder : folders) SyncFolderHolding(folder + ".");
  }

  // The sources of the placed files that were copied go, each only while it is still the file
  // recorded; their folders are flushed.
  void RemoveSources() {
    cross.RemoveSources();
    std::set<std::string> sourceFolders;
    for (File& f : files) {
      if (shots[f.shot].failed || placed[&f].empty()) continue;
      if (f.crossIndex >= 0) {
        const CopyBatch::Entry& e = cross.Entries()[size_t(f.crossIndex)];
        if (e.waiting) {
          waiting.insert(&f);
        } else if (e.placed.empty()) {
          // Its source stays (changed, refused): the copy was taken back, not moved.
          placed[&f].clear();
          failures[&f] = e.err;
        }
        continue;
      }
      if (f.temp.empty()) continue;
      RemoveCopiedSource(f, sourceFolders);
    }
    for (const std::string& folder : sourceFolders) {
      if (SyncFolderHolding(folder + ".")) continue;
      // A removal not on the card may come back with it: those moves wait for the card.
      for (File& f : files)
        if (f.crossIndex < 0 && !f.temp.empty() && !placed[&f].empty() &&
            SplitPath(f.source).folder == folder)
          waiting.insert(&f);
    }
  }

  // The source of a file placed from its processed copy; `sourceFolders` gets its folder once
  // it is removed.
  void RemoveCopiedSource(File& f, std::set<std::string>& sourceFolders) {
    const FileIdentity was = f.sourceId;
    int e = 0;
    SourceRemoval removal = RemoveSource(
        f.source, [&](const std::string& at) { return StillTheRecordedFile(at, was); }, e);
    if (removal == SourceRemoval::Kept && e == ENOENT)
      removal = GoneFromItsFolder(f.source, was.device) ? SourceRemoval::Removed : SourceRemoval::OutOfReach;
    if (removal == SourceRemoval::OutOfReach) {
      // Its card pulled mid-way: the copy may be the only one, and the shot's record waits
      // for the card with it, so the shot ends whole in place, once.
      waiting.insert(&f);
      return;
    }
    if (e == EBUSY) {
      a.LogMessage(FillIn("Left file %s: changed since its copy %s was made", f.source, placed[&f]));
    } else if (removal == SourceRemoval::Kept && was.device != f.copyId.device) {
      // A refused removal: the copy is taken back, so the photo stays once at its source.
      if (!a.m_settings.m_bOverwriteExistingFiles) ::unlink(placed[&f].c_str());
      placed[&f].clear();
      failures[&f] = e;
    }
    if (removal == SourceRemoval::Removed) sourceFolders.insert(SplitPath(f.source).folder);
  }

  // The record goes, or keeps only the moves that wait for their card.
  void SettleRecord(MoveJournal& journal, const MoveBatchRecord& record) {
    MoveBatchRecord rest = record;
    rest.entries.clear();
    std::vector<std::string> held;
    for (const File* f : waiting) {
      KeepWaitingEntry(record, f->source, placed[f], rest);
      held.push_back(placed[f]);
    }
    if (rest.entries.empty()) {
      journal.Remove();
    } else {
      journal.Write(rest);
      journal.Keep(std::move(held));
    }
  }

  // What moved counts as moved for late partners; what did not is still to come.
  void ConfirmMoved() {
    std::map<size_t, std::vector<std::string>> moved;
    for (size_t k = 0; k < shots.size(); ++k)
      if (shots[k].noted) moved[k];
    for (File& f : files) {
      const PendingShot& s = shots[f.shot];
      if (!s.noted || s.failed || placed[&f].empty()) continue;
      moved[f.shot].push_back(ShotNames::KindOf(f.target, s.remembered.base));
    }
    for (const auto& [shot, kinds] : moved) names.Confirm(shots[shot].remembered, kinds);
    if (!moved.empty()) names.Save(a.m_host->Now());
  }

  // Each file moved or failed, in the log; a moved one gets its attributes and the external
  // program.
  void LogFiles() {
    for (File& f : files) {
      if (shots[f.shot].failed) continue;
      const std::string& at = placed[&f];
      if (waiting.count(&f)) continue;  // its record says so from the next pass on
      if (at.empty()) {
        a.LogMessage(MoveFailedLine(f.source, f.target));
        if (failures[&f] != 0) a.m_host->AddToLog("  Reason: " + ErrnoText(failures[&f]));
        result = false;
        continue;
      }
      a.ApplyFileAttributes(at);
      if (a.m_settings.m_bUseExternalExe) a.RunExternalApplication(at);
      const bool checked = f.crossIndex >= 0 && cross.Entries()[size_t(f.crossIndex)].checked;
      a.LogMessage(FillIn("Moved file from %s to %s", f.source, at) + CheckedMark(checked));
    }
  }

  // Each failed shot in the log; a moved shot without a JPEG gets its BriskoExif sidecar.
  void LogShots() {
    for (PendingShot& s : shots) {
      if (s.failed) {
        a.LogMessage("FAILED: Move shot " + s.leader + ": it stays whole where it is");
        result = false;
        continue;
      }
      if (s.xmpTarget.empty()) continue;
      std::string why;
      if (!WriteSidecarUserComment(s.xmpTarget, s.comment, &why))
        a.LogMessage("Not tagged: " + why + ": " + s.xmpTarget);
    }
  }

  ActionRun& a;
  StationValues& values;
  bool result = true;
  CopyBatch cross{true};
  FileSystemTest fileSystems;
  std::vector<File> files;  // stable addresses are not needed: keyed by pointer only within Commit
  std::vector<PendingShot> shots;
  std::set<std::string> pending;
  std::map<const File*, std::string> placed;
  std::map<const File*, int> failures;
  std::set<const File*> waiting;  // placed, their sources out of reach: the record waits for them
  ShotNames names;
  const std::map<std::string, std::vector<std::string>> wholeShots;  // see ActionRun::m_memory.wholeShots
};

bool ActionRun::MoveShots(const std::vector<std::string>& files) {
  return MoveShotsRun(*this).Run(files);
}

}  // namespace brisko
