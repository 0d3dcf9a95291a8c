#pragma once
// A host for station tests: timers and the clock are plain values the test drives.
#include <ctime>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "app/host.h"

namespace brisko::test {

class FakeStationHost : public Host {
 public:
  void StartLoopTimer(int periodMs) override {
    loopOn = true;
    loopPeriod = periodMs;
  }
  void StopLoopTimer() override { loopOn = false; }
  bool StartActionTimer(unsigned id, int64_t delayMs) override {
    timers[id] = delayMs;
    return true;
  }
  void StopActionTimer(unsigned id) override { timers.erase(id); }
  void DispatchPendingEvents() override {}
  std::time_t Now() override { return now; }
  ExitChoice ShowExitDialog() override {
    ++exitDialogs;
    if (onExitDialog) onExitDialog();
    if (choices.empty()) return ExitChoice::Exit;
    ExitChoice c = choices.front();
    choices.pop_front();
    return c;
  }
  bool PowerOff(const std::string& command) override {
    powerOffCommands.push_back(command);
    return true;
  }
  void ShowLogLine(const std::string& text) override { log.push_back(text); }
  void ShowProgress(int, int, const std::string&, const std::string&) override {}
  void Quit() override { quit = true; }
  void ShowBarcodeSummary(const std::string& summary) override { summaries.push_back(summary); }

  bool Logged(const std::string& line) const {
    for (const auto& l : log)
      if (l == line) return true;
    return false;
  }

  bool loopOn = false;
  int loopPeriod = 0;
  std::map<unsigned, int64_t> timers;  // id -> delay in ms
  std::time_t now = 1'700'000'000;
  std::deque<ExitChoice> choices;
  int exitDialogs = 0;
  std::function<void()> onExitDialog;  // runs while the question is open
  std::vector<std::string> powerOffCommands;
  std::vector<std::string> log;
  bool quit = false;
  std::vector<std::string> summaries;
};

}  // namespace brisko::test
