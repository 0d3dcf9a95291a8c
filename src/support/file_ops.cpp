#include "support/file_ops.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>

#include "support/file_identity.h"
#include "support/file_ops_internal.h"
#include "support/parallel.h"
#include "support/path_util.h"

namespace brisko {

using namespace file_ops_detail;

namespace {

FileFaultHook& Hook() {
  static FileFaultHook hook;
  return hook;
}

bool Fail(int* err, int e) {
  if (err) *err = e;
  return false;
}

// Highest n tried for "name (n).ext" before giving up with EEXIST.
constexpr int kMaxCollisionNumber = 9999;

// Renames without ever replacing an existing name. File systems without RENAME_NOREPLACE
// (some FUSE ones) fall back to link + unlink, which refuses existing names as well.
int RenameNoReplace(const std::string& from, const std::string& to) {
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  int e = errno;
  if (e != EINVAL && e != ENOSYS) return e;
  if (link(from.c_str(), to.c_str()) == 0) {
    if (unlink(from.c_str()) == 0) return 0;
    int ue = errno;
    unlink(to.c_str());
    return ue;
  }
  int le = errno;
  if (le != EPERM && le != EOPNOTSUPP && le != ENOSYS) return le;
  // No hard links either: check, then rename. Only here a small race window remains.
  if (PathExists(to)) return EEXIST;
  return rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

std::atomic<bool> g_idsKnown{false};
OwnIds g_ids;

}  // namespace

namespace file_ops_detail {

int WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return 0;
}

std::function<int(const std::string&)>& FolderSyncHook() {
  static std::function<int(const std::string&)> hook;
  return hook;
}

int Fault(FileStep step) {
  const FileFaultHook& hook = Hook();
  return hook ? hook(step) : 0;
}

// Puts `from` under `target` by the collision rule; `placed` gets the name used.
int PlaceByRename(const std::string& from, const std::string& target, Collision collision,
                  std::string& placed) {
  if (collision == Collision::Replace) {
    if (rename(from.c_str(), target.c_str()) != 0) return errno;
    placed = target;
    return 0;
  }
  int e = RenameNoReplace(from, target);
  if (e == 0) placed = target;
  if (e != EEXIST || collision == Collision::Fail) return e;
  for (int n = 2; n <= kMaxCollisionNumber; ++n) {
    std::string candidate = CollisionName(target, n);
    e = RenameNoReplace(from, candidate);
    if (e == 0) {
      placed = std::move(candidate);
      return 0;
    }
    if (e != EEXIST) return e;
  }
  return EEXIST;
}

int CopyData(int in, int out) {
  constexpr size_t kChunk = 1 << 20;
  // copy_file_range within a file system, sendfile across (both in the kernel), else read and write.
  enum { Range, Send, Plain } way = Range;
  std::unique_ptr<char[]> buffer;
  while (true) {
    if (int f = Fault(FileStep::Write)) return f;
    if (way != Plain) {
      ssize_t n = way == Range ? copy_file_range(in, nullptr, out, nullptr, kChunk, 0)
                               : sendfile(out, in, nullptr, kChunk);
      if (n > 0) continue;
      if (n == 0) return 0;
      int e = errno;
      if (e == EINTR) continue;
      // Different file system types or no support: the next way.
      if (e != EXDEV && e != EINVAL && e != ENOSYS && e != EOPNOTSUPP && e != EBADF) return e;
      way = way == Range ? Send : Plain;
      if (way == Plain) buffer = std::make_unique_for_overwrite<char[]>(kChunk);
      continue;
    }
    ssize_t n = read(in, buffer.get(), kChunk);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return 0;
    if (int e = WriteAll(out, buffer.get(), static_cast<size_t>(n))) return e;
  }
}

const OwnIds& Ids() {
  if (!g_idsKnown.load(std::memory_order_acquire)) {
    static std::once_flag atFork;
    std::call_once(atFork, [] { pthread_atfork(nullptr, nullptr, [] { g_idsKnown = false; }); });
    g_ids = OwnIds{getpid(), geteuid(), getegid()};
    g_idsKnown.store(true, std::memory_order_release);
  }
  return g_ids;
}

// A hidden temporary file in `folder` ("" = current folder), created private.
int OpenTemp(const std::string& folder, std::string& tempPath) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    tempPath = HiddenTempName(folder);
    int fd = open(tempPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  errno = EEXIST;
  return -1;
}

int64_t NowNs() {
  struct timespec ts {};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t{ts.tv_sec} * 1'000'000'000 + ts.tv_nsec;
}

int SyncFolderOf(const std::string& path) {
  std::string folder = SplitPath(path).folder;
  if (int e = FolderSyncFault(folder)) return e;
  Fd fd(open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.Get() < 0) return errno;
  return fsync(fd.Get()) == 0 ? 0 : errno;
}

int CopyAttributes(int out, const struct stat& st) {
  // Owner first: a change of owner clears set-id bits that the mode then restores.
  if (st.st_uid != Ids().euid || st.st_gid != Ids().egid) {
    if (fchown(out, st.st_uid, st.st_gid) != 0) {
      // Only root may give files away; others keep their own ownership.
    }
  }
  if (fchmod(out, st.st_mode & 07777) != 0) return errno;
  struct timespec times[2] = {st.st_atim, st.st_mtim};
  return futimens(out, times) == 0 ? 0 : errno;
}

// True when the name no longer holds the data that was copied: written to since, or replaced by
// another file (editors and EXIF tools save under a temporary name and rename over the photo).
bool ChangedSinceCopy(const std::string& source, const struct stat& copied) {
  struct stat now {};
  if (stat(source.c_str(), &now) != 0) return false;  // gone: unlink reports it
  return now.st_dev != copied.st_dev || now.st_ino != copied.st_ino || now.st_size != copied.st_size ||
         now.st_mtim.tv_sec != copied.st_mtim.tv_sec || now.st_mtim.tv_nsec != copied.st_mtim.tv_nsec;
}

// A refusal that leaves the file surely where it was.
bool Refused(int e) {
  return e == EACCES || e == EPERM || e == EROFS || e == EBUSY || e == ETXTBSY;
}

int RemoveMovedSource(const std::string& source, const struct stat& copied, const std::string& placed,
                      Collision collision, int pin, const std::function<bool(const std::string&)>* takes,
                      std::string* renamed, bool* outOfReach, bool* setAside) {
  int e = Fault(FileStep::DeleteSource);
  // Deleting a source that changed after it was read would lose the change.
  if (e == 0 && ChangedSinceCopy(source, copied)) e = EBUSY;
  auto unchanged = [&](const std::string& at) { return !ChangedSinceCopy(at, copied); };
  SourceRemoval removal = SourceRemoval::Kept;
  // Removed while still claimed, so no other station takes it up between; a share that refuses
  // to remove an open file is asked again once it is closed.
  const bool tried = e == 0;
  if (tried) removal = RemoveSource(source, unchanged, e, setAside);
  if (pin >= 0) close(pin);
  if (tried && pin >= 0 && removal == SourceRemoval::Kept && e != EBUSY && Refused(e))
    removal = RemoveSource(source, unchanged, e, setAside);
  // Not there while its folder is: gone, but only if that folder is still on the file system the
  // photo was read from; another card in its place says nothing of it.
  if (removal == SourceRemoval::Kept && e == ENOENT && !GoneFromItsFolder(source, copied.st_dev))
    removal = SourceRemoval::OutOfReach;
  if (removal == SourceRemoval::Kept && e == ENOENT) {
    // Renamed while its copy was made: still this photo, which a pass would take again under
    // its new name. It goes as the source would have, or stays with its copy taken back.
    // Not found: gone already (taken by another program), and the copy is the only one left.
    const FileIdentity was{static_cast<uint64_t>(copied.st_dev), static_cast<uint64_t>(copied.st_ino),
                           static_cast<uint64_t>(copied.st_size),
                           int64_t{copied.st_mtim.tv_sec} * 1'000'000'000 + copied.st_mtim.tv_nsec};
    const std::string other = takes && *takes ? FindRenamed(source, was, *takes) : std::string();
    e = 0;
    removal = SourceRemoval::Removed;
    if (!other.empty()) removal = RemoveSource(other, unchanged, e, setAside);
    if (removal == SourceRemoval::Kept && e == ENOENT) e = EBUSY;
    if (removal == SourceRemoval::Removed && renamed) *renamed = other;
  }
  if (removal == SourceRemoval::OutOfReach) {
    // The copy may be the only one left: it stays, and the caller's record waits for the source.
    if (outOfReach) *outOfReach = true;
    return e != 0 ? e : EIO;
  }
  // Take the copy back: the failed move leaves the file where it was, once. A replaced file
  // is gone already; its complete successor stays rather than leave nothing under the name.
  if (e != 0 && collision != Collision::Replace) unlink(placed.c_str());
  return e;
}

}  // namespace file_ops_detail

namespace {

// The copy steps shared by CopyFile and the cross-file-system move. The folder is synced as
// well: callers delete sources after a copy, and the copy's name must survive a power cut.
int CopyToPlace(const std::string& source, const std::string& target, Collision collision,
                std::string& placed, struct stat* copied = nullptr) {
  Fd in(open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (in.Get() < 0) return errno;
  struct stat st {};
  if (fstat(in.Get(), &st) != 0) return errno;
  if (S_ISDIR(st.st_mode)) return EISDIR;
  if (!S_ISREG(st.st_mode)) return EINVAL;
  // Spare the copy when it could not be placed anyway.
  if (collision == Collision::Fail && PathExists(target)) return EEXIST;

  std::string tempPath;
  Fd out(OpenTemp(SplitPath(target).folder, tempPath));
  if (out.Get() < 0) return errno;
  int e = CopyData(in.Get(), out.Get());
  if (e == 0) e = CopyAttributes(out.Get(), st);
  if (e == 0) e = Fault(FileStep::Sync);
  if (e == 0 && fsync(out.Get()) != 0) e = errno;
  int closeErr = out.Close();
  if (e == 0) e = closeErr;
  if (e == 0) e = Fault(FileStep::Place);
  std::string made;
  if (e == 0) e = PlaceByRename(tempPath, target, collision, made);
  if (e != 0) {
    unlink(tempPath.c_str());
    return e;
  }
  e = Fault(FileStep::SyncFolder);
  if (e == 0) e = SyncFolderOf(made);
  if (e != 0) {
    // A new name is taken back; a replaced file is gone already, so its complete successor stays.
    if (collision != Collision::Replace) unlink(made.c_str());
    return e;
  }
  placed = std::move(made);
  if (copied) *copied = st;
  return 0;
}

int MoveAcross(const std::string& source, const std::string& target, Collision collision,
               std::string& placed) {
  // Held open until the check below: FAT file systems give an inode that left the cache a new
  // number, which would look like a replaced file. Closed before the delete, which some network
  // shares refuse on an open file.
  Fd pin(open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (pin.Get() >= 0) {
    if (int e = ClaimSource(pin.Get(), source)) return e;
  }
  std::string made;
  struct stat copied {};
  if (int e = CopyToPlace(source, target, collision, made, &copied)) return e;
  bool outOfReach = false, setAside = false;
  if (int e = RemoveMovedSource(source, copied, made, collision, pin.Release(), nullptr, nullptr, &outOfReach,
                                &setAside)) {
    // A source never touched (its folder went with the card) keeps the photo: its copy goes, as
    // a caller without a record cannot wait for the card. One set aside has only the copy in
    // sight, which stays where the move was to put it (a caller's record finds it there).
    if (outOfReach && !setAside && collision != Collision::Replace) unlink(made.c_str());
    if (outOfReach && setAside) placed = std::move(made);
    return e;
  }
  // The source's removal is on its card only once its folder is flushed: a card pulled before
  // that may come back with the photo still on it. The copy stays, as above.
  placed = std::move(made);
  return SyncFolderOf(source);
}

}  // namespace

// --- Failure causes -------------------------------------------------------------------------

int FileCauseFromErrno(int err) {
  switch (err) {
    case 0:
      return 0;
    case ENOENT:
      return 2;
    case ENOTDIR:
    case ENAMETOOLONG:
      return 3;
    case EMFILE:
    case ENFILE:
      return 4;
    case EACCES:
    case EPERM:
    case EROFS:
    case EBUSY:
      return 5;
    case EBADF:
      return 6;
    case EIO:
      return 10;
    case ENOSPC:
    case EDQUOT:
      return 13;
    default:
      return 1;
  }
}

const char* FileCauseText(int cause) {
  static const char* const kTexts[] = {
      "No error occurred.",
      "An unspecified error occurred.",
      "The file could not be located.",
      "All or part of the path is invalid.",
      "The permitted number of open files was exceeded.",
      "The file could not be accessed.",
      "There was an attempt to use an invalid file handle.",
      "The current working directory cannot be removed.",
      "There are no more directory entries.",
      "There was an error trying to set the file pointer.",
      "There was a hardware error.",
      "SHARE.EXE was not loaded, or a shared region was locked.",
      "There was an attempt to lock a region that was already locked.",
      "The disk is full.",
      "The end of file was reached.",
  };
  return (cause >= 0 && cause < 15) ? kTexts[cause] : "";
}

std::string ErrnoText(int err) {
  return std::strerror(err);
}

FileFailure MakeFileFailure(int err) {
  return FileFailure{err, FileCauseFromErrno(err), ErrnoText(err)};
}

// --- Status, attributes, times ----------------------------------------------------------------

bool PathExists(const std::string& path) {
  struct stat st {};
  return fstatat(AT_FDCWD, path.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

bool GetFileStatus(const std::string& path, FileInfo& info, int* err) {
  if (StatPath(path, info)) return true;
  return Fail(err, errno);
}

bool SetFileAttributes(const std::string& path, bool readOnly, int* err) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return Fail(err, errno);
  mode_t mode = st.st_mode & 07777;
  mode_t wanted = readOnly ? (mode & ~static_cast<mode_t>(0222)) : (mode | S_IWUSR);
  if (wanted != mode && chmod(path.c_str(), wanted) != 0) return Fail(err, errno);
  return true;
}

bool SetFileTimes(const std::string& path, int64_t modTime, int64_t accessTime, int* err) {
  struct timespec times[2];
  times[0].tv_sec = accessTime == kKeepTime ? 0 : accessTime;
  times[0].tv_nsec = accessTime == kKeepTime ? UTIME_OMIT : 0;
  times[1].tv_sec = modTime == kKeepTime ? 0 : modTime;
  times[1].tv_nsec = modTime == kKeepTime ? UTIME_OMIT : 0;
  if (utimensat(AT_FDCWD, path.c_str(), times, 0) != 0) return Fail(err, errno);
  return true;
}

bool SetFileStatus(const std::string& path, const FileInfo& status, int* err) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return Fail(err, errno);
  int64_t mod = status.modTime == st.st_mtim.tv_sec ? kKeepTime : status.modTime;
  int64_t access = status.accessTime == st.st_atim.tv_sec ? kKeepTime : status.accessTime;
  if ((mod != kKeepTime || access != kKeepTime) && !SetFileTimes(path, mod, access, err)) return false;
  return SetFileAttributes(path, status.readOnly, err);
}

mode_t CurrentUmask() {
  // Read it where the kernel tells: setting and restoring it would leave a moment in which
  // another thread creates files open to everyone.
  if (FILE* f = std::fopen("/proc/self/status", "re")) {
    char line[256];
    unsigned mask = 0;
    bool found = false;
    while (!found && std::fgets(line, sizeof line, f)) found = std::sscanf(line, "Umask: %o", &mask) == 1;
    std::fclose(f);
    if (found) return static_cast<mode_t>(mask & 0777);
  }
  mode_t mask = umask(022);
  umask(mask);
  return mask;
}

bool GrantEveryoneAccess(const std::string& path, int* err) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return Fail(err, errno);
  mode_t mode = st.st_mode & 07777;
  // "Everyone" as far as the user lets new files be open: no photo waiting in the temp folder
  // becomes writable by other accounts.
  mode_t wanted = mode | (0666 & ~CurrentUmask());
  if (wanted != mode && chmod(path.c_str(), wanted) != 0) return Fail(err, errno);
  return true;
}

// --- Copy, move, delete ---------------------------------------------------------------------

bool CopyFile(const std::string& source, const std::string& target, Collision collision, std::string* placed,
              int* err) {
  std::string made;
  if (int e = CopyToPlace(source, target, collision, made)) return Fail(err, e);
  if (placed) *placed = std::move(made);
  return true;
}

bool MoveFile(const std::string& source, const std::string& target, Collision collision, std::string* placed,
              int* err) {
  std::string made;
  int e = PlaceByRename(source, target, collision, made);
  if (e == EXDEV) e = MoveAcross(source, target, collision, made);
  if (e != 0) return Fail(err, e);
  if (placed) *placed = std::move(made);
  return true;
}

std::string HiddenTempName(const std::string& folder, std::string_view kind) {
  static std::atomic<unsigned> counter{0};
  std::string name = folder + ".brisko-" + std::to_string(Ids().pid) + "-";
  name += kind;
  name += std::to_string(++counter);
  name += ".tmp";
  return name;
}

pid_t HiddenTempWriter(std::string_view name) {
  constexpr std::string_view kStart = ".brisko-", kTag = "tag-", kEnd = ".tmp";
  if (name.size() < kStart.size() + kEnd.size() || name.substr(0, kStart.size()) != kStart ||
      name.substr(name.size() - kEnd.size()) != kEnd)
    return 0;
  name.remove_prefix(kStart.size());
  if (name.substr(0, kTag.size()) == kTag) name.remove_prefix(kTag.size());
  pid_t pid = 0;
  size_t digits = 0;
  for (; digits < name.size() && digits < 9 && std::isdigit(static_cast<unsigned char>(name[digits]));
       ++digits)
    pid = pid * 10 + (name[digits] - '0');
  if (digits == 0 || digits >= name.size() || name[digits] != '-') return 0;
  return pid;
}

bool IsFileLayerTempName(std::string_view name) {
  if (name.size() > 12 && name.substr(0, 8) == ".brisko-" && name.substr(name.size() - 4) == ".tmp")
    return true;
  // SafeOutput's ".<name>.brisko-XXXXXX" (ID.TXT beside the photos, rewritten JPEGs): a crash
  // leaves it half-written.
  constexpr std::string_view kMark = ".brisko-";
  constexpr size_t kRandom = 6;
  if (name.size() < 2 + kMark.size() + kRandom || name[0] != '.') return false;
  if (name.substr(name.size() - kRandom - kMark.size(), kMark.size()) != kMark) return false;
  for (char c : name.substr(name.size() - kRandom)) {
    if (!std::isalnum(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

namespace {
constexpr std::string_view kSetAsideSuffix = ".brisko-gone";

std::function<void(const std::string&)>& SetAsideHook() {
  static std::function<void(const std::string&)> hook;
  return hook;
}

// Puts a set-aside file back under its name, or a free one next to it; never deletes it.
int PutBack(const std::string& aside, const std::string& path) {
  std::string placed;
  return PlaceByRename(aside, path, Collision::Rename, placed);
}
}  // namespace

std::string SetAsideName(const std::string& path) {
  const PathParts parts = SplitPath(path);
  return parts.folder + "." + parts.name + parts.extension + std::string(kSetAsideSuffix);
}

bool IsSetAsideName(std::string_view name) {
  return name.size() > kSetAsideSuffix.size() + 1 && name[0] == '.' &&
         name.substr(name.size() - kSetAsideSuffix.size()) == kSetAsideSuffix;
}

void SetSetAsideHookForTest(std::function<void(const std::string& path)> hook) {
  SetAsideHook() = std::move(hook);
}

int RemoveSourceIfUnchanged(const std::string& path,
                            const std::function<bool(const std::string& at)>& unchanged) {
  int e = 0;
  RemoveSource(path, unchanged, e);
  return e;
}

namespace {
bool FolderOfIsThere(const std::string& path) {
  struct stat st {};
  const std::string folder = SplitPath(path).folder;
  return stat(folder.empty() ? "." : folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}
}  // namespace

SourceRemoval RemoveSource(const std::string& path,
                           const std::function<bool(const std::string& at)>& unchanged, int& err,
                           bool* setAside) {
  if (setAside) *setAside = false;
  const std::string aside = SetAsideName(path);
  // Another station (or a crashed pass) holds the name aside: leave this one to it.
  if (int e = RenameNoReplace(path, aside)) {
    err = e == EEXIST ? EBUSY : e;
    if (e == EEXIST || Refused(e)) return SourceRemoval::Kept;
    // Not there: gone, or its card with it; only the folder tells which.
    if (e == ENOENT && FolderOfIsThere(path)) return SourceRemoval::Kept;
    return SourceRemoval::OutOfReach;
  }
  // Once aside, the file is safe only back under its name; else it waits for a later look.
  auto putBack = [&](int e) {
    const int back = PutBack(aside, path);
    err = e;
    if (back != 0 && err == EBUSY) err = back;
    if (back != 0 && setAside) *setAside = true;
    return back == 0 ? SourceRemoval::Kept : SourceRemoval::OutOfReach;
  };
  if (!unchanged(aside)) return putBack(EBUSY);
  if (SetAsideHook()) SetAsideHook()(path);
  if (unlink(aside.c_str()) != 0) return putBack(errno);
  err = 0;
  return SourceRemoval::Removed;
}

bool SettleSetAside(const std::string& path, const std::function<bool(const std::string& at)>& unchanged) {
  const std::string aside = SetAsideName(path);
  struct stat st {};
  if (lstat(aside.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  if (unchanged(aside)) {
    unlink(aside.c_str());
  } else {
    PutBack(aside, path);
  }
  SyncFolderOf(path);
  return true;
}

bool DeleteFile(const std::string& path, FileFailure* failure) {
  if (unlink(path.c_str()) == 0) return true;
  if (failure) *failure = MakeFileFailure(errno);
  return false;
}

// --- Folders --------------------------------------------------------------------------------

bool CreateFolder(const std::string& path, int* err) {
  if (mkdir(path.c_str(), 0777) == 0) return true;
  return Fail(err, errno);
}

bool CreateFolderPath(const std::string& folder, int* err) {
  std::string path = TrimTrailingSeparators(folder);
  if (path.empty()) return true;
  struct stat st {};
  // Usually the folder is there already: one call decides.
  if (stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode) ? true : Fail(err, ENOTDIR);
  bool ok = true;
  int firstErr = 0;
  size_t pos = 0;
  while (pos != std::string::npos) {
    pos = path.find('/', pos + 1);
    std::string prefix = path.substr(0, pos);
    if (prefix.empty() || prefix.back() == '/') continue;  // leading or doubled "/"
    if (stat(prefix.c_str(), &st) == 0) continue;
    if (mkdir(prefix.c_str(), 0777) != 0 && errno != EEXIST) {
      if (ok) firstErr = errno;
      ok = false;
    }
  }
  if (ok && (stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))) {
    ok = false;
    firstErr = ENOTDIR;
  }
  return ok ? true : Fail(err, firstErr);
}

RemoveFolderOutcome RemoveFolder(const std::string& path, int* err) {
  if (rmdir(path.c_str()) == 0) return RemoveFolderOutcome::Removed;
  int e = errno;
  if (err) *err = e;
  switch (e) {
    case ENOENT:
      return RemoveFolderOutcome::DoesNotExist;
    case EACCES:
    case EPERM:
    case EROFS:
    case EBUSY:
      return RemoveFolderOutcome::AccessDenied;
    case ENOTEMPTY:
    case EEXIST:
      return RemoveFolderOutcome::NotEmpty;
    default:
      return RemoveFolderOutcome::Other;
  }
}

// --- Lock test ------------------------------------------------------------------------------

namespace {

// Should another process open a file while our lease is held, the kernel signals the holder,
// by default with SIGIO, whose default ends the process. Nothing here uses SIGIO, so it is
// ignored once for the process; where someone handles it, each descriptor asks for SIGURG
// instead (ignored unless handled), as that costs a call per file.
bool SigioIgnored() {
  static const bool ignored = [] {
    struct sigaction current {};
    if (sigaction(SIGIO, nullptr, &current) != 0) return false;
    if (current.sa_handler == SIG_IGN && !(current.sa_flags & SA_SIGINFO)) return true;
    if (current.sa_handler != SIG_DFL || (current.sa_flags & SA_SIGINFO)) return false;
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    return sigaction(SIGIO, &ignore, nullptr) == 0;
  }();
  return ignored;
}

// EBUSY when a lease of `type` is refused because another process has the file open (for
// writing, for a read lease); 0 when taken, or not permitted here (not the owner, no
// support), where the flock is the test. The lease goes when the descriptor is closed.
int LeaseTest(int fd, int type) {
  if (!SigioIgnored() && fcntl(fd, F_SETSIG, SIGURG) != 0) return 0;
  if (fcntl(fd, F_SETLEASE, type) == 0) return 0;
  return errno == EAGAIN || errno == EBUSY ? EBUSY : 0;
}

}  // namespace

bool CanOpenExclusively(const std::string& path, int* err) {
  // Non-blocking so that a FIFO or device cannot stall the scan.
  Fd fd(open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (fd.Get() < 0) return Fail(err, errno);
  // A write lease is refused while any other open file description exists, and only regular
  // files take one: once granted, nobody else can hold a flock either (a flock lives on an open
  // file description), so a folder of thousands of files costs three calls per file.
  if (SigioIgnored() && fcntl(fd.Get(), F_SETLEASE, F_WRLCK) == 0) return true;
  struct stat st {};
  if (fstat(fd.Get(), &st) != 0) return Fail(err, errno);
  if (!S_ISREG(st.st_mode)) return Fail(err, EINVAL);
  if (LeaseTest(fd.Get(), F_WRLCK) != 0) return Fail(err, EBUSY);
  if (flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) return Fail(err, errno == EWOULDBLOCK ? EBUSY : errno);
  return true;
}

std::vector<ExclusiveTest> TestExclusively(const std::vector<std::string>& paths) {
  std::vector<ExclusiveTest> out(paths.size());
  ForEachIndex(paths.size(), [&](size_t i) { out[i].free = CanOpenExclusively(paths[i], &out[i].err); });
  return out;
}

namespace file_ops_detail {
int ReadLockTest(int fd) {
  // A read lease is refused while any other process has the file open for writing.
  if (LeaseTest(fd, F_RDLCK) != 0) return EBUSY;
  if (flock(fd, LOCK_SH | LOCK_NB) != 0) return errno == EWOULDBLOCK ? EBUSY : errno;
  return 0;
}
}  // namespace file_ops_detail

bool CanReadUnwritten(const std::string& path, int* err) {
  Fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (fd.Get() < 0) return Fail(err, errno);
  struct stat st {};
  if (fstat(fd.Get(), &st) != 0) return Fail(err, errno);
  if (!S_ISREG(st.st_mode)) return Fail(err, EINVAL);
  if (int e = ReadLockTest(fd.Get())) return Fail(err, e);
  return true;
}

// --- Test seam ------------------------------------------------------------------------------

void SetFileFaultHook(FileFaultHook hook) {
  Hook() = std::move(hook);
}

int ClaimSource(int fd, const std::string& path) {
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) return errno == EWOULDBLOCK ? EBUSY : 0;
  struct stat held {
  }, named{};
  if (fstat(fd, &held) != 0 || held.st_nlink == 0) return EBUSY;
  if (stat(path.c_str(), &named) != 0 || named.st_dev != held.st_dev || named.st_ino != held.st_ino)
    return EBUSY;
  return 0;
}

std::shared_ptr<void> ClaimSourceAt(const std::string& path, int* err) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  int e = fd < 0 ? errno : ClaimSource(fd, path);
  if (e != 0) {
    if (fd >= 0) close(fd);
    if (err) *err = e;
    return nullptr;
  }
  return std::shared_ptr<void>(reinterpret_cast<void*>(intptr_t{fd} + 1),
                               [](void* p) { close(static_cast<int>(reinterpret_cast<intptr_t>(p) - 1)); });
}

void SetFolderSyncFaultForTest(std::function<int(const std::string& folder)> hook) {
  file_ops_detail::FolderSyncHook() = std::move(hook);
}

int FolderSyncFault(const std::string& folder) {
  const auto& hook = file_ops_detail::FolderSyncHook();
  return hook ? hook(folder) : 0;
}

}  // namespace brisko
