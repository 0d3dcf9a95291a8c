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
#include <functional>
#include <string>
#include <string_view>
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

// The whole of the regular file `fd` when it holds at most `limit` bytes.
bool ReadBounded(int fd, std::string& text, size_t limit);

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

}  // namespace brisko
