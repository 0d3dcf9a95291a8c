#pragma once
// Durable records, whatever they describe. Every path that removes a photo from its source (card
// and hot-folder moves, tag batches, camera moves, Move Subfolders, single photos through the
// temp folder) writes its record through this module and differs from the others only in how it
// names its entries:
//  - a record is written under a hidden name, locked (flock), flushed, then renamed into place,
//    and its folder flushed: under its name a record is always whole, and locked while its
//    writer lives;
//  - recovery claims a record only when it gets the lock and the name still leads to the file it
//    locked (a live writer may have replaced or removed it between the open and the lock);
//  - a record is read with a bound, so a file that is not ours costs no more than the bound;
//  - while a record is unfinished (its source out of reach: a card taken out, a camera gone),
//    the copies it placed are held back from every action, or a downstream action would move a
//    copy on and the returning source would be moved a second time.
#include <charconv>
#include <functional>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

namespace brisko {

// Writes `text` as a record file into `folder` (with its trailing separator): under a hidden
// name, locked with flock, flushed, then renamed over `path` when that is set, else under a new
// name made from `nameFrom` and `suffix` that is never another's (nor one `taken` says is); the
// folder is flushed. Returns the descriptor that holds the lock and sets `path`; -1 (with *err)
// when the record is not on disk.
int WriteRecordFile(const std::string& folder, const std::string& nameFrom, const char* suffix,
                    const std::string& text, std::string& path,
                    const std::function<bool(const std::string&)>& taken, int* err);

// The records in `folder` (with its trailing separator) named with `suffix`; hidden names (a
// record being written) are not records yet.
std::vector<std::string> ListRecordFiles(const std::string& folder, const char* suffix);

// Opens and locks the record at `path` for recovery: -1 when a live process holds it, or when it
// was replaced or removed between the open and the lock. A file system without locks gives the
// record unlocked, as records of earlier versions are.
int ClaimRecordFile(const std::string& path);
// Test seam: called by ClaimRecordFile between its open and its lock.
void SetClaimHookForTest(std::function<void(const std::string& path)> hook);

// The whole of the regular file `fd` when it holds at most `limit` bytes.
bool ReadBounded(int fd, std::string& text, size_t limit);

// Reads the record at `path` without claiming it, for a look at what it names (it may change
// meanwhile): false when it cannot be read or holds more than `readBound` bytes.
bool ReadRecordFile(const std::string& path, size_t readBound, std::string& text);

// One record file this process holds: written by WriteRecordFile or claimed by ClaimRecordFile,
// and locked for as long as it is held here. Every kind of record is held through one; the kinds
// differ only in their text and in what their recovery does with each entry.
class HeldRecord {
 public:
  // Records in `folder` named with `suffix`, read back within `readBound`.
  HeldRecord(std::string folder, const char* suffix, size_t readBound);
  HeldRecord(HeldRecord&& other) noexcept;
  HeldRecord& operator=(HeldRecord&&) = delete;
  ~HeldRecord();

  // Writes (or replaces) the record durably, named after `nameFrom` when it is new. False (with
  // *err) when it is not on disk, or larger than its readers take (EFBIG); the record replaced,
  // if any, is let go only once its successor is in place.
  bool Write(const std::string& text, const std::string& nameFrom, int* err = nullptr);
  // Takes over the record at `path` with the descriptor that holds its lock.
  void Adopt(const std::string& path, int fd);
  // Removes the record. Not flushed: a record that survives a power cut finds its photos placed
  // and goes then. Unlocked after its name is gone, so nobody takes a finished record for an
  // abandoned one.
  void Remove();
  // Lets go of the record, which stays for recovery; `placed` are the copies it placed, held
  // back from every action until it is finished.
  void Keep(std::vector<std::string> placed = {});
  bool Active() const { return !m_path.empty(); }
  const std::string& Path() const { return m_path; }
  // Whether a record held in this process is at `path` (its work is running).
  static bool HeldHere(const std::string& path);

 private:
  void Release();
  std::string m_folder;
  const char* m_suffix;
  size_t m_bound;
  std::string m_path;
  int m_fd = -1;
};

// Holds an exclusive lock on `folder` (flock on the folder itself, so nothing is left behind) for
// as long as it lives: a read-merge-write of records that several processes, or stations sharing
// the folder, each rewrite with their own entries is made one at a time. It waits for the lock;
// a file system without locks goes unlocked.
class FolderLock {
 public:
  explicit FolderLock(const std::string& folder);
  ~FolderLock();
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;

