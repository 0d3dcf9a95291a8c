#pragma once
// One configured workflow step: what to do, on which files, how to name and place them, and
// when to run. Field names are also the value names in the action's store section.
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "engine/move_journal.h"
#include "engine/run_host.h"
#include "imagemeta/gps_area.h"
#include "naming/brisko_exif_fields.h"
#include "naming/name_template.h"
#include "print/print_once.h"

namespace brisko {

struct ExclusiveTest;

class MoveJournal;
struct MoveRecord;
struct FileInfo;

enum ActionType : int32_t {
  kDeleteFiles = 0,
  kMoveFiles = 1,
  kCopyFiles = 2,
  kMoveFilesFromMedia = 3,
  kDeleteSubfolders = 4,
  kMoveSubfolders = 5,
  kCopySubfolders = 6,
  kCreateImageWithPlt = 7,
  kPrintFiles = 8,
  kUploadFiles = 9,
};
inline constexpr int kNumActionTypes = 10;

enum ScheduleType : int32_t {
  kScheduleContinuous = 0,
  kScheduleShutdown = 1,
  kScheduleTime = 2,
  kScheduleInterval = 3,
  kScheduleStartup = 4,
  kScheduleOnCommand = 5,
  kScheduleBarcodeScan = 6,
};
inline constexpr int kNumScheduleTypes = 7;

// File age units (m_iFileAgeUnits) and subfolder frequencies (m_iCreateNewSubfolderFrequency).
enum FileAgeUnits : int32_t { kAgeMinutes = 0, kAgeHours = 1, kAgeDays = 2, kAgeSeconds = 3 };
enum SubfolderFrequency : int32_t { kEveryHour = 0, kEveryDay = 1, kEveryMonth = 2, kUseTemplate = 3 };

// "Delete Files" .. "Print Files"; "Undefined action" for any other value.
const char* ActionTypeName(int type);
// "Continuous" .. "Barcode Scan"; "" for any other value.
const char* ScheduleTypeName(int type);
// The editor's radio captions: "Continuous", "At Shutdown", "At this Time:", ...
const char* ScheduleTypeCaption(int type);
// "mins", "hours", "days", "secs"; "" for any other value.
const char* FileAgeUnitsName(int units);
// "hour", "day", "month", "use template"; "" for any other value.
const char* SubfolderFrequencyName(int frequency);

// Section name of the action at a list index: "Action_%d".
std::string ActionSectionName(int index);

class SelectionCache;
struct CameraSource;
class CameraSession;
struct Shot;
struct UploadStatus;
struct UploadRunState;
// Ends an upload action's running state where its type is complete (upload_run.cpp).
struct UploadRunEnd {
  void operator()(UploadRunState* state) const;
};

class Action {
 public:
  // A file the scan found ready for the operation. `settled` marks one whose copy an earlier
  // pass found up to date, with nothing changed since: it counts like any ready file (for
  // "leave at least" and for whether the action has work) but is not handed on.
  struct Selected {
    std::string path;
    int64_t modTime = 0;
    bool settled = false;
  };

  // Every field gets its default; the source and destination folders default to the temp
  // folder (created when missing) and the action takes the next timer id.
  explicit Action(RunHost& host);
  virtual ~Action();
  Action(const Action&) = delete;
  Action& operator=(const Action&) = delete;

  RunHost& Host() const { return *m_host; }

  // Read from / write to section "Action_<index>" in the store. Both return 1.
  int Load(int index);
  int Save(int index);
  // Copies every stored field (templates, GPS areas and custom fields by value); runtime
  // fields (pending flag, timers, last run) stay as they are.
  void CopyFrom(const Action& other);

  std::string GetTypeName() const;
  std::string GetDescription() const;  // name + " (" + type name + ")"
  // Adds GetDescription() + " " + text to the action log.
  void LogMessage(const std::string& text) const;

  // Print Files: moves on the files whose jobs completed, submits again those recorded but not
  // in CUPS (see PrintOnce); every pass starts with it (the station's recovery does it too).
  void RecoverPrints();
  // Whether the record's file is in this action's source folder (its record is this action's).
  bool OwnsPrintRecord(const std::string& file) const;
  // One recorded job moved on: completed, its file goes to the destination and the record with it.
  PrintOutcome SettlePrint(const PrintRecord& record);

