#pragma once
// The station's printing: one print service for the runs, the durable job records (PrintOnce)
// and a watch on every queue an enabled Print Files action names. The watches may be polled on
// a thread of their own (a printer gone from the network makes a poll wait for seconds), so the
// run and the window only ever read the last answer.
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "engine/printing/print_record.h"
#include "print/print_once.h"
#include "print/printer_watch.h"

namespace brisko {

struct StationValues;

class PrintDesk {
 public:
  using ServiceFactory = std::function<std::unique_ptr<PrintService>()>;
  // `tempFolder`: where the job records are (created when missing).
  PrintDesk(ServiceFactory factory, const std::string& tempFolder);
  ~PrintDesk();
  PrintDesk(const PrintDesk&) = delete;
  PrintDesk& operator=(const PrintDesk&) = delete;

  // For the runs (the station's thread).
  PrintOnce& Once() { return *m_once; }
  PrintRecordFiles& Records() { return *m_records; }
  // The queue a setting names: itself, or for "" the default destination ("" when unknown).
  std::string ResolveQueue(const std::string& configured);
  // Whether a new job may go to `queue` with `inFlight` of ours unfinished. A queue never asked
  // yet is asked now.
  bool MaySubmit(const std::string& queue, int inFlight);
  // `countPaper`: a printer whose counted prints are used up cannot print either (jobs already
  // sent still print: the paper for them is there).
  bool CanPrint(const std::string& queue, bool countPaper = true);
  // Whether `queue` prints files of the MIME type `format` itself (its filters included). A queue
  // that does not answer is taken to print only the common formats.
  bool Takes(const std::string& queue, const std::string& format);

  // The queue settings ("" the default destination) of the enabled print actions.
  void Watch(const std::set<std::string>& queues);
  void AddWatch(const std::string& queue);
  // One round of questions to every watched printer, on the calling thread.
  void Poll();
  // Polls on a thread of its own from now on, every `period`.
  void StartPolling(std::chrono::milliseconds period);
  // What the watches said since the last call: one line per change of a printer.
  std::vector<std::string> TakeLogLines();
  // What the job records said (each names its file), for the action log of the run.
  std::vector<std::string> TakeJobLines();
  std::vector<PrinterSnapshot> Snapshots() const;

  // The prints left on `queue` as the station counts them (negative: not counted). At 0 the
  // printer is taken as out of paper: nothing new is sent until the operator loads paper. The
  // change to 0 is said once in the log.
  void SetPrintsLeft(const std::string& queue, int left);
  // Whether the desk has been told the count of `queue` since it was made.
  bool KnowsPrintsLeft(const std::string& queue) const;

 private:
  std::optional<PrinterSnapshot> SnapshotOf(const std::string& queue, bool countPaper = true) const;
  // Puts the counted prints into a watch's snapshot (m_mutex held).
  void ApplyPaperCount(PrinterSnapshot& snapshot) const;
  void Loop(std::chrono::milliseconds period);

  ServiceFactory m_factory;
  std::unique_ptr<PrintService> m_service;  // the runs'
  std::unique_ptr<PrintRecordFiles> m_records;
  std::unique_ptr<PrintOnce> m_once;
  std::map<std::string, std::vector<std::string>> m_formats;  // by queue, as CUPS answered

  std::mutex m_pollMutex;  // one round at a time; guards the two below
  std::unique_ptr<PrintService> m_watchService;
  std::map<std::string, std::unique_ptr<PrinterWatch>> m_watches;  // by queue name

  mutable std::mutex m_mutex;  // guards the rest
  std::set<std::string> m_configured;
  std::string m_defaultQueue;
  std::string m_defaultSaid;  // what the log last said of a missing default destination
  std::map<std::string, PrinterSnapshot> m_snapshots;
  std::map<std::string, int> m_printsLeft;  // by queue name
  std::vector<std::string> m_logLines, m_jobLines;
  std::condition_variable m_wake;
  bool m_stop = false;
  std::thread m_thread;
};

// The station's desk, made at first use with its records under `tempFolder`.
PrintDesk& PrintDeskOf(StationValues& values, const std::string& tempFolder);

}  // namespace brisko
