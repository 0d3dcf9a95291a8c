#include "app/status_snapshot.h"

#include <algorithm>
#include <set>

#include "app/failure_log.h"
#include "engine/action/action.h"
#include "support/text.h"

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

namespace {

std::string Clock(std::time_t t) {
  return LocalTimeText(t, "%H:%M");
}

std::string BaseName(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// "Card" of "Card (Move Files)".
std::string ActionName(const std::string& description) {
  const size_t bracket = description.rfind(" (");
  return bracket == std::string::npos ? description : description.substr(0, bracket);
}

// What a run that has taken too long is doing, "" while nothing has.
std::string StuckText(const StatusBusy& busy, std::time_t now) {
  std::string text;
  if (busy.waitSince && now - busy.waitSince >= kStuckSeconds) {
    text = WaitingText(busy);
  } else if (busy.runSince && now - busy.runSince >= kStuckSeconds) {
    text = "Busy since " + Clock(busy.runSince) + " with " + busy.action;
  } else {
    return text;
  }
  const std::string held = HeldUpText(busy);
  return held.empty() ? text : text + " - " + held;
}

}  // namespace

std::string WaitingText(const StatusBusy& busy) {
  if (!busy.waitSince) return {};
  return "Waiting since " + Clock(busy.waitSince) + " for " + busy.program + " on " + BaseName(busy.file) +
         " (" + ActionName(busy.action) + ")";
}

std::string HeldUpText(const StatusBusy& busy) {
  if (busy.heldUpCount <= 0) return {};
  std::string text =
      std::to_string(busy.heldUpCount) + (busy.heldUpCount == 1 ? " photo" : " photos") + " held up: ";
  for (size_t i = 0; i < busy.heldUp.size(); ++i) text += (i ? ", " : "") + busy.heldUp[i];
  if (const int more = busy.heldUpCount - int(busy.heldUp.size()); more > 0)
    text += " and " + std::to_string(more) + " more";
  return text;
}

StatusVerdict MakeVerdict(const StatusSnapshot& s, std::time_t now) {
  // A run that hangs is news even where the operator paused the loop: its photos wait.
  const std::string stuck = StuckText(s.busy, now);
  if (stuck.empty() && (s.state == StationState::Paused || s.state == StationState::Exiting))
    return {VerdictLevel::Stopped, "Stopped"};
  // A printer that cannot print is what the operator must see first at a print desk.
  const std::string printers = PrintersStuck(s);
  // Photos waiting too long for their upload: amber, unless something fails outright.
  std::string late;
  for (const StatusActionRow& a : s.actions) {
    if (a.uploadLate) late += (late.empty() ? "" : "; ") + a.name + ": " + a.upload;
  }
  if (s.failures.empty()) {
    if (!stuck.empty()) return {VerdictLevel::Stuck, printers.empty() ? stuck : stuck + "; " + printers};
    if (printers.empty() && !late.empty()) return {VerdictLevel::Waiting, late};
    return printers.empty() ? StatusVerdict{VerdictLevel::Ok, "All well"}
                            : StatusVerdict{VerdictLevel::Failing, printers};
  }
  // Per action: how many photos wait and which, that they are safe, and what to check.
  struct PerAction {
    std::string name;
    int photos = 0;
    std::time_t since = 0;
    std::vector<std::string> files;
    std::string check;
  };
  std::vector<PerAction> per;
  for (const StatusFailureGroup& g : s.failures) {
    auto a = std::find_if(per.begin(), per.end(), [&](const PerAction& x) { return x.name == g.action; });
    if (a == per.end()) {
      per.push_back({g.action, 0, g.since, {}, g.check.empty() ? g.reason : g.check});
      a = per.end() - 1;
    }
    a->since = std::min(a->since, g.since);
    if (g.files.empty()) continue;  // a failure that names no photo
    a->photos += g.photos;
    for (const std::string& f : g.files) {
      if (a->files.size() < 3) a->files.push_back(f);
    }
  }
  std::string text = stuck.empty() ? "" : stuck + "; ";
  for (size_t i = 0; i < per.size(); ++i) {
    const PerAction& a = per[i];
    if (i) text += "; ";
    text += a.name + ": ";
    if (a.photos > 0) {
      const bool one = a.photos == 1;
      text += std::to_string(a.photos) + (one ? " photo waits" : " photos wait") + " since " +
              Clock(a.since) + ", safe where " + (one ? "it is" : "they are") + " (";
      for (size_t k = 0; k < a.files.size(); ++k) text += (k ? ", " : "") + a.files[k];
      if (a.photos > int(a.files.size()))
        text += " and " + std::to_string(a.photos - int(a.files.size())) + " more";
      text += ")";
    } else {
      text += "failing since " + Clock(a.since);
    }
    text += ". Check: " + a.check;
  }
  if (!printers.empty()) text += "; " + printers;
  return {VerdictLevel::Failing, text};
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