  // Finishes this action's moves that a crash interrupted (see MoveJournal); every pass starts
  // with it, and the station calls it at start.
  void RecoverInterruptedMoves();

  // Upload Files: what waits, what went today and how fast, whether the remote answers.
  UploadStatus UploadState() const;

  // The station's entry point for every kind of run (continuous pass, Run Once, command,
  // barcode, Time timer, Startup, Shutdown): the caller sets m_bRunPending as its schedule
  // requires; the entry test then decides whether the action starts. Returns the result of
  // the type's operation, false when the action did not start.
  bool Run();
  // The entry test alone: enabled, pending, no shell operation in progress; Startup disarms
  // itself; Interval checks and stamps m_tLastRun. True when the work should start.
  bool EntryTest();
  // The work of a run without the entry test.
  bool RunBody();

  // Shared file operations.
  std::string GetTempFolder();
  static bool CreateFolderPath(const std::string& folder);
  // The first free "name_<n>.ext" (n = 2, 3, ...) when `path` is taken; `taken` defaults to
  // "exists on disk".
  static void MakeUniqueFileName(std::string& path,
                                 const std::function<bool(const std::string&)>& taken = nullptr);
  // The destination folder with the file's generated subfolder (created when missing).
  std::string GetDestinationFolder(const std::string& filePath, const BriskoExifFields& fields);
  // One silent copy or move of parallel lists; `placed` (when given) receives the path each
  // file got ("" for a failure), which differs from the target after a late name collision;
  // `err` (when given) the errno of the first failure.
  bool CopyOrMoveFilesUsingShell(bool copy, const std::vector<std::string>& sources,
                                 const std::vector<std::string>& targets,
                                 std::vector<std::string>* placed = nullptr, int* err = nullptr);
  void ApplyFileAttributes(const std::string& path);

  // The type operations on the eligible list.
  bool CopyFiles(const std::vector<std::string>& files);
  // A file that was copied, as it was read, and where its copy went.
  struct CopiedFile {
    FileIdentity as;
    std::string copy;  // "": not copied
  };
  // A durable record of copies whose sources are still to be deleted.
  struct RecordedCopies {
    std::unique_ptr<MoveJournal> journal;
    MoveBatchRecord record;
  };
  // `copied` (when given) gets, for each file, what was copied; `records` (when given) the
  // records of the copies, to be settled once their sources are deleted (FinishRecords).
  bool CopySubfolderFiles(std::vector<std::string>& files, bool move,
                          std::vector<CopiedFile>* copied = nullptr,
                          std::vector<RecordedCopies>* records = nullptr);
  bool MoveFiles(const std::vector<std::string>& files);
  // With `copied`, a file that changed since its copy was made (written to, or replaced by
  // another file) is a new version: it is not deleted, and the log says so.
  // `vanished` (when given) gets the copied files that were gone at their delete.
  bool DeleteFiles(const std::vector<std::string>& files, const std::vector<CopiedFile>* copied = nullptr,
                   std::set<std::string>* vanished = nullptr);
  // Removes the records once their sources are deleted. A source that was gone at its delete
  // may have been renamed meanwhile: its entry stays recorded, and the next pass's recovery
  // finishes the move on the renamed file.
  static void FinishRecords(std::vector<RecordedCopies>& records, const std::set<std::string>& vanished);
  bool DeleteSubfolders(const std::vector<std::string>& folders);
  static int CountFolderEntries(const std::string& folder);
  static bool IsFolderEmpty(const std::string& folder);

  // Hands a copied or moved file to the external program and waits for it.
  void RunExternalApplication(const std::string& filePath);
  // The command line as logged: "\"exe\" args \"file\"" and its variants.
  std::string ExternalCommandLine(const std::string& filePath) const;

  // Appends every subfolder below `folder`, each before its own subfolders. Linked folders
  // are not followed. A folder whose listing broke off adds none of its subfolders and a line
  // for the action log to `failures`.
  static void AddSubfolders(const std::string& folder, std::vector<std::string>& folders,
                            std::vector<std::string>* failures = nullptr);

