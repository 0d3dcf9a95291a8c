#include "support/logger.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "support/path_util.h"
#include "support/settings_store.h"

namespace brisko {
namespace {

constexpr const char* kSection = "Logger";
constexpr const char* kBaseName = "BriskoEventFileWorkflow";
constexpr size_t kBlockSize = 4000;
constexpr size_t kMaxPending = size_t{1} << 20;

std::string FormatTime(std::time_t t, const char* fmt) {
  std::tm tmv{};
  localtime_r(&t, &tmv);
  char buf[64];
  size_t n = std::strftime(buf, sizeof buf, fmt, &tmv);
  return std::string(buf, n);
}

bool MakeFolderPath(const std::string& folder) {
  std::string path;
  size_t pos = 0;
  while (pos <= folder.size()) {
    size_t next = folder.find('/', pos);
    if (next == std::string::npos) next = folder.size();
    path = folder.substr(0, next);
    if (!path.empty() && mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) return false;
    pos = next + 1;
  }
  struct stat st {};
  return stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

bool IsFailureLine(std::string_view text) {
  size_t i = text.find_first_not_of(' ');
  if (i == std::string_view::npos) return false;
  text.remove_prefix(i);
  auto startsWith = [&](std::string_view word) { return text.substr(0, word.size()) == word; };
  return startsWith("Failed") || startsWith("FAILED") || startsWith("Reason:");
}

int64_t MonotonicMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

Logger::Logger(SettingsStore* store)
    : m_store(store), m_clock([] { return std::time(nullptr); }), m_ticks(MonotonicMs) {}

Logger::~Logger() {
  Flush();
  if (m_file) {
    if (m_unsynced) fdatasync(fileno(m_file));
    std::fclose(m_file);
  }
}

std::string Logger::DefaultFolder() {
  return XdgBaseFolder("XDG_STATE_HOME", ".local/state") + "/BriskoLogs/";
}

const char* Logger::LevelText(int level) {
  static const char* kTexts[] = {"debug (1)", "info (2)", "warn (3)", "error (4)", "fatal (5)"};
  return (level >= 1 && level <= 5) ? kTexts[level - 1] : "";
}

void Logger::Init() {
  int level = m_store ? m_store->GetProfileInt(kSection, "m_severityToLog", 1) : 1;
  int toFile = m_store ? m_store->GetProfileInt(kSection, "m_bLogToFile", 0) : 0;
  std::string folder =
      m_store ? m_store->GetProfileString(kSection, "m_path", DefaultFolder()) : DefaultFolder();
  Configure(folder, level, toFile);
}

void Logger::Configure(const std::string& folder, int level, int logToFile) {
  std::string path = folder;
  while (!path.empty() && (path.back() == '/' || path.back() == '\\')) path.pop_back();
  path += '/';
  m_path = path;
  m_severityToLog = level;
  m_bLogToFile = logToFile;
  if (m_store) {
    m_store->WriteProfileInt(kSection, "m_severityToLog", level);
    m_store->WriteProfileInt(kSection, "m_bLogToFile", logToFile);
    m_store->WriteProfileString(kSection, "m_path", m_path);
  }
}

void Logger::Log(int level, const std::string& text) {
  if (!m_bLogToFile || level < m_severityToLog) return;
  const bool first = m_pending.empty();
  m_pending += FormatTime(m_clock(), "%Y-%m-%d|%H:%M:%S");
  m_pending += '|';
  m_pending += std::to_string(level);
  m_pending += '|';
  m_pending += text;
  m_pending += "\r\n";
  const int64_t now = m_ticks();
  if (first) m_pendingSince = now;
  // A failure is the line most wanted after a crash; while writing fails, retries are spaced.
  if (now >= m_retryAt && (m_pending.size() > kBlockSize || level >= 4 || IsFailureLine(text) ||
                           now - m_pendingSince >= kWriteDelayMs))
    Flush();
}

void Logger::Tick(int64_t minAgeMs) {
  if (!m_bLogToFile) return;
  const int64_t now = m_ticks();
  if (!m_pending.empty() && now - m_pendingSince >= minAgeMs && now >= m_retryAt)
    Flush();
  else if (m_unsynced)
    SyncIfDue(now);
}

void Logger::SyncIfDue(int64_t now) {
  if (!m_file || !m_unsynced || now - m_lastSync < kSyncPeriodMs) return;
  fdatasync(fileno(m_file));
  ++m_syncs;
  m_unsynced = false;
  m_lastSync = now;
}

void Logger::Log(int level, const std::string& subject, const std::string& message) {
  if (m_noteFilter && !m_noteFilter(level, message)) return;
  Log(level, subject + " - " + message);
}

std::string Logger::TodayFileName() const {
  return m_path + kBaseName + "_" + FormatTime(m_clock(), "%Y-%m-%d") + ".log";
}

void Logger::Flush() {
  if (!m_bLogToFile) return;
  std::string name = TodayFileName();
  if (m_file && name != m_currentFileName) {
    if (m_unsynced) fdatasync(fileno(m_file));
    m_unsynced = false;
    std::fclose(m_file);
    m_file = nullptr;
  }
  if (!m_file) {
    if (!MakeFolderPath(m_path)) {
      m_retryAt = m_ticks() + kWriteDelayMs;
      Report("Cannot create log file folder", m_path);
      return TrimPending();
    }
    m_currentFileName = name;
    // Append mode: never truncates, every write lands at the end.
    m_file = std::fopen(name.c_str(), "ab");
    if (!m_file) {
      m_retryAt = m_ticks() + kWriteDelayMs;
      Report("Cannot open log file", name);
      return TrimPending();
    }
  }
  if (!m_pending.empty()) {
    // Keep the lines pending when the write fails (disk full) so a later flush can retry.
    if (std::fwrite(m_pending.data(), 1, m_pending.size(), m_file) != m_pending.size() ||
        std::fflush(m_file) != 0) {
      const int err = errno;
      // A write that failed part-way may have left some of the block: start again on a fresh
      // handle at the end of the file rather than repeat bytes through the broken one.
      std::fclose(m_file);
      m_file = nullptr;
      m_unsynced = false;
      m_retryAt = m_ticks() + kWriteDelayMs;
      Report("Cannot write log file", name + ": " + std::strerror(err));
      return TrimPending();
    }
    m_pending.clear();
    m_unsynced = true;
    SyncIfDue(m_ticks());
  }
  m_retryAt = 0;
  m_failure.clear();
}

void Logger::Report(const std::string& caption, const std::string& text) {
  std::string failure = caption + "\n" + text;
  if (failure == m_failure) return;
  m_failure = std::move(failure);
  if (m_onError) {
    m_onError(caption, text);
  } else {
    std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
  }
}

void Logger::TrimPending() {
  if (m_pending.size() <= kMaxPending) return;
  // Keep the newer half, cut at a line end.
  size_t cut = m_pending.find("\r\n", m_pending.size() - kMaxPending / 2);
  cut = cut == std::string::npos ? m_pending.size() : cut + 2;
  m_pending.erase(0, cut);
}

}  // namespace brisko
