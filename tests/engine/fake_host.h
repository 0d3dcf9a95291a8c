#pragma once
// A run host for engine tests: a real store and logger in a temporary folder, the action log
// kept in memory, a settable clock.
#include <algorithm>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "common/temp_dir.h"
#include "engine/base/run_host.h"
#include "engine/runs/action_memory.h"
#include "support/logger.h"
#include "support/settings_store.h"

namespace brisko::test {

class FakeHost : public RunHost {
 public:
  FakeHost() : m_logger(&m_store) {
    m_store.Open(m_dir / "settings.db");
    m_values.m_TempPath = m_dir / "temp/";
    m_values.m_BuiltInTempPath = m_dir / "builtin-temp/";
    m_logger.Configure(m_dir / "logs/", 1, 1);
  }

  void AddToLog(const std::string& text) override { log.push_back(text); }
  void SetProgress(int position, int range, const std::string& actionText,
                   const std::string& statusText) override {
    (void)range;
    lastPosition = position;
    (void)actionText;
    statuses.push_back(statusText);
    if (onProgress) onProgress();
  }
  void DispatchPendingEvents() override {
    if (onDispatch) onDispatch();
  }
  ActionMemory& MemoryOf(const Action& action) override { return m_memories.Of(action); }
  void ForgetMemory(const Action& action) override { m_memories.Forget(action); }
  StationValues& Values() override { return m_values; }
  SettingsStore& Store() override { return m_store; }
  Logger& GetLogger() override { return m_logger; }
  std::time_t Now() const override { return now ? now : std::time(nullptr); }
  bool StopWaitingForProgram() const override { return stopWaiting; }
  void KillActionTimer(uint32_t handle) override { killedTimers.push_back(handle); }
  bool EditIdTxt(CIdTxt& record) override {
    ++idTxtEdits;
    if (onEditIdTxt) return onEditIdTxt(record);
    return false;
  }

  const std::string& Dir() const { return m_dir.Path(); }
  // Everything the logger has written so far.
  std::string LoggedText() {
    m_logger.Flush();
    return ReadFile(m_logger.CurrentFileName());
  }
  bool HasLogLine(const std::string& line) const {
    return std::find(log.begin(), log.end(), line) != log.end();
  }
  bool HasStatus(const std::string& status) const {
    return std::find(statuses.begin(), statuses.end(), status) != statuses.end();
  }
  // How many action log lines hold `part`.
  int LogLinesWith(const std::string& part) const {
    return int(
        std::count_if(log.begin(), log.end(), [&](const std::string& l) { return l.find(part) != l.npos; }));
  }

  std::vector<std::string> log;
  std::vector<std::string> statuses;
  std::vector<uint32_t> killedTimers;
  std::time_t now = 0;
  int lastPosition = 0;
  std::function<void()> onProgress;  // runs inside SetProgress, as nested events would
  std::function<void()> onDispatch;  // runs where pending events are dispatched
  std::function<bool(CIdTxt&)> onEditIdTxt;
  int idTxtEdits = 0;
  bool stopWaiting = false;

 private:
  TempDir m_dir;
  SettingsStore m_store;
  Logger m_logger;
  StationValues m_values;
  ActionMemories m_memories;
};

}  // namespace brisko::test
