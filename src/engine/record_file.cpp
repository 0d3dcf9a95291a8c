#include "engine/record_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <set>

#include "support/file_ops.h"
#include "support/path_util.h"
#include "support/safe_output.h"

namespace brisko {

namespace {

std::map<std::string, std::vector<std::string>>& Held() {
  static std::map<std::string, std::vector<std::string>> held;
  return held;
}

std::set<std::string>& Reported() {
  static std::set<std::string> reported;
  return reported;
}

size_t& TestBound() {
  static size_t bound = 0;
  return bound;
}

}  // namespace

size_t RecordBound(size_t readBound) {
  return TestBound() != 0 ? std::min(TestBound(), readBound) : readBound;
}

void SetRecordBoundForTest(size_t bytes) {
  TestBound() = bytes;
}

std::vector<std::pair<size_t, size_t>> RunsWithin(size_t count, size_t head, size_t bound,
                                                  const std::function<size_t(size_t)>& bytesOf) {
  std::vector<std::pair<size_t, size_t>> runs;
  size_t bytes = head;
  for (size_t i = 0; i < count; ++i) {
    const size_t more = bytesOf(i);
    if (runs.empty() || bytes + more > bound) {
      runs.emplace_back(i, i + 1);
      bytes = head + more;
    } else {
      runs.back().second = i + 1;
      bytes += more;
    }
  }
  return runs;
}

bool FirstReport(const std::string& record, std::string_view about) {
  std::string key = record;
  if (!about.empty()) key.append("\n").append(about);
  return Reported().insert(std::move(key)).second;
}

void ForgetReports(const std::string& record) {
  Reported().erase(record);
  const std::string about = record + "\n";
  for (auto it = Reported().lower_bound(about); it != Reported().end() && it->rfind(about, 0) == 0;)
    it = Reported().erase(it);
}

int RenameNoReplace(const std::string& from, const std::string& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  int e = errno;
  if (e != EINVAL && e != ENOSYS) return e;
  if (::link(from.c_str(), to.c_str()) == 0) {
    ::unlink(from.c_str());
    return 0;
  }
  e = errno;
  if (e != EPERM && e != EOPNOTSUPP && e != ENOSYS) return e;
  if (PathExists(to)) return EEXIST;
  return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

bool SyncFolderHolding(const std::string& path) {
  const std::string folder = SplitPath(path).folder;
  const int fd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = ::fsync(fd) == 0;
  ::close(fd);
  return ok;
}

int WriteRecordFile(const std::string& folder, const std::string& nameFrom, const char* suffix,
                    const std::string& text, std::string& path,
                    const std::function<bool(const std::string&)>& taken, int* err) {
  std::string own = SplitPath(nameFrom).name + SplitPath(nameFrom).extension;
  own.erase(0, own.find_first_not_of('.'));
  if (own.empty()) own = "photo";
  constexpr size_t kMaxName = 255 - 1 - 14 - 8;  // ".", ".brisko-XXXXXX", "_NN" and the suffix
  if (own.size() > kMaxName) own.resize(kMaxName);
  std::string temp = folder + "." + own + ".brisko-XXXXXX";
  int e = 0;
  const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) e = errno;
  if (e == 0) {
    ::fchmod(fd, 0600);
    // A new file nobody else knows: the lock is had at once, where the file system has locks.
    ::flock(fd, LOCK_EX | LOCK_NB);
    if (!WriteAll(fd, text.data(), text.size())) e = errno ? errno : EIO;
  }
  if (e == 0 && ::fdatasync(fd) != 0) e = errno;
  if (e == 0) {
    if (!path.empty()) {
      if (::rename(temp.c_str(), path.c_str()) != 0) e = errno;
    } else {
      // Named after the photo so an operator can tell what it is about. Never a hidden name:
      // recovery passes over those.
      const std::string wanted = folder + own;
      for (int n = 1; n < 100000; ++n) {
        std::string candidate = (n == 1 ? wanted : wanted + "_" + std::to_string(n)) + suffix;
        if (taken && taken(candidate)) continue;
        e = RenameNoReplace(temp, candidate);
        if (e == EEXIST) continue;
        if (e == 0) path = std::move(candidate);
        break;
      }
    }
  }
  // The new name must survive a power cut before a source gives way.
  if (e == 0 && !SyncFolderHolding(path)) {
    e = errno ? errno : EIO;
    ::unlink(path.c_str());
  }
  if (e != 0) {
    if (fd >= 0) {
      ::unlink(temp.c_str());
      ::close(fd);
    }
    if (err) *err = e;
    return -1;
  }
  return fd;
}

std::vector<std::string> ListRecordFiles(const std::string& folder, const char* suffix) {
  std::vector<std::string> records;
  DIR* dir = ::opendir(folder.c_str());
  if (!dir) return records;
  const std::string_view end(suffix);
  while (const dirent* entry = ::readdir(dir)) {
    const std::string_view name(entry->d_name);
    if (name.size() > end.size() && name[0] != '.' && name.substr(name.size() - end.size()) == end)
      records.push_back(folder + entry->d_name);
  }
  ::closedir(dir);
  std::sort(records.begin(), records.end());
  return records;
}

int ClaimRecordFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return -1;  // finished meanwhile
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0 && (errno == EWOULDBLOCK || errno == EINTR)) {
    ::close(fd);
    return -1;
  }
  // Replaced by a step's new record, or removed with the finished move, between the open and the
  // lock: the next pass looks again.
  struct stat held {
  }, named{};
  if (::fstat(fd, &held) != 0 || !S_ISREG(held.st_mode) || ::lstat(path.c_str(), &named) != 0 ||
      held.st_dev != named.st_dev || held.st_ino != named.st_ino) {
    ::close(fd);
    return -1;
  }
  return fd;
}

bool ReadBounded(int fd, std::string& text, size_t limit) {
  struct stat st {};
  text.clear();
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || static_cast<uint64_t>(st.st_size) > limit)
    return false;
  char buf[4096];
  for (off_t at = 0;;) {
    const ssize_t n = ::pread(fd, buf, sizeof buf, at);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    text.append(buf, static_cast<size_t>(n));
    at += n;
    if (text.size() > limit) return false;
  }
}

void HoldPlacedCopies(const std::string& record, std::vector<std::string> copies) {
  copies.erase(std::remove(copies.begin(), copies.end(), std::string()), copies.end());
  if (copies.empty()) {
    Held().erase(record);
  } else {
    Held()[record] = std::move(copies);
  }
}

void ReleaseHeld(const std::string& record) {
  Held().erase(record);
}

void ReleaseHeldMissing(const std::string& folder, const std::vector<std::string>& present) {
  for (auto it = Held().begin(); it != Held().end();) {
    const bool gone = it->first.rfind(folder, 0) == 0 &&
                      std::find(present.begin(), present.end(), it->first) == present.end();
    it = gone ? Held().erase(it) : std::next(it);
  }
}

bool HeldForWaitingMove(const std::string& path) {
  for (const auto& [record, copies] : Held()) {
    if (std::find(copies.begin(), copies.end(), path) != copies.end()) return true;
  }
  return false;
}

bool AnyMoveWaiting() {
  return !Held().empty();
}

}  // namespace brisko