  // Steps of a run, in order.
  // The source folder and, where the action includes them, its subfolders.
  std::vector<std::string> CollectFolders();
  // Scans the folders into the eligible list; `heldBack` counts the files left for now.
  void SelectFiles(const std::vector<std::string>& folders, std::vector<Selected>& eligible,
                   size_t& heldBack);
  // Holds back the newest eligible files so that m_iLeaveMinFilecount files stay behind.
  void LeaveNewestFiles(std::vector<std::string>& eligible, std::vector<std::string>& heldBack);
  void LeaveNewestFiles(std::vector<Selected>& eligible, size_t& heldBack);
  // The minimum age in seconds; caps m_iFileAge in the action itself where its unit has a cap.
  int64_t MinimumFileAge();

  // ---- Stored fields (store value names); their defaults and store order are in action_fields.cpp ----
  int32_t m_iType;
  std::string m_strName;
  std::string m_strSourceFolder;
  std::string m_strDestFolder;
  std::string m_strFileSpec;
  std::string m_strFileSpecExclude;
  int32_t m_bUseRegexFilespec;
  int32_t m_iFileAge;
  int32_t m_iFileAgeUnits;
  int32_t m_iLeaveMinFilecount;
  int32_t m_bDisplayIdTxtContents;
  int32_t m_bCreateIDTxtFile;
  int32_t m_bCreateNewSubfolder;
  int32_t m_iCreateNewSubfolderFrequency;
  NameTemplate m_SubfolderTemplate{TemplateKind::kSubfolder};  // a new action's: component 2, current date
  NameTemplate m_RenameTemplate{TemplateKind::kRename};
  int32_t m_bRenameFile;
  int32_t m_bEnabled;
  int32_t m_bUpdateFileTimestamp;
  int32_t m_bModifyReadOnlyAttribute;
  int32_t m_bMakeReadOnly;
  int32_t m_iScheduleType;
  uint32_t m_uiScheduleTime;      // hour; 0xFFFFFFFF when the editor held no valid time
  uint32_t m_uiScheduleTimeMins;  // minute; as above
  uint32_t m_uiRunInterval;       // minutes
  int32_t m_iuCommandIndex;       // 0 to 19
  std::string m_strExternalExeFilepath;
  std::string m_strExternalExeArgs;
  int32_t m_bUseExternalExe;
  int32_t m_bUseExternalArgs;
  int32_t m_bAppendArgs;
  int32_t m_iExternalExeTimeLimit;  // seconds a program may run before it is ended; 0: no limit
  int32_t m_bAutoRotateJPG;
  int32_t m_bAutoRotateUseSubfolder;
  int32_t m_bAddOrUpdateBriskoExif;
  std::map<std::string, std::string> m_BriskoExifCustomActionFieldsMap;
  int32_t m_bSelectByOrientation;
  int32_t m_bSelectLandscape;
  int32_t m_bIncludeSubFolders;
  int32_t m_bDeleteEmptyFoldersOnly;
  SpatialAreaList m_SpatialAreaList;  // GPS filter areas; none: no GPS test
  std::string m_strBriskoPltFilepath;
  int32_t m_bOverwriteExistingFiles;
  std::string m_strPrintQueue;  // a CUPS queue; empty: the default destination
  int32_t m_iPrintCopies;       // 0: the photo's barcode Quantity value
  int32_t m_iPrintMaxCopies;    // 0: no cap
  std::string m_strPrintMedia;  // an IPP media name; empty: the queue's default
  int32_t m_iPrintScaling;      // PrintScaling: the printer's own choice, fit or fill
  int32_t m_bPrintBorderless;   // zero margins, where the queue offers them for the paper
  // RAW+JPEG pairs and their sidecars move, rename and file as one.
  int32_t m_bKeepShotsTogether;
  // Each copy is read back from the disk and compared by hash before it counts (and before a
  // move removes its source).
  int32_t m_bVerifyCopies;
  int32_t m_iUploadRateLimit;    // KiB per second while this action sends; 0: no limit
  int32_t m_iUploadLateMinutes;  // a photo waiting longer turns the board amber; 0: never
  // Writes straight under the final names, not a hidden name renamed into place: as fast as a
  // plain rclone copy where the server renames slowly, but a photo shows half-written meanwhile.
  int32_t m_bUploadInPlace;

