#include "engine/printing/print_record.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <set>

#include "engine/base/record_file.h"
#include "engine/printing/print_desk.h"
#include "imaging/image_codec.h"
#include "support/file_ops.h"
#include "support/path_util.h"

namespace brisko {

namespace {

bool SafeJobName(std::string_view name) {
  return !name.empty() && name.size() <= 128 && std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
  });
}

// Values go one a line: "%" and line breaks are escaped.
std::string Escape(std::string_view s) {
  std::string out;
  for (char c : s) {
    if (c == '%')
      out += "%25";
    else if (c == '\n')
      out += "%0A";
    else if (c == '\r')
      out += "%0D";
    else
      out += c;
  }
  return out;
}

std::string Unescape(std::string_view s) {
  std::string out;
  for (size_t i = 0; i < s.size(); i++) {
    if (s[i] == '%' && i + 2 < s.size()) {
      const std::string_view hex = s.substr(i + 1, 2);
      if (hex == "25")
        out += '%';
      else if (hex == "0A")
        out += '\n';
      else if (hex == "0D")
        out += '\r';
      else
        out += hex;  // not written by us: kept as read
      i += 2;
    } else {
      out += s[i];
    }
  }
  return out;
}

int ToInt(std::string_view s, int fallback) {
  if (s.empty() || s.size() > 9) return fallback;
  int v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return fallback;
    v = v * 10 + (c - '0');
  }
  return v;
}

bool ReadRecord(int fd, PrintRecord& record) {
  std::string text;
  return ReadBounded(fd, text, kMaxPrintRecordBytes) && ParsePrintRecord(text, record);
}

// ".<photo name>.brisko-print-<id>.jpg"
constexpr std::string_view kCopyMark = ".brisko-print-";
constexpr std::string_view kCopyEnd = ".jpg";

bool IsPrintCopyName(std::string_view name) {
  return name.size() > 1 + kCopyMark.size() + kCopyEnd.size() && name[0] == '.' &&
         name.find(kCopyMark) != std::string_view::npos &&
         name.substr(name.size() - kCopyEnd.size()) == kCopyEnd;
}

// Copies a crash left before their record was written: no record names them, and an hour old
// (another station sharing the folder may be about to record one it just made).
void SweepPrintCopies(const std::string& folder, const std::vector<PrintRecord>& records) {
  DIR* dir = ::opendir(folder.c_str());
  if (!dir) return;
  std::vector<std::string> doomed;
  while (const dirent* entry = ::readdir(dir)) {
    if (!IsPrintCopyName(entry->d_name)) continue;
    const std::string path = folder + entry->d_name;
    if (std::none_of(records.begin(), records.end(), [&](const PrintRecord& r) { return r.sent == path; }))
      doomed.push_back(path);
  }
  ::closedir(dir);
  const time_t abandonedBefore = ::time(nullptr) - 3600;
  for (const std::string& path : doomed) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_mtime <= abandonedBefore)
      ::unlink(path.c_str());
  }
}

}  // namespace

std::string FormatPrintRecord(const PrintRecord& r) {
  std::string out;
  out += "job-name=" + Escape(r.jobName) + "\n";
  out += "queue=" + Escape(r.queue) + "\n";
  out += "file=" + Escape(r.file) + "\n";
  out += "copies=" + std::to_string(r.copies) + "\n";
  out += "media=" + Escape(r.media) + "\n";
  out += std::string("scaling=") +
         (r.scaling == PrintScaling::Fit    ? "fit"
          : r.scaling == PrintScaling::Fill ? "fill"
                                            : "") +
         "\n";
  out += std::string("borderless=") + (r.borderless ? "1" : "0") + "\n";
  out += "job-id=" + std::to_string(r.jobId) + "\n";
  if (!r.action.empty()) out += "action=" + Escape(r.action) + "\n";
  if (!r.sent.empty()) out += "sent=" + Escape(r.sent) + "\n";
  return out;
}

