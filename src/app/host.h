#pragma once
// What the station needs from the program around it: timers, event dispatch, the clock, the
// exit dialog, power-off and the on-screen log. The window, the headless loop and the tests
// each provide one, so the schedules run the same everywhere.
#include <cstdint>
#include <ctime>
#include <string>

namespace brisko {

class CIdTxt;

enum class ExitChoice { Exit, Cancel, ExitAndShutDown };

// Runs ask for pending events between files; handling them this often keeps the station
// responsive without a look at the event sources for every file.
inline constexpr int kDispatchEveryMs = 50;

class Host {
 public:
  virtual ~Host() = default;

  // The run-loop timer (1000 ms, repeating). Kept apart from the action timers so that no
  // action timer id can ever collide with it.
  virtual void StartLoopTimer(int periodMs) = 0;
  virtual void StopLoopTimer() = 0;
  // One repeating timer per Time action, keyed by the action's timer id. Starting an id that
  // runs restarts it. Returns false when no timer could be started.
  virtual bool StartActionTimer(unsigned id, int64_t delayMs) = 0;
  virtual void StopActionTimer(unsigned id) = 0;

  // Handles whatever is waiting (input, timers, requests) without blocking; this is where
  // nested runs come from. At most once every kDispatchEveryMs; calls between do nothing.
  virtual void DispatchPendingEvents() = 0;
  virtual std::time_t Now() = 0;

  // Modal "Exit Workflow ?" question.
  virtual ExitChoice ShowExitDialog() = 0;
  // Runs the configured power-off command; false when it could not be started or failed.
  virtual bool PowerOff(const std::string& command) = 0;

  virtual void ShowLogLine(const std::string& text) = 0;
  virtual void ShowProgress(int pos, int range, const std::string& actionText,
                            const std::string& statusText) = 0;
  // The exit sequence has finished: end the program's event loop.
  virtual void Quit() = 0;

  // The summary of the barcode values after a scan (shown beside the barcode box).
  virtual void ShowBarcodeSummary(const std::string& summary) { (void)summary; }
  // The printers of the print actions, one line ("" when none is watched).
  virtual void ShowPrinterState(const std::string& text) { (void)text; }
  // The ID.TXT editor after a Move Files from Media run; true on OK. Without a screen: false.
  virtual bool EditIdTxt(CIdTxt& record) {
    (void)record;
    return false;
  }
};

}  // namespace brisko
