#include "scheduler/id_txt.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>

#include "support/safe_output.h"
#include "support/settings_store.h"

namespace brisko {

namespace {

char AsciiUpper(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (AsciiUpper(a[i]) != AsciiUpper(b[i])) return false;
  }
  return true;
}

std::string JoinFolder(const std::string& folder, const std::string& name) {
  if (!folder.empty() && folder.back() == '/') return folder + name;
  return folder + "/" + name;
}

void ApplyLine(std::string_view line, IdTxtEntries& entries) {
  // A NUL byte ends the text of the line, as it would for any C string reader.
  size_t nul = line.find('\0');
  if (nul != std::string_view::npos) line = line.substr(0, nul);
  size_t eq = line.find('=');
  if (eq == std::string_view::npos || eq == 0) return;
  std::string key(line.substr(0, eq));
  for (char& c : key) c = AsciiUpper(c);
  std::string value(line.substr(eq + 1));
  for (size_t i = 0; i < kIdTxtKeys.size(); ++i) {
    if (key == kIdTxtKeys[i]) {
      entries.texts[i] = std::move(value);
      return;
    }
  }
  if (key == kIdTxtBatchKey) entries.batch = std::move(value);
}

}  // namespace

IdTxtEntries ParseIdTxt(std::string_view data, bool complete) {
  IdTxtEntries entries;
  size_t start = 0;
  while (start < data.size()) {
    size_t end = start;
    while (end < data.size() && data[end] != '\n' && data[end] != '\r') ++end;
    if (end == data.size()) {
      if (complete) ApplyLine(data.substr(start), entries);
      break;
    }
    ApplyLine(data.substr(start, end - start), entries);
    start = end + 1;
    if (data[end] == '\r' && start < data.size() && data[start] == '\n') ++start;
  }
  return entries;
}

int ParseBatchIdValue(std::string_view value) {
  size_t i = 0;
  while (i < value.size() && (value[i] == ' ' || value[i] == '\t' || value[i] == '\v' || value[i] == '\f'))
    ++i;
  bool negative = false;
  if (i < value.size() && (value[i] == '+' || value[i] == '-')) {
    negative = value[i] == '-';
    ++i;
  }
  long long n = 0;
  for (; i < value.size() && value[i] >= '0' && value[i] <= '9'; ++i) {
    n = n * 10 + (value[i] - '0');
    if (n > static_cast<long long>(INT_MAX) + 1) n = static_cast<long long>(INT_MAX) + 1;
  }
  if (negative) return n > INT_MAX ? INT_MIN : static_cast<int>(-n);
  return n > INT_MAX ? INT_MAX : static_cast<int>(n);
}

int NewBatchId(SettingsStore* store) {
  int last = store ? store->GetProfileInt("Actions", "m_iBatchID", 0) : 0;
  int next = last == INT_MAX ? 1 : last + 1;
  if (store) store->WriteProfileInt("Actions", "m_iBatchID", next);
  return next;
}

std::optional<std::string> FindIdTxt(const std::string& folder) {
  std::string exact = JoinFolder(folder, kIdTxtFileName);
  struct stat st;
  if (::stat(exact.c_str(), &st) == 0) return exact;
  // Cards are read case-blind where they were written; a folder on a case-sensitive file system
  // may hold "id.txt". The smallest matching name wins so the choice does not depend on
  // directory order.
  DIR* dir = ::opendir(folder.empty() ? "/" : folder.c_str());
  if (!dir) return std::nullopt;
  std::optional<std::string> best;
  while (dirent* entry = ::readdir(dir)) {
    if (EqualsIgnoringAsciiCase(entry->d_name, kIdTxtFileName) && (!best || *best > entry->d_name) &&
        ::stat(JoinFolder(folder, entry->d_name).c_str(), &st) == 0) {  // not a dangling link
      best = entry->d_name;
    }
  }
  ::closedir(dir);
  if (!best) return std::nullopt;
  return JoinFolder(folder, *best);
}

