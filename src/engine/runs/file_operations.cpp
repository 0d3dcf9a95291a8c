// An action's file operations beside its copy/move runs: plain copies, deletes, the shell
// operation, file attributes, naming helpers and the external program.
#include <dirent.h>
#include <spawn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <optional>
#include <set>
#include <string_view>

#include "engine/base/run_support.h"
#include "engine/records/move_journal.h"
#include "engine/runs/action_run.h"
#include "engine/settings/command_arguments.h"
#include "naming/brisko_exif_fields.h"
#include "naming/exif_access.h"
#include "scheduler/id_txt.h"
#include "support/copy_batch.h"
#include "support/file_ops.h"
#include "support/logger.h"
#include "support/path_util.h"
#include "support/settings_store.h"
#include "support/shell_file_op.h"

extern char** environ;

namespace brisko {

std::string ActionRun::GetTempFolder() {
  return ResolveTempFolder(*m_host);
}

bool ActionRun::CreateFolderPath(const std::string& folder) {
  return brisko::CreateFolderPath(folder);
}

void ActionRun::MakeUniqueFileName(std::string& path, const std::function<bool(const std::string&)>& taken) {
  auto isTaken = [&taken](const std::string& p) { return taken ? taken(p) : PathExists(p); };
  if (!isTaken(path)) return;
  const PathParts parts = SplitPath(path);
  for (int n = 2;; ++n) {
    std::string candidate = parts.folder + parts.name + "_" + std::to_string(n) + parts.extension;
    if (!isTaken(candidate)) {
      path = std::move(candidate);
      return;
    }
  }
}

NamingContext ActionRun::MakeNamingContext() const {
  const StationValues& values = m_host->Values();
  NamingContext context;
  context.barcodes = values.m_strBarcodeInputsArray;
  context.operatorText = values.m_strOperatorSelectedText;
  context.fileCounter = values.m_iFileCounter;
  context.batchCounter = values.m_iBatchCounter;
  SettingsStore* store = &m_host->Store();
  context.newBatchId = [store] { return NewBatchId(store); };
  context.now = m_host->Now();
  return context;
}

void ActionRun::ReadFields(const std::string& path, BriskoExifFields& fields) const {
  // Reading the EXIF block costs a file read; only templates and the block itself use it.
  if (m_settings.m_bCreateNewSubfolder || m_settings.m_bRenameFile || m_settings.m_bAddOrUpdateBriskoExif)
    fields.ReadFromFile(path, DefaultExifAccess());
}

std::string ActionRun::GetDestinationFolder(const std::string& filePath, const BriskoExifFields& fields) {
  std::string folder = WithTrailingSeparator(m_settings.m_strDestFolder);
  if (m_settings.m_bCreateNewSubfolder) {
    // The generated name is relative and never climbs out of the destination folder.
    const std::string subfolder =
        m_settings.m_SubfolderTemplate.GenerateSubfolderName(m_pIdTxt, fields, filePath, MakeNamingContext());
    if (!subfolder.empty()) {
      folder = TrimTrailingSeparators(folder) + "/" + subfolder + "/";
      if (!PathExists(folder)) CreateFolderPath(folder);
    }
  }
  return folder;
}

bool ActionRun::CopyOrMoveFilesUsingShell(bool copy, const std::vector<std::string>& sources,
                                          const std::vector<std::string>& targets,
                                          std::vector<std::string>* placed, int* err) {
  ShellFileOpRequest request;
  request.kind = copy ? ShellFileOpKind::Copy : ShellFileOpKind::Move;
  request.sources = sources;
  request.targets = targets;
  request.overwrite = m_settings.m_bOverwriteExistingFiles != 0;
  RunHost* host = m_host;
  request.betweenFiles = [host] { host->DispatchPendingEvents(); };
  std::vector<ShellFileOpOutcome> outcomes;
  StationValues& values = m_host->Values();
  ++values.g_nShellOperationDepth;
  const bool ok = RunShellFileOperation(request, &outcomes);
  --values.g_nShellOperationDepth;
  if (placed) {
    placed->clear();
    for (const ShellFileOpOutcome& outcome : outcomes) placed->push_back(outcome.target);
  }
  if (err) *err = 0;
  for (const ShellFileOpOutcome& outcome : outcomes) {
    if (outcome.err == 0) continue;
    m_host->GetLogger().Log(3, ErrnoText(outcome.err), outcome.source);
    if (err && *err == 0) *err = outcome.err;
  }
  return ok;
}

void ActionRun::ApplyFileAttributes(const std::string& path) {
  if (!m_settings.m_bUpdateFileTimestamp && !m_settings.m_bModifyReadOnlyAttribute) return;
  FileInfo status;
  if (!GetFileStatus(path, status)) return;
  bool changed = false;
  if (m_settings.m_bUpdateFileTimestamp) {
    status.modTime = m_host->Now();
    changed = true;
  }
  if (m_settings.m_bModifyReadOnlyAttribute) {
    if (!m_settings.m_bMakeReadOnly && status.readOnly) {
      status.readOnly = false;
      changed = true;
    } else if (m_settings.m_bMakeReadOnly && !status.readOnly) {
      status.readOnly = true;
      changed = true;
    }
  }
  if (changed) SetFileStatus(path, status);
}

bool ActionRun::CopyFiles(const std::vector<std::string>& files, const ListedTimes* listedTimes) {
  const std::string description = GetDescription();
  // Copies are made durable a batch at a time; their log lines follow each batch. Checked ones
  // are read back while the next batch is copied: two batches, one being read back.
  CopyBatch batches[2];
  for (CopyBatch& b : batches) b.SetCheck(m_settings.m_bVerifyCopies != 0);
  CopyBatch* filling = &batches[0];
  CopyBatch* checking = nullptr;
  auto settle = [&](CopyBatch& batch) {
    batch.Place();
    for (const CopyBatch::Entry& entry : batch.Entries()) {
      if (entry.inUse) {
        LogFileNote(1, "File currently locked", entry.source);
        continue;
      }
      if (entry.checkFailed) {
        LogMessage(CheckFailedLine(FillIn("FAILED: Copy file %s to %s", entry.source, entry.target)));
        continue;
      }
      if (entry.err != 0) {
        LogMessage(FillIn("FAILED: Copy file %s to %s", entry.source, entry.target));
        LogMessage(ErrnoText(entry.err));
        continue;
      }
      if (entry.upToDate) {
        NoteUpToDate(entry.source, entry.target, entry.targetStatus);
        continue;
      }
      if (m_settings.m_bAutoRotateJPG) TurnCopyUpright(entry.target);
      if (m_settings.m_bUseExternalExe) RunExternalApplication(entry.target);
      LogMessage(FillIn("Copied file %s to %s", entry.source, entry.target) + CheckedMark(entry.checked));
    }
    batch.Clear();
  };
  auto commit = [&] {
    if (checking) settle(*checking);
    checking = nullptr;
    if (filling->Empty()) return;
    if (!m_settings.m_bVerifyCopies) {
      filling->Flush();
      settle(*filling);
      return;
    }
    filling->FlushCheckingAside();
    checking = filling;
    filling = filling == &batches[0] ? &batches[1] : &batches[0];
  };
  TargetFolders targets;
  const int n = static_cast<int>(files.size());
  for (int i = 0; i < n; ++i) {
    const std::string& path = files[i];
    m_host->SetProgress(i, n, description, "Copying files");
    const PathParts parts = SplitPath(path);
    BriskoExifFields fields;
    ReadFields(path, fields);
    const std::string folder = GetDestinationFolder(path, fields);
    const std::string name = parts.name + parts.extension;
    const std::string target = folder + name;
    // Only a name that was there is looked at now; one that was free is taken only while it is
    // free, and a file arriving under it meanwhile gets the time test at the rename.
    FileInfo targetStatus;
    if (targets.MayHold(folder, name) && GetFileStatus(target, targetStatus)) {
      const std::optional<int64_t> listedTime =
          listedTimes && size_t(i) < listedTimes->size() ? (*listedTimes)[size_t(i)] : std::nullopt;
      FileInfo sourceStatus;
      if (!listedTime && !GetFileStatus(path, sourceStatus)) continue;
      if (listedTime.value_or(sourceStatus.modTime) <= targetStatus.modTime) {
        NoteUpToDate(path, target, targetStatus);
        continue;
      }
    }
    NoteCopied();
    filling->AddIfNewer(path, target, CopyTestsInUse());
    if (filling->Full()) commit();
  }
  commit();
  commit();  // the last batch's read-back
  return true;
}

bool ActionRun::DeleteFiles(const std::vector<std::string>& files, const std::vector<CopiedFile>* copied,
                            std::set<std::string>* vanished) {
  const std::string description = GetDescription();
  bool result = true;
  std::vector<std::string> removedFrom;  // folders of moved sources
  const int n = static_cast<int>(files.size());
  for (int i = 0; i < n; ++i) {
    const std::string& path = files[i];
    m_host->SetProgress(i, n, description, "Deleting files");
    if (path.empty()) continue;
    // Checked right before the delete, as a move across file systems does: deleting a file
    // saved anew since its copy was made would lose the new version.
    const CopiedFile* from =
        copied && static_cast<size_t>(i) < copied->size() ? &(*copied)[size_t(i)] : nullptr;
    if (from && !from->copy.empty() && !StillTheRecordedFile(path, from->as) && PathExists(path)) {
      LogMessage(FillIn("Left file %s: changed since its copy %s was made", path, from->copy));
      continue;
    }
    FileFailure failure;
    bool deleted = false;
    if (from && !from->copy.empty()) {
      int e = 0;
      const SourceRemoval removal = RemoveSource(
          path, [&](const std::string& at) { return StillTheRecordedFile(at, from->as); }, e);
      if (e == EBUSY && removal == SourceRemoval::Kept) {
        LogMessage(FillIn("Left file %s: changed since its copy %s was made", path, from->copy));
        continue;
      }
      deleted = e == 0;
      failure = MakeFileFailure(e);
      if (removal == SourceRemoval::Kept && e != ENOENT && e != 0) {
        // Refused (a write-protected card, a folder this user may not write): the photo stays
        // at its source, once; its copy goes, or every pass would copy it again.
        ::unlink(from->copy.c_str());
      } else if (e != 0 && vanished) {
        // Not there, or out of reach mid-way: its record decides once the folder is back.
        vanished->insert(path);
      }
    } else {
      deleted = DeleteFile(path, &failure);
    }
    if (deleted) {
      if (from) {
        const std::string folder = SplitPath(path).folder;
        if (std::find(removedFrom.begin(), removedFrom.end(), folder) == removedFrom.end())
          removedFrom.push_back(folder);
        MoveJournal::Reached("copied source deleted");
      }
      LogMessage("Deleted file " + path);
    } else {
      LogMessage("FAILED: Deleted file " + path);
      LogMessage(FileCauseText(failure.cause));
      result = false;
    }
  }
  // A moved source must stay deleted through a power cut once its move record is gone; one
  // whose folder cannot be flushed (its card pulled) keeps its record until it can.
  for (const std::string& folder : removedFrom) {
    if (SyncFolderHolding(folder + ".") || !vanished) continue;
    for (size_t i = 0; i < files.size() && copied && i < copied->size(); ++i)
      if (!(*copied)[i].copy.empty() && SplitPath(files[i]).folder == folder) vanished->insert(files[i]);
  }
  return result;
}

bool ActionRun::DeleteSubfolders(const std::vector<std::string>& folders) {
  const std::string description = GetDescription();
  const int m = static_cast<int>(folders.size());
  int k = 0;
  for (auto it = folders.rbegin(); it != folders.rend(); ++it, ++k) {
    const std::string& folder = *it;
    m_host->SetProgress(k, m, description, "Deleting subfolders");
    // A listing that broke off counts as -1, so it never decides that Thumbs.db is alone.
    std::string only;
    if (CountEntries(folder, 0, &only) == 1 && IsThumbsDbName(only)) {
      const std::string thumbs = TrimTrailingSeparators(folder) + "/" + only;
      if (DeleteFile(thumbs)) LogMessage("Removed Thumbs.db: " + thumbs);
    }
    if (!IsFolderEmpty(folder)) continue;
    switch (RemoveFolder(folder)) {
      case RemoveFolderOutcome::Removed:
        LogMessage("Deleted subfolder " + folder);
        break;
      case RemoveFolderOutcome::DoesNotExist:
        LogMessage("FAILED (doesn't exist): Delete subfolder " + folder);
        break;
      case RemoveFolderOutcome::AccessDenied:
        LogMessage("FAILED (access): Delete subfolder " + folder);
        break;
      case RemoveFolderOutcome::NotEmpty:
        LogMessage("FAILED (not empty): Delete subfolder " + folder);
        break;
      case RemoveFolderOutcome::Other:
        LogMessage("FAILED (no error): Delete subfolder " + folder);
        break;
    }
  }
  return true;
}

int ActionRun::CountFolderEntries(const std::string& folder) {
  const int count = CountEntries(folder, 0);
  return count < 0 ? 0 : count;
}

bool ActionRun::IsFolderEmpty(const std::string& folder) {
  return CountEntries(folder, 1) <= 0;
}

std::string ActionRun::ExternalCommandLine(const std::string& filePath) const {
  const std::string& exe = m_settings.m_strExternalExeFilepath;
  const std::string& args = m_settings.m_strExternalExeArgs;
  if (args.empty()) return "\"" + exe + "\" \"" + filePath + "\"";
  if (!m_settings.m_bAppendArgs) return "\"" + exe + "\" " + args + " \"" + filePath + "\"";
  return "\"" + exe + "\" \"" + filePath + "\" " + args;
}

void ActionRun::RunExternalApplication(const std::string& filePath) {
  if (!m_settings.m_bUseExternalExe || m_settings.m_strExternalExeFilepath.empty()) return;
  const std::string commandLine = ExternalCommandLine(filePath);
  // The program gets the file as one argument and the extra arguments split as a shell would
  // split them, with nothing expanded: no shell ever sees the file name.
  std::vector<std::string> argv{m_settings.m_strExternalExeFilepath};
  std::vector<std::string> extra = SplitCommandArguments(m_settings.m_strExternalExeArgs);
  if (!m_settings.m_bAppendArgs) argv.insert(argv.end(), extra.begin(), extra.end());
  argv.push_back(filePath);
  if (m_settings.m_bAppendArgs) argv.insert(argv.end(), extra.begin(), extra.end());
  std::vector<char*> raw;
  for (std::string& arg : argv) raw.push_back(arg.data());
  raw.push_back(nullptr);

  // An operator who asked to exit is not kept waiting for one program after another.
  if (m_host->StopWaitingForProgram()) {
    m_host->AddToLog(
        FillIn("Failed: Applied executible %s to file %s (exit requested)", commandLine, filePath));
    return;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  // Inherit nothing but the standard streams.
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  pid_t pid = -1;
  const int rc =
      posix_spawnp(&pid, m_settings.m_strExternalExeFilepath.c_str(), &actions, nullptr, raw.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    m_host->AddToLog(FillIn("Failed: Applied executible %s to file %s", commandLine, filePath));
    m_host->AddToLog("  Reason: " + ErrnoText(rc));
    return;
  }
  // Events are dispatched while the program runs; no action may start meanwhile.
  StationValues& values = m_host->Values();
  ++values.g_nShellOperationDepth;
  const ProgramEnd end = WaitForProgram(
      pid, *m_host,
      {m_settings.m_strExternalExeFilepath, filePath, GetDescription(), m_settings.m_iExternalExeTimeLimit});
  --values.g_nShellOperationDepth;
  m_host->AddToLog(ProgramEndLine(end, FillIn("Applied executible %s to file %s", commandLine, filePath), pid,
                                  m_settings.m_iExternalExeTimeLimit));
}

}  // namespace brisko