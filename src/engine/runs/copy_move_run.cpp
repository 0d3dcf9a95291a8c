// Copy Subfolders and Move Files runs: their batches of copies, tagged copies and single photos.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <set>

#include "engine/base/run_support.h"
#include "engine/records/move_journal.h"
#include "engine/records/tag_batch.h"
#include "engine/runs/action_run.h"
#include "imagemeta/auto_rotate.h"
#include "imagemeta/jpeg_exif_file.h"
#include "naming/brisko_exif_fields.h"
#include "naming/exif_access.h"
#include "support/copy_batch.h"
#include "support/file_ops.h"
#include "support/logger.h"
#include "support/path_util.h"

namespace brisko {

namespace {

bool IsFolder(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The line after a failed move that says why, naming the folder at fault so the operator
// knows where to look (a card not mounted, a share gone, a folder made read-only).
std::string MoveFailureReason(int err, const std::string& source, const std::string& target) {
  std::string reason = "  Reason: " + ErrnoText(err);
  const std::string folder = TrimTrailingSeparators(SplitPath(target).folder);
  if (err == ENOENT || err == ENOTDIR) {
    if (IsFolder(folder)) return reason + ": " + source;
    // The topmost missing folder is the one to make or mount.
    std::string missing = folder;
    for (std::string up = TrimTrailingSeparators(SplitPath(missing).folder); !up.empty() && !PathExists(up);
         up = TrimTrailingSeparators(SplitPath(up).folder)) {
      missing = up;
    }
    return reason + ": " + missing;
  }
  if (err == EACCES || err == EPERM || err == EROFS) {
    if (::access(folder.c_str(), W_OK | X_OK) != 0) return reason + " (destination folder is read-only)";
    const std::string from = TrimTrailingSeparators(SplitPath(source).folder);
    if (::access(from.c_str(), W_OK | X_OK) != 0) return reason + " (source folder is read-only)";
  }
  return reason;
}

bool NamedAsJpeg(const std::string& path) {
  std::string ext = SplitPath(path).extension;
  for (char& c : ext) c = (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
  return ext == ".jpg" || ext == ".jpeg";
}

// Naming reads the photo's user comment from its tagged copy, as it would after the step. The
// template is given the listed path (the copy's hidden name does not say it is a JPEG); the
// date taken is the same in both.
class ExifOfCopy final : public ExifAccess {
 public:
  ExifOfCopy(const std::string& listed, const std::string& copy) : m_listed(listed), m_copy(copy) {}
  bool ReadUserComment(const std::string& path, std::string& text) override {
    if (path != m_listed) return DefaultExifAccess().ReadUserComment(path, text);
    JpegExifFile copy;
    return copy.Parse(m_copy) && copy.GetUserComment(text);
  }
  bool ReadDateTime(const std::string& path, std::time_t& when) override {
    return DefaultExifAccess().ReadDateTime(path, when);
  }
  bool WriteUserComment(const std::string& comment, const std::string& source,
                        const std::string& destination) override {
    return DefaultExifAccess().WriteUserComment(comment, source, destination);
  }

 private:
  const std::string& m_listed;
  const std::string& m_copy;
};

}  // namespace

namespace {

// Records a batch of copies that are durable under their hidden names and not yet placed, so
// that a crash before their sources are deleted doubles nothing: the next pass removes each
// source whose copy is in place (see RecoverMoves). As many entries per record as fit; a record
// that cannot be written leaves its entries as they were without one.
void RecordCopies(const CopyBatch& batch, const std::string& action, const std::string& tempFolder,
                  std::vector<ActionRun::RecordedCopies>& records) {
  const size_t bare = FormatMoveBatchRecord({}).size();
  MoveBatchRecord record;
  record.action = action;
  const size_t empty = FormatMoveBatchRecord(record).size();
  size_t bytes = empty;
  auto write = [&] {
    if (record.entries.empty()) return;
    auto journal = std::make_unique<MoveJournal>(tempFolder);
    if (journal->Write(record)) {
      MoveJournal::Reached("copies recorded");
      records.push_back({std::move(journal), record});
    }
    record.entries.clear();
    bytes = empty;
  };
  for (const CopyBatch::Entry& e : batch.Entries()) {
    if (e.err != 0 || e.temp.empty()) continue;
    MoveBatchRecord::Entry entry{
        e.source, {e.sourceDevice, e.sourceInode, e.sourceSize, e.sourceModTimeNs}, e.target, {}, e.temp};
    entry.hash = e.hash;
    if (!ReadFileIdentity(e.temp, entry.copyIdentity)) continue;
    const size_t size = FormatMoveBatchRecord({{}, false, {entry}}).size() - bare;
    if (bytes + size > RecordBound(kMaxMoveBatchRecordBytes)) write();
    record.entries.push_back(std::move(entry));
    bytes += size;
  }
  write();
}

}  // namespace

bool ActionRun::CopySubfolderFiles(std::vector<std::string>& files, bool move,
                                   std::vector<CopiedFile>* copied, std::vector<RecordedCopies>* records,
                                   const ListedTimes* listedTimes) {
  if (copied) copied->assign(files.size(), CopiedFile{});
  const std::string description = GetDescription();
  const std::string root = WithTrailingSeparator(PassSource());
  // Copies are made durable a batch at a time; the caller deletes sources only after that.
  CopyBatch batch;
  batch.SetCheck(m_settings.m_bVerifyCopies != 0);
  batch.SetMakesFolders(true);
  TargetFolders targets;
  std::vector<int> listed;  // the file index of each batch entry
  auto commit = [&] {
    batch.Flush();
    if (records) RecordCopies(batch, m_settings.m_strName, GetTempFolder(), *records);
    batch.Place();
    for (size_t k = 0; k < batch.Entries().size(); ++k) {
      const CopyBatch::Entry& entry = batch.Entries()[k];
      if (entry.inUse) {
        LogFileNote(1, "File currently locked", entry.source);
        files[static_cast<size_t>(listed[k])].clear();
        continue;
      }
      if (entry.checkFailed) {
        LogMessage(CheckFailedLine(FillIn("FAILED: Copy file %s to %s", entry.source, entry.target)));
        files[static_cast<size_t>(listed[k])].clear();
        continue;
      }
      if (entry.err != 0) {
        LogMessage(FillIn("FAILED: Copy file %s to %s", entry.source, entry.target));
        LogMessage(ErrnoText(entry.err));
        files[static_cast<size_t>(listed[k])].clear();
        continue;
      }
      if (entry.upToDate) {
        NoteUpToDate(entry.source, entry.target, entry.targetStatus);
        files[static_cast<size_t>(listed[k])].clear();
        continue;
      }
      if (copied) {
        (*copied)[static_cast<size_t>(listed[k])] = {
            {entry.sourceDevice, entry.sourceInode, entry.sourceSize, entry.sourceModTimeNs}, entry.placed};
      }
      if (m_settings.m_bUseExternalExe) RunExternalApplication(entry.placed);
      LogMessage(FillIn("Copied file %s to %s", entry.source, entry.placed) + CheckedMark(entry.checked));
    }
    batch.Clear();
    listed.clear();
  };
  const int n = static_cast<int>(files.size());
  for (int i = 0; i < n; ++i) {
    std::string& entry = files[i];
    m_host->SetProgress(i, n, description, "Copying files");
    if (entry.empty()) continue;
    const std::string path = entry;
    const PathParts parts = SplitPath(path);
    // Only the leading source folder is cut off: a subfolder may repeat its name further down.
    std::string relative;
    if (parts.folder.compare(0, root.size(), root) == 0) relative = parts.folder.substr(root.size());
    BriskoExifFields fields;
    ReadFields(path, fields);
    const std::string targetFolder = GetDestinationFolder(path, fields) + relative;
    const std::string name = parts.name + parts.extension;
    std::string target = targetFolder + name;
    if (!targets.Make(targetFolder)) {
      LogMessage(FillIn("FAILED: Make Subfolder %s for Copy file %s to %s", targetFolder, path, target));
      entry.clear();
      continue;
    }
    FileInfo targetStatus;
    const bool present = targets.MayHold(targetFolder, name) && GetFileStatus(target, targetStatus);
    if (present && move) {
      MakeUniqueFileName(target);
    } else if (present) {
      // As Copy Files: the listed time decides, and a copy made goes by its own time test.
      const std::optional<int64_t> listedTime =
          listedTimes && size_t(i) < listedTimes->size() ? (*listedTimes)[size_t(i)] : std::nullopt;
      FileInfo sourceStatus;
      const bool readable = listedTime || GetFileStatus(path, sourceStatus);
      if (!readable || listedTime.value_or(sourceStatus.modTime) <= targetStatus.modTime) {
        if (readable) NoteUpToDate(path, target, targetStatus);
        entry.clear();
        continue;
      }
    }
    NoteCopied();
    if (move) {
      batch.Add(path, target, Collision::Rename);  // keep both, even if the free name is taken meanwhile
    } else {
      batch.AddIfNewer(path, target, CopyTestsInUse());
    }
    listed.push_back(i);
    if (batch.Full()) commit();
  }
  commit();
  return true;
}

// A Move Files run, step by step. Three ways take a photo to its destination: a batch of copies
// across file systems (CopyBatch, one record for the batch), a batch of tagged copies (TagBatch)
// and one photo alone through its steps (rotation and BriskoExif in the temp folder, with its own
// record). The log keeps the order of the files, so a photo that goes one way first commits the
// batches of the others.
class ActionRun::MoveFilesRun {
 public:
  explicit MoveFilesRun(ActionRun& action)
      : a(action),
        values(action.m_host->Values()),
        collision(action.m_settings.m_bOverwriteExistingFiles ? Collision::Replace : Collision::Rename),
        tagBatch(action.m_settings.m_bAddOrUpdateBriskoExif ? action.GetTempFolder() : std::string(),
                 action.m_settings.m_strName, action.m_settings.m_bOverwriteExistingFiles != 0) {
    tagBatch.SetTakes([&action](const std::string& name) { return action.TakesName(name); });
    batch.SetCheck(action.m_settings.m_bVerifyCopies != 0);
    batch.SetTakes([&action](const std::string& name) { return action.TakesName(name); });
  }

  bool Run(const std::vector<std::string>& files) {
    const std::string description = a.GetDescription();
    const int n = static_cast<int>(files.size());
    for (int i = 0; i < n; ++i) {
      values.m_iFileCounter += 1;
      a.m_host->SetProgress(i, n, description, "Moving files");
      MoveOne(files[size_t(i)]);
    }
    Commit();
    return result;
  }

 private:
  // Tagging a batch at a time: see tag_batch.h. What the batch could not move goes on its own.
  struct TagWork {
    std::string listed;
    std::optional<ListedPhoto> asListed;
    BriskoExifFields fields;  // as read, before the block was made
    std::string destination;
    std::string name;
  };

  void MoveOne(const std::string& listed) {
    // Before the steps move it; only they take the photo from its listed place.
    const bool steps = a.m_settings.m_bAutoRotateJPG || a.m_settings.m_bAddOrUpdateBriskoExif;
    const std::optional<ListedPhoto> asListed = steps ? ListedPhotoOf(listed) : std::nullopt;
    BriskoExifFields fields;
    a.ReadFields(listed, fields);
    std::string destination = a.GetDestinationFolder(listed, fields);
    // Tagging alone goes by batch (a photo to turn keeps its own steps).
    if (a.m_settings.m_bAddOrUpdateBriskoExif && asListed &&
        !(a.m_settings.m_bAutoRotateJPG && JpegNeedsRotation(listed)) &&
        AddToTagBatch(listed, *asListed, fields, destination))
      return;
    CommitTag();  // the log keeps the order of the files
    MoveAlone(listed, asListed, fields, std::move(destination), nullptr);
  }

  // The tagged copy is made beside its target under a hidden name and is named as the photo
  // would be after the step. False when the photo goes alone (`fields` then as read).
  bool AddToTagBatch(const std::string& listed, const ListedPhoto& asListed, BriskoExifFields& fields,
                     const std::string& destination) {
    BriskoExifFields asRead = fields;
    const StationValues& station = a.m_host->Values();
    CompleteFieldsForWrite(fields, listed, a.m_pIdTxt, station.m_strBarcodeInputsArray,
                           station.m_strOperatorSelectedText,
                           BriskoExifCustomMap(a.m_settings.m_BriskoExifCustomActionFieldsMap));
    TagBatch::Entry entry;
    int claimErr = 0;
    entry.claim = ClaimSourceAt(listed, &claimErr);
    if (!entry.claim && claimErr == EBUSY) {
      // Another station moving from this folder has it.
      a.LogFileNote(1, "File currently locked", listed);
      return true;
    }
    if (WriteTaggedCopy(listed, destination, fields, entry.temp, entry.sourceIdentity)) {
      KeepListedTime(entry.temp, asListed);
      const PathParts parts = SplitPath(listed);
      std::string name = parts.name + parts.extension;
      if (a.m_settings.m_bRenameFile) {
        NamingContext context = a.MakeNamingContext();
        context.listed = asListed;
        ExifOfCopy exif(listed, entry.temp);
        context.exif = &exif;
        std::string newName =
            a.m_settings.m_RenameTemplate.GenerateNewName(listed, a.m_pIdTxt, fields, false, context);
        if (!newName.empty()) name = std::move(newName);
      }
      std::string target = destination + name;
      if (!a.m_settings.m_bOverwriteExistingFiles) TakeFreeName(target);
      // A target that is the photo itself (a folder moved onto itself with overwrite on) goes
      // the single-photo way, which has the photo off that name before it places the copy.
      FileIdentity at;
      const bool itself =
          target == listed || (ReadFileIdentity(target, at) && at.device == entry.sourceIdentity.device &&
                               at.inode == entry.sourceIdentity.inode);
      if (!itself) {
        CommitCross();  // the log keeps the order of the files
        entry.source = listed;
        entry.target = target;
        entry.bytes = entry.sourceIdentity.size;
        tagBatch.Add(std::move(entry));
        tagWork.push_back({listed, asListed, std::move(asRead), destination, name});
        pending.insert(target);
        BetweenFiles();
        if (tagBatch.Full()) CommitTag();
        return true;
      }
      ::unlink(entry.temp.c_str());
    }
    fields = std::move(asRead);
    return false;
  }

  // One photo on its own, from its steps on (its destination chosen already). A tag batch hands
  // back a photo it could not move with the name it gave it.
  void MoveAlone(const std::string& listed, const std::optional<ListedPhoto>& asListed,
                 BriskoExifFields& fields, std::string destination, const std::string* fixedName) {
    const PathParts parts = SplitPath(listed);
    std::string name = parts.name + parts.extension;
    std::string current = listed;
    // Once a step below leaves the photo only in the temp folder, a record there says how to
    // finish the move should the station die before the photo is in place.
    MoveJournal journal(a.m_settings.m_bAutoRotateJPG || a.m_settings.m_bAddOrUpdateBriskoExif
                            ? a.GetTempFolder()
                            : std::string());
    MoveRecord record;
    if (a.m_settings.m_bAutoRotateJPG ||
        a.m_settings.m_bAddOrUpdateBriskoExif) {  // a plain rename needs no record
      record.action = a.m_settings.m_strName;
      record.source = listed;
      record.folder = destination;
      record.name = name;
      record.rename = a.m_settings.m_bRenameFile != 0;
      record.overwrite = a.m_settings.m_bOverwriteExistingFiles != 0;
    }
    // A file that cannot be read as a JPEG goes on unrotated, but the log says so.
    if (a.m_settings.m_bAutoRotateJPG && NamedAsJpeg(listed) && !JpegExifFile().Parse(listed))
      a.LogMessage("Not rotated: " + WhyNotJpeg(listed) + ": " + listed);
    if (a.m_settings.m_bAutoRotateJPG && !a.RotateForMove(current, destination, journal, record)) return;
    if (a.m_settings.m_bAddOrUpdateBriskoExif &&
        !a.WriteBriskoExifForMove(listed, current, fields, journal, record))
      return;
    if (current != listed && asListed) KeepListedTime(current, *asListed);
    if (fixedName) {
      name = *fixedName;
    } else if (a.m_settings.m_bRenameFile) {
      // The template sees the photo as listed, not the temp name (x_2.jpg) the steps above may
      // have given it. A name it cannot make keeps the file's own name.
      NamingContext context = a.MakeNamingContext();
      if (current != listed) context.listed = asListed;
      std::string newName =
          a.m_settings.m_RenameTemplate.GenerateNewName(current, a.m_pIdTxt, fields, false, context);
      if (!newName.empty()) name = std::move(newName);
    }
    std::string target = destination + name;
    const bool crosses = !journal.Active() && current == listed && fileSystems.Crosses(listed, destination);
    if (!a.m_settings.m_bOverwriteExistingFiles && !journal.Active() && current == listed && !crosses &&
        RenameInPlace(listed, target))
      return;
    if (!a.m_settings.m_bOverwriteExistingFiles) TakeFreeName(target);
    if (crosses) {
      AddToCopyBatch(listed, target);
      return;
    }
    Commit();  // the log keeps the order of the files
    PlaceAlone(listed, current, destination, target, journal, record);
  }

  // A plain rename: the rename itself says whether the name is taken, and only then is a free
  // one looked for (the batches are placed before this file).
  bool RenameInPlace(const std::string& listed, const std::string& target) {
    Commit();
    int err = 0;
    ++values.g_nShellOperationDepth;
    const bool renamed = MoveFile(listed, target, Collision::Fail, nullptr, &err);
    if (renamed) a.m_host->DispatchPendingEvents();  // between files, as the shell operation does
    --values.g_nShellOperationDepth;
    if (!renamed) return false;
    Moved(listed, target);
    result = true;
    return true;
  }

  void AddToCopyBatch(const std::string& listed, const std::string& target) {
    CommitTag();  // the log keeps the order of the files
    ++values.g_nShellOperationDepth;
    batch.Add(listed, target, collision);
    a.m_host->DispatchPendingEvents();
    --values.g_nShellOperationDepth;
    pending.insert(target);
    if (batch.Full()) Commit();
  }

  // The photo (at `current`: its listed place, or the temp folder after its steps) to `target`;
  // the record, if any, says so first.
  void PlaceAlone(const std::string& listed, const std::string& current, const std::string& destination,
                  const std::string& target, MoveJournal& journal, MoveRecord& record) {
    if (journal.Active()) {
      record.step = MoveStep::Placing;
      record.photo = current;
      record.photoIdentity = {};
      record.copy.clear();
      record.scratch.clear();
      record.folder = destination;
      record.name = SplitPath(target).name + SplitPath(target).extension;
      record.rename = false;
      record.target = target;
      // When this fails the copying record still leads to the photo; a crash may then double it.
      journal.Write(record);
      MoveJournal::Reached("placing recorded");
    }
    std::vector<std::string> placed;
    int err = 0;
    const bool ok = a.CopyOrMoveFilesUsingShell(false, {current}, {target}, &placed, &err);
    if (ok) {
      const std::string& arrived = placed.empty() || placed[0].empty() ? target : placed[0];
      if (journal.Active()) {
        // The record goes only once the new name is on disk.
        SyncFolderHolding(arrived);
        MoveJournal::Reached("placed");
      }
      Moved(listed, arrived);
      if (journal.Active()) MoveJournal::Reached("logged");
      journal.Remove();
    } else {
      a.LogMessage(MoveFailedLine(listed, target));
      if (err != 0) a.m_host->AddToLog(MoveFailureReason(err, current, target));
      // After the rotation or BriskoExif step the photo is no longer at its listed place; say
      // where it is, or the operator looks for it on the media. Its record stays: the next pass
      // tries again.
      if (current != listed) a.LogMessage("File left at " + current);
    }
    result = ok;
  }

  // Moves across file systems straight from the listed place share their flushes: the copies
  // are made durable together, recorded, placed, and only then are the sources removed.
  void CommitCross() {
    if (batch.Empty()) return;
    batch.Flush();
    MoveBatchRecord record;
    record.action = a.m_settings.m_strName;
    record.overwrite = a.m_settings.m_bOverwriteExistingFiles != 0;
    bool complete = true;  // every copy that will be placed is in the record
    for (const CopyBatch::Entry& e : batch.Entries()) {
      if (e.err != 0 || e.temp.empty()) continue;
      FileIdentity copy;
      complete = complete && ReadFileIdentity(e.temp, copy);
      record.entries.push_back({e.source,
                                {e.sourceDevice, e.sourceInode, e.sourceSize, e.sourceModTimeNs},
                                e.target,
                                copy,
                                e.temp,
                                e.hash});
    }
    // Without the record on disk a crash after placing could double the whole batch: each file
    // then moves on its own as it always has.
    MoveJournal journal(a.GetTempFolder());
    const bool recorded = complete && (record.entries.empty() || journal.Write(record));
    if (recorded) {
      MoveJournal::Reached("batch recorded");
      ++values.g_nShellOperationDepth;
      batch.Place();
      MoveJournal::Reached("batch placed");
      batch.RemoveSources();
      --values.g_nShellOperationDepth;
      MoveJournal::Reached("sources removed");
      SettleBatch(batch.Entries(), record, journal);
    }
    std::vector<CopyBatch::Entry> entries = batch.Entries();
    batch.Clear();
    for (const CopyBatch::Entry& e : entries) {
      if (e.waiting) continue;  // its record says so from the next pass on
      if (e.inUse) {
        // Claimed by another station moving from this folder, or being written: not ours now.
        a.LogFileNote(1, "File currently locked", e.source);
        continue;
      }
      if (e.checkFailed) {
        a.LogMessage(CheckFailedLine(MoveFailedLine(e.source, e.target)));
        result = false;
        continue;
      }
      if (e.err != 0) {
        Failed(e.source, e.target, e.err);
        result = false;
        continue;
      }
      if (!recorded) {
        std::vector<std::string> placed;
        int err = 0;
        result = a.CopyOrMoveFilesUsingShell(false, {e.source}, {e.target}, &placed, &err);
        if (result) {
          Moved(e.source, placed.empty() || placed[0].empty() ? e.target : placed[0]);
        } else {
          a.LogMessage(MoveFailedLine(e.source, e.target));
          if (err != 0) a.m_host->AddToLog(MoveFailureReason(err, e.source, e.target));
        }
        continue;
      }
      if (!e.renamed.empty()) a.LogMessage(FillIn("Deleted file %s: renamed from %s", e.renamed, e.source));
      Moved(e.source, e.placed, e.checked);
      result = true;
    }
    pending.clear();
  }

  // The record goes once every source is gone; entries whose source is out of reach stay in it,
  // their copies held, for a later pass to finish.
  static void SettleBatch(const std::vector<CopyBatch::Entry>& entries, const MoveBatchRecord& record,
                          MoveJournal& journal) {
    MoveBatchRecord waiting = record;
    waiting.entries.clear();
    std::vector<std::string> held;
    for (const CopyBatch::Entry& e : entries) {
      if (!e.waiting) continue;
      KeepWaitingEntry(record, e.source, e.placed, waiting);
      held.push_back(e.placed);
    }
    if (waiting.entries.empty()) {
      journal.Remove();
      return;
    }
    // A rewrite that fails leaves the whole record, which recovery reads the same way.
    journal.Write(waiting);
    journal.Keep(std::move(held));
  }

  void CommitTag() {
    if (tagBatch.Empty()) return;
    ++values.g_nShellOperationDepth;
    tagBatch.Commit();
    --values.g_nShellOperationDepth;
    std::vector<TagBatch::Entry> entries = tagBatch.Entries();
    // Their sources' claims go with the batch: a photo that goes on alone claims it anew.
    for (TagBatch::Entry& e : entries) e.claim.reset();
    const std::vector<TagWork> work = std::move(tagWork);
    tagBatch.Clear();
    tagWork.clear();
    pending.clear();
    for (size_t k = 0; k < entries.size(); ++k) {
      const TagBatch::Entry& e = entries[k];
      const TagWork& w = work[k];
      switch (e.outcome) {
        case TagBatch::Outcome::Moved:
          if (!e.renamed.empty())
            a.LogMessage(FillIn("Deleted file %s: renamed from %s", e.renamed, e.source));
          a.m_host->NotePhotoStep(PhotoStep::Tagged);
          Moved(w.listed, e.placed);
          result = true;
          break;
        case TagBatch::Outcome::Changed:
          // A new version, which stays; the next pass takes it.
          a.LogMessage("Not tagged: " + w.listed + " changed while its tagged copy was made");
          break;
        case TagBatch::Outcome::Waiting:
          break;  // the record says so on the next pass
        default: {
          BriskoExifFields fields = w.fields;
          MoveAlone(w.listed, w.asListed, fields, w.destination, &w.name);
          break;
        }
      }
    }
  }

  void Commit() {
    CommitCross();
    CommitTag();
  }

  // The logging of one file's move, as the shell operation reports it.
  void Moved(const std::string& listed, const std::string& arrived, bool checked = false) {
    a.ApplyFileAttributes(arrived);
    if (a.m_settings.m_bUseExternalExe) a.RunExternalApplication(arrived);
    a.LogMessage("Moved file from " + listed + " to " + arrived + CheckedMark(checked));
  }

  void Failed(const std::string& listed, const std::string& target, int err) {
    if (err != 0) a.m_host->GetLogger().Log(3, ErrnoText(err), listed);
    a.LogMessage(MoveFailedLine(listed, target));
    if (err != 0) a.m_host->AddToLog(MoveFailureReason(err, listed, target));
  }

  // A name a batch holds is as taken as one on disk.
  void TakeFreeName(std::string& target) {
    a.MakeUniqueFileName(target,
                         [this](const std::string& path) { return pending.count(path) || PathExists(path); });
  }

  void BetweenFiles() {
    ++values.g_nShellOperationDepth;
    a.m_host->DispatchPendingEvents();  // between files, as the shell operation does
    --values.g_nShellOperationDepth;
  }

  ActionRun& a;
  StationValues& values;
  const Collision collision;
  bool result = true;
  CopyBatch batch{true};
  FileSystemTest fileSystems;
  std::set<std::string> pending;  // the batches' targets, taken for the names that follow
  TagBatch tagBatch;
  std::vector<TagWork> tagWork;
};

bool ActionRun::MoveFiles(const std::vector<std::string>& files) {
  if (KeepsShots()) return MoveShots(files);
  return MoveFilesRun(*this).Run(files);
}

}  // namespace brisko