bool ReadFileHead(const std::string& path, size_t limit, std::string& data, bool* complete, int* err) {
  data.clear();
  // Non-blocking open so that a FIFO named ID.TXT cannot stall the station.
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    if (err) *err = errno;
    return false;
  }
  struct stat st;
  bool statOk = ::fstat(fd, &st) == 0;
  if (!statOk || !S_ISREG(st.st_mode)) {
    int e = !statOk ? errno : (S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
    ::close(fd);
    if (err) *err = e;
    return false;
  }
  data.resize(limit + 1);
  size_t got = 0;
  while (got < data.size()) {
    ssize_t n = ::read(fd, data.data() + got, data.size() - got);
    if (n < 0) {
      if (errno == EINTR) continue;
      int e = errno;
      ::close(fd);
      data.clear();
      if (err) *err = e;
      return false;
    }
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  ::close(fd);
  if (complete) *complete = got <= limit;
  data.resize(got <= limit ? got : limit);
  return true;
}

std::string& CIdTxt::Text(size_t index) {
  switch (index) {
    case 0:
      return m_strPhotographerID;
    case 1:
      return m_strEventID;
    case 2:
      return m_strCardID;
    case 3:
      return m_strUserID1;
    case 4:
      return m_strUserID2;
    default:
      return m_strUserID3;
  }
}

const std::string& CIdTxt::Text(size_t index) const {
  return const_cast<CIdTxt*>(this)->Text(index);
}

int CIdTxt::NewBatchId() {
  return brisko::NewBatchId(m_store);
}

bool CIdTxt::ReadFromFolders(const std::vector<std::string>& folders,
                             const std::function<std::optional<std::string>(const std::string&)>& find) {
  for (const std::string& folder : folders) {
    std::optional<std::string> found = find ? find(folder) : FindIdTxt(folder);
    if (!found) continue;
    std::string data;
    bool complete = true;
    int err = 0;
    if (!ReadFileHead(*found, kIdTxtMaxRead, data, &complete, &err)) {
      m_lastError = err;
      return false;
    }
    m_strFilePath = *found;
    IdTxtEntries entries = ParseIdTxt(data, complete);
    for (size_t i = 0; i < entries.texts.size(); ++i) {
      if (entries.texts[i]) Text(i) = std::move(*entries.texts[i]);
    }
    m_iBatchID = entries.batch ? ParseBatchIdValue(*entries.batch) : 0;
    if (m_iBatchID == 0) m_iBatchID = NewBatchId();
    return true;
  }
  return false;
}

std::string CIdTxt::Format() const {
  std::string out;
  for (size_t i = 0; i < kIdTxtKeys.size(); ++i) {
    out += kIdTxtKeys[i];
    out += '=';
    for (char c : Text(i)) {
      if (c != '\r' && c != '\n' && c != '\0') out += c;
    }
    out += "\r\n";
  }
  out += kIdTxtBatchKey;
  out += '=';
  out += std::to_string(m_iBatchID);
  out += "\r\n";
  return out;
}

bool CIdTxt::Write(const std::string& path, bool newBatch) {
  m_lastError = 0;
  if (newBatch) m_iBatchID = NewBatchId();
  const std::string text = Format();

  size_t slash = path.rfind('/');
  std::string folder = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);

  struct stat old;
  bool replacing = ::stat(path.c_str(), &old) == 0;
  if (replacing) {
    if (S_ISDIR(old.st_mode)) {
      m_lastError = EISDIR;
      return false;
    }
    // A write-protected ID.TXT stays as it is, like the read-only attribute on the card.
    if (!(old.st_mode & S_IWUSR)) {
      m_lastError = EACCES;
      return false;
    }
  }

  SafeOutput out;
  bool ok = out.Open(path) && WriteAll(out.Fd(), text.data(), text.size());
  if (ok && replacing) ::fchmod(out.Fd(), old.st_mode & 07777);  // best effort: vfat has no modes
  if (!ok || !out.Commit()) {
    m_lastError = errno;
    return false;
  }
  return true;
}

}  // namespace brisko
