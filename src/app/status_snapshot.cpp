#include "app/status_snapshot.h"

#include <algorithm>
#include <set>

#include "app/failure_log.h"
#include "engine/action.h"

namespace brisko {

const char* StationStateName(StationState state) {
  switch (state) {
    case StationState::RunningContinuously:
      return "running continuously";
    case StationState::Paused:
      return "paused";
    case StationState::Running:
      return "running";
    case StationState::Exiting:
      return "exiting";
  }
  return "paused";
}

bool IsLowSpace(uint64_t freeBytes, uint64_t totalBytes) {
  constexpr uint64_t kLowBytes = 2ull * 1000 * 1000 * 1000;
  return freeBytes < kLowBytes || freeBytes * 20 < totalBytes;
}

namespace {

// "Printer Selphy: paper out (media-empty)" for each printer that cannot print now.
std::string PrintersStuck(const StatusSnapshot& s) {
  std::string text;
  for (const PrinterSnapshot& p : s.printers) {
    if (!p.polled || p.canPrint) continue;
    std::string why;
    for (const PrinterProblem& problem : p.problems) why += (why.empty() ? "" : ", ") + problem.text;
    text +=
        (text.empty() ? "" : "; ") + std::string("Printer ") + p.queue + ": " + (why.empty() ? p.state : why);
  }
  return text;
}

}  // namespace

StatusVerdict MakeVerdict(const StatusSnapshot& s) {
  if (s.state == StationState::Paused || s.state == StationState::Exiting)
    return {VerdictLevel::Stopped, "Stopped"};
  // A printer that cannot print is what the operator must see first at a print desk.
  const std::string printers = PrintersStuck(s);
  // Photos waiting too long for their upload: amber, unless something fails outright.
  std::string late;
  for (const StatusActionRow& a : s.actions) {
    if (a.uploadLate) late += (late.empty() ? "" : "; ") + a.name + ": " + a.upload;
  }
  if (s.failures.empty() && printers.empty() && !late.empty()) return {VerdictLevel::Waiting, late};
  if (s.failures.empty())
    return printers.empty() ? StatusVerdict{VerdictLevel::Ok, "All well"}
                            : StatusVerdict{VerdictLevel::Failing, printers};
  std::set<std::string> actions;
  std::time_t since = s.failures.front().since;
  std::string why;
  for (const StatusFailureGroup& g : s.failures) {
    since = std::min(since, g.since);
    if (!actions.insert(g.action).second) continue;
    if (!why.empty()) why += "; ";
    why += g.action + ": " + g.reason;
  }
  std::tm tm{};
  localtime_r(&since, &tm);
  char clock[8];
  std::strftime(clock, sizeof clock, "%H:%M", &tm);
  const size_t n = actions.size();
  return {VerdictLevel::Failing, std::to_string(n) + (n == 1 ? " action" : " actions") + " failing since " +
                                     clock + " - " + why + (printers.empty() ? "" : "; " + printers)};
}

LogLineKind ClassifyLogLine(std::string_view line) {
  // The text after the action's description; the type name in brackets is fixed, the name
  // before it is the operator's and may hold anything.
  size_t bodyAt = 0;
  const std::string_view body =
      FindActionTypeMarker(line, false, &bodyAt) == std::string_view::npos ? line : line.substr(bodyAt);
  auto starts = [&body](std::string_view prefix) { return body.substr(0, prefix.size()) == prefix; };
  if (starts("FAILED") || starts("Failed")) return LogLineKind::Failure;
  if (starts("Moved file from ")) return LogLineKind::Moved;
  if (starts("Copied file ")) return LogLineKind::Copied;
  if (starts("Deleted file ")) return LogLineKind::Deleted;
  if (starts("Rotated ")) return LogLineKind::Rotated;
  if (starts("Created file from PLT file ")) return LogLineKind::PictureMade;
  if (starts("Printed file ")) return LogLineKind::Printed;
  return LogLineKind::Other;
}

int PrintedCopies(std::string_view line) {
  // The file name may hold anything: the last " (N cop" is the count.
  for (size_t at = line.rfind(" ("); at != std::string_view::npos && at > 0; at = line.rfind(" (", at - 1)) {
    size_t i = at + 2;
    int n = 0;
    while (i < line.size() && line[i] >= '0' && line[i] <= '9' && n < 100000) n = n * 10 + (line[i++] - '0');
    if (i > at + 2 && line.substr(i, 4) == " cop") return std::max(n, 1);
  }
  return 1;
}

}  // namespace brisko
