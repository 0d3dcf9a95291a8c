#pragma once
// The station's host without a window: a poll() loop with its own timers, requests from later
// starts on the instance socket, SIGINT/SIGTERM as a close request, and every action log line
// on stdout. The lines are collected and written together: before the loop waits, once the
// oldest is a second old, at once for a failure line, and at the end.
#include <chrono>
#include <cstdio>
#include <map>
#include <optional>
#include <string>

#include "app/host.h"
#include "app/instance_channel.h"

namespace brisko {

class Station;
class InstanceServer;
struct InstanceRequest;
struct InstanceAnswer;

class HeadlessHost : public Host {
 public:
  explicit HeadlessHost(std::FILE* out = stdout) : m_out(out) {}
  ~HeadlessHost() override { FlushOutput(); }
  HeadlessHost(const HeadlessHost&) = delete;
  HeadlessHost& operator=(const HeadlessHost&) = delete;

  void SetStation(Station* station) { m_station = station; }
  void SetInstanceServer(InstanceServer* server) { m_server = server; }
  // Runs until Quit().
  void Run();

  void StartLoopTimer(int periodMs) override;
  void StopLoopTimer() override;
  bool StartActionTimer(unsigned id, int64_t delayMs) override;
  void StopActionTimer(unsigned id) override;
  void DispatchPendingEvents() override;
  std::time_t Now() override { return std::time(nullptr); }
  ExitChoice ShowExitDialog() override { return ExitChoice::Exit; }
  bool PowerOff(const std::string&) override { return false; }
  void ShowLogLine(const std::string& text) override;
  void ShowProgress(int, int, const std::string&, const std::string&) override {}
  void Quit() override { m_quit = true; }
  void FlushOutput();

 private:
  using Clock = std::chrono::steady_clock;
  struct Timer {
    Clock::time_point due;
    Clock::duration period;
  };
  void ProcessOnce(int maxWaitMs);

  std::FILE* m_out;
  std::string m_outPending;
  Clock::time_point m_outSince;
  Station* m_station = nullptr;
  InstanceServer* m_server = nullptr;
  std::optional<Timer> m_loopTimer;
  std::map<unsigned, Timer> m_actionTimers;
  bool m_quit = false;
  Clock::time_point m_lastDispatch{};
};

// SIGINT and SIGTERM become a shutdown request: the handler only writes to a pipe, whose
// reading end the event loop watches.
bool InstallShutdownSignals();
int ShutdownSignalFd();
// Empties the pipe; true when a signal had arrived.
bool DrainShutdownSignals();

// Runs a request that came from a later start (or the command line) on the station; the
// answer says what was done (a paper load) or why not.
PaperAnswer HandleInstanceRequest(Station& station, const struct InstanceRequest& request);
// The answer to a request whose answer is its result (actions).
InstanceAnswer AnswerInstanceRequest(Station& station, const InstanceRequest& request);

}  // namespace brisko