bool ParsePrintRecord(std::string_view text, PrintRecord& r) {
  r = PrintRecord{};
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view line = text.substr(pos, end - pos);
    pos = end + 1;
    const size_t eq = line.find('=');
    if (eq == std::string_view::npos) continue;
    const std::string_view key = line.substr(0, eq);
    const std::string value = Unescape(line.substr(eq + 1));
    if (key == "job-name")
      r.jobName = value;
    else if (key == "queue")
      r.queue = value;
    else if (key == "file")
      r.file = value;
    else if (key == "copies")
      r.copies = std::max(1, ToInt(value, 1));
    else if (key == "media")
      r.media = value;
    else if (key == "scaling")
      r.scaling = value == "fit"    ? PrintScaling::Fit
                  : value == "fill" ? PrintScaling::Fill
                                    : PrintScaling::Default;
    else if (key == "borderless")
      r.borderless = value == "1";
    else if (key == "job-id")
      r.jobId = ToInt(value, 0);
    else if (key == "action")
      r.action = value;
    else if (key == "sent")
      r.sent = value;
  }
  // A torn record (the last line cut off) lacks its job id line: never half-read.
  return SafeJobName(r.jobName) && !r.queue.empty() && !r.file.empty() && text.find("\njob-id=") != text.npos;
}

PrintRecordFiles::PrintRecordFiles(std::string tempFolder) : m_folder(WithTrailingSeparator(tempFolder)) {}

PrintRecordFiles::~PrintRecordFiles() {
  for (const auto& [name, fd] : m_held) ::close(fd);
}

bool PrintRecordFiles::Put(const PrintRecord& record, std::string* error) {
  auto fail = [error](const std::string& text) {
    if (error) *error = text;
    return false;
  };
  if (!SafeJobName(record.jobName)) return fail("bad job name");
  const auto known = m_paths.find(record.jobName);
  const auto held = m_held.find(record.jobName);
  if (known != m_paths.end() && held == m_held.end())
    return fail("the print record " + known->second + " is another station's now");
  std::string path = known != m_paths.end() ? known->second : "";
  const std::string folder = path.empty() ? m_folder : SplitPath(path).folder;
  int err = 0;
  const int fd = WriteRecordFile(folder, record.file, kPrintRecordSuffix, FormatPrintRecord(record), path,
                                 nullptr, &err);
  if (fd < 0) return fail("cannot write the print record in " + folder + ": " + strerror(err));
  if (held != m_held.end()) ::close(held->second);
  m_held[record.jobName] = fd;
  m_paths[record.jobName] = path;
  return true;
}

bool PrintRecordFiles::Remove(const std::string& jobName, std::string* error) {
  const auto known = m_paths.find(jobName);
  if (known == m_paths.end()) return true;
  const auto held = m_held.find(jobName);
  if (held == m_held.end()) {
    if (error) *error = "the print record " + known->second + " is another station's now";
    return false;
  }
  if (::unlink(known->second.c_str()) != 0 && errno != ENOENT) {
    if (error) *error = "cannot remove the print record " + known->second + ": " + strerror(errno);
    return false;
  }
  SyncFolderHolding(known->second);
  ::close(held->second);
  m_held.erase(held);
  m_paths.erase(known);
  return true;
}

std::vector<PrintRecord> PrintRecordFiles::List() {
  std::vector<PrintRecord> out;
  std::vector<std::string> paths = ListRecordFiles(m_folder, kPrintRecordSuffix);
  for (std::string& path : ListRecordFiles(m_folder + kOldPrintRecordFolder, ".rec"))
    paths.push_back(std::move(path));
  std::map<std::string, std::string> seen;
  for (const std::string& path : paths) {
    std::string text;
    PrintRecord r;
    const bool ok = ReadRecordFile(path, kMaxPrintRecordBytes, text) && ParsePrintRecord(text, r);
    // An old record is named after its job; a foreign file is not a record.
    if (!ok || seen.count(r.jobName) ||
        (path.compare(path.size() - 4, 4, ".rec") == 0 && SplitPath(path).name != r.jobName))
      continue;
    seen[r.jobName] = path;
    out.push_back(std::move(r));
  }
  // Records held here stay known under their path even when read while being replaced.
  for (const auto& [name, fd] : m_held) seen.emplace(name, m_paths[name]);
  m_paths = std::move(seen);
  std::sort(out.begin(), out.end(),
            [](const PrintRecord& a, const PrintRecord& b) { return a.jobName < b.jobName; });
  return out;
}