  // ---- Runtime fields (never stored) ----
  CIdTxt* m_pIdTxt = nullptr;  // the batch's ID.TXT record, only during a run
  int32_t m_bRunPending = 0;
  uint32_t m_uiTimerHandle = 0;
  uint32_t m_uiTimerId = 0;
  int64_t m_tLastRun = 0;

 private:
  // A file-selection note to the logger: text + " - " + path.
  void LogFileNote(int level, const std::string& text, const std::string& path) const;
  // Landscape or portrait for a JPEG whose frame size can be read; no answer otherwise.
  static std::optional<bool> DecideLandscape(const std::string& path);
  bool PassesGpsFilter(const std::string& path);
  bool CreateImagesWithPlt(const std::vector<std::string>& files);
  // Print Files (print_run.cpp).
  bool PrintFiles(const std::vector<std::string>& files);
  int PrintCopiesFor(const std::string& path) const;
  // Our jobs on `queue` not printed yet, after settling those that are.
  int PrintJobsInFlight(const std::string& queue);
  // Until the printer may take a new job (or, `untilIdle`, has none of ours left); false when it
  // cannot print or `deadline` passed.
  bool WaitForPrinter(const std::string& queue, bool untilIdle,
                      std::chrono::steady_clock::time_point deadline);
  // The station's values for name generation at this moment.
  NamingContext MakeNamingContext() const;
  // The file's BriskoExif field set, read only when a template or the block needs it.
  void ReadFields(const std::string& path, BriskoExifFields& fields) const;
  // The BriskoExif step of a move: the file with its block goes to a free temp name and
  // `current` follows it; on failure nothing changes.
  // The steps of a move through the temp folder. False when the photo waits there for its card
  // (its source out of reach mid-way): the record stays and the move goes no further now.
  bool WriteBriskoExifForMove(const std::string& listed, std::string& current, BriskoExifFields& fields,
                              MoveJournal& journal, MoveRecord& record);
  // The rotation step of a move: a JPEG that needs turning goes to a free temp name and is
  // turned there; `current` follows the file, `destination` gains "Rotated/" when asked.
  // What a crash left undone on a photo in the temp folder: rotation and block as this action
  // would do them; `folder` gains "Rotated/" as a move would give it.
  void FinishRecoveredPhoto(const MoveRecord& record, const std::string& photo, std::string& folder);
  class MoveFilesRun;
  // Shots (shot_move.cpp): whether this action keeps RAW+JPEG pairs and sidecars together; a
  // file whose shot's leader (its JPEG) answers the orientation and GPS filters for it; the
  // eligible files regrouped into whole shots that are old enough ("leave at least" counts
  // shots); Move Files for such a list.
  bool KeepsShots() const;
  bool ShotFollower(const std::string& path) const;
  // `list` reads a folder of the selection (a camera's listing; the disk when not given);
  // `waits` holds a whole shot back for this pass (a camera's lone member awaiting its partner).
  using ShotLister = std::function<bool(const std::string& folder, std::vector<FileInfo>& entries)>;
  using ShotWait = std::function<bool(const std::string& folder, const Shot& shot)>;
  void KeepShotsInSelection(std::vector<Selected>& eligible, size_t& heldBack, const ShotLister& list = {},
                            const ShotWait& waits = {});
  class MoveShotsRun;
  bool MoveShots(const std::vector<std::string>& files);
  // Whether a pass takes a file of this name (its file specifications).
  bool TakesName(const std::string& name) const;
  // Writes a move record; logs and gives false when it cannot.
  bool WriteJournal(MoveJournal& journal, const MoveRecord& record);
  bool RotateForMove(std::string& current, std::string& destination, MoveJournal& journal,
                     MoveRecord& record);
  // Copy Files with m_bAutoRotateJPG: a placed copy that needs it is turned upright under a hidden
  // name beside it and renamed over it (the source keeps the original).
  void TurnCopyUpright(const std::string& copy);

