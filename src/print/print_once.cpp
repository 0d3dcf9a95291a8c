#include "print/print_once.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "support/safe_output.h"

namespace brisko {

namespace {

constexpr size_t kMaxRecordBytes = 64 * 1024;

bool SafeName(const std::string& name) {
  return !name.empty() && name.size() <= 128 && std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
  });
}

// Values go one a line: "%" and line breaks are escaped.
std::string Escape(const std::string& s) {
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

std::string Unescape(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); i++) {
    if (s[i] == '%' && i + 2 < s.size()) {
      const std::string hex = s.substr(i + 1, 2);
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

int ToInt(const std::string& s, int fallback) {
  if (s.empty() || s.size() > 9) return fallback;
  int v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return fallback;
    v = v * 10 + (c - '0');
  }
  return v;
}

std::string Format(const PrintRecord& r) {
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
  return out;
}

bool Parse(const std::string& text, PrintRecord* r) {
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    const size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    const std::string key = line.substr(0, eq);
    const std::string value = Unescape(line.substr(eq + 1));
    if (key == "job-name")
      r->jobName = value;
    else if (key == "queue")
      r->queue = value;
    else if (key == "file")
      r->file = value;
    else if (key == "copies")
      r->copies = std::max(1, ToInt(value, 1));
    else if (key == "media")
      r->media = value;
    else if (key == "scaling")
      r->scaling = value == "fit"    ? PrintScaling::Fit
                   : value == "fill" ? PrintScaling::Fill
                                     : PrintScaling::Default;
    else if (key == "borderless")
      r->borderless = value == "1";
    else if (key == "job-id")
      r->jobId = ToInt(value, 0);
  }
  return SafeName(r->jobName) && !r->queue.empty() && !r->file.empty();
}