 private:
  int m_fd;
};

// Recovery's pass over the records in `folder` (with its trailing separator) named with `suffix`,
// in name order: each one no record of this process holds and whose lock is free is claimed and
// handed to `recover` with its text, or with nullptr when it holds more than `readBound` bytes or
// cannot be read (not one of ours). `recover` finishes it (Remove) or leaves it (Keep, or just
// returning: it stays, holds and all). Returns the sum of what `recover` returns.
int RecoverRecords(const std::string& folder, const char* suffix, size_t readBound,
                   const std::function<int(HeldRecord& record, const std::string* text)>& recover);

// Walks the lines of a record's text: the first must satisfy `header`, then each line up to
// `trailer` goes to `line` with its number (1 after the header). False when `header` or `line`
// refuse one, a line is not ended (a record cut short), no trailer comes or anything follows it.
bool ForEachRecordLine(std::string_view text, const std::function<bool(std::string_view)>& header,
                       std::string_view trailer,
                       const std::function<bool(size_t number, std::string_view line)>& line);

// The most bytes a record may take: its readers' bound `readBound`, or less where a test says.
// A writer never writes a record its readers would refuse; a batch too large for one record is
// split (RunsWithin), each part recorded, placed and finished on its own.
size_t RecordBound(size_t readBound);
void SetRecordBoundForTest(size_t bytes);  // 0: the readers' bound

// Splits `count` entries, in order, into runs [first, end) whose records take at most `bound`
// bytes: `head` is a record's size without entries, `bytesOf(i)` what entry i adds. An entry too
// large even alone is a run of its own (its record is then refused, and only it fails).
std::vector<std::pair<size_t, size_t>> RunsWithin(size_t count, size_t head, size_t bound,
                                                  const std::function<size_t(size_t)>& bytesOf);

// Lines about a record are logged once for as long as it stays (one that cannot be finished is
// not reported every pass): true the first time for the record at `record` and `about` (one of
// the lines about it, as kWaitingReport). ForgetReports forgets them all with the record.
inline constexpr std::string_view kWaitingReport = "waiting";
bool FirstReport(const std::string& record, std::string_view about = {});
void ForgetReports(const std::string& record);

// A field of a record's line: "%", tabs, line breaks and NUL as %XX, so that a text from
// outside (a camera's file name, a remote's error) never splits a field or a line; and back
// (false for a broken escape).
std::string EscapeRecordField(std::string_view text);
bool UnescapeRecordField(std::string_view text, std::string& out);
// A whole decimal field, in range of T.
template <typename T>
bool ParseRecordNumber(std::string_view text, T& value) {
  if (text.empty()) return false;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && end == text.data() + text.size();
}

// Renames `from` to `to` unless that name is taken (EEXIST); 0 or the errno. Falls back to a
// hard link where the file system cannot rename without replacing.
int RenameNoReplace(const std::string& from, const std::string& to);

// Flushes the folder that holds `path`, so a rename into it survives a power cut.
bool SyncFolderHolding(const std::string& path);

// The copies placed by the unfinished record `record`: no pass takes them on until it is
// finished (HoldPlacedCopies again replaces the list; ReleaseHeld ends it). This is what the
// process knows itself; AnyCopyHeld/CopyHeld (recovery.h) add what the records in the temp
// folder name, whichever station wrote them.
void HoldPlacedCopies(const std::string& record, std::vector<std::string> copies);
void ReleaseHeld(const std::string& record);
// Lets go of the holds of records in `folder` that are no longer there (deleted by hand).
void ReleaseHeldMissing(const std::string& folder, const std::vector<std::string>& present);
bool HeldForWaitingMove(const std::string& path);
bool AnyMoveWaiting();

// A held copy is the file, not its path text: the same copy reached through a symbolic link, a
// doubled "/" or another hard link is held too. Where a file system does not keep inode numbers
// the folder's real path and the name tell it.
struct HeldKey {
  uint64_t device = 0;
  uint64_t inode = 0;
  std::string real;  // the real path of its folder, then its name
  bool operator<(const HeldKey& o) const {
    return std::tie(device, inode, real) < std::tie(o.device, o.inode, o.real);
  }
};
// The key of the file at `path` (its path made real when it is not there yet): false when
// neither can be made.
bool HeldKeyOf(const std::string& path, HeldKey& key);
// Whether `key` is one of `keys`: the same file by identity, or by real path.
bool KeyAmong(const HeldKey& key, const std::vector<HeldKey>& keys);

}  // namespace brisko
