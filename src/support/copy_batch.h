#pragma once
// Copies made durable together: one flush for a batch of files instead of one per file.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "support/content_hash.h"
#include "support/file_ops.h"
#include "support/folder_enum.h"

namespace brisko {

// Copies whose flush to disk is shared, so that many small files cost one flush rather than one
// each. Add() writes a file under a hidden temporary name in its target folder; Commit() makes
// the whole batch durable with one syncfs per file system, renames each file into place by its
// collision rule and flushes the folders. Only then may a caller remove sources. A file that
// fails leaves nothing under its name; the others go on. Full() bounds a batch (1024 files, 256
// when moving, 256 MB or one second), so callers log and progress in step with the disk.
// A moving batch also holds each source open and, after Commit() (or Flush() and Place(), with
// a record of the batch written between them), RemoveSources() deletes the sources as a move
// across file systems does.
class CopyBatch {
 public:
  struct Entry {
    std::string source;
    std::string target;
    Collision collision = Collision::Fail;
    std::string placed;   // after Commit(): the path used, "" on failure
    int err = 0;          // errno of the failure
    std::string temp;     // the hidden copy until it is placed
    uint64_t device = 0;  // of the folder the hidden copy was made in
    // AddIfNewer: the target name was free when looked at. `upToDate` after Place() when a file
    // that took the name meanwhile is not older than the source: the copy is dropped, and
    // `targetStatus` is that file as it was looked at.
    bool ifNewer = false;
    bool upToDate = false;
    FileInfo targetStatus;
    // The source as it was read: a move deletes it only when it is still so.
    uint64_t sourceDevice = 0;
    uint64_t sourceInode = 0;
    uint64_t sourceSize = 0;
    int64_t sourceModTimeNs = 0;
    int pin = -1;         // moving: the source held open until it is deleted
    bool inUse = false;   // err is EBUSY because another process has the source open for writing
    std::string renamed;  // moved: the source was found renamed to this, and went
    // Moving: the source is out of reach (its card pulled while it was removed, or its folder
    // could not be flushed after): `placed` stays, and the caller's record must wait for it.
    bool waiting = false;
    // Checked batches: the source's hash, taken as it was copied. `checked` once the copy read
    // back from the disk gave the same; `checkFailed` when it did not, twice (`err` is EIO and
    // nothing of it is left: the photo stays at its source).
    ContentHash hash;
    bool checked = false;
    bool checkFailed = false;
  };
  // Many small files flush together: measured here, 256 files per flush copy about as fast as
  // cp and one sync; 64 took half as long again. A moving batch holds its sources open, so it
  // stays at 256; plain copies hold nothing and go to 1024, since each syncfs also waits for
  // whatever else is pending on the file system (on a busy machine, most of its cost).
  static constexpr size_t kMaxFiles = 256;
  static constexpr size_t kMaxCopyFiles = 1024;

  explicit CopyBatch(bool moving = false) : m_moving(moving) {}
  ~CopyBatch();
  CopyBatch(const CopyBatch&) = delete;
  CopyBatch& operator=(const CopyBatch&) = delete;

  // Writes the copy; a failure is kept in the entry (and the entry is returned). `testInUse`:
  // first the test of CanReadUnwritten, on the descriptor the copy reads (one open, not two);
  // a source another process is writing fails with EBUSY and `inUse`.
  const Entry& Add(const std::string& source, const std::string& target, Collision collision,
                   bool testInUse = false);
  // For a target whose name was free when looked at (no call spent to look again): the copy
  // takes the name only while it is free. A file found under it by then is replaced only when
  // the source is newer in whole seconds (the Copy Files rule), else the entry is `upToDate`.
  const Entry& AddIfNewer(const std::string& source, const std::string& target, bool testInUse = false);
  // For callers that made the target folders: one found missing when its copy is made (removed
  // since it was made) is made again, once.
  void SetMakesFolders(bool makes) { m_makesFolders = makes; }
  // Files from this size on start their write-back as soon as they are written, so that the
  // disk works while the next is read; smaller ones are left to the batch's one flush, since
  // write-back started file by file makes the file system allocate and journal each on its
  // own, and the next file's create waits for that.
  static constexpr uint64_t kEarlyWriteBackBytes = uint64_t{1} << 20;
  bool Full() const;
  // Checked copies: each source is hashed as it is copied and, once flushed, its copy is read
  // back from the disk and compared. A copy that differs is made once more; one that differs
  // again fails its entry. Set before the first Add().
  void SetCheck(bool check) { m_check = check; }
  bool Checking() const { return m_check; }
  bool Empty() const { return m_entries.empty(); }
  void Commit() {
    Flush();
    Place();
  }
  // The two halves of Commit(): every copy durable under its hidden name (and, checking, read
  // back and compared), then in place.
  void Flush();
  void Place();
  // Checked copies: Flush() with the read-back left to a thread of its own, so that the next
  // batch is copied meanwhile (the disk reads one batch while it writes the next). Place() (and
  // Clear()) wait for it; nothing but those may be called until then.
  void FlushCheckingAside();
  // Moving: deletes each placed entry's source. A source written to or replaced since it was
  // read (EBUSY) or that cannot be deleted fails its entry and its copy is taken back, as in
  // MoveFile. The source folders are flushed afterwards; a source out of reach, or whose
  // folder's flush fails, marks its entry `waiting` with its copy in place.
  void RemoveSources();
  // Which file names a pass takes: a source renamed during the batch to a name it takes is
  // still the photo (found by its identity) and goes as the source would have.
  void SetTakes(std::function<bool(const std::string& name)> takes) { m_takes = std::move(takes); }
  const std::vector<Entry>& Entries() const { return m_entries; }
  // Forgets the entries; uncommitted copies are removed.
  void Clear();

 private:
  std::vector<Entry> m_entries;
  uint64_t m_bytes = 0;
  int64_t m_startNs = 0;
  bool m_moving = false;
  bool m_check = false;
  bool m_makesFolders = false;
  // The batch's target folders, open: a hidden copy is made through its folder's descriptor, so
  // the device it is flushed by is the folder's, learnt once per folder and batch.
  struct Folder {
    std::string path;
    int fd = -1;
    uint64_t device = 0;
  };
  std::vector<Folder> m_folders;
  const Folder* OpenFolder(const std::string& folder);
  void CloseFolders();
  // The hidden copy for `target`, made in its folder (see m_folders); -1 with errno set.
  int CreateTemp(Entry& entry);
  int PlaceIfNewer(Entry& entry, std::string& made);
  const Entry& AddEntry(const std::string& source, const std::string& target, Collision collision,
                        bool testInUse, bool ifNewer);
  // Copies the entry's source again after a failed check, flushes and checks it; 0 or errno.
  int CopyAgain(Entry& entry);
  // Reads every flushed copy back and compares it (see SetCheck).
  void Check();
  void FlushData();
  void WaitForCheck();
  std::thread m_checker;
  std::function<bool(const std::string& name)> m_takes;
};

}  // namespace brisko
