#include "engine/base/record_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <map>
#include <set>

#include "support/file_ops.h"
#include "support/path_util.h"
#include "support/safe_output.h"

namespace brisko {

namespace {

struct Holding {
  std::vector<std::string> paths;
  std::vector<HeldKey> keys;
};
std::map<std::string, Holding>& Held() {
  static std::map<std::string, Holding> held;
  return held;
}

// Records held by this process (HeldRecord): recovery leaves them alone, new records never take
// their names.
std::set<std::string>& HeldPaths() {
  static std::set<std::string> held;
  return held;
}

std::set<std::string>& Reported() {
  static std::set<std::string> reported;
  return reported;
}

std::function<void(const std::string&)>& ClaimHook() {
  static std::function<void(const std::string&)> hook;
  return hook;
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

std::string EscapeRecordField(std::string_view text) {
  static const char* const kHex = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (c == '%' || c == '\t' || c == '\n' || c == '\r' || c == '\0') {
      out += '%';
      out += kHex[(static_cast<unsigned char>(c) >> 4) & 15];
      out += kHex[static_cast<unsigned char>(c) & 15];
    } else {
      out += c;
    }
  }
  return out;
}

bool UnescapeRecordField(std::string_view text, std::string& out) {
  auto hex = [](char c) { return c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1; };
  out.clear();
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    if (i + 2 >= text.size()) return false;
    const int hi = hex(text[i + 1]), lo = hex(text[i + 2]);
    if (hi < 0 || lo < 0) return false;
    out += static_cast<char>(hi * 16 + lo);
    i += 2;
  }
  return true;
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
  if (int e = FolderSyncFault(folder)) {
    errno = e;
    return false;
  }
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
  if (ClaimHook()) ClaimHook()(path);
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

void SetClaimHookForTest(std::function<void(const std::string& path)> hook) {
  ClaimHook() = std::move(hook);
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

bool ReadRecordFile(const std::string& path, size_t readBound, std::string& text) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return false;
  const bool read = ReadBounded(fd, text, readBound);
  ::close(fd);
  return read;
}

HeldRecord::HeldRecord(std::string folder, const char* suffix, size_t readBound)
    : m_folder(WithTrailingSeparator(folder)), m_suffix(suffix), m_bound(readBound) {}

HeldRecord::HeldRecord(HeldRecord&& other) noexcept
    : m_folder(std::move(other.m_folder)),
      m_suffix(other.m_suffix),
      m_bound(other.m_bound),
      m_path(std::move(other.m_path)),
      m_fd(other.m_fd) {
  other.m_path.clear();
  other.m_fd = -1;
}

HeldRecord::~HeldRecord() {
  Release();
}

bool HeldRecord::HeldHere(const std::string& path) {
  return HeldPaths().count(path) > 0;
}

void HeldRecord::Release() {
  if (m_fd >= 0) ::close(m_fd);
  m_fd = -1;
  if (!m_path.empty()) HeldPaths().erase(m_path);
  m_path.clear();
}

void HeldRecord::Adopt(const std::string& path, int fd) {
  Release();
  m_path = path;
  m_fd = fd;
  HeldPaths().insert(m_path);
}

bool HeldRecord::Write(const std::string& text, const std::string& nameFrom, int* err) {
  // Recovery reads no more than this; a longer record could not be read back.
  if (text.size() > RecordBound(m_bound)) {
    if (err) *err = EFBIG;
    return false;
  }
  std::string path = m_path;
  const int fd = WriteRecordFile(m_folder, nameFrom, m_suffix, text, path, HeldHere, err);
  if (fd < 0) return false;
  if (m_path.empty()) {
    m_path = path;
    HeldPaths().insert(m_path);
  }
  if (m_fd >= 0) ::close(m_fd);
  m_fd = fd;
  return true;
}

void HeldRecord::Remove() {
  if (m_path.empty()) return;
  ::unlink(m_path.c_str());
  ReleaseHeld(m_path);
  ForgetReports(m_path);
  Release();
}

void HeldRecord::Keep(std::vector<std::string> placed) {
  if (!m_path.empty()) HoldPlacedCopies(m_path, std::move(placed));
  Release();
}

FolderLock::FolderLock(const std::string& folder)
    : m_fd(::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
  while (m_fd >= 0 && ::flock(m_fd, LOCK_EX) != 0 && errno == EINTR) {
  }
}

FolderLock::~FolderLock() {
  if (m_fd >= 0) ::close(m_fd);
}

int RecoverRecords(const std::string& folder, const char* suffix, size_t readBound,
                   const std::function<int(HeldRecord& record, const std::string* text)>& recover) {
  int done = 0;
  for (const std::string& path : ListRecordFiles(folder, suffix)) {
    if (HeldRecord::HeldHere(path)) continue;
    // Only a record whose lock is free: a live station holds the lock of every record it is
    // working by, for as long as it works by it.
    const int fd = ClaimRecordFile(path);
    if (fd < 0) continue;
    HeldRecord record(folder, suffix, readBound);
    record.Adopt(path, fd);  // let go with `record`
    std::string text;
    const bool read = ReadBounded(fd, text, readBound);
    done += recover(record, read ? &text : nullptr);
  }
  return done;
}

bool ForEachRecordLine(std::string_view text, const std::function<bool(std::string_view)>& header,
                       std::string_view trailer,
                       const std::function<bool(size_t number, std::string_view line)>& line) {
  bool ended = false;
  for (size_t number = 0; !text.empty(); ++number) {
    const size_t eol = text.find('\n');
    if (eol == std::string_view::npos || ended) return false;  // cut short, or more after the end
    const std::string_view l = text.substr(0, eol);
    text.remove_prefix(eol + 1);
    if (number == 0) {
      if (!header(l)) return false;
    } else if (l == trailer) {
      ended = true;
    } else if (!line(number, l)) {
      return false;
    }
  }
  return ended;
}

void HoldPlacedCopies(const std::string& record, std::vector<std::string> copies) {
  copies.erase(std::remove(copies.begin(), copies.end(), std::string()), copies.end());
  if (copies.empty()) {
    Held().erase(record);
    return;
  }
  Holding holding;
  for (const std::string& copy : copies) {
    HeldKey key;
    if (HeldKeyOf(copy, key)) holding.keys.push_back(std::move(key));
  }
  holding.paths = std::move(copies);
  Held()[record] = std::move(holding);
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

bool HeldKeyOf(const std::string& path, HeldKey& key) {
  key = {};
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
    key.device = st.st_dev;
    key.inode = st.st_ino;
  }
  const PathParts parts = SplitPath(path);
  // A pass asks for every file of a folder in turn: its real path is made once a second.
  static std::string lastFolder, lastReal;
  static time_t lastAt = 0;
  const time_t now = ::time(nullptr);
  if (parts.folder != lastFolder || now != lastAt) {
    char* real = ::realpath(parts.folder.empty() ? "." : parts.folder.c_str(), nullptr);
    lastReal = real ? std::string(real) : std::string();
    ::free(real);
    lastFolder = parts.folder;
    lastAt = now;
  }
  if (!lastReal.empty()) key.real = lastReal + "/" + parts.name + parts.extension;
  return key.inode != 0 || !key.real.empty();
}

bool KeyAmong(const HeldKey& key, const std::vector<HeldKey>& keys) {
  for (const HeldKey& k : keys) {
    if (key.inode != 0 && k.inode == key.inode && k.device == key.device) return true;
    if (!key.real.empty() && k.real == key.real) return true;
  }
  return false;
}

bool HeldForWaitingMove(const std::string& path) {
  if (Held().empty()) return false;
  HeldKey key;
  const bool keyed = HeldKeyOf(path, key);
  for (const auto& [record, holding] : Held()) {
    if (std::find(holding.paths.begin(), holding.paths.end(), path) != holding.paths.end()) return true;
    if (keyed && KeyAmong(key, holding.keys)) return true;
  }
  return false;
}

bool AnyMoveWaiting() {
  return !Held().empty();
}

}  // namespace brisko