bool PrintRecordFiles::Claim(const std::string& jobName) {
  if (m_held.count(jobName)) return true;
  if (!m_paths.count(jobName)) List();
  const auto known = m_paths.find(jobName);
  if (known == m_paths.end()) return false;
  const int fd = ClaimRecordFile(known->second);
  if (fd < 0) return false;
  PrintRecord r;
  if (!ReadRecord(fd, r) || r.jobName != jobName) {
    ::close(fd);
    return false;
  }
  m_held[jobName] = fd;
  return true;
}

void PrintRecordFiles::Release(const std::string& jobName) {
  const auto held = m_held.find(jobName);
  if (held == m_held.end()) return;
  ::close(held->second);
  m_held.erase(held);
}

std::string MakePrintCopy(const std::string& file, const std::string& tempFolder, std::string* reason,
                          const PaperShape* shape) {
  Image image;
  const int format = ImageFormatFromPath(file);
  if (!DecodeImageFile(file, format, image, reason)) return "";
  if (!PrepareForPaper(file, format, image, shape, reason)) return "";
  const PathParts parts = SplitPath(file);
  std::string own = parts.name + parts.extension;
  if (own.size() > 150) own.resize(150);
  const std::string path = WithTrailingSeparator(tempFolder) + "." + own + std::string(kCopyMark) +
                           PrintOnce::NewJobName().substr(7, 16) + std::string(kCopyEnd);
  // Written whole under its name and flushed (a record will name it for a resubmission after a
  // power cut).
  if (!EncodeImageFile(image, path, reason, 95)) return "";
  return path;
}

bool FinishPrintRecord(PrintDesk& desk, const PrintRecord& record) {
  if (!desk.Once().Finish(record.jobName)) return false;
  if (!record.sent.empty()) ::unlink(record.sent.c_str());
  return true;
}

namespace {

// Whether this process has not yet said a line about the record of `jobName` (once per run).
bool FirstSaying(const std::string& jobName) {
  static std::mutex lock;
  static std::set<std::string> said;
  const std::lock_guard<std::mutex> hold(lock);
  return said.insert(jobName).second;
}

}  // namespace

int RecoverPrintRecords(const std::string& tempFolder, const PrintRecovery& how) {
  const std::string folder = WithTrailingSeparator(tempFolder);
  if (ListRecordFiles(folder, kPrintRecordSuffix).empty() &&
      ListRecordFiles(folder + kOldPrintRecordFolder, ".rec").empty()) {
    SweepPrintCopies(folder, {});
    return 0;
  }
  PrintDesk& desk = how.desk();
  int finished = 0;
  for (const PrintRecord& record : desk.Once().Records()) {
    HeldPrintRecord held(desk.Records(), record.jobName);
    if (!held.Held()) continue;  // a live process is working on it
    if (how.settle && how.settle(record)) {
      ++finished;
      continue;
    }
    if (!how.orphaned || !how.orphaned(record)) continue;
    // Nobody here moves the file on: nothing new is sent for it, and what CUPS has is let run.
    const PrintOutcome outcome = desk.Once().Advance(record.jobName, false);
    const std::string copies = std::to_string(record.copies) + (record.copies == 1 ? " copy" : " copies");
    if (outcome == PrintOutcome::Completed && PathExists(record.file)) {
      // Its action may live in another station sharing this temp folder, or come back: were the
      // record dropped, the file would be printed a second time. It stays while the file does.
      if (FirstSaying(record.jobName))
        how.log("Printed file " + record.file + " (" + copies + " on " + record.queue +
                "); no Print Files action takes it on now, so it stays where it is");
      continue;
    }
    if (outcome == PrintOutcome::Missing) {
      how.log("Not printed (no Print Files action takes it on now): " + record.file);
    }
    if (outcome == PrintOutcome::Completed || outcome == PrintOutcome::Missing ||
        outcome == PrintOutcome::Failed) {
      FinishPrintRecord(desk, record);
      ++finished;
    }
  }
  for (const std::string& line : desk.TakeJobLines()) how.log(line);
  SweepPrintCopies(folder, desk.Once().Records());
  return finished;
}

}  // namespace brisko
