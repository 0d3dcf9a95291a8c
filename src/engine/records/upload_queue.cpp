#include "engine/records/upload_queue.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>

#include "engine/base/record_file.h"
#include "support/file_ops.h"
#include "support/path_util.h"

namespace brisko {

namespace {

constexpr std::string_view kHeader = "brisko-upload 1";
constexpr std::string_view kTrailer = "end";
constexpr const char* kStateNames[] = {"pending", "sending", "checked", "done", "failed"};

std::vector<std::string_view> Fields(std::string_view line) {
  std::vector<std::string_view> fields;
  for (;;) {
    const size_t tab = line.find('\t');
    fields.push_back(line.substr(0, tab));
    if (tab == std::string_view::npos) return fields;
    line.remove_prefix(tab + 1);
    if (fields.size() > 16) return fields;
  }
}

std::string EntryLine(const UploadEntry& e) {
  return std::string(UploadStateName(e.state)) + "\t" + std::to_string(e.size) + "\t" +
         std::to_string(e.modTime) + "\t" + std::to_string(e.tries) + "\t" + std::to_string(e.queued) + "\t" +
         std::to_string(e.sent) + "\t" + EscapeRecordField(e.source) + "\t" + EscapeRecordField(e.remote) +
         "\t" + EscapeRecordField(e.reason) + "\n";
}

std::string HeadText(const std::string& dest, const std::string& source) {
  return std::string(kHeader) + "\n" + "dest\t" + EscapeRecordField(dest) + "\n" + "source\t" +
         EscapeRecordField(source) + "\n";
}

}  // namespace

const char* UploadStateName(UploadState state) {
  const int i = static_cast<int>(state);
  return i >= 0 && i < 5 ? kStateNames[i] : "?";
}

std::string FormatUploadRecord(const UploadRecordText& record) {
  std::string text = HeadText(record.dest, record.source);
  for (const UploadEntry& e : record.entries) text += EntryLine(e);
  return text + std::string(kTrailer) + "\n";
}

bool ParseUploadRecord(std::string_view text, UploadRecordText& record) {
  record = UploadRecordText();
  bool haveDest = false, haveSource = false;
  const bool whole = ForEachRecordLine(
      text, [](std::string_view header) { return header == kHeader; }, kTrailer,
      [&](size_t number, std::string_view line) {
        const std::vector<std::string_view> f = Fields(line);
        if (number == 1)
          return f.size() == 2 && f[0] == "dest" && (haveDest = UnescapeRecordField(f[1], record.dest));
        if (number == 2)
          return f.size() == 2 && f[0] == "source" && (haveSource = UnescapeRecordField(f[1], record.source));
        if (f.size() != 9) return false;
        UploadEntry e;
        int state = -1;
        for (int s = 0; s < 5; ++s) {
          if (f[0] == kStateNames[s]) state = s;
        }
        if (state < 0) return false;
        e.state = static_cast<UploadState>(state);
        int64_t tries = 0;
        if (!ParseRecordNumber(f[1], e.size) || !ParseRecordNumber(f[2], e.modTime) ||
            !ParseRecordNumber(f[3], tries) || !ParseRecordNumber(f[4], e.queued) ||
            !ParseRecordNumber(f[5], e.sent) || tries < 0 || tries > 1000000)
          return false;
        e.tries = static_cast<int32_t>(tries);
        if (!UnescapeRecordField(f[6], e.source) || !UnescapeRecordField(f[7], e.remote) ||
            !UnescapeRecordField(f[8], e.reason))
          return false;
        if (e.source.empty() || e.remote.empty()) return false;
        record.entries.push_back(std::move(e));
        return true;
      });
  if (!whole || !haveDest || !haveSource) {
    record = UploadRecordText();
    return false;
  }
  return true;
}

UploadQueue::UploadQueue(std::string folder, std::string dest, std::string source)
    : m_folder(WithTrailingSeparator(folder)), m_dest(std::move(dest)), m_source(std::move(source)) {}

void UploadQueue::Index(size_t i) {
  m_bySource[m_entries[i].source] = i;
  m_remotes[m_entries[i].remote] = i;
}

void UploadQueue::Recover() {
  CreateFolderPath(m_folder);
  RecoverRecords(
      m_folder, kUploadRecordSuffix, kMaxUploadRecordBytes, [&](HeldRecord& held, const std::string* text) {
        UploadRecordText parsed;
        // Not one of ours, or another action's: it stays as it is.
        if (!text || !ParseUploadRecord(*text, parsed) || parsed.dest != m_dest || parsed.source != m_source)
          return 0;
        bool settledAndGone = true;
        for (const UploadEntry& e : parsed.entries) {
          struct stat st {};
          if (e.Waiting() || ::lstat(e.source.c_str(), &st) == 0) settledAndGone = false;
        }
        if (settledAndGone) {
          held.Remove();
          return 0;
        }
        Record record{std::move(held), {}, false};
        for (UploadEntry& e : parsed.entries) {
          m_entries.push_back(std::move(e));
          m_recordOf.push_back(m_records.size());
          record.entries.push_back(m_entries.size() - 1);
          Index(m_entries.size() - 1);
        }
        m_records.push_back(std::move(record));
        return 1;
      });
}

bool UploadQueue::WriteRecord(Record& record, int* err) {
  UploadRecordText text{m_dest, m_source, {}};
  for (const size_t i : record.entries) text.entries.push_back(m_entries[i]);
  if (!record.held.Write(FormatUploadRecord(text), "upload", err)) return false;
  record.changed = false;
  return true;
}

bool UploadQueue::Add(std::vector<UploadEntry> entries, int* err) {
  if (entries.empty()) return true;
  if (!CreateFolderPath(m_folder)) {
    if (err) *err = errno;
    return false;
  }
  const size_t head = HeadText(m_dest, m_source).size() + kTrailer.size() + 1;
  const auto runs = RunsWithin(entries.size(), head, RecordBound(kMaxUploadRecordBytes),
                               [&](size_t i) { return EntryLine(entries[i]).size(); });
  bool all = true;
  for (const auto& [first, end] : runs) {
    Record record{HeldRecord(m_folder, kUploadRecordSuffix, kMaxUploadRecordBytes), {}, false};
    const size_t base = m_entries.size();
    for (size_t i = first; i < end; ++i) {
      m_entries.push_back(entries[i]);
      m_recordOf.push_back(m_records.size());
      record.entries.push_back(m_entries.size() - 1);
    }
    if (!WriteRecord(record, err)) {
      m_entries.resize(base);
      m_recordOf.resize(base);
      all = false;
      continue;
    }
    for (size_t i = base; i < m_entries.size(); ++i) Index(i);
    m_records.push_back(std::move(record));
  }
  return all;
}

const UploadEntry* UploadQueue::Find(const std::string& source) const {
  const auto found = m_bySource.find(source);
  return found == m_bySource.end() ? nullptr : &m_entries[found->second];
}

void UploadQueue::SetRemote(size_t i, const std::string& remote) {
  m_entries[i].remote = remote;
  m_remotes[remote] = i;
  Changed(i);
}

void UploadQueue::Changed(size_t i) {
  m_records[m_recordOf[i]].changed = true;
}

bool UploadQueue::WriteNow(size_t i, int* err) {
  return WriteRecord(m_records[m_recordOf[i]], err);
}

bool UploadQueue::Flush(int* err) {
  bool all = true;
  for (Record& record : m_records) {
    if (record.changed && !WriteRecord(record, err)) all = false;
  }
  return all;
}

}  // namespace brisko

