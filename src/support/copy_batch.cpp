#include "support/copy_batch.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <system_error>
#include <utility>

#include "support/file_ops_internal.h"
#include "support/path_util.h"

namespace brisko {

using namespace file_ops_detail;

CopyBatch::~CopyBatch() {
  Clear();
}

void CopyBatch::WaitForCheck() {
  if (m_checker.joinable()) m_checker.join();
}

// The calls each copy makes, and why: open the source (it also serves the in-use test) and
// fstat it; the in-use test (a read lease and a shared flock) where asked; create the hidden
// name in the target folder, since nothing may appear under the final name before it is
// complete and durable; copy the data; owner, mode and times; close both. Once per folder and
// batch: open the folder and fstat it for its file system. Once per batch: syncfs, then a
// rename into place per file (the name appears only with durable data behind it) and an fsync
// per target folder (so that the name itself survives a power cut before any source is removed).
const CopyBatch::Entry& CopyBatch::Add(const std::string& source, const std::string& target,
                                       Collision collision, bool testInUse) {
  return AddEntry(source, target, collision, testInUse, false);
}

const CopyBatch::Entry& CopyBatch::AddIfNewer(const std::string& source, const std::string& target,
                                              bool testInUse) {
  return AddEntry(source, target, Collision::Replace, testInUse, true);
}

const CopyBatch::Entry& CopyBatch::AddEntry(const std::string& source, const std::string& target,
                                            Collision collision, bool testInUse, bool ifNewer) {
  if (m_entries.empty()) m_startNs = NowNs();
  Entry& entry = m_entries.emplace_back();
  entry.source = source;
  entry.target = target;
  entry.collision = collision;
  entry.ifNewer = ifNewer;
  auto fail = [&entry](int e) -> const Entry& {
    if (!entry.temp.empty()) unlink(entry.temp.c_str());
    entry.temp.clear();
    entry.err = e;
    return entry;
  };
  Fd in(open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (in.Get() < 0) return fail(errno);
  struct stat st {};
  if (fstat(in.Get(), &st) != 0) return fail(errno);
  if (S_ISDIR(st.st_mode)) return fail(EISDIR);
  if (!S_ISREG(st.st_mode)) return fail(EINVAL);
  const bool large = static_cast<uint64_t>(st.st_size) >= kEarlyWriteBackBytes;
  if (testInUse) {
    if (int e = ReadLockTest(in.Get())) {
      entry.inUse = e == EBUSY;
      return fail(e);
    }
    // A writer that opens the file meanwhile waits for the lease: not through a long copy.
    if (large || m_moving) fcntl(in.Get(), F_SETLEASE, F_UNLCK);
  }
  if (collision == Collision::Fail && PathExists(target)) return fail(EEXIST);
  // Another station moving from this folder has it: it is theirs to move.
  if (m_moving) {
    if (int e = ClaimSource(in.Get(), source)) {
      entry.inUse = true;
      return fail(e);
    }
  }
  entry.sourceDevice = st.st_dev;
  entry.sourceInode = st.st_ino;
  entry.sourceSize = static_cast<uint64_t>(st.st_size);
  entry.sourceModTimeNs = int64_t{st.st_mtim.tv_sec} * 1'000'000'000 + st.st_mtim.tv_nsec;
  Fd out(CreateTemp(entry));
  if (out.Get() < 0) return fail(errno);
  // A checked copy hashes the source in the buffer it is copied through: read once.
  int e = m_check ? Fault(FileStep::Write) : 0;
  if (e == 0)
    e = m_check ? CopyDataHashed(in.Get(), out.Get(), entry.hash, large) : CopyData(in.Get(), out.Get());
  if (e == 0) e = CopyAttributes(out.Get(), st);
  // Start writing a large file out now, without waiting: the shared flush then finds little
  // left to do (see kEarlyWriteBackBytes). A checked one went there directly.
  if (e == 0 && large && !m_check) sync_file_range(out.Get(), 0, 0, SYNC_FILE_RANGE_WRITE);
  int closeErr = out.Close();
  if (e == 0) e = closeErr;
  if (e != 0) return fail(e);
  // See MoveAcross: FAT gives an inode that left the cache a new number.
  if (m_moving) entry.pin = dup(in.Get());
  m_bytes += static_cast<uint64_t>(st.st_size);
  return entry;
}

const CopyBatch::Folder* CopyBatch::OpenFolder(const std::string& folder) {
  for (const Folder& f : m_folders)
    if (f.path == folder) return &f;
  // A batch spread over very many folders keeps only the latest open.
  constexpr size_t kMaxOpenFolders = 64;
  if (m_folders.size() >= kMaxOpenFolders) CloseFolders();
  // O_PATH: a folder this user may write to but not read is still a target.
  Fd fd(open(folder.empty() ? "." : folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (fd.Get() < 0) return nullptr;
  struct stat st {};
  if (fstat(fd.Get(), &st) != 0) {
    const int e = errno;
    fd.Close();
    errno = e;
    return nullptr;
  }
  return &m_folders.emplace_back(Folder{folder, fd.Release(), static_cast<uint64_t>(st.st_dev)});
}

void CopyBatch::CloseFolders() {
  for (Folder& f : m_folders) close(f.fd);
  m_folders.clear();
}

int CopyBatch::CreateTemp(Entry& entry) {
  const std::string folder = SplitPath(entry.target).folder;
  for (int attempt = 0;; ++attempt) {
    const Folder* at = OpenFolder(folder);
    int e = at ? EEXIST : errno;
    for (int tries = 0; at && e == EEXIST && tries < 100; ++tries) {
      const std::string name = HiddenTempName(std::string());
      const int fd = openat(at->fd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
      if (fd >= 0) {
        entry.temp = folder + name;
        entry.device = at->device;
        return fd;
      }
      e = errno;
    }
    // A folder removed since it was made (or opened for this batch) is made again, once: the
    // caller made it, and only the removal stands between the copy and its place.
    if (e != ENOENT || !m_makesFolders || attempt > 0) {
      errno = e;
      return -1;
    }
    for (auto it = m_folders.begin(); it != m_folders.end(); ++it) {
      if (it->path != folder) continue;
      close(it->fd);
      m_folders.erase(it);
      break;
    }
    int made = 0;
    if (!CreateFolderPath(folder, &made)) {
      errno = made;
      return -1;
    }
  }
}

bool CopyBatch::Full() const {
  constexpr uint64_t kMaxBytes = uint64_t{256} << 20;
  constexpr int64_t kMaxNs = 1'000'000'000;
  return m_entries.size() >= (m_moving ? kMaxFiles : kMaxCopyFiles) || m_bytes >= kMaxBytes ||
         (!m_entries.empty() && NowNs() - m_startNs >= kMaxNs);
}

void CopyBatch::Flush() {
  FlushData();
  if (m_check) Check();
}

void CopyBatch::FlushCheckingAside() {
  FlushData();
  if (!m_check) return;
  try {
    m_checker = std::thread([this] { Check(); });
  } catch (const std::system_error&) {
    Check();  // no thread to be had: here, then
  }
}

void CopyBatch::FlushData() {
  CloseFolders();  // needed only while copies are made
  // One flush per file system: syncfs through any copy on it; where that fails, each file.
  std::vector<uint64_t> flushed;
  for (Entry& entry : m_entries) {
    if (entry.err != 0 || entry.temp.empty()) continue;
    bool seen = false;
    for (uint64_t d : flushed) seen = seen || d == entry.device;
    if (seen) continue;
    flushed.push_back(entry.device);
    int e = Fault(FileStep::Sync);
    if (e == 0) {
      Fd fd(open(entry.temp.c_str(), O_RDONLY | O_CLOEXEC));
      if (fd.Get() < 0 || syncfs(fd.Get()) != 0) {
        for (Entry& other : m_entries) {
          if (other.err != 0 || other.temp.empty() || other.device != entry.device) continue;
          Fd f(open(other.temp.c_str(), O_RDONLY | O_CLOEXEC));
          if (f.Get() < 0 || fsync(f.Get()) != 0) other.err = errno ? errno : EIO;
        }
      }
    }
    if (e != 0) {
      for (Entry& other : m_entries) {
        if (other.err == 0 && !other.temp.empty() && other.device == entry.device) other.err = e;
      }
    }
  }
}

int CopyBatch::CopyAgain(Entry& entry) {
  Fd in(open(entry.source.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (in.Get() < 0) return errno;
  struct stat st {};
  if (fstat(in.Get(), &st) != 0) return errno;
  // Only the photo that was copied (and claimed) the first time.
  if (static_cast<uint64_t>(st.st_dev) != entry.sourceDevice ||
      static_cast<uint64_t>(st.st_ino) != entry.sourceInode ||
      static_cast<uint64_t>(st.st_size) != entry.sourceSize ||
      int64_t{st.st_mtim.tv_sec} * 1'000'000'000 + st.st_mtim.tv_nsec != entry.sourceModTimeNs)
    return EBUSY;
  Fd out(OpenTemp(SplitPath(entry.target).folder, entry.temp));
  if (out.Get() < 0) {
    entry.temp.clear();
    return errno;
  }
  ContentHash again;
  int e = Fault(FileStep::Write);
  if (e == 0) e = CopyDataHashed(in.Get(), out.Get(), again);
  if (e == 0) e = CopyAttributes(out.Get(), st);
  if (e == 0) e = Fault(FileStep::Sync);
  // Rare enough for a flush of its own.
  if (e == 0 && fsync(out.Get()) != 0) e = errno;
  const int closeErr = out.Close();
  if (e == 0) e = closeErr;
  ContentHash back;
  if (e == 0) e = HashFromDisk(entry.temp, back);
  // The source reading differently this time says as little for the copy as a copy that differs.
  if (e == 0 && (again != entry.hash || back != entry.hash)) {
    entry.checkFailed = true;
    e = EIO;
  }
  if (e != 0) {
    unlink(entry.temp.c_str());
    entry.temp.clear();
  }
  return e;
}

void CopyBatch::Check() {
  for (Entry& entry : m_entries) {
    if (entry.err != 0 || entry.temp.empty()) continue;
    ContentHash back;
    if (HashFromDisk(entry.temp, back) == 0 && back == entry.hash) {
      entry.checked = true;
      continue;
    }
    unlink(entry.temp.c_str());
    entry.temp.clear();
    if (int e = CopyAgain(entry)) {
      entry.err = e;
      continue;
    }
    entry.checked = true;
  }
}

int CopyBatch::PlaceIfNewer(Entry& entry, std::string& made) {
  // The name was free when looked at; a file that took it meanwhile gets the time test it would
  // have had, and one that came and went leaves it free again.
  for (int attempt = 0; attempt < 2; ++attempt) {
    entry.collision = Collision::Fail;  // a new name: taken back should its folder not flush
    int e = PlaceByRename(entry.temp, entry.target, Collision::Fail, made);
    if (e != EEXIST) return e;
    if (!StatPath(entry.target, entry.targetStatus)) {
      if (errno == ENOENT) continue;
      return errno;
    }
    // Whole seconds, rounded down as stat gives them.
    int64_t nsec = entry.sourceModTimeNs % 1'000'000'000;
    if (nsec < 0) nsec += 1'000'000'000;
    if ((entry.sourceModTimeNs - nsec) / 1'000'000'000 <= entry.targetStatus.modTime) {
      entry.upToDate = true;
      return 0;
    }
    entry.collision = Collision::Replace;
    return PlaceByRename(entry.temp, entry.target, Collision::Replace, made);
  }
  return EEXIST;
}

void CopyBatch::Place() {
  WaitForCheck();
  std::vector<std::string> folders;
  for (Entry& entry : m_entries) {
    if (entry.temp.empty()) continue;
    int e = entry.err;
    if (e == 0) e = Fault(FileStep::Place);
    std::string made;
    if (e == 0)
      e = entry.ifNewer ? PlaceIfNewer(entry, made)
                        : PlaceByRename(entry.temp, entry.target, entry.collision, made);
    if (e == 0 && entry.upToDate) {
      unlink(entry.temp.c_str());
    } else if (e != 0) {
      unlink(entry.temp.c_str());
      entry.err = e;
    } else {
      entry.placed = std::move(made);
      bool seen = false;
      for (const std::string& f : folders)
        seen = seen || SplitPath(f).folder == SplitPath(entry.placed).folder;
      if (!seen) folders.push_back(entry.placed);  // one file per folder stands for it
    }
    entry.temp.clear();
  }
  for (const std::string& sample : folders) {
    int e = Fault(FileStep::SyncFolder);
    if (e == 0) e = SyncFolderOf(sample);
    if (e == 0) continue;
    const std::string folder = SplitPath(sample).folder;
    for (Entry& entry : m_entries) {
      if (entry.placed.empty() || SplitPath(entry.placed).folder != folder) continue;
      // A new name is taken back; a replaced file is gone already, so its complete successor stays.
      if (entry.collision != Collision::Replace) unlink(entry.placed.c_str());
      entry.placed.clear();
      entry.err = e;
    }
  }
}

void CopyBatch::RemoveSources() {
  std::vector<std::string> folders;
  for (Entry& entry : m_entries) {
    if (entry.placed.empty()) continue;
    struct stat copied {};
    copied.st_dev = entry.sourceDevice;
    copied.st_ino = entry.sourceInode;
    copied.st_size = static_cast<off_t>(entry.sourceSize);
    // Rounded down, as stat gives times before 1970.
    int64_t nsec = entry.sourceModTimeNs % 1'000'000'000;
    if (nsec < 0) nsec += 1'000'000'000;
    copied.st_mtim.tv_sec = static_cast<time_t>((entry.sourceModTimeNs - nsec) / 1'000'000'000);
    copied.st_mtim.tv_nsec = static_cast<long>(nsec);
    bool outOfReach = false;
    if (int e = RemoveMovedSource(entry.source, copied, entry.placed, entry.collision,
                                  std::exchange(entry.pin, -1), &m_takes, &entry.renamed, &outOfReach)) {
      if (!outOfReach) entry.placed.clear();
      entry.waiting = outOfReach;
      entry.err = e;
      continue;
    }
    const std::string& gone = entry.renamed.empty() ? entry.source : entry.renamed;
    bool seen = false;
    for (const std::string& f : folders) seen = seen || SplitPath(f).folder == SplitPath(gone).folder;
    if (!seen) folders.push_back(gone);
  }
  // So that a power cut cannot bring back a source whose move was reported. A card pulled
  // before its folder is flushed may come back as it was: its moves wait for it.
  for (const std::string& sample : folders) {
    const int e = SyncFolderOf(sample);
    if (e == 0) continue;
    const std::string folder = SplitPath(sample).folder;
    for (Entry& entry : m_entries) {
      const std::string& gone = entry.renamed.empty() ? entry.source : entry.renamed;
      if (entry.err != 0 || entry.placed.empty() || SplitPath(gone).folder != folder) continue;
      entry.waiting = true;
      entry.err = e;
    }
  }
}

void CopyBatch::Clear() {
  WaitForCheck();
  for (Entry& entry : m_entries) {
    if (!entry.temp.empty()) unlink(entry.temp.c_str());
    if (entry.pin >= 0) close(entry.pin);
  }
  CloseFolders();
  m_entries.clear();
  m_bytes = 0;
}

}  // namespace brisko
