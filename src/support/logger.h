#pragma once
// Daily log files: "<folder>/BriskoEventFileWorkflow_YYYY-MM-DD.log", lines
// "YYYY-MM-DD|HH:MM:SS|<level>|<text>\r\n", collected in memory and written in blocks: a block
// goes out when 4000 characters are pending, when its oldest line is a second old, and at once
// for a failure line, so a crash loses at most the last second. The file is flushed to disk at
// most every few seconds. Single-threaded: the owner calls Tick() now and then.
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <functional>
#include <string>
#include <string_view>

namespace brisko {

class SettingsStore;

// A line that reports a failure ("Failed...", "FAILED...", or a "Reason:" line under one):
// such lines are written out at once rather than batched.
bool IsFailureLine(std::string_view text);

// Milliseconds of a monotonic clock.
int64_t MonotonicMs();

class Logger {
 public:
  // caption ("Cannot create log file folder" / "Cannot open log file"), text (folder or file)
  using ErrorCallback = std::function<void(const std::string& caption, const std::string& text)>;
  using Clock = std::function<std::time_t()>;
  using Ticks = std::function<int64_t()>;  // monotonic milliseconds
  static constexpr int64_t kWriteDelayMs = 1000;
  static constexpr int64_t kSyncPeriodMs = 3000;

  explicit Logger(SettingsStore* store);
  ~Logger();  // flushes, then closes the file
  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;

  void Init();
  void Configure(const std::string& folder, int level, int logToFile);
  void Log(int level, const std::string& text);
  void Log(int level, const std::string& subject, const std::string& message);
  // Writes every pending line (and syncs when a sync is due).
  void Flush();
  // Writes pending lines once the oldest is `minAgeMs` old, and syncs written lines once
  // kSyncPeriodMs passed since the last sync. Cheap when there is nothing to do. After a
  // failed write it waits a second before the next try.
  void Tick(int64_t minAgeMs = kWriteDelayMs);

  const std::string& GetPath() const { return m_path; }
  int GetSeverity() const { return m_severityToLog; }
  int GetLogToFile() const { return m_bLogToFile; }
  const std::string& CurrentFileName() const { return m_currentFileName; }
  size_t PendingSize() const { return m_pending.size(); }

  // Failure reports go to stderr until the window installs its notice. Each failure is reported
  // once, when it begins or changes (folder, file, write); a flush that succeeds ends it. The
  // callback must not block: it runs inside runs.
  void SetErrorCallback(ErrorCallback cb) { m_onError = std::move(cb); }
  // Notes about a file (the three-argument Log) that the filter answers false for are dropped:
  // the owner knows which files' notes would only repeat what the log already says.
  using NoteFilter = std::function<bool(int level, const std::string& message)>;
  void SetNoteFilter(NoteFilter filter) { m_noteFilter = std::move(filter); }
  void SetClock(Clock clock) { m_clock = std::move(clock); }
  void SetTicks(Ticks ticks) { m_ticks = std::move(ticks); }
  int SyncCount() const { return m_syncs; }

  // $XDG_STATE_HOME/BriskoLogs/ (~/.local/state/BriskoLogs/)
  static std::string DefaultFolder();
  static const char* LevelText(int level);  // "debug (1)" .. "fatal (5)"

 private:
  std::string TodayFileName() const;
  void Report(const std::string& caption, const std::string& text);
  // While the file cannot be written the oldest pending lines give way, so memory stays bounded.
  void TrimPending();
  void SyncIfDue(int64_t now);

  SettingsStore* m_store;
  NoteFilter m_noteFilter;
  std::FILE* m_file = nullptr;
  std::string m_pending;
  std::string m_path;
  std::string m_currentFileName;
  int m_bLogToFile = 0;
  int m_severityToLog = 1;
  ErrorCallback m_onError;
  std::string m_failure;  // the failure last reported, "" while writing works
  Clock m_clock;
  Ticks m_ticks;
  int64_t m_pendingSince = 0;  // when the oldest pending line came
  int64_t m_retryAt = 0;       // no timed write before this after a failed one
  int64_t m_lastSync = 0;
  bool m_unsynced = false;
  int m_syncs = 0;
};

}  // namespace brisko
