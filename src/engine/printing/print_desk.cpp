#include "engine/printing/print_desk.h"

#include <algorithm>
#include <utility>

#include "engine/base/run_host.h"
#include "support/file_ops.h"
#include "support/path_util.h"

namespace brisko {

namespace {

// Shown for the default destination while CUPS names none.
constexpr const char* kNoDefault = "default printer";
constexpr const char* kPaperUsedUp = "paper-used-up";

}  // namespace

PrintDesk::PrintDesk(ServiceFactory factory, const std::string& tempFolder) : m_factory(std::move(factory)) {
  CreateFolderPath(tempFolder);
  m_service = m_factory();
  m_records = std::make_unique<PrintRecordFiles>(tempFolder);
  // PrintOnce's lines name the file: they go to the action log through the run that caused them.
  m_once = std::make_unique<PrintOnce>(*m_service, *m_records, [this](const std::string& line) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_jobLines.push_back(line);
  });
}

PrintDesk::~PrintDesk() {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stop = true;
  }
  m_wake.notify_all();
  if (m_thread.joinable()) m_thread.join();
}

std::string PrintDesk::ResolveQueue(const std::string& configured) {
  if (!configured.empty()) return configured;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_defaultQueue.empty()) return m_defaultQueue;
  }
  std::vector<std::string> queues;
  std::string def, error;
  if (!m_service->ListQueues(&queues, &def, &error)) return "";
  std::lock_guard<std::mutex> lock(m_mutex);
  m_defaultQueue = def;
  return def;
}

std::optional<PrinterSnapshot> PrintDesk::SnapshotOf(const std::string& queue, bool countPaper) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  auto it = m_snapshots.find(queue);
  if (it == m_snapshots.end()) return std::nullopt;
  PrinterSnapshot snapshot = it->second;
  if (countPaper) ApplyPaperCount(snapshot);
  return snapshot;
}

void PrintDesk::ApplyPaperCount(PrinterSnapshot& snapshot) const {
  auto it = m_printsLeft.find(snapshot.queue);
  if (it == m_printsLeft.end()) return;
  snapshot.printsLeft = it->second;
  if (it->second != 0 || !snapshot.polled) return;
  // Counted down to nothing: as good as the printer saying its paper is out.
  snapshot.problems.push_back({kPaperUsedUp, "paper used up", true});
  snapshot.canPrint = false;
}

void PrintDesk::SetPrintsLeft(const std::string& queue, int left) {
  std::lock_guard<std::mutex> lock(m_mutex);
  left = left < 0 ? -1 : left;
  auto [it, added] = m_printsLeft.emplace(queue, left);
  const int before = added ? -1 : it->second;
  it->second = left;
  if (left == 0 && before != 0)
    m_logLines.push_back("Printer " + queue +
                         ": paper used up (0 prints left); nothing is sent until paper is loaded");
}

bool PrintDesk::KnowsPrintsLeft(const std::string& queue) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_printsLeft.count(queue) != 0;
}

bool PrintDesk::CanPrint(const std::string& queue, bool countPaper) {
  std::optional<PrinterSnapshot> snapshot = SnapshotOf(queue, countPaper);
  if (!snapshot) {
    AddWatch(queue);
    Poll();
    snapshot = SnapshotOf(queue, countPaper);
  }
  return snapshot && snapshot->canPrint;
}

bool PrintDesk::Takes(const std::string& queue, const std::string& format) {
  auto known = m_formats.find(queue);
  if (known == m_formats.end()) {
    std::vector<std::string> formats;
    std::string error;
    if (!m_service->DocumentFormats(queue, &formats, &error)) return false;
    known = m_formats.emplace(queue, std::move(formats)).first;
  }
  return std::find(known->second.begin(), known->second.end(), format) != known->second.end();
}

bool PrintDesk::MaySubmit(const std::string& queue, int inFlight) {
  // One job in flight per printer: some dye-sub printers fail on a second job sent too soon.
  return CanPrint(queue) && inFlight < 1;
}

void PrintDesk::Watch(const std::set<std::string>& queues) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_configured = queues;
}

void PrintDesk::AddWatch(const std::string& queue) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_configured.insert(queue);
}

void PrintDesk::Poll() {
  std::lock_guard<std::mutex> round(m_pollMutex);
  std::set<std::string> configured;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    configured = m_configured;
  }
  if (!m_watchService) m_watchService = m_factory();
  auto log = [this](const std::string& line) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_logLines.push_back(line);
  };

  std::string defaultQueue;
  bool defaultKnown = true, answered = true;
  if (configured.count("")) {
    std::vector<std::string> queues;
    std::string error;
    answered = m_watchService->ListQueues(&queues, &defaultQueue, &error);
    defaultKnown = answered && !defaultQueue.empty();
  }
  std::set<std::string> names;
  for (const std::string& q : configured) {
    if (!q.empty()) names.insert(q);
  }
  if (defaultKnown && !defaultQueue.empty()) names.insert(defaultQueue);

  std::map<std::string, PrinterSnapshot> snapshots;
  for (auto it = m_watches.begin(); it != m_watches.end();) {
    it = names.count(it->first) ? std::next(it) : m_watches.erase(it);
  }
  for (const std::string& name : names) {
    std::unique_ptr<PrinterWatch>& watch = m_watches[name];
    if (!watch) watch = std::make_unique<PrinterWatch>(*m_watchService, PrinterWatch::Options{name}, log);
    watch->Poll();
    snapshots[name] = watch->Snapshot();
  }
  if (!defaultKnown) {
    PrinterSnapshot none;
    none.queue = kNoDefault;
    none.polled = true;
    none.state = answered ? "none set" : "not reachable";
    snapshots[""] = none;
  }

  std::lock_guard<std::mutex> lock(m_mutex);
  if (!defaultQueue.empty()) m_defaultQueue = defaultQueue;
  // Said once, like a printer's change.
  const std::string missing = defaultKnown ? "" : snapshots[""].state;
  if (!missing.empty() && missing != m_defaultSaid)
    m_logLines.push_back(std::string("Printer ") + kNoDefault + ": " + missing);
  m_defaultSaid = missing;
  m_snapshots = std::move(snapshots);
}

void PrintDesk::StartPolling(std::chrono::milliseconds period) {
  if (m_thread.joinable()) return;
  m_thread = std::thread([this, period] { Loop(period); });
}

void PrintDesk::Loop(std::chrono::milliseconds period) {
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      if (m_stop) return;
    }
    Poll();
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_wake.wait_for(lock, period, [this] { return m_stop; })) return;
  }
}

std::vector<std::string> PrintDesk::TakeLogLines() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return std::exchange(m_logLines, {});
}

std::vector<std::string> PrintDesk::TakeJobLines() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return std::exchange(m_jobLines, {});
}

std::vector<PrinterSnapshot> PrintDesk::Snapshots() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  std::vector<PrinterSnapshot> out;
  for (const auto& [name, snapshot] : m_snapshots) {
    out.push_back(snapshot);
    ApplyPaperCount(out.back());
  }
  return out;
}

PrintDesk& PrintDeskOf(StationValues& values, const std::string& tempFolder) {
  if (!values.m_printing) {
    values.m_printing = std::make_shared<PrintDesk>(
        [] {
          CupsOptions options;
          options.timeoutMs = 3000;
          return MakeCupsPrintService(options);
        },
        WithTrailingSeparator(tempFolder));
  }
  return *values.m_printing;
}

}  // namespace brisko
