#pragma once
// Keeps a photo that fails on every pass to one line. Every action-log line passes through
// here before the window, the log file and the status page see it, so all three show the same:
// the first failure of a file (with its reason line), then while the same file keeps failing
// for the same reason only "Still failing since HH:MM:SS (N tries): FILE: REASON" at growing
// intervals, and nothing more once it succeeds (its own success line says so).
#include <cstdint>
#include <ctime>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace brisko {

// "NAME (TYPE) BODY" split at the first action type marker; description is empty for lines
// that no action wrote.
struct ActionLineParts {
  std::string_view description;  // "NAME (TYPE)"
  std::string_view body;
};
ActionLineParts SplitActionLine(std::string_view line);
// Where the earliest "(TYPE) " of a line starts (npos when none), with the start of the text
// after it in `bodyAt`; `spaced` takes only a marker that follows a space. One look at each '('
// of the line: every log line passes through here several times.
size_t FindActionTypeMarker(std::string_view line, bool spaced, size_t* bodyAt);

// One file (or, for failures that name none, one failure text) that is failing now.
struct FailingItem {
  std::string description;  // the action's "NAME (TYPE)"
  std::string file;         // empty when the failure names no file
  std::string reason;       // the reason line's text, else the failure line's body
  std::string failure;      // the failure line's body
  std::time_t since = 0;
  std::time_t last = 0;
  int tries = 0;
};

class FailureLog {
 public:
  struct Line {
    std::string text;
    bool failure = false;     // shown as a failure
    bool newFailure = false;  // counts one more failing photo today
  };

  // The lines to write for `line` (possibly none, possibly a line held back from before).
  // `running` is the action whose run is in progress ("" for none): an external program's
  // lines name no action and count as that action's.
  std::vector<Line> Filter(const std::string& line, std::time_t now, const std::string& running = {});
  // Lines still held back (a repeated failure waiting for its reason line).
  std::vector<Line> Flush(std::time_t now);

  // An action's run (one that passed its entry test) begins and ends: failures it did not
  // meet again are over (the photo is gone, or its folder is).
  void BeginRun(const std::string& description);
  void EndRun(const std::string& description);

  std::vector<FailingItem> Failing() const;
  // A file some action keeps failing on (its failure is already in the log).
  bool IsFailing(const std::string& file) const;
  bool Empty() const { return m_items.empty(); }

 private:
  struct Item {
    FailingItem info;
    std::string failureText;  // the failure line as first written
    uint64_t run = 0;         // the action's run that last met it
    std::time_t nextReport = 0;
    int reports = 0;  // "Still failing" lines written
    // The action's program failed on a photo that has moved on: no later run meets it again,
    // so it lasts until the program next does its work.
    bool program = false;
  };
  enum class Pending { None, New, Repeat };

  void Resolve(const std::string* next, std::time_t now, std::vector<Line>& out);
  Item* Find(const std::string& description, const std::string& key);

  // description -> key (file, or the body when no file) -> item
  std::map<std::string, std::map<std::string, Item>, std::less<>> m_items;
  std::map<std::string, uint64_t> m_runs;  // description -> serial of its current run
  uint64_t m_nextRun = 1;
  size_t m_count = 0;

  Pending m_pending = Pending::None;
  std::string m_pendingDescription, m_pendingKey, m_pendingText;
  bool m_swallowFollowUps = false;  // a repeated failure's further lines are dropped with it
  std::string m_swallowDescription;
};

}  // namespace brisko
