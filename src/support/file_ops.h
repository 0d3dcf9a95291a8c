#pragma once
// The file layer: every call into the file system that the workflow makes goes through here.
// Operations return bool; on failure `*err` (when given) holds the errno for the log line.
// Writes never go directly to a final name that may hold data: they go to a hidden
// temporary name in the target folder, are flushed, and are renamed into place.
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "support/folder_enum.h"

namespace brisko {

// --- Failure causes -------------------------------------------------------------------------

// The fifteen file-failure causes (0..14) that deletion failures are reported with.
int FileCauseFromErrno(int err);
// The fixed text of a cause ("The file could not be located." ...); "" outside 0..14.
const char* FileCauseText(int cause);
// The system's text for an errno (strerror).
std::string ErrnoText(int err);

struct FileFailure {
  int err = 0;       // errno
  int cause = 0;     // 0..14
  std::string text;  // strerror(err)
};
FileFailure MakeFileFailure(int err);

// --- Status, attributes, times ----------------------------------------------------------------

// True when a file or folder exists at `path` (a dangling link counts as existing).
bool PathExists(const std::string& path);

// Reads times, size, read-only and directory flags. False (with *err) when it cannot.
bool GetFileStatus(const std::string& path, FileInfo& info, int* err = nullptr);

// Read-only clears every write bit; not read-only gives back the owner's write bit.
bool SetFileAttributes(const std::string& path, bool readOnly, int* err = nullptr);

// Leaves a time as it is.
inline constexpr int64_t kKeepTime = INT64_MIN;

// Sets the modification and access times in whole seconds; kKeepTime leaves one untouched.
bool SetFileTimes(const std::string& path, int64_t modTime, int64_t accessTime, int* err = nullptr);

// Writes `status` back: the read-only flag, and each time that differs in whole seconds from
// the file's own (an unchanged time keeps its sub-second part). The creation time cannot be
// set on Linux and is ignored.
bool SetFileStatus(const std::string& path, const FileInfo& status, int* err = nullptr);

// Adds read and write permission for owner, group and others as far as the umask allows, so
// the file ends as open as one the user creates, never more.
bool GrantEveryoneAccess(const std::string& path, int* err = nullptr);
// The process's file creation mask.
mode_t CurrentUmask();

// --- Copy, move, delete ---------------------------------------------------------------------

// What happens when the target name is taken.
enum class Collision {
  Fail,     // fail with EEXIST
  Replace,  // replace the existing file
  Rename,   // use the first free "name (n).ext", n = 2, 3, ...
};

// Copies `source` to `target` keeping its modification time and permissions. The data goes to
// a hidden temporary file in the target folder, is flushed and then renamed into place, and the
// folder is flushed, so a failure never leaves a partial file under `target` and a copy that
// reported success survives a power cut. `*placed` gets the path used.
bool CopyFile(const std::string& source, const std::string& target, Collision collision,
              std::string* placed = nullptr, int* err = nullptr);

// Moves (renames) `source` to `target`. Within one file system a single rename; across file
// systems a copy as above, the target folder flushed, and only then the source deleted (EBUSY
// instead when the source was written to or replaced meanwhile, as a failed delete). When
// the source cannot be deleted the copy is taken back, so a failed move leaves the source
// where it was and nothing under the final name; only a copy that replaced a file stays.
bool MoveFile(const std::string& source, const std::string& target, Collision collision,
              std::string* placed = nullptr, int* err = nullptr);

// True for the hidden names copies are written under before they are renamed into place
// (".brisko-<pid>-<n>.tmp", and SafeOutput's ".<name>.brisko-XXXXXX"). A crash mid-copy can
// leave one behind; it is never a finished file, so folder scans should pass over it.
bool IsFileLayerTempName(std::string_view name);

// A new hidden temporary name in `folder` (with its trailing separator), of the form above:
// ".brisko-<pid>-<kind><n>.tmp". The writer's process id in it tells a sweep when it is dead.
std::string HiddenTempName(const std::string& folder, std::string_view kind = {});
// The writer named in a hidden temporary name (the form above, or a tag batch's
// ".brisko-tag-<pid>-<n>.tmp" of earlier versions); 0 when it names none.
pid_t HiddenTempWriter(std::string_view name);

// The hidden name a source is set aside under while it is removed (".<name>.brisko-gone", in its
// folder). Scans pass over it; the temp sweep never deletes it (it may hold the only copy).
std::string SetAsideName(const std::string& path);
bool IsSetAsideName(std::string_view name);

// Removes a moved source only while its name still holds the file that was copied: the file is
// renamed aside (atomically, never over another name), `unchanged` checks the set-aside file,
// and only then is it deleted. A new version saved over the name meanwhile is thus never the one
// deleted. A file that fails the check goes back under its name, or under "name (n).ext" when
// the name was taken again meanwhile. Returns 0 (removed), EBUSY (changed; left), ENOENT (not
// there) or another errno (left).
int RemoveSourceIfUnchanged(const std::string& path,
                            const std::function<bool(const std::string& at)>& unchanged);
// Claims the source open at `fd` for a move, so that two stations taking photos from one folder
// never both move it: an exclusive flock, held while the descriptor (or a dup) stays open, and
// then `path` must still name that file. EBUSY when another holds it or took it meanwhile; 0
// as well where the file system has no locks.
int ClaimSource(int fd, const std::string& path);
// A claim held for as long as any copy of it lives (none when the claim failed: *err says why).
std::shared_ptr<void> ClaimSourceAt(const std::string& path, int* err);
// What became of a source that a move removes once its copy is in place; the same three answers
// for every way a photo leaves its source.
enum class SourceRemoval {
  Removed,     // gone from its name (its folder still to be flushed)
  Kept,        // surely still under its name (changed, refused, in use, or not there while its
               // folder is: the caller asks whether it is gone): the copy is taken back
  OutOfReach,  // where it is cannot be told: its folder went with the card, or it was set aside
               // and could not be put back. The move's record waits, its copy held, until the
               // source is back
};
// RemoveSourceIfUnchanged, telling the three apart; `err` gets its errno (0 when removed).
// `setAside` says whether an out-of-reach source was left under its set-aside name (else it was
// never touched).
SourceRemoval RemoveSource(const std::string& path,
                           const std::function<bool(const std::string& at)>& unchanged, int& err,
                           bool* setAside = nullptr);
// After a crash between setting `path` aside and deleting it: deletes the set-aside file when it
// is the copied one (`unchanged`), else puts it back as above. False when there is none.
bool SettleSetAside(const std::string& path, const std::function<bool(const std::string& at)>& unchanged);
// Test seam: runs between the check of a set-aside source and its delete.
void SetSetAsideHookForTest(std::function<void(const std::string& path)> hook);

// Deletes one file; on failure `*failure` carries errno, cause and text.
bool DeleteFile(const std::string& path, FileFailure* failure = nullptr);

// --- Folders --------------------------------------------------------------------------------

// Creates one folder (mode 0777 less the umask).
bool CreateFolder(const std::string& path, int* err = nullptr);

// Creates `folder` and every missing parent, walking from the top. True when everything
// existed or was made; false when a creation failed or the path names something that is not
// a folder.
bool CreateFolderPath(const std::string& folder, int* err = nullptr);

enum class RemoveFolderOutcome { Removed, DoesNotExist, AccessDenied, NotEmpty, Other };

// Removes an empty folder and tells what happened.
RemoveFolderOutcome RemoveFolder(const std::string& path, int* err = nullptr);

// --- Lock test ------------------------------------------------------------------------------

// True when the file can be opened for reading and writing with no other process holding it:
// opened read-write, then a write lease (refused while any other process has the file open,
// tried where permitted) and a non-blocking exclusive flock. Closed again at once. Anything
// but a regular file counts as locked.
bool CanOpenExclusively(const std::string& path, int* err = nullptr);

// CanOpenExclusively of each path, in order; a long list is tested two at a time.
struct ExclusiveTest {
  bool free = false;
  int err = 0;
};
std::vector<ExclusiveTest> TestExclusively(const std::vector<std::string>& paths);

// True when the file can be opened for reading and no other process has it open for writing
// (a read lease, tried where permitted, and a non-blocking shared flock). For steps that only
// read their source, so a read-only file or mount does not count as locked. Anything but a
// regular file counts as locked.
bool CanReadUnwritten(const std::string& path, int* err = nullptr);

// --- Test seam ------------------------------------------------------------------------------

// The steps at which tests can inject a failure.
enum class FileStep { Write, Sync, Place, SyncFolder, DeleteSource };

// When set, consulted before each step of a copy or a cross-file-system move; a non-zero
// return is taken as that step's errno. For tests only (disk full, failed flush ...).
using FileFaultHook = std::function<int(FileStep step)>;
void SetFileFaultHook(FileFaultHook hook);
// Test seam for every flush of a folder: a non-zero return is taken as the errno of flushing
// `folder` (with its trailing separator), as a card pulled meanwhile gives EIO.
void SetFolderSyncFaultForTest(std::function<int(const std::string& folder)> hook);
int FolderSyncFault(const std::string& folder);

}  // namespace brisko
