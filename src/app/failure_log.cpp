#include "app/failure_log.h"

#include <algorithm>
#include <array>

#include "engine/action/action.h"

namespace brisko {

namespace {

// Beyond this many failing files new ones are written every time rather than tracked.
constexpr size_t kMaxItems = 4096;
// Gaps between "Still failing" lines: 1, 5, 15 minutes, then hourly.
constexpr std::array<std::time_t, 4> kReportGaps = {60, 300, 900, 3600};
constexpr std::string_view kReasonPrefix = "  Reason: ";

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

bool IsFailureBody(std::string_view body) {
  return StartsWith(body, "FAILED") || StartsWith(body, "Failed");
}

constexpr std::string_view kProgramLine = "Applied executible ";
constexpr std::string_view kProgramFailure = "Failed: Applied executible ";

bool IsProgramLine(std::string_view body) {
  return StartsWith(body, kProgramLine) || StartsWith(body, kProgramFailure);
}

// "Failed: Applied executible "P" "F" to file F (exit status 3)": F.
std::string FileOfProgramFailure(std::string_view body) {
  const size_t at = body.rfind(" to file ");
  if (at == std::string_view::npos) return {};
  std::string_view file = body.substr(at + 9);
  static constexpr std::string_view kEndings[] = {" (exit status ",    " (ended by signal ",
                                                  " (stopped waiting", " (still running ",
                                                  " (exit requested)", " (its end could not"};
  const size_t bracket = file.rfind(" (");
  if (bracket != std::string_view::npos) {
    for (std::string_view ending : kEndings) {
      if (StartsWith(file.substr(bracket), ending)) {
        file = file.substr(0, bracket);
        break;
      }
    }
  }
  return std::string(file);
}

// The file a failure line is about; empty when it names none we know how to find.
std::string FileOfFailure(std::string_view body) {
  if (StartsWith(body, kProgramFailure)) return FileOfProgramFailure(body);
  struct Form {
    std::string_view prefix;
    bool untilTo;  // the file ends at " to " (else at the end of the line)
  };
  static constexpr Form kForms[] = {
      {"Failed (CopyOrMoveFilesUsingShell): Move file from ", true},
      {"Failed: Move file from ", true},
      {"FAILED: Copy file ", true},
      {"Failed: create file from PLT file ", true},
      {"FAILED: Deleted file ", false},
      {"FAILED: Convert from readonly ", false},
  };
  for (const Form& f : kForms) {
    if (!StartsWith(body, f.prefix)) continue;
    std::string_view rest = body.substr(f.prefix.size());
    if (f.untilTo) {
      const size_t to = rest.find(" to ");
      if (to == std::string_view::npos) return {};
      rest = rest.substr(0, to);
    }
    return std::string(rest);
  }
  return {};
}

// A success line about `file`.
bool IsSuccessFor(std::string_view body, const std::string& file) {
  static constexpr std::string_view kSuccess[] = {"Moved file from ", "Copied file ", "Deleted file ",
                                                  "Created file from PLT file "};
  for (std::string_view prefix : kSuccess) {
    if (!StartsWith(body, prefix)) continue;
    const std::string_view rest = body.substr(prefix.size());
    if (StartsWith(rest, file) && (rest.size() == file.size() || rest[file.size()] == ' ')) return true;
  }
  return false;
}

std::string ClockTime(std::time_t t) {
  std::tm tm{};
  localtime_r(&t, &tm);
  char text[16];
  return std::string(text, std::strftime(text, sizeof text, "%H:%M:%S", &tm));
}

}  // namespace

size_t FindActionTypeMarker(std::string_view line, bool spaced, size_t* bodyAt) {
  for (size_t at = line.find('('); at != std::string_view::npos; at = line.find('(', at + 1)) {
    if (spaced && (at == 0 || line[at - 1] != ' ')) continue;
    const std::string_view rest = line.substr(at + 1);
    for (int type = 0; type < kNumActionTypes; ++type) {
      const std::string_view name = ActionTypeName(type);
      if (rest.size() >= name.size() + 2 && rest.substr(0, name.size()) == name && rest[name.size()] == ')' &&
          rest[name.size() + 1] == ' ') {
        *bodyAt = at + 1 + name.size() + 2;
        return at;
      }
    }
  }
  return std::string_view::npos;
}

ActionLineParts SplitActionLine(std::string_view line) {
  // The type name in brackets is fixed; the name before it is the operator's and may hold
  // anything, so the earliest marker wins.
  size_t body = 0;
  if (FindActionTypeMarker(line, true, &body) == std::string_view::npos) return {{}, line};
  return {line.substr(0, body - 1), line.substr(body)};
}

FailureLog::Item* FailureLog::Find(const std::string& description, const std::string& key) {
  auto action = m_items.find(description);
  if (action == m_items.end()) return nullptr;
  auto item = action->second.find(key);
  return item == action->second.end() ? nullptr : &item->second;
}

std::vector<FailureLog::Line> FailureLog::Filter(const std::string& line, std::time_t now,
                                                 const std::string& running) {
  std::vector<Line> out;
  const bool reasonLine = StartsWith(line, kReasonPrefix);
  ActionLineParts parts = SplitActionLine(line);
  if (parts.description.empty() && !running.empty() && IsProgramLine(parts.body)) parts.description = running;
  if (m_pending != Pending::None) {
    Resolve(reasonLine ? &line : nullptr, now, out);
    if (reasonLine) return out;
  }
  if (m_swallowFollowUps) {
    if (reasonLine || (parts.description == m_swallowDescription && StartsWith(parts.body, "File left at ")))
      return out;
    m_swallowFollowUps = false;
  }
  if (parts.description.empty()) {
    out.push_back({line, IsFailureBody(parts.body) || reasonLine, IsFailureBody(parts.body)});
    return out;
  }
  if (IsFailureBody(parts.body)) {
    const std::string description(parts.description);
    const std::string file = FileOfFailure(parts.body);
    const std::string key = file.empty() ? std::string(parts.body) : file;
    const auto run = m_runs.find(description);
    const uint64_t serial = run == m_runs.end() ? 0 : run->second;
    if (Item* item = Find(description, key)) {
      ++item->info.tries;
      item->info.last = now;
      item->run = serial;
      m_pending = Pending::Repeat;
    } else {
      out.push_back({line, true, true});
      if (m_count >= kMaxItems) return out;
      Item& fresh = m_items[description][key];
      ++m_count;
      fresh.info = {description, file, std::string(parts.body), std::string(parts.body), now, now, 1};
      fresh.failureText = line;
      fresh.program = StartsWith(parts.body, kProgramFailure);
      fresh.run = serial;
      fresh.nextReport = now + kReportGaps[0];
      m_pending = Pending::New;
    }
    m_pendingDescription = description;
    m_pendingKey = key;
    m_pendingText = line;
    return out;
  }
  // Most lines are successes of actions with nothing failing: no copy of the name for them.
  auto action = m_items.find(parts.description);
  if (action != m_items.end() && StartsWith(parts.body, kProgramLine)) {
    // The program works again: its earlier failures are over.
    for (auto it = action->second.begin(); it != action->second.end();) {
      if (it->second.program) {
        it = action->second.erase(it);
        --m_count;
      } else {
        ++it;
      }
    }
    if (action->second.empty()) m_items.erase(action);
  } else if (action != m_items.end()) {
    for (auto it = action->second.begin(); it != action->second.end(); ++it) {
      if (it->second.info.file.empty() || !IsSuccessFor(parts.body, it->second.info.file)) continue;
      action->second.erase(it);
      --m_count;
      if (action->second.empty()) m_items.erase(action);
      break;
    }
  }
  out.push_back({line, false, false});
  return out;
}

void FailureLog::Resolve(const std::string* reasonLine, std::time_t now, std::vector<Line>& out) {
  const Pending pending = m_pending;
  m_pending = Pending::None;
  const std::string text = std::move(m_pendingText);
  m_pendingText.clear();
  Item* item = Find(m_pendingDescription, m_pendingKey);
  if (!item) return;
  const std::string body(SplitActionLine(text).body);
  const std::string reason = reasonLine ? reasonLine->substr(kReasonPrefix.size()) : body;
  if (pending == Pending::New) {
    item->info.reason = reason;
    if (reasonLine) out.push_back({*reasonLine, true, false});
    return;
  }
  if (reason != item->info.reason) {
    // The same photo fails for another reason now: that is news, though not another photo.
    item->info.reason = reason;
    item->info.failure = body;
    item->failureText = text;
    item->reports = 0;
    item->nextReport = now + kReportGaps[0];
    out.push_back({text, true, false});
    if (reasonLine) out.push_back({*reasonLine, true, false});
    return;
  }
  m_swallowFollowUps = true;
  m_swallowDescription = m_pendingDescription;
  if (now < item->nextReport) return;
  const FailingItem& i = item->info;
  std::string still = i.description + " Still failing since " + ClockTime(i.since) + " (" +
                      std::to_string(i.tries) + " tries): ";
  still += i.file.empty() ? i.reason : i.file + ": " + i.reason;
  out.push_back({still, true, false});
  ++item->reports;
  item->nextReport = now + kReportGaps[std::min<size_t>(size_t(item->reports), kReportGaps.size() - 1)];
}

std::vector<FailureLog::Line> FailureLog::Flush(std::time_t now) {
  std::vector<Line> out;
  if (m_pending != Pending::None) Resolve(nullptr, now, out);
  return out;
}

void FailureLog::BeginRun(const std::string& description) {
  m_runs[description] = m_nextRun++;
}

void FailureLog::EndRun(const std::string& description) {
  auto run = m_runs.find(description);
  if (run == m_runs.end()) return;
  const uint64_t serial = run->second;
  m_runs.erase(run);
  auto action = m_items.find(description);
  if (action == m_items.end()) return;
  for (auto it = action->second.begin(); it != action->second.end();) {
    if (it->second.run != serial && !it->second.program) {
      it = action->second.erase(it);
      --m_count;
    } else {
      ++it;
    }
  }
  if (action->second.empty()) m_items.erase(action);
}

bool FailureLog::IsFailing(const std::string& file) const {
  for (const auto& action : m_items) {
    if (action.second.count(file)) return true;
  }
  return false;
}

std::vector<FailingItem> FailureLog::Failing() const {
  std::vector<FailingItem> list;
  for (const auto& action : m_items) {
    for (const auto& item : action.second) list.push_back(item.second.info);
  }
  std::stable_sort(list.begin(), list.end(),
                   [](const FailingItem& a, const FailingItem& b) { return a.since < b.since; });
  return list;
}

}  // namespace brisko
