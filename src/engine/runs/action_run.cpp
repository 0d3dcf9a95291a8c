// The run of an action: the entry test, the folder list, the file selection and the dispatch
// to the operation of the action's type.
#include "engine/runs/action_run.h"

#include <sys/stat.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <set>
#include <string_view>
#include <utility>

#include "camera/camera_source.h"
#include "engine/base/card_source.h"
#include "engine/records/recovery.h"
#include "engine/runs/photo_filters.h"
#include "engine/runs/selection_cache.h"
#include "imagemeta/auto_rotate.h"
#include "imagemeta/jpeg_exif_file.h"
#include "scheduler/id_txt.h"
#include "support/file_ops.h"
#include "support/file_spec_find.h"
#include "support/folder_enum.h"
#include "support/logger.h"
#include "support/parallel.h"
#include "support/path_util.h"
#include "support/text.h"

namespace brisko {

namespace {

// A folder tree deeper than this is not walked further (bounded work on hostile media).
constexpr int kMaxFolderDepth = 128;

// A pass that acts on this many files stops watching its folders.
constexpr size_t kManyPassFiles = 256;

// A listing that broke off is reported; what it had read is never used.
std::string ListFailureLine(const std::string& folder, int err) {
  return "FAILED: Listing folder " + folder + " stopped part-way: " + ErrnoText(err);
}

void AddSubfoldersBelow(const std::string& folder, std::vector<std::string>& folders, int depth,
                        std::vector<std::string>* failures) {
  if (depth > kMaxFolderDepth) return;
  std::vector<FileInfo> entries;
  int err = 0;
  bool partial = false;
  if (!ListFolder(folder, "*", entries, &err, &partial)) {
    if (partial && failures) failures->push_back(ListFailureLine(folder, err));
    return;
  }
  for (const FileInfo& entry : entries) {
    if (!entry.directory || entry.name == "." || entry.name == "..") continue;
    // A linked folder is not ours to walk: it could lead outside the source or into a loop.
    struct stat st;
    if (::lstat(entry.path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) continue;
    folders.push_back(entry.path);
    AddSubfoldersBelow(entry.path, folders, depth + 1, failures);
  }
}

bool IsReadOnlyMount(const std::string& path) {
  struct statvfs vfs {};
  return ::statvfs(path.c_str(), &vfs) == 0 && (vfs.f_flag & ST_RDONLY) != 0;
}

// The topmost folder above `path` that is still on a read-only mount: the card's own folder.
std::string ReadOnlyMountOf(const std::string& path) {
  std::string at = TrimTrailingSeparators(SplitPath(path).folder);
  for (std::string up = TrimTrailingSeparators(SplitPath(at).folder);
       !up.empty() && up != at && IsReadOnlyMount(up); up = TrimTrailingSeparators(SplitPath(up).folder)) {
    at = up;
  }
  return at;
}

int64_t ModTimeOrZero(const std::string& path) {
  FileInfo info;
  return GetFileStatus(path, info) ? info.modTime : 0;
}

}  // namespace

ActionRun::ActionRun(const ActionSettings& settings, RunHost& host, ActionMemory& memory)
    : m_settings(settings), m_memory(memory), m_host(&host) {}

void ActionRun::LogMessage(const std::string& text) const {
  // Said for every file of a large pass: the description is built once per name and type.
  if (m_logPrefix.empty() || m_logPrefixName != m_settings.m_strName ||
      m_logPrefixType != m_settings.m_iType) {
    m_logPrefix = GetDescription() + " ";
    m_logPrefixName = m_settings.m_strName;
    m_logPrefixType = m_settings.m_iType;
  }
  m_host->AddToLog(m_logPrefix + text);
}

void ActionRun::AddSubfolders(const std::string& folder, std::vector<std::string>& folders,
                              std::vector<std::string>* failures) {
  AddSubfoldersBelow(TrimTrailingSeparators(folder), folders, 0, failures);
}

void ActionRun::LogFileNote(int level, const std::string& text, const std::string& path) const {
  m_host->GetLogger().Log(level, text, path);
}

int64_t ActionRun::MinimumFileAge() const {
  const int64_t age = CappedFileAge(m_settings.m_iFileAge, m_settings.m_iFileAgeUnits);
  switch (m_settings.m_iFileAgeUnits) {
    case kAgeMinutes:
      return age * 60;
    case kAgeHours:
      return age * 3600;
    case kAgeDays:
      return age * 86400;
    case kAgeSeconds:
      return age;
    default:
      return 0;
  }
}

ActionRun::Verdict ActionRun::JudgeFile(const std::string& path, int64_t modTime, bool readOnly, int64_t now,
                                        const ExclusiveTest* tested) {
  const bool releaseReadOnly =
      (m_settings.m_iType == kMoveFiles || m_settings.m_iType == kMoveFilesFromMedia) &&
      m_settings.m_bModifyReadOnlyAttribute && !m_settings.m_bMakeReadOnly;
  // Copies never change their source, so a write-protected card is no reason to skip a photo;
  // one that another process is still writing is.
  const bool copyOnly = CopiesOnly();
  if (releaseReadOnly && readOnly) {
    LogFileNote(1, "Attempting to convert from readonly", path);
    int err = 0;
    if (!SetFileAttributes(path, false, &err)) {
      // Leave this file where it is and go on with the others.
      LogMessage("FAILED: Convert from readonly " + path);
      LogMessage(ErrnoText(err));
      return Verdict::kSkipped;
    }
  }
  int lockErr = 0;
  bool free = false;
  if (copyOnly) {
    free = CopyTestsInUse() || CanReadUnwritten(path);
  } else if (tested && !(releaseReadOnly && readOnly)) {
    free = tested->free;
    lockErr = tested->err;
  } else {
    free = CanOpenExclusively(path, &lockErr);
  }
  if (!free) {
    if (lockErr == EROFS) NoteWriteProtected(path);
    LogFileNote(1, "File currently locked", path);
    return Verdict::kSkipped;
  }
  // A shot's RAW file and sidecars follow what its JPEG's filters decide.
  const bool follower =
      (m_settings.m_bSelectByOrientation || !m_settings.m_SpatialAreaList.IsEmpty()) && ShotFollower(path);
  if (m_settings.m_bSelectByOrientation && !follower) {
    const std::optional<bool> landscape = DecideLandscape(path);
    if (landscape && *landscape != (m_settings.m_bSelectLandscape != 0)) {
      LogFileNote(1, "Wrong orientation", path);
      return Verdict::kFiltered;
    }
  }
  if (!follower && !PassesGpsFilter(path)) return Verdict::kFiltered;
  const int64_t age = std::max<int64_t>(0, now - modTime);
  if (age < MinimumFileAge()) {
    LogFileNote(1, "File not old enough", path);
    return Verdict::kYoung;
  }
  return Verdict::kEligible;
}

bool ActionRun::CopiesOnly() const {
  return m_settings.m_iType == kCopyFiles || m_settings.m_iType == kCopySubfolders ||
         m_settings.m_iType == kUploadFiles;
}

bool ActionRun::CopyTestsInUse() const {
  return (m_settings.m_iType == kCopyFiles && m_settings.m_iLeaveMinFilecount <= 0) ||
         m_settings.m_iType == kCopySubfolders;
}

void ActionRun::NoteWriteProtected(const std::string& path) {
  const std::string mount = ReadOnlyMountOf(path);
  if (!m_memory.writeProtectedNow.insert(mount).second || m_memory.writeProtectedSaid.count(mount)) return;
  const char* notDone = m_settings.m_iType == kDeleteFiles || m_settings.m_iType == kDeleteSubfolders
                            ? "deleted"
                        : m_settings.m_iType == kCreateImageWithPlt ? "rendered"
                                                                    : "moved";
  LogMessage("Write-protected media: " + mount);
  m_host->AddToLog(std::string("  Reason: Read-only file system; its files are left there, not ") + notDone +
                   " (unlock the card or mount it read-write, or copy them with a Copy Files action)");
}

void ActionRun::SelectFiles(const std::vector<std::string>& folders, std::vector<Selected>& eligible,
                            size_t& heldBack) {
  const std::string description = GetDescription();
  const int64_t now = m_host->Now();
  const int n = static_cast<int>(folders.size());
  // Files found up to date count only for whether the action has work, unless the newest are
  // to be left behind: then each one's time is needed.
  const bool leavesNewest = m_settings.m_iType >= kDeleteFiles && m_settings.m_iType <= kMoveFilesFromMedia &&
                            m_settings.m_iLeaveMinFilecount > 0;
  size_t settled = 0;
  const std::string temp = GetTempFolder();
  auto counts = [](const SelectionCache::Entry& entry) {
    return !entry.directory && entry.passes && !IsFileLayerTempName(entry.name) &&
           !IsSetAsideName(entry.name);
  };
  for (int i = 0; i < n; ++i) {
    const std::string& folder = folders[i];
    m_host->SetProgress(i, n, description, "Creating file list");
    if (IsProcessingFolder(folder)) continue;
    const bool held = AnyCopyHeld(temp);
    auto judge = [&](const std::string& path, int64_t modTime, bool readOnly,
                     const ExclusiveTest* tested = nullptr) {
      const Verdict verdict = JudgeFile(path, modTime, readOnly, now, tested);
      if (verdict == Verdict::kYoung) ++heldBack;
      if (verdict == Verdict::kEligible) eligible.push_back({path, modTime, false});
      return verdict;
    };

    if (m_selectionActive) {
      const std::string trimmed = TrimTrailingSeparators(folder);
      int err = 0;
      bool partial = false;
      SelectionCache::Folder* listed = m_memory.selection->Refresh(trimmed, &err, &partial);
      if (!m_memory.selection->PatternError().empty()) {
        LogMessage(m_memory.selection->PatternError());
        m_memory.selection->Disable();
      }
      if (!listed) {
        if (partial) LogMessage(ListFailureLine(folder, err));
        continue;
      }
      const bool keeps = SelectionCache::Keeps(*listed);
      // A folder where nothing changed since the last pass: its files' decisions all hold.
      size_t young = 0;
      size_t upToDate = 0;
      if (keeps && !held && !leavesNewest && m_memory.selection->Unchanged(*listed, now, &young, &upToDate)) {
        heldBack += young;
        settled += upToDate;
        continue;
      }
      // Every file still to be judged is opened for its in-use test: in a large folder those
      // tests are made ahead, two at a time, and taken below in the same (name) order.
      std::vector<std::string> ahead;
      if (!CopiesOnly() && listed->entries.size() >= kParallelFileCalls) {
        for (const SelectionCache::Entry& entry : listed->entries) {
          if (counts(entry) && !entry.readOnly && (!keeps || entry.decision == SelectionCache::kUndecided))
            ahead.push_back(trimmed + "/" + entry.name);
        }
      }
      const std::vector<ExclusiveTest> tests = TestExclusively(ahead);
      size_t nextTest = 0;
      for (SelectionCache::Entry& entry : listed->entries) {
        if (!counts(entry)) continue;
        if (held && CopyHeld(trimmed + "/" + entry.name)) continue;
        if (keeps && m_memory.selection->StillHolds(entry, now)) {
          if (entry.decision == SelectionCache::kYoung) ++heldBack;
          if (entry.decision == SelectionCache::kUpToDate) {
            if (leavesNewest) eligible.push_back({std::string(), entry.modTime, true});
            ++settled;
          }
          continue;
        }
        const std::string path = trimmed + "/" + entry.name;
        while (nextTest < ahead.size() && ahead[nextTest] < path) ++nextTest;
        const ExclusiveTest* tested =
            nextTest < ahead.size() && ahead[nextTest] == path ? &tests[nextTest] : nullptr;
        const Verdict verdict = judge(path, entry.modTime, entry.readOnly, tested);
        entry.decision = SelectionCache::kUndecided;
        if (!keeps || !entry.stable) continue;
        if (verdict == Verdict::kFiltered) entry.decision = SelectionCache::kFiltered;
        if (verdict == Verdict::kYoung) {
          entry.decision = SelectionCache::kYoung;
          entry.until = entry.modTime + MinimumFileAge();
        }
      }
      if (keeps && !held) m_memory.selection->Summarize(*listed, counts);
      continue;
    }

    CFileSpecFind scan;
    // Pattern errors become one log line per folder instead of a message box per file.
    std::string patternError;
    bool more =
        scan.FindFile(TrimTrailingSeparators(folder), m_settings.m_strFileSpec,
                      m_settings.m_strFileSpecExclude, m_settings.m_bUseRegexFilespec != 0, &patternError);
    while (more) {
      more = scan.FindNextFile();
      if (scan.IsDirectory()) continue;
      // A copy cut short by a crash leaves its hidden temporary file; it is never a photo.
      if (IsFileLayerTempName(scan.GetFileName()) || IsSetAsideName(scan.GetFileName())) continue;
      if (held && CopyHeld(scan.GetFilePath())) continue;
      // The listing read each entry's status just now.
      const FileInfo& status = scan.Current();
      judge(scan.GetFilePath(), status.modTime, status.readOnly);
    }
    if (!patternError.empty()) LogMessage(patternError);
    if (scan.ListFailedPartWay()) LogMessage(ListFailureLine(folder, scan.ListError()));
  }
  // Without "leave the newest" one settled file stands for all: only whether there are any matters.
  if (settled > 0 && !leavesNewest) eligible.push_back({std::string(), 0, true});
  // A card said this pass is not said again while it stays; one taken out and put back is.
  if (m_memory.passDepth == 1) {
    m_memory.writeProtectedSaid = std::move(m_memory.writeProtectedNow);
    m_memory.writeProtectedNow.clear();
  }
}

void ActionRun::LeaveNewestFiles(std::vector<Selected>& eligible, size_t& heldBack) {
  if (m_settings.m_iType < kDeleteFiles || m_settings.m_iType > kMoveFilesFromMedia ||
      m_settings.m_iLeaveMinFilecount <= 0)
    return;
  const size_t wanted = static_cast<size_t>(m_settings.m_iLeaveMinFilecount);
  // The newest is taken again and again from what remains (the first of equals).
  while (!eligible.empty() && heldBack < wanted) {
    size_t best = 0;
    for (size_t j = 1; j < eligible.size(); ++j) {
      if (eligible[j].modTime > eligible[best].modTime) best = j;
    }
    eligible.erase(eligible.begin() + static_cast<std::ptrdiff_t>(best));
    ++heldBack;
  }
}

void ActionRun::LeaveNewestFiles(std::vector<std::string>& eligible, std::vector<std::string>& heldBack) {
  std::vector<Selected> selected;
  for (const std::string& path : eligible) selected.push_back({path, ModTimeOrZero(path), false});
  size_t held = heldBack.size();
  LeaveNewestFiles(selected, held);
  // What stays is `eligible` in its order with the held files taken out.
  std::vector<std::string> kept;
  size_t next = 0;
  for (std::string& path : eligible) {
    if (next < selected.size() && selected[next].path == path) {
      kept.push_back(std::move(path));
      ++next;
    } else {
      heldBack.push_back(std::move(path));
    }
  }
  eligible = std::move(kept);
}

std::string ActionRun::SelectionSettings() const {
  std::string key;
  auto add = [&key](const std::string& text) {
    key += std::to_string(text.size());
    key += ':';
    key += text;
  };
  for (int64_t value :
       {int64_t{m_settings.m_iType}, int64_t{m_settings.m_bUseRegexFilespec}, int64_t{m_settings.m_iFileAge},
        int64_t{m_settings.m_iFileAgeUnits}, int64_t{m_settings.m_bCreateNewSubfolder},
        int64_t{m_settings.m_bModifyReadOnlyAttribute}, int64_t{m_settings.m_bMakeReadOnly},
        int64_t{m_settings.m_bSelectByOrientation}, int64_t{m_settings.m_bSelectLandscape},
        int64_t{m_settings.m_bIncludeSubFolders}}) {
    add(std::to_string(value));
  }
  for (const std::string* text : {&PassSource(), &m_settings.m_strDestFolder, &m_settings.m_strFileSpec,
                                  &m_settings.m_strFileSpecExclude})
    add(*text);
  // The subfolder template decides where copies are looked for; it is kept whole.
  add(m_settings.m_SubfolderTemplate.GetDisplayString());
  for (unsigned id : m_settings.m_SubfolderTemplate.m_ComponentArray) add(std::to_string(id));
  for (const std::string& text : m_settings.m_SubfolderTemplate.m_StaticTextArray) add(text);
  for (const std::string& text : m_settings.m_SubfolderTemplate.m_BriskoExifKeysArray) add(text);
  for (const auto& def : m_settings.m_SubfolderTemplate.m_SubstringPtrList) {
    if (!def) continue;
    for (int value : {def->m_iFromType, def->m_iToType, int{def->m_bFromLeft}, def->m_iFromChar,
                      def->m_iToChar, def->m_iLength})
      add(std::to_string(value));
    for (const std::string* text : {&def->m_strFromFirstMatch, &def->m_strFromLastMatch,
                                    &def->m_strToFirstMatch, &def->m_strToLastMatch})
      add(*text);
  }
  for (size_t i = 0; i < m_settings.m_SpatialAreaList.Count(); ++i) {
    const SpatialArea& area = m_settings.m_SpatialAreaList.At(i);
    char text[256];
    std::snprintf(text, sizeof text, "%.9g,%.9g,%.9g,%.9g,%.9g,%.9g,%d,%d,%d", area.m_LLCenter.latitude,
                  area.m_LLCenter.longitude, area.m_LLTopLeft.latitude, area.m_LLTopLeft.longitude,
                  area.m_LLBottomRight.latitude, area.m_LLBottomRight.longitude, area.m_bInclude ? 1 : 0,
                  area.m_iRadius, area.m_bSquare ? 1 : 0);
    add(text);
  }
  return key;
}

SelectionCache* ActionRun::SelectionForPass() {
  m_selectionActive = false;
  // The way back to a full scan on every pass, should a file system misreport its changes.
  const char* everyPass = std::getenv("BRISKO_SCAN_EVERY_PASS");
  if (everyPass && *everyPass && std::string_view(everyPass) != "0") {
    m_memory.selection.reset();
    return nullptr;
  }
  if (!m_memory.selection) m_memory.selection = std::make_unique<SelectionCache>();
  m_selectionActive =
      m_memory.selection->BeginPass(SelectionSettings(), m_settings.m_strFileSpec,
                                    m_settings.m_strFileSpecExclude, m_settings.m_bUseRegexFilespec != 0);
  return m_selectionActive ? m_memory.selection.get() : nullptr;
}

void ActionRun::NoteCopied() {
  if (++m_passCopies == kManyPassFiles && m_selectionActive) m_memory.selection->ForgetAll();
}

void ActionRun::NoteUpToDate(const std::string& source, const std::string& target,
                             const FileInfo& targetStatus) {
  // A subfolder named from the clock, counters or operator input may differ on the next pass.
  if (!m_selectionActive ||
      (m_settings.m_bCreateNewSubfolder && !m_settings.m_SubfolderTemplate.DependsOnFileOnly()))
    return;
  m_memory.selection->NoteUpToDate(source, target, targetStatus);
}

std::vector<std::string> ActionRun::CollectFolders() {
  std::vector<std::string> folders;
  folders.push_back(WithTrailingSeparator(PassSource()));
  if (!((m_settings.m_iType >= kMoveFilesFromMedia && m_settings.m_iType <= kCopySubfolders) ||
        m_settings.m_bIncludeSubFolders))
    return folders;
  if (!m_selectionActive) {
    std::vector<std::string> failures;
    AddSubfolders(PassSource(), folders, &failures);
    for (const std::string& line : failures) LogMessage(line);
    return folders;
  }
  // Each folder before its own subfolders, linked folders not followed, as AddSubfolders.
  std::function<void(const std::string&, int)> below = [&](const std::string& folder, int depth) {
    if (depth > kMaxFolderDepth) return;
    int err = 0;
    bool partial = false;
    SelectionCache::Folder* listed = m_memory.selection->Refresh(folder, &err, &partial);
    if (!listed) {
      if (partial) LogMessage(ListFailureLine(folder, err));
      return;
    }
    std::vector<std::string> subfolders;
    for (const SelectionCache::Entry& entry : listed->entries) {
      if (entry.directory && !entry.symlink) subfolders.push_back(folder + "/" + entry.name);
    }
    for (const std::string& path : subfolders) {
      folders.push_back(path);
      below(path, depth + 1);
    }
  };
  below(TrimTrailingSeparators(PassSource()), 0);
  return folders;
}

bool ActionRun::RunBody() {
  const std::string description = GetDescription();
  // A move a crash cut short is finished before anything new is taken.
  if (m_settings.m_iType == kMoveFiles || m_settings.m_iType == kMoveFilesFromMedia ||
      m_settings.m_iType == kMoveSubfolders)
    RecoverInterruptedMoves();

  // An empty folder setting (a section loaded without it) would mean the file-system root.
  if (TrimTrailingSeparators(m_settings.m_strSourceFolder).empty()) {
    m_host->SetProgress(0, 100, description, "No action required");
    return true;
  }
  const int type = m_settings.m_iType;
  const bool needsDestination = type == kMoveFiles || type == kCopyFiles || type == kMoveFilesFromMedia ||
                                type == kMoveSubfolders || type == kCopySubfolders || type == kPrintFiles ||
                                type == kUploadFiles;
  if (needsDestination && TrimTrailingSeparators(m_settings.m_strDestFolder).empty()) {
    LogMessage("FAILED: No destination folder");
    m_host->SetProgress(0, 100, description, "Completed action");
    return false;
  }

  // Checked before every run: a temp folder another user made is said, and replaced, here.
  GetTempFolder();
  if (IsCameraSourceText(m_settings.m_strSourceFolder)) return RunCameraBody();
  if (m_cardFolder.empty() && IsCardSourceText(m_settings.m_strSourceFolder)) return RunCardsBody();
  return RunFolderPass();
}

bool ActionRun::RunFolderPass() {
  const std::string description = GetDescription();
  // A run nested in this one (events are dispatched during a run) scans without the cache, so
  // the outer run's view of it stays intact.
  const bool outerActive = m_selectionActive;
  m_selectionActive = false;
  SelectionCache* selection = m_memory.passDepth > 0 ? nullptr : SelectionForPass();
  ++m_memory.passDepth;
  struct EndPass {
    ActionRun& action;
    SelectionCache* cache;
    bool outerActive;
    ~EndPass() {
      if (cache) cache->EndPass();
      --action.m_memory.passDepth;
      action.m_selectionActive = outerActive;
    }
  } endPass{*this, selection, outerActive};
  std::vector<std::string> folders = CollectFolders();

  std::vector<Selected> selected;
  size_t heldBack = 0;
  SelectFiles(folders, selected, heldBack);
  if (KeepsShots()) {
    KeepShotsInSelection(selected, heldBack);
  } else {
    LeaveNewestFiles(selected, heldBack);
  }

  // An upload pass sends what its queue holds, new photos or not, and is no batch.
  if (m_settings.m_iType == kUploadFiles) {
    const bool sent = UploadFiles(Unsettled(selected));
    m_host->SetProgress(0, 100, description, "Completed action");
    return sent;
  }
  if (selected.empty() && m_settings.m_iType != kDeleteSubfolders) {
    // A subfolder move finished by recovery may have emptied folders that a run would remove.
    if (std::exchange(m_memory.recoveredMoves, false) && m_settings.m_iType == kMoveSubfolders &&
        folders.size() > 1)
      DeleteSubfolders({folders.begin() + 1, folders.end()});
    m_host->SetProgress(0, 100, description, "No action required");
    return true;
  }
  m_memory.recoveredMoves = false;
  // A shot's files carry the shot's time; others their own, as listed.
  ListedTimes times;
  std::vector<std::string> eligible = Unsettled(selected, KeepsShots() ? nullptr : &times);
  selected.clear();
  // Every file a large operation touches raises events in watched folders; reading the folders
  // afresh on the next pass costs less than having them queued. Only real work counts: moves,
  // deletes and pages act on every file they are given, copies only on those not up to date
  // (NoteCopied), so a large folder of copied files stays kept.
  m_passCopies = 0;
  const bool forget = selection && !CopiesOnly() && eligible.size() >= kManyPassFiles;

  // The batch's ID.TXT record lives for this run only.
  std::unique_ptr<CIdTxt> idTxt = OpenIdTxt(folders);
  m_pIdTxt = idTxt.get();
  struct ClearRecord {
    CIdTxt*& ref;
    ~ClearRecord() { ref = nullptr; }
  } clearRecord{m_pIdTxt};
  // Only now: the listings answered where ID.TXT is without reading the folders again.
  if (forget) selection->ForgetAll();

  const bool result = Operate(eligible, folders, times);

  m_host->Values().m_iBatchCounter += 1;
  if (idTxt) {
    // Written after the operation, so an ID.TXT moved off the media is put back there.
    if (idTxt->Write(idTxt->m_strFilePath, true) && m_settings.m_bDisplayIdTxtContents &&
        m_host->EditIdTxt(*idTxt)) {
      idTxt->Write(idTxt->m_strFilePath, false);
    }
    m_pIdTxt = nullptr;
    idTxt.reset();
  }
  m_host->SetProgress(0, 100, description, "Completed action");
  return result;
}

std::vector<std::string> ActionRun::Unsettled(std::vector<Selected>& selected, ListedTimes* times) {
  std::vector<std::string> files;
  files.reserve(selected.size());
  for (Selected& file : selected) {
    if (file.settled) continue;
    files.push_back(std::move(file.path));
    if (times) times->push_back(file.modTime);
  }
  return files;
}

std::unique_ptr<CIdTxt> ActionRun::OpenIdTxt(const std::vector<std::string>& folders) {
  auto idTxt = std::make_unique<CIdTxt>(&m_host->Store());
  // The listings this pass holds already say whether a folder has an ID.TXT in any letter case.
  auto findIdTxt = [this](const std::string& folder) -> std::optional<std::string> {
    const SelectionCache::Folder* listed =
        m_selectionActive ? m_memory.selection->Listed(TrimTrailingSeparators(folder)) : nullptr;
    if (!listed) return FindIdTxt(folder);
    const std::string* best = listed->FirstNameNoCase(kIdTxtFileName);
    if (!best) return std::nullopt;
    return (!folder.empty() && folder.back() == '/' ? folder : folder + "/") + *best;
  };
  if (idTxt->ReadFromFolders(folders, findIdTxt)) return idTxt;
  if (m_settings.m_iType == kMoveFilesFromMedia && m_settings.m_bCreateIDTxtFile) {
    idTxt->m_strFilePath = TrimTrailingSeparators(PassSource()) + "/" + kIdTxtFileName;
    idTxt->m_iBatchID = idTxt->NewBatchId();
    return idTxt;
  }
  return nullptr;
}

bool ActionRun::Operate(std::vector<std::string>& eligible, std::vector<std::string> folders,
                        const ListedTimes& times) {
  switch (m_settings.m_iType) {
    case kDeleteFiles:
      return DeleteFiles(eligible);
    case kMoveFiles:
      return MoveFiles(eligible);
    case kCopyFiles:
      return CopyFiles(eligible, &times);
    case kMoveFilesFromMedia: {
      char line[64];
      std::snprintf(line, sizeof line, "Moving %d file(s) from media", static_cast<int>(eligible.size()));
      LogMessage(line);
      return MoveFiles(eligible);
    }
    case kDeleteSubfolders: {
      bool result = true;
      if (!m_settings.m_bDeleteEmptyFoldersOnly) result = DeleteFiles(eligible);
      folders.erase(folders.begin());
      if (!folders.empty()) DeleteSubfolders(folders);
      return result;
    }
    case kMoveSubfolders: {
      std::vector<CopiedFile> copied;
      std::vector<RecordedCopies> records;
      std::set<std::string> vanished;
      CopySubfolderFiles(eligible, true, &copied, &records);
      const bool result = DeleteFiles(eligible, &copied, &vanished);
      FinishRecords(records, vanished);
      folders.erase(folders.begin());
      DeleteSubfolders(folders);
      return result;
    }
    case kCopySubfolders:
      return CopySubfolderFiles(eligible, false, nullptr, nullptr, &times);
    case kCreateImageWithPlt:
      return CreateImagesWithPlt(eligible);
    case kPrintFiles:
      return PrintFiles(eligible);
    case kUploadFiles:
      return UploadFiles(eligible);
    default:
      return true;
  }
}

bool ActionRun::RunCardsBody() {
  const std::vector<CardVolume> cards = FindCards(m_host->Values().m_cardPlaces);
  // What was kept of a card is its mount's: a card taken out and put in again (or another card
  // at the same place) is read afresh.
  auto key = [](const CardVolume& card) { return card.mountId + ":" + card.folder; };
  for (auto it = m_memory.cardSelections.begin(); it != m_memory.cardSelections.end();) {
    const bool in =
        std::any_of(cards.begin(), cards.end(), [&](const CardVolume& c) { return key(c) == it->first; });
    it = in ? std::next(it) : m_memory.cardSelections.erase(it);
  }
  if (cards.empty()) {
    m_host->SetProgress(0, 100, GetDescription(), "No action required");
    return true;
  }
  bool result = true;
  for (const CardVolume& card : cards) {
    // The stored source stays "card:" (a save during the pass writes it so); the pass reads the card.
    m_cardFolder = card.folder;
    std::swap(m_memory.selection, m_memory.cardSelections[key(card)]);
    result = RunBody() && result;
    std::swap(m_memory.selection, m_memory.cardSelections[key(card)]);
    m_cardFolder.clear();
  }
  return result;
}

std::optional<bool> ActionRun::DecideLandscape(const std::string& path) {
  return PhotoLandscape(path);
}

bool ActionRun::PassesGpsFilter(const std::string& path) {
  if (m_settings.m_SpatialAreaList.IsEmpty()) return true;
  // A photo without a position is never inside an area.
  const std::optional<LatLong> position = PhotoGpsPosition(path);
  return position && m_settings.m_SpatialAreaList.IsAllowed(*position);
}

}  // namespace brisko