class FolderLock {
 public:
  explicit FolderLock(const std::string& folder) {
    m_fd = open((folder + "/.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (m_fd >= 0) flock(m_fd, LOCK_EX);
  }
  ~FolderLock() {
    if (m_fd >= 0) close(m_fd);
  }
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;

 private:
  int m_fd = -1;
};

class FolderPrintRecordStore final : public PrintRecordStore {
 public:
  explicit FolderPrintRecordStore(std::string folder) : m_folder(std::move(folder)) {}

  bool Put(const PrintRecord& record, std::string* error) override {
    if (!SafeName(record.jobName)) return Fail(error, "bad job name");
    FolderLock lock(m_folder);
    SafeOutput out;
    const std::string text = Format(record);
    if (!out.Open(PathOf(record.jobName)) || !WriteAll(out.Fd(), text.data(), text.size()) || !out.Commit()) {
      return Fail(error, "cannot write the print record in " + m_folder + ": " + strerror(errno));
    }
    return true;
  }

  bool Remove(const std::string& jobName, std::string* error) override {
    if (!SafeName(jobName)) return Fail(error, "bad job name");
    FolderLock lock(m_folder);
    if (unlink(PathOf(jobName).c_str()) != 0 && errno != ENOENT) {
      return Fail(error, "cannot remove the print record " + jobName + ": " + strerror(errno));
    }
    const int dir = open(m_folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
      fsync(dir);
      close(dir);
    }
    return true;
  }

  std::vector<PrintRecord> List() override {
    std::vector<PrintRecord> out;
    FolderLock lock(m_folder);
    DIR* dir = opendir(m_folder.c_str());
    if (!dir) return out;
    while (dirent* e = readdir(dir)) {
      const std::string name = e->d_name;
      if (name.size() < 5 || name[0] == '.' || name.compare(name.size() - 4, 4, ".rec") != 0) continue;
      const int fd = open((m_folder + "/" + name).c_str(), O_RDONLY | O_CLOEXEC);
      if (fd < 0) continue;
      std::string text(kMaxRecordBytes, '\0');
      const ssize_t n = read(fd, text.data(), text.size());
      close(fd);
      if (n <= 0) continue;
      text.resize(static_cast<size_t>(n));
      PrintRecord r;
      if (Parse(text, &r) && r.jobName + ".rec" == name) out.push_back(r);
    }
    closedir(dir);
    std::sort(out.begin(), out.end(),
              [](const PrintRecord& a, const PrintRecord& b) { return a.jobName < b.jobName; });
    return out;
  }

 private:
  std::string PathOf(const std::string& jobName) const { return m_folder + "/" + jobName + ".rec"; }
  static bool Fail(std::string* error, const std::string& text) {
    if (error) *error = text;
    return false;
  }
  std::string m_folder;
};

}  // namespace

std::unique_ptr<PrintRecordStore> MakeFolderPrintRecordStore(const std::string& folder) {
  return std::make_unique<FolderPrintRecordStore>(folder);
}

PrintOnce::PrintOnce(PrintService& service, PrintRecordStore& records, LogFn log)
    : m_service(service), m_records(records), m_log(std::move(log)) {}

std::string PrintOnce::NewJobName() {
  unsigned char bytes[16] = {};
  size_t got = 0;
  while (got < sizeof bytes) {
    const ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  static const char kHex[] = "0123456789abcdef";
  std::string name = "brisko-";
  for (unsigned char b : bytes) {
    name += kHex[b >> 4];
    name += kHex[b & 15];
  }
  return name;
}

PrintOutcome PrintOnce::Start(const JobRequest& request, std::string* jobName) {
  PrintRecord r;
  r.jobName = NewJobName();
  r.queue = request.queue;
  r.file = request.file;
  r.copies = std::max(1, request.copies);
  r.media = request.media;
  r.scaling = request.scaling;
  r.borderless = request.borderless;
  if (jobName) *jobName = r.jobName;
  std::string error;
  if (!m_records.Put(r, &error)) {
    m_log("Cannot print " + r.file + ": " + error);
    return PrintOutcome::Failed;
  }
  if (m_checkpoint) m_checkpoint("recorded");
  return Submit(r);
}

PrintOutcome PrintOnce::Submit(PrintRecord r) {
  JobRequest job{r.queue, r.file, r.jobName, r.copies, r.media, r.scaling, r.borderless};
  std::string error;
  bool refused = false;
  const int id = m_service.Submit(job, &error, &refused);
  if (id <= 0 && refused) {
    // Certainly no job: the record goes, the file stays where it is.
    m_log("Cannot print " + r.file + " on " + r.queue + ": " + error);
    m_records.Remove(r.jobName, nullptr);
    return PrintOutcome::Failed;
  }
  if (id <= 0) {
    // The record stays: whether CUPS made the job is found out by its name next time.
    m_log("Cannot print " + r.file + " on " + r.queue + ": " + error);
    return PrintOutcome::Unknown;
  }
  if (m_checkpoint) m_checkpoint("submitted");
  r.jobId = id;
  m_records.Put(r, nullptr);  // only a help for later: the name alone finds the job
  return PrintOutcome::Waiting;
}

PrintOutcome PrintOnce::Advance(const std::string& jobName) {
  std::vector<PrintRecord> all = m_records.List();
  auto it = std::find_if(all.begin(), all.end(), [&](const PrintRecord& r) { return r.jobName == jobName; });
  if (it == all.end()) return PrintOutcome::Failed;
  const PrintRecord& r = *it;
  std::vector<JobInfo> jobs;
  std::string error;
  if (!m_service.FindJobs(r.queue, r.jobName, &jobs, &error)) return PrintOutcome::Unknown;
  if (jobs.empty()) {
    if (r.jobId > 0) {
      // CUPS made the job and has since forgotten it. It forgets only finished jobs (its
      // history is full or expired), so the file was printed: never print it twice.
      m_log("Print job " + std::to_string(r.jobId) + " of " + r.file +
            " is no longer in the CUPS history; taken as printed");
      return PrintOutcome::Completed;
    }
    return Submit(r);
  }
  if (std::any_of(jobs.begin(), jobs.end(),
                  [](const JobInfo& j) { return j.state == JobState::Completed; })) {
    return PrintOutcome::Completed;
  }
  if (std::any_of(jobs.begin(), jobs.end(), [](const JobInfo& j) { return JobStillToPrint(j.state); })) {
    return PrintOutcome::Waiting;
  }
  m_log("Print job " + std::to_string(jobs.front().id) + " of " + r.file + " was " +
        (jobs.front().state == JobState::Canceled ? "canceled" : "aborted"));
  return PrintOutcome::Failed;
}

PrintOutcome PrintOnce::Wait(const std::string& jobName, int timeoutMs, int pollMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const PrintOutcome outcome = Advance(jobName);
    if (outcome == PrintOutcome::Completed || outcome == PrintOutcome::Failed) return outcome;
    if (std::chrono::steady_clock::now() >= deadline) return outcome;
    std::this_thread::sleep_for(std::chrono::milliseconds(pollMs));
  }
}

bool PrintOnce::Finish(const std::string& jobName) {
  std::string error;
  if (m_records.Remove(jobName, &error)) return true;
  m_log(error);
  return false;
}

int PrintOnce::InFlight(const std::string& queue) {
  const std::vector<PrintRecord> all = m_records.List();
  return static_cast<int>(
      std::count_if(all.begin(), all.end(), [&](const PrintRecord& r) { return r.queue == queue; }));
}

}  // namespace brisko