  // One file through the selection tests; Verdict says what became of it.
  enum class Verdict { kSkipped, kYoung, kFiltered, kEligible };
  // `tested`: the file's in-use test made ahead of it, if any.
  Verdict JudgeFile(const std::string& path, int64_t modTime, bool readOnly, int64_t now,
                    const ExclusiveTest* tested = nullptr);
  // Copies test whether another process is writing their source on the descriptor the copy
  // reads (one open per file, not two), unless "leave the newest" must count free files only.
  bool CopyTestsInUse() const;
  // Copy Files and Copy Subfolders: their sources stay where they are.
  bool CopiesOnly() const;
  // Everything the selection's kept decisions depend on.
  std::string SelectionSettings() const;
  // The cache, when this pass may use it.
  SelectionCache* SelectionForPass();
  // A file the lock test found on a read-only mount: said once per mount while it stays.
  void NoteWriteProtected(const std::string& path);
  // Tells the cache that the copy of `source` at `target` (`targetStatus` as just read) was
  // found up to date.
  void NoteUpToDate(const std::string& source, const std::string& target, const FileInfo& targetStatus);
  // Counts a file the pass copies; a pass that copies many stops watching (see RunBody).
  void NoteCopied();

  // The run of an action whose source is a camera (camera_run.cpp).
  bool RunCameraBody();
  // "card:": the body once per card in, each card's DCIM folder as the source of its pass.
  bool RunCardsBody();
  // The folder this pass takes files from: the source folder, or the card being read.
  const std::string& PassSource() const { return m_cardFolder.empty() ? m_strSourceFolder : m_cardFolder; }
  struct CameraFile;
  class CameraRun;
  bool CameraCopyOrMove(const CameraSource& source, CameraSession*& session, std::vector<CameraFile>& files);
  // Whole shots from a camera's listing, a lone shot file held back until its partner had a
  // moment to arrive.
  void KeepCameraShots(const CameraSource& source, const std::vector<CameraFile>& present,
                       std::vector<Selected>& selected, size_t& heldBack);

  RunHost* m_host;
  // Camera photos this action copied (their copies), or left on a camera that refused to
  // delete them, by camera path, size and time: a camera is not read again for them.
  std::map<std::string, std::string> m_cameraCopies;
  std::set<std::string> m_cameraLeft;
  std::string m_cameraSettings;    // the selection settings the two sets above hold for
  bool m_cameraIdTxtSaid = false;  // "ID.TXT not written to the camera" said once
  // Camera photos (keyed as above) by when a pass first listed them: a lone shot file waits.
  std::map<std::string, int64_t> m_cameraFirstSeen;
  // The members of each shot the last selection took whose file specification left some of them
  // out (folder + key -> names): a shot's date is its whole shot's, not only its moving files'.
  std::map<std::string, std::vector<std::string>> m_wholeShots;
  std::unique_ptr<SelectionCache> m_selection;
  // "card:": the card this pass reads ("" otherwise), and what the cache kept of each card, so
  // that two cards in at once do not make each other's passes full scans.
  std::string m_cardFolder;
  std::map<std::string, std::unique_ptr<SelectionCache>> m_cardSelections;
  bool m_selectionActive = false;  // this pass uses m_selection
  int m_passDepth = 0;             // runs of this action in progress (nested ones included)
  // Write-protected mounts met in the last pass (already said) and in this one.
  std::set<std::string> m_writeProtectedSaid, m_writeProtectedNow;
  size_t m_passCopies = 0;  // files this pass copied
  // What LogMessage puts before each line, and the name and type it was made for.
  mutable std::string m_logPrefix;
  mutable std::string m_logPrefixName;
  mutable int32_t m_logPrefixType = 0;
  bool m_recoveredMoves = false;  // recovery placed photos since the last pass
  // Upload Files (upload_run.cpp): its queue and the remote's state, made at its first pass.
  bool UploadFiles(const std::vector<std::string>& files);
  std::unique_ptr<UploadRunState, UploadRunEnd> m_upload;
  // Files a print run refused or CUPS turned down: said once, not tried again by this process.
  std::set<std::string> m_printRefused;
};

}  // namespace brisko
