#include "engine/camera_move_record.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>

#include "engine/move_journal.h"
#include "support/path_util.h"

namespace brisko {

namespace {

constexpr std::string_view kHeader = "BriskoCameraMove 1";
constexpr size_t kMaxEntries = 100000;

// Fields are separated by tabs and records by line feeds; camera names come from the camera
// and may hold either, so both (and "%") are written as %XX.
std::string Escape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (c == '%' || c == '\t' || c == '\n' || c == '\r' || c == '\0') {
      static const char* const kHex = "0123456789ABCDEF";
      out += '%';
      out += kHex[(static_cast<unsigned char>(c) >> 4) & 15];
      out += kHex[static_cast<unsigned char>(c) & 15];
    } else {
      out += c;
    }
  }
  return out;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool Unescape(std::string_view text, std::string& out) {
  out.clear();
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    if (i + 2 >= text.size()) return false;
    const int hi = HexDigit(text[i + 1]);
    const int lo = HexDigit(text[i + 2]);
    if (hi < 0 || lo < 0) return false;
    out += static_cast<char>(hi * 16 + lo);
    i += 2;
  }
  return true;
}

template <typename T>
bool Number(std::string_view text, T& value) {
  if (text.empty()) return false;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && end == text.data() + text.size();
}

std::vector<std::string_view> Split(std::string_view line, char by) {
  std::vector<std::string_view> parts;
  size_t start = 0;
  for (;;) {
    const size_t at = line.find(by, start);
    parts.push_back(line.substr(start, at == std::string_view::npos ? std::string_view::npos : at - start));
    if (at == std::string_view::npos) return parts;
    start = at + 1;
  }
}

bool WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

std::atomic<unsigned> g_recordNumber{0};

}  // namespace

std::string FormatCameraMoveRecord(const CameraMoveRecord& record) {
  std::string out(kHeader);
  out += "\naction\t" + Escape(record.action) + "\ncamera\t" + Escape(record.camera) + "\n";
  for (const CameraMoveRecord::Entry& e : record.entries) {
    out += "entry\t" + Escape(e.folder) + "\t" + Escape(e.name) + "\t" + std::to_string(e.size) + "\t" +
           std::to_string(e.modTime) + "\t" + Escape(e.target) + "\t" + Escape(e.temp) + "\t" +
           std::to_string(e.copyInode) + "\t" + std::to_string(e.copySize) + "\n";
  }
  out += "end\n";
  return out;
}

bool ParseCameraMoveRecord(std::string_view text, CameraMoveRecord& record) {
  record = {};
  if (text.size() > kMaxCameraMoveRecordBytes) return false;
  bool action = false, camera = false, end = false;
  size_t lineNumber = 0;
  size_t start = 0;
  while (start < text.size()) {
    const size_t nl = text.find('\n', start);
    if (nl == std::string_view::npos) return false;  // cut short
    const std::string_view line = text.substr(start, nl - start);
    start = nl + 1;
    if (end) return false;  // nothing follows the end
    if (lineNumber++ == 0) {
      if (line != kHeader) return false;
      continue;
    }
    if (line == "end") {
      end = true;
      continue;
    }
    const std::vector<std::string_view> f = Split(line, '\t');
    if (f[0] == "action" && f.size() == 2 && !action) {
      if (!Unescape(f[1], record.action)) return false;
      action = true;
    } else if (f[0] == "camera" && f.size() == 2 && !camera) {
      if (!Unescape(f[1], record.camera)) return false;
      camera = true;
    } else if (f[0] == "entry" && f.size() == 9) {
      if (record.entries.size() >= kMaxEntries) return false;
      CameraMoveRecord::Entry e;
      if (!Unescape(f[1], e.folder) || !Unescape(f[2], e.name) || !Number(f[3], e.size) ||
          !Number(f[4], e.modTime) || !Unescape(f[5], e.target) || !Unescape(f[6], e.temp) ||
          !Number(f[7], e.copyInode) || !Number(f[8], e.copySize))
        return false;
      if (e.name.empty() || e.target.empty()) return false;
      record.entries.push_back(std::move(e));
    } else {
      return false;
    }
  }
  return end && action && camera;
}

