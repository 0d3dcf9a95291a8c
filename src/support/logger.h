#pragma once
// Daily log files: "<folder>/BriskoEventFileWorkflow_YYYY-MM-DD.log", lines
// "YYYY-MM-DD|HH:MM:SS|<level>|<text>\r\n", collected in memory and written in blocks.
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <functional>
#include <string>

namespace brisko {

class SettingsStore;

class Logger {
 public:
  // caption ("Cannot create log file folder" / "Cannot open log file"), text (folder or file)
  using ErrorCallback = std::function<void(const std::string& caption, const std::string& text)>;
  using Clock = std::function<std::time_t()>;

  explicit Logger(SettingsStore* store);
  ~Logger();  // flushes, then closes the file
  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;

  void Init();
  void Configure(const std::string& folder, int level, int logToFile);
  void Log(int level, const std::string& text);
  void Log(int level, const std::string& subject, const std::string& message);
  void Flush();

  const std::string& GetPath() const { return m_path; }
  int GetSeverity() const { return m_severityToLog; }
  int GetLogToFile() const { return m_bLogToFile; }
  const std::string& CurrentFileName() const { return m_currentFileName; }
  size_t PendingSize() const { return m_pending.size(); }

  // Failure reports go to stderr until the window installs its notice. Each failure is reported
  // once, when it begins or changes (folder, file, write); a flush that succeeds ends it. The
  // callback must not block: it runs inside runs.
  void SetErrorCallback(ErrorCallback cb) { m_onError = std::move(cb); }
  void SetClock(Clock clock) { m_clock = std::move(clock); }

  // $XDG_STATE_HOME/BriskoLogs/ (~/.local/state/BriskoLogs/)
  static std::string DefaultFolder();
  static const char* LevelText(int level);  // "debug (1)" .. "fatal (5)"

 private:
  std::string TodayFileName() const;
  void Report(const std::string& caption, const std::string& text);
  // While the file cannot be written the oldest pending lines give way, so memory stays bounded.
  void TrimPending();

  SettingsStore* m_store;
  std::FILE* m_file = nullptr;
  std::string m_pending;
  std::string m_path;
  std::string m_currentFileName;
  int m_bLogToFile = 0;
  int m_severityToLog = 1;
  ErrorCallback m_onError;
  std::string m_failure;  // the failure last reported, "" while writing works
  Clock m_clock;
};

}  // namespace brisko
