#include "print/print_once.h"

#include <sys/random.h>

#include <algorithm>
#include <chrono>
#include <thread>

namespace brisko {

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

PrintOutcome PrintOnce::Start(const JobRequest& request, std::string* jobName, const std::string& action,
                              const std::string& sent) {
  PrintRecord r;
  r.jobName = NewJobName();
  r.queue = request.queue;
  r.file = request.file;
  r.copies = std::max(1, request.copies);
  r.media = request.media;
  r.scaling = request.scaling;
  r.borderless = request.borderless;
  r.action = action;
  r.sent = sent;
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
  JobRequest job{r.queue,     r.sent.empty() ? r.file : r.sent, r.jobName, r.copies, r.media, r.scaling,
                 r.borderless};
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

PrintOutcome PrintOnce::Advance(const std::string& jobName, bool submitMissing) {
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
    return submitMissing ? Submit(r) : PrintOutcome::Missing;
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
