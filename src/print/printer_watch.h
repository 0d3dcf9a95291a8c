#pragma once
// Watches one print queue and the printer behind it: polled every few seconds by the host while
// a print action is enabled. Says once in the log what changed, tells whether a new job may be
// sent, restarts a queue CUPS stopped after a job's backend error once the printer is ready
// again (never one a person paused), and counts prints left.
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "print/print_service.h"
#include "print/printer_reasons.h"

namespace brisko {

// "1 print left", "36 prints left".
std::string PrintsLeftText(int left);

// What the window's status line and the status page show of a printer.
struct PrinterSnapshot {
  std::string queue;
  bool polled = false;     // asked at least once
  bool reachable = false;  // CUPS answered the last time
  bool canPrint = false;
  std::string state;  // "idle", "printing", "stopped", "paused" (by a person), "not reachable"
  std::vector<PrinterProblem> problems;
  std::string message;  // printer-state-message, as the printer or CUPS says it
  int jobsWaiting = 0;
  int pagesToday = 0;
  std::vector<Marker> supplies;
  int printsLeft = -1;    // negative: not counted
  int photosWaiting = 0;  // in the folders of the actions printing here (the station counts them)
  // One line: "Selphy: paper out (media-empty); 2 waiting; 36 prints left".
  std::string Summary() const;
  bool operator==(const PrinterSnapshot&) const = default;
};

class PrinterWatch {
 public:
  struct Options {
    std::string queue;
    bool restartStoppedQueue = true;
    // Where the printer cannot be asked itself, a stopped queue is restarted at most this often.
    std::chrono::seconds blindRestartInterval{60};
    // Jobs sent and not yet completed, per printer: some dye-sub printers fail on a second job
    // sent too soon.
    int maxInFlight = 1;
  };
  using LogFn = std::function<void(const std::string&)>;

  PrinterWatch(PrintService& service, Options options, LogFn log);

  // One round of questions (bounded by the service's timeouts).
  void Poll();
  bool CanPrint() const { return m_snapshot.canPrint; }
  // Whether a new job may go now, with `inFlight` of ours not completed yet: nothing new while
  // the printer cannot print, so the queue never fills behind a printer out of paper.
  bool MaySubmit(int inFlight) const { return CanPrint() && inFlight < m_options.maxInFlight; }
  PrinterSnapshot Snapshot() const { return m_snapshot; }

  // The operator loaded paper: `count` prints in the cassette; negative stops counting.
  void SetPrintsLeft(int count);
  // A job completed with this many sheets.
  void PagesPrinted(int sheets);

 private:
  void LogChange(const std::string& text);
  void MaybeRestart(const PrinterStatus& status);
  bool PausedByPerson(const PrinterStatus& status) const;

  PrintService& m_service;
  Options m_options;
  LogFn m_log;
  PrinterSnapshot m_snapshot;
  std::string m_lastLogged;
  std::chrono::steady_clock::time_point m_lastRestart{};
  bool m_restarted = false;
  int m_lastState = 0;  // the queue's state at the last answer; 0: none yet
  bool m_pausedByPerson = false;
};

}  // namespace brisko
