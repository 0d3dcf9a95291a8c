#include "print/printer_watch.h"

#include <algorithm>
#include <ctime>

namespace brisko {

namespace {

long long StartOfToday() {
  const time_t now = time(nullptr);
  struct tm local {};
  localtime_r(&now, &local);
  local.tm_hour = local.tm_min = local.tm_sec = 0;
  return static_cast<long long>(mktime(&local));
}

std::string JoinProblems(const std::vector<PrinterProblem>& problems) {
  std::string out;
  for (const PrinterProblem& p : problems) out += (out.empty() ? "" : ", ") + p.text;
  return out;
}

// The reasons that hold now. A queue's reasons other than its own stop come from its backend
// and are only current while the backend runs (a job printing); on an idle or stopped queue they
// may be left from the last job, and trusting them would keep a refilled printer blocked. The
// printer's own answer, where it can be asked, always holds.
std::vector<std::string> LiveReasons(const PrinterStatus& status) {
  std::vector<std::string> out;
  for (const std::string& r : status.reasons) {
    if (ReasonKeyword(r) == "paused" || status.state == PrinterStatus::Processing) out.push_back(r);
  }
  out.insert(out.end(), status.deviceReasons.begin(), status.deviceReasons.end());
  return out;
}

}  // namespace

std::string PrintsLeftText(int left) {
  return std::to_string(left) + (left == 1 ? " print left" : " prints left");
}

std::string PrinterSnapshot::Summary() const {
  std::string out = queue + ": ";
  if (!polled) return out + "not asked yet";
  out += problems.empty() ? state : JoinProblems(problems);
  if (jobsWaiting > 0) out += "; " + std::to_string(jobsWaiting) + " waiting";
  if (photosWaiting > 0)
    out += "; " + std::to_string(photosWaiting) + (photosWaiting == 1 ? " photo" : " photos") + " to print";
  if (printsLeft >= 0) out += "; " + PrintsLeftText(printsLeft);
  return out;
}

PrinterWatch::PrinterWatch(PrintService& service, Options options, LogFn log)
    : m_service(service), m_options(std::move(options)), m_log(std::move(log)) {
  m_snapshot.queue = m_options.queue;
}

void PrinterWatch::SetPrintsLeft(int count) {
  m_snapshot.printsLeft = count < 0 ? -1 : count;
}

void PrinterWatch::PagesPrinted(int sheets) {
  m_snapshot.pagesToday += sheets;
  if (m_snapshot.printsLeft >= 0) m_snapshot.printsLeft = std::max(0, m_snapshot.printsLeft - sheets);
}

void PrinterWatch::LogChange(const std::string& text) {
  if (text == m_lastLogged) return;
  // The first answer is only worth a line when something is wrong.
  if (!m_lastLogged.empty() || text != "ready") m_log("Printer " + m_options.queue + ": " + text);
  m_lastLogged = text;
}

void PrinterWatch::Poll() {
  PrinterStatus status;
  std::string error;
  m_snapshot.polled = true;
  if (!m_service.QueryStatus(m_options.queue, &status, &error)) {
    m_snapshot.reachable = false;
    m_snapshot.canPrint = false;
    m_snapshot.state = "not reachable";
    m_snapshot.problems.clear();
    m_snapshot.message = error;
    LogChange("not reachable (" + error + ")");
    return;
  }
  m_snapshot.reachable = true;
  std::vector<std::string> reasons = LiveReasons(status);
  // Who stopped the queue is decided as it stops; a person may still pause it later.
  if (status.state != PrinterStatus::Stopped)
    m_pausedByPerson = false;
  else if (m_lastState != PrinterStatus::Stopped)
    m_pausedByPerson = PausedByPerson(status);
  else if (status.message.empty() || status.message == "Paused")
    m_pausedByPerson = true;
  m_lastState = status.state;
  if (status.state == PrinterStatus::Stopped && !m_pausedByPerson) reasons.emplace_back("paused");
  if (m_pausedByPerson)
    reasons.erase(std::remove_if(reasons.begin(), reasons.end(),
                                 [](const std::string& r) { return ReasonKeyword(r) == "paused"; }),
                  reasons.end());
  if (status.deviceAsked && !status.deviceAnswered) reasons.emplace_back("offline");
  if (status.deviceAnswered && status.deviceState == PrinterStatus::Stopped) reasons.emplace_back("offline");
  m_snapshot.problems = DescribeReasons(reasons);
  if (m_pausedByPerson) m_snapshot.problems.insert(m_snapshot.problems.begin(), {"paused", "Paused", true});
  m_snapshot.message = !status.deviceMessage.empty() ? status.deviceMessage : status.message;
  m_snapshot.jobsWaiting = status.jobsWaiting;
  m_snapshot.supplies = status.markers;
  m_snapshot.state = m_pausedByPerson                            ? "paused"
                     : status.state == PrinterStatus::Stopped    ? "stopped"
                     : status.state == PrinterStatus::Processing ? "printing"
                                                                 : "idle";
  int pages = 0;
  if (m_service.PagesCompletedSince(m_options.queue, StartOfToday(), &pages, nullptr))
    m_snapshot.pagesToday = pages;

  const bool blocked = std::any_of(m_snapshot.problems.begin(), m_snapshot.problems.end(),
                                   [](const PrinterProblem& p) { return p.blocks; });
  m_snapshot.canPrint = status.accepting && !blocked;
  if (!status.accepting && !blocked)
    LogChange("not accepting jobs");
  else
    LogChange(m_snapshot.problems.empty() ? "ready" : JoinProblems(m_snapshot.problems));

  MaybeRestart(status);
}

bool PrinterWatch::PausedByPerson(const PrinterStatus& status) const {
  // CUPS's Pause Printer (cupsdisable, the web page) says "Paused" unless given a reason. CUPS
  // stops a queue itself only when a job's backend fails, and puts the backend's message there:
  // a job was printing, or one waits again. A stop with another text and no job is a person's.
  if (status.message.empty() || status.message == "Paused") return true;
  return m_lastState != PrinterStatus::Processing && status.jobsWaiting == 0;
}

void PrinterWatch::MaybeRestart(const PrinterStatus& status) {
  if (status.state != PrinterStatus::Stopped) {
    m_restarted = false;
    return;
  }
  // A person's pause stays until a person resumes the queue.
  if (!m_options.restartStoppedQueue || m_pausedByPerson) return;
  // Ready: the printer says so itself, or, where it cannot be asked, the queue holds nothing
  // but its stop and a while has passed since the last restart.
  std::vector<std::string> others;
  for (const std::string& r : LiveReasons(status)) {
    if (ReasonKeyword(r) != "paused") others.push_back(r);
  }
  const std::vector<PrinterProblem> problems = DescribeReasons(others);
  if (std::any_of(problems.begin(), problems.end(), [](const PrinterProblem& p) { return p.blocks; })) return;
  const auto now = std::chrono::steady_clock::now();
  if (status.deviceAsked) {
    if (!status.deviceAnswered || status.deviceState == PrinterStatus::Stopped) return;
  } else if (m_restarted && now - m_lastRestart < m_options.blindRestartInterval) {
    return;
  }
  std::string error;
  if (!m_service.ResumeQueue(m_options.queue, &error)) {
    LogChange("cannot restart the stopped queue (" + error + ")");
    return;
  }
  m_restarted = true;
  m_lastRestart = now;
  // The next poll shows what the queue does now.
  m_log("Printer " + m_options.queue + ": queue restarted");
}

}  // namespace brisko
