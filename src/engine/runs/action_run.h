#pragma once
// One run of an action: a pass over its source (selection, then the operation of its type), or
// one of the station's calls between passes (recovery, print settling, upload state). Made for
// the call and dropped after it; it reads the action's settings through a const view and keeps
// what must outlive it in the action's memory.
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "engine/base/run_host.h"
#include "engine/records/move_journal.h"
#include "engine/records/upload_queue.h"
#include "engine/runs/action_memory.h"
#include "engine/settings/action_settings.h"
#include "print/print_once.h"

namespace brisko {

struct ExclusiveTest;

class MoveJournal;
struct MoveRecord;
struct FileInfo;
class SelectionCache;
struct CameraSource;
class CameraSession;
struct Shot;

class ActionRun {
 public:
  ActionRun(const ActionSettings& settings, RunHost& host, ActionMemory& memory);
  ActionRun(const ActionRun&) = delete;
  ActionRun& operator=(const ActionRun&) = delete;
  ActionRun(ActionRun&&) = default;

  RunHost& Host() const { return *m_host; }
  // A file the scan found ready for the operation. `settled` marks one whose copy an earlier
  // pass found up to date, with nothing changed since: it counts like any ready file (for
  // "leave at least" and for whether the action has work) but is not handed on.
  struct Selected {
    std::string path;
    int64_t modTime = 0;
    bool settled = false;
  };
  // Parallel to a list of files: each one's modification time as the pass's listing read it
  // (none where the listing did not give it), so that it need not be read again.
  using ListedTimes = std::vector<std::optional<int64_t>>;

  std::string GetTypeName() const { return m_settings.GetTypeName(); }
  std::string GetDescription() const { return m_settings.GetDescription(); }
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

  // The work of a pass (the action's entry test passed).
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
  // `listedTimes` (when given): a file whose copy is in place is judged by its listed time, not
  // looked at again; the copy of one found newer takes its place only by its own time test
  // (CopyBatch::AddIfNewer), made on the descriptor it reads.
  bool CopyFiles(const std::vector<std::string>& files, const ListedTimes* listedTimes = nullptr);
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
                          std::vector<RecordedCopies>* records = nullptr,
                          const ListedTimes* listedTimes = nullptr);
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
  // The minimum age in seconds, the file age held to its unit's range.
  int64_t MinimumFileAge() const;

  // The settings this run reads (a const view of the action's) and the station's memory of the
  // action, which outlives the run.
  const ActionSettings& m_settings;
  ActionMemory& m_memory;
  CIdTxt* m_pIdTxt = nullptr;  // the batch's ID.TXT record, while the pass has one

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
  class ShotSelection;
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
  // The pass over a folder source, in its steps: select, then the operation of the type on a
  // batch with its ID.TXT record.
  bool RunFolderPass();
  // `times` (when given) gets each file's Selected::modTime, its listed time where shots are not kept.
  static std::vector<std::string> Unsettled(std::vector<Selected>& selected, ListedTimes* times = nullptr);
  // The batch's ID.TXT record: the one in the folders, a new one where the type makes it, or none.
  std::unique_ptr<CIdTxt> OpenIdTxt(const std::vector<std::string>& folders);
  bool Operate(std::vector<std::string>& eligible, std::vector<std::string> folders,
               const ListedTimes& times);
  // The folder this pass takes files from: the source folder, or the card being read.
  const std::string& PassSource() const {
    return m_cardFolder.empty() ? m_settings.m_strSourceFolder : m_cardFolder;
  }
  struct CameraFile;
  class CameraRun;
  // The steps of RunCameraBody: the camera the source names (a failure logged); what earlier
  // passes left (the photos a record holds unfinished are returned); the camera's listing (false:
  // lost); the selection; the batch's ID.TXT read before the photos and written after them.
  struct CameraIdTxt;
  std::optional<CameraSource> CameraSourceToRun();
  std::set<std::string> RecallCameraPhotos(const CameraSource& source);
  bool ListCamera(const CameraSource& source, CameraSession& session);
  std::vector<CameraFile> SelectCameraFiles(const CameraSource& source,
                                            const std::set<std::string>& unsettled, CameraIdTxt& idTxt);
  void ReadCameraIdTxt(CameraSession& session, const std::vector<CameraFile>& files, CameraIdTxt& idTxt);
  void WriteCameraIdTxt(const CameraSource& source, CameraSession* session, CameraIdTxt& idTxt);
  void UploadCameraIdTxt(const CameraSource& source, CameraSession* session, CameraIdTxt& idTxt);
  bool CameraCopyOrMove(const CameraSource& source, CameraSession*& session, std::vector<CameraFile>& files);
  // Whole shots from a camera's listing, a lone shot file held back until its partner had a
  // moment to arrive.
  void KeepCameraShots(const CameraSource& source, const std::vector<CameraFile>& present,
                       std::vector<Selected>& selected, size_t& heldBack);

  RunHost* m_host;
  std::string m_cardFolder;        // "card:": the card this pass reads ("" otherwise)
  bool m_selectionActive = false;  // this pass uses the memory's selection cache
  size_t m_passCopies = 0;         // files this pass copied
  // What LogMessage puts before each line, and the name and type it was made for.
  mutable std::string m_logPrefix;
  mutable std::string m_logPrefixName;
  mutable int32_t m_logPrefixType = 0;
  // Upload Files (upload_run.cpp).
  bool UploadFiles(const std::vector<std::string>& files);
  // New photos, and new versions of photos already sent, join the queue.
  void QueueForUpload(const std::vector<std::string>& files, UploadQueue& queue, std::time_t now);
};

}  // namespace brisko
