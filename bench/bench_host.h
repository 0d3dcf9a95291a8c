#pragma once
// The run host the benchmarks give their actions: no window, no log file; it counts the action
// log's lines and failures, and the lines that start with `countPrefix`.
#include <cstdlib>
#include <string>

#include "engine/run_host.h"
#include "support/logger.h"
#include "support/settings_store.h"

namespace brisko::bench {

class BenchHost : public RunHost {
 public:
  // `store`: a settings store file to open ("" for none).
  explicit BenchHost(const std::string& store = std::string()) : m_logger(nullptr) {
    if (!store.empty()) m_store.Open(store);
  }
  void AddToLog(const std::string& text) override {
    ++lines;
    if (text.rfind("FAILED", 0) != std::string::npos || text.find(") Failed") != std::string::npos ||
        text.find(") FAILED") != std::string::npos) {
      ++failures;
    }
    if (!countPrefix.empty() && text.rfind(countPrefix, 0) == 0) ++counted;
  }
  void SetProgress(int, int, const std::string&, const std::string&) override {}
  void DispatchPendingEvents() override {}
  StationValues& Values() override { return m_values; }
  SettingsStore& Store() override { return m_store; }
  Logger& GetLogger() override { return m_logger; }
  long lines = 0;
  long failures = 0;
  std::string countPrefix;
  long counted = 0;

 private:
  SettingsStore m_store;
  Logger m_logger;
  StationValues m_values;
};

inline int EnvInt(const char* name, int def) {
  const char* v = std::getenv(name);
  return v && *v ? std::atoi(v) : def;
}

}  // namespace brisko::bench
