// A photo's own steps on its way through the temp folder (rotation, BriskoExif), each under its
// move record, and the recovery of moves a crash interrupted.
#include <unistd.h>

#include <cerrno>
#include <set>

#include "engine/base/run_support.h"
#include "engine/records/move_journal.h"
#include "engine/records/recovery.h"
#include "engine/runs/action_run.h"
#include "imagemeta/auto_rotate.h"
#include "imagemeta/jpeg_exif_file.h"
#include "naming/brisko_exif_fields.h"
#include "naming/exif_access.h"
#include "support/file_ops.h"
#include "support/file_spec_find.h"
#include "support/logger.h"
#include "support/path_util.h"

namespace brisko {

void ActionRun::RecoverInterruptedMoves() {
  MoveRecovery how;
  how.owner = m_settings.m_strName;
  how.nameFor = [this](const MoveRecord& record, const std::string& photo) {
    BriskoExifFields fields;
    ReadFields(photo, fields);
    // As in a normal move, the template sees the photo as listed, not the copy's temp name.
    NamingContext context = MakeNamingContext();
    if (!record.source.empty() && record.source != photo) {
      ListedPhoto listed{record.source, 0, 0};
      if (record.photo == record.source && record.photoIdentity.modTimeNs != 0) {
        listed.modTime = listed.createTime = std::time_t(record.photoIdentity.modTimeNs / 1'000'000'000);
      } else if (auto own = ListedPhotoOf(photo)) {
        listed.modTime = own->modTime;
        listed.createTime = own->createTime;
      }
      context.listed = listed;
    }
    return m_settings.m_RenameTemplate.GenerateNewName(photo, m_pIdTxt, fields, false, context);
  };
  how.finish = [this](const MoveRecord& record, const std::string& photo, std::string& folder) {
    FinishRecoveredPhoto(record, photo, folder);
  };
  how.takes = [this](const std::string& name) { return TakesName(name); };
  how.log = [this](const std::string& text) { LogMessage(text); };
  // A subfolder move hands its copies on as they are placed, before their sources go.
  if (m_settings.m_iType != kMoveSubfolders) {
    how.arrived = [this](const std::string& path) {
      ApplyFileAttributes(path);
      if (m_settings.m_bUseExternalExe) RunExternalApplication(path);
    };
  }
  // Camera calls dispatch events while they wait; no action starts meanwhile.
  StationValues& values = m_host->Values();
  ++values.g_nShellOperationDepth;
  const CameraRecovery cameras = CameraRecoveryOf(*m_host);
  if (RecoverAll(GetTempFolder(), how, &cameras) > 0) m_memory.recoveredMoves = true;
  --values.g_nShellOperationDepth;
}

bool ActionRun::TakesName(const std::string& name) const {
  FileSpecFilter filter;
  std::string error;  // a bad pattern is said by the pass itself
  filter.SetErrorSink(&error, nullptr);
  filter.SetSpecs(m_settings.m_strFileSpec, m_settings.m_strFileSpecExclude,
                  m_settings.m_bUseRegexFilespec != 0);
  return filter.Passes(name, false);
}

void ActionRun::FinishRecoveredPhoto(const MoveRecord& record, const std::string& photo,
                                     std::string& folder) {
  const PathParts parts = SplitPath(photo);
  // Scratch names of the file layer's hidden form: scans pass over them, start clears them.
  const std::string scratch = parts.folder + "." + parts.name + parts.extension + ".brisko-";
  bool rotationStep = !record.scratch.empty();
  if (m_settings.m_bAutoRotateJPG && JpegNeedsRotation(photo)) {
    const std::string rotated = scratch + "rotate";
    if (AutoRotateJpeg(parts.folder, photo, rotated) && ::rename(rotated.c_str(), photo.c_str()) == 0) {
      rotationStep = true;
      LogMessage("Rotated " + record.source);
    } else {
      ::unlink(rotated.c_str());
    }
  }
  std::string comment;
  if (m_settings.m_bAddOrUpdateBriskoExif &&
      !(ReadExifUserComment(photo, comment) && comment.rfind("BriskoExif:", 0) == 0)) {
    BriskoExifFields fields;
    ReadFields(photo, fields);
    const StationValues& values = m_host->Values();
    CompleteFieldsForWrite(fields, record.source, m_pIdTxt, values.m_strBarcodeInputsArray,
                           values.m_strOperatorSelectedText,
                           BriskoExifCustomMap(m_settings.m_BriskoExifCustomActionFieldsMap));
    const std::string tagged = scratch + "tagged";
    if (!fields.WriteToFile(photo, tagged, DefaultExifAccess()) ||
        ::rename(tagged.c_str(), photo.c_str()) != 0)
      ::unlink(tagged.c_str());
  }
  // A record of the rotation step still names the folder the move had before it.
  if (rotationStep && m_settings.m_bAutoRotateJPG && m_settings.m_bAutoRotateUseSubfolder &&
      !JpegNeedsRotation(photo)) {
    folder = WithTrailingSeparator(folder) + "Rotated/";
    CreateFolderPath(folder);
  }
}

bool ActionRun::WriteJournal(MoveJournal& journal, const MoveRecord& record) {
  int err = 0;
  if (journal.Write(record, &err)) return true;
  // Without the record the photo does not go into the temp folder: it moves on as it is.
  LogMessage("FAILED: Write move record for " + record.source);
  LogMessage(ErrnoText(err));
  return false;
}

bool ActionRun::WriteBriskoExifForMove(const std::string& listed, std::string& current,
                                       BriskoExifFields& fields, MoveJournal& journal, MoveRecord& record) {
  const StationValues& values = m_host->Values();
  CompleteFieldsForWrite(fields, listed, m_pIdTxt, values.m_strBarcodeInputsArray,
                         values.m_strOperatorSelectedText,
                         BriskoExifCustomMap(m_settings.m_BriskoExifCustomActionFieldsMap));
  const PathParts parts = SplitPath(listed);
  std::string tagged = GetTempFolder() + parts.name + parts.extension;
  MakeUniqueFileName(tagged);
  MoveRecord next = record;
  next.step = MoveStep::Copying;
  next.photo = current;
  next.copy = tagged;
  next.scratch.clear();
  if (!ReadFileIdentity(current, next.photoIdentity) || !WriteJournal(journal, next)) return true;
  const bool hadRecord = !record.copy.empty();
  // Back to the record of the step before (or none) when this step is given up.
  auto undo = [&] {
    if (hadRecord) {
      journal.Write(record);
    } else {
      journal.Remove();
    }
  };
  MoveJournal::Reached("copy recorded");
  if (!fields.WriteToFile(current, tagged, DefaultExifAccess())) {
    undo();
    // The photo moves on untagged; the log says why.
    const std::string why = JpegExifFile().Parse(current)
                                ? "the tagged copy could not be written to " + GetTempFolder()
                                : WhyNotJpeg(current);
    LogMessage("Not tagged: " + why + ": " + listed);
    return true;
  }
  MoveJournal::Reached("copy made");
  // The tagged copy is complete; the untagged file is no longer needed, unless it changed since
  // the copy was read (a new version, which stays). Where it cannot be removed (write-protected
  // media) the copy goes instead, so no file is ever doubled; where it is gone already the copy
  // is the only one left, and stays.
  int e = 0;
  SourceRemoval removal = SourceRemoval::Kept;
  if (!StillTheRecordedFile(current, next.photoIdentity)) {
    const SourceState state = ProbeSource(current, next.photoIdentity);
    e = state == SourceState::There ? EBUSY : ENOENT;
    if (state == SourceState::Unknown) removal = SourceRemoval::OutOfReach;
  } else {
    const FileIdentity& was = next.photoIdentity;
    removal = RemoveSource(
        current, [&](const std::string& at) { return StillTheRecordedFile(at, was); }, e);
  }
  if (removal == SourceRemoval::Kept && e == ENOENT)
    removal = GoneFromItsFolder(current, next.photoIdentity.device) ? SourceRemoval::Removed
                                                                    : SourceRemoval::OutOfReach;
  if (removal == SourceRemoval::Removed && !SyncFolderHolding(current)) removal = SourceRemoval::OutOfReach;
  if (removal == SourceRemoval::OutOfReach) {
    // Its card pulled mid-way: the tagged copy may be the only one. The record waits for the
    // card, and recovery finishes the move from the copy or leaves the photo where it is.
    journal.Keep({});
    return false;
  }
  if (e != 0) {
    if (e == EBUSY) LogMessage("Not tagged: " + current + " changed while its tagged copy was made");
    DeleteFile(tagged);
    undo();
    if (e != EBUSY)
      LogMessage("Not tagged: the untagged file cannot be removed (" + ErrnoText(e) + "): " + listed);
    return true;
  }
  MoveJournal::Reached("source removed");
  record = next;
  current = tagged;
  m_host->NotePhotoStep(PhotoStep::Tagged);
  return true;
}

bool ActionRun::RotateForMove(std::string& current, std::string& destination, MoveJournal& journal,
                              MoveRecord& record) {
  RotateOnMoveOps ops;
  // The rotator asks for two free names: the photo's place in the temp folder, then the rotated
  // file's. The second is chosen with the first and named in the record, so a crash between
  // them leaves nothing unaccounted for.
  std::string scratch;
  int moveErr = 0;
  bool waits = false;
  ops.makeUniqueFileName = [&scratch](const std::string& path) {
    if (!scratch.empty() && !PathExists(scratch)) return scratch;
    std::string free = path;
    MakeUniqueFileName(free);
    return free;
  };
  ops.moveFile = [&](const std::string& from, const std::string& to) {
    const PathParts parts = SplitPath(to);
    scratch = parts.folder + parts.name + "_rotated" + parts.extension;
    MakeUniqueFileName(scratch);
    MoveRecord next = record;
    next.step = MoveStep::Copying;
    next.photo = from;
    next.copy = to;
    next.scratch = scratch;
    if (!ReadFileIdentity(from, next.photoIdentity) || !WriteJournal(journal, next)) {
      scratch.clear();
      return false;
    }
    record = next;
    MoveJournal::Reached("copy recorded");
    const bool moved = CopyOrMoveFilesUsingShell(false, {from}, {to}, nullptr, &moveErr);
    if (moved) MoveJournal::Reached("source removed");
    // A failed move leaves no copy unless its source went out of reach mid-way.
    waits = !moved && PathExists(to);
    return moved;
  };
  const RotateOnMoveResult result = RotateOnMove(GetTempFolder(), current, ops);
  if (waits) {
    // The photo is in the temp folder, its source set aside on a card pulled meanwhile: the
    // record waits for the card, and recovery settles which of the two stays.
    journal.Keep({});
    return false;
  }
  bool said = false;
  for (const RotateLogLine& line : result.lines) {
    if (line.target == RotateLogLine::Target::ActionLog) {
      LogMessage(line.text);
      said = true;
    } else {
      m_host->GetLogger().Log(line.level, line.text, line.path);
    }
  }
  if (result.outcome == RotateOnMoveOutcome::MoveToTempFailed) {
    journal.Remove();
    record.copy.clear();
    // The photo moves on unrotated from where it is; the operator learns why.
    LogMessage("Not rotated: it could not be moved into the temp folder " + GetTempFolder() +
               (moveErr != 0 ? " (" + ErrnoText(moveErr) + ")" : std::string()) + ": " + current);
  }
  if (result.outcome == RotateOnMoveOutcome::RotateFailed && !said)
    LogMessage("Not rotated: the lossless turn of its picture failed: " + current);
  // After a failed rotation the unrotated file waits in the temp folder; the move takes it on.
  current = result.currentPath;
  if (result.outcome == RotateOnMoveOutcome::Rotated) m_host->NotePhotoStep(PhotoStep::Rotated);
  if (result.outcome == RotateOnMoveOutcome::Rotated && m_settings.m_bAutoRotateUseSubfolder) {
    destination += "Rotated/";
    CreateFolderPath(destination);
  }
  record.folder = destination;
  return true;
}

void ActionRun::FinishRecords(std::vector<RecordedCopies>& records, const std::set<std::string>& vanished) {
  for (RecordedCopies& r : records) {
    std::erase_if(r.record.entries,
                  [&](const MoveBatchRecord::Entry& e) { return !vanished.count(e.source); });
    if (r.record.entries.empty() || !r.journal->Write(r.record)) r.journal->Remove();
  }
  records.clear();  // lets go of the records that stay
}

}  // namespace brisko