CameraMoveJournal::CameraMoveJournal(std::string tempFolder) : m_folder(WithTrailingSeparator(tempFolder)) {}

CameraMoveJournal::~CameraMoveJournal() {
  Keep();
}

void CameraMoveJournal::Keep() {
  if (m_lockFd >= 0) ::close(m_lockFd);
  m_lockFd = -1;
  m_path.clear();
}

void CameraMoveJournal::Remove() {
  if (!m_path.empty()) {
    ::unlink(m_path.c_str());
    SyncFolderHolding(m_path);
  }
  Keep();
}

bool CameraMoveJournal::Write(const CameraMoveRecord& record, int* err) {
  const std::string text = FormatCameraMoveRecord(record);
  auto fail = [err](int e) {
    if (err) *err = e;
    return false;
  };
  if (text.size() > kMaxCameraMoveRecordBytes) return fail(EFBIG);
  // Written under a hidden name, locked and flushed, and only then given its own name, so the
  // record under that name is always whole and always locked while this station lives.
  std::string temp = m_folder + ".camera-move.brisko-XXXXXX";
  const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return fail(errno);
  ::fchmod(fd, 0600);
  ::flock(fd, LOCK_EX | LOCK_NB);
  if (!WriteAll(fd, text) || ::fdatasync(fd) != 0) {
    const int e = errno ? errno : EIO;
    ::close(fd);
    ::unlink(temp.c_str());
    return fail(e);
  }
  std::string path = m_path;
  if (path.empty()) {
    path = m_folder + "camera-" + std::to_string(::getpid()) + "-" + std::to_string(++g_recordNumber) +
           kCameraMoveRecordSuffix;
  }
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    const int e = errno;
    ::close(fd);
    ::unlink(temp.c_str());
    return fail(e);
  }
  if (!SyncFolderHolding(path)) {
    // The record may not survive a power cut; the caller must not go on.
    ::close(fd);
    ::unlink(path.c_str());
    m_path.clear();
    if (m_lockFd >= 0) ::close(m_lockFd);
    m_lockFd = -1;
    return fail(EIO);
  }
  if (m_lockFd >= 0) ::close(m_lockFd);
  m_lockFd = fd;
  m_path = path;
  return true;
}

void CameraMoveJournal::Claim(const std::string& tempFolder, const std::string& action,
                              const std::string& camera, std::vector<CameraMoveRecord>& records,
                              std::vector<std::unique_ptr<CameraMoveJournal>>& journals) {
  const std::string folder = WithTrailingSeparator(tempFolder);
  DIR* dir = ::opendir(folder.c_str());
  if (!dir) return;
  std::vector<std::string> names;
  const std::string_view suffix = kCameraMoveRecordSuffix;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string_view name(entry->d_name);
    if (name.size() > suffix.size() && name[0] != '.' && name.substr(name.size() - suffix.size()) == suffix)
      names.emplace_back(name);
  }
  ::closedir(dir);
  for (const std::string& name : names) {
    const std::string path = folder + name;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) continue;
    struct stat st {};
    // A record a live station holds is that station's move.
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > off_t(kMaxCameraMoveRecordBytes) ||
        ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      ::close(fd);
      continue;
    }
    std::string text(static_cast<size_t>(st.st_size), '\0');
    size_t got = 0;
    while (got < text.size()) {
      const ssize_t n = ::read(fd, text.data() + got, text.size() - got);
      if (n <= 0) break;
      got += static_cast<size_t>(n);
    }
    CameraMoveRecord record;
    if (got != text.size() || !ParseCameraMoveRecord(text, record) || record.action != action ||
        record.camera != camera) {
      ::close(fd);
      continue;
    }
    auto journal = std::make_unique<CameraMoveJournal>(folder);
    journal->m_path = path;
    journal->m_lockFd = fd;
    records.push_back(std::move(record));
    journals.push_back(std::move(journal));
  }
}

}  // namespace brisko