namespace brisko {

namespace {

std::string Duration(int64_t seconds) {
  if (seconds < 60) return std::to_string(std::max<int64_t>(0, seconds)) + " s";
  if (seconds < 3600) return std::to_string(seconds / 60) + " min";
  if (seconds < 48 * 3600)
    return std::to_string(seconds / 3600) + " h " + std::to_string(seconds % 3600 / 60) + " min";
  return std::to_string(seconds / 86400) + " days";
}

std::string Rate(double bytesPerSecond) {
  char text[32];
  if (bytesPerSecond >= 1024 * 1024)
    std::snprintf(text, sizeof text, "%.1f MB/s", bytesPerSecond / (1024 * 1024));
  else
    std::snprintf(text, sizeof text, "%.0f KB/s", bytesPerSecond / 1024);
  return text;
}

}  // namespace

std::string UploadSummary(const UploadStatus& status, int64_t now) {
  std::string text;
  if (status.offlineSince != 0) {
    const std::time_t since = static_cast<std::time_t>(status.offlineSince);
    std::tm tm{};
    localtime_r(&since, &tm);
    char clock[16];
    std::strftime(clock, sizeof clock, "%H:%M", &tm);
    text = std::string("Offline since ") + clock + ": " + std::to_string(status.waiting) + " photos waiting";
  } else {
    text = std::to_string(status.waiting) + " photos waiting";
    if (status.oldestQueued != 0) text += ", oldest " + Duration(now - status.oldestQueued);
  }
  text += "; " + std::to_string(status.sentToday) + " sent today";
  if (status.bytesPerSecond > 0) text += ", " + Rate(status.bytesPerSecond);
  if (status.waiting > 0 && status.secondsToEmpty >= 0)
    text += ", empty in " + Duration(status.secondsToEmpty);
  if (status.failed > 0) text += "; " + std::to_string(status.failed) + " given up";
  if (!status.lastError.empty()) text += "; last error: " + status.lastError;
  return text;
}

}  // namespace brisko
