#include "app/failure_advice.h"

#include <sys/stat.h>

namespace brisko {

namespace {

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

bool EndsWith(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

std::string BaseName(std::string_view path) {
  const size_t slash = path.find_last_of('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

// 'd' a folder, 'f' anything else, 0 nothing there (or it cannot be looked at).
char KindOf(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return 0;
  return S_ISDIR(st.st_mode) ? 'd' : 'f';
}

// "The folder P cannot be made: NAME is a file", for the first part of P that is not a folder.
std::string BlockedFolder(const std::string& folder) {
  for (size_t at = 1; at <= folder.size(); ++at) {
    if (at < folder.size() && folder[at] != '/') continue;
    const std::string part = folder.substr(0, at);
    const char kind = KindOf(part);
    if (kind == 'f') return "The folder " + folder + " cannot be made: " + BaseName(part) + " is a file";
    if (kind == 0) break;
  }
  return "The folder " + folder + " cannot be made";
}

// The text after "CAUSE: " in a reason, "" when the reason has no such part.
std::string_view After(std::string_view reason, std::string_view cause) {
  if (!StartsWith(reason, cause) || reason.size() <= cause.size() + 2) return {};
  const std::string_view rest = reason.substr(cause.size());
  return StartsWith(rest, ": ") ? rest.substr(2) : std::string_view{};
}

std::string ProgramAdvice(std::string_view failure, const std::string& reason) {
  // Failed: Applied executible "PROGRAM" ... to file FILE (WHY)
  std::string_view rest = failure.substr(std::string_view("Failed: Applied executible ").size());
  std::string program;
  if (StartsWith(rest, "\"")) {
    const size_t end = rest.find('"', 1);
    if (end != std::string_view::npos) program = std::string(rest.substr(1, end - 1));
  }
  const std::string the = program.empty() ? std::string("The program") : "The program " + program;
  struct Ending {
    std::string_view marker;
    std::string_view text;
  };
  static constexpr Ending kEndings[] = {
      {" (exit status ", " ended with exit status "},
      {" (ended by signal ", " was ended by signal "},
  };
  for (const Ending& e : kEndings) {
    const size_t at = failure.rfind(e.marker);
    if (at == std::string_view::npos || !EndsWith(failure, ")")) continue;
    const std::string_view value =
        failure.substr(at + e.marker.size(), failure.size() - 1 - at - e.marker.size());
    return the + std::string(e.text) + std::string(value);
  }
  if (failure.find(" (still running after its time limit") != std::string_view::npos)
    return the + " ran past its time limit and was ended";
  if (EndsWith(failure, " (exit requested)") || failure.find(" (stopped waiting") != std::string_view::npos)
    return the + " was not waited for: the station was closing";
  // Without a bracket the program did not start; the reason line says why.
  return the + " cannot be started" + (reason.empty() || reason == failure ? "" : ": " + reason);
}

}  // namespace

std::string PlainLogText(std::string_view line) {
  static constexpr std::string_view kInternal = "Failed (CopyOrMoveFilesUsingShell): ";
  // Only where the action's text begins: a file name may hold anything.
  const std::string_view body = SplitActionLine(line).body;
  if (!StartsWith(body, kInternal)) return std::string(line);
  const size_t at = line.size() - body.size();
  return std::string(line.substr(0, at)) + "Failed: " + std::string(body.substr(kInternal.size()));
}

bool IsFollowUpLine(std::string_view line) {
  return StartsWith(line, "  Reason: ");
}

std::string FailureAdvice(const FailingItem& item) {
  const std::string& reason = item.reason;
  if (StartsWith(item.failure, "Failed: Applied executible ")) return ProgramAdvice(item.failure, reason);
  if (const std::string_view folder = After(reason, "Not a directory"); !folder.empty())
    return BlockedFolder(std::string(folder));
  if (const std::string_view path = After(reason, "No such file or directory"); !path.empty()) {
    if (path == item.file) return "The photo is no longer there: " + item.file;
    return "The folder " + std::string(path) + " is not there: is its disk or share connected?";
  }
  if (EndsWith(reason, "(destination folder is read-only)"))
    return "The destination folder cannot be written to: check its permissions or whether its disk is "
           "read-only";
  if (EndsWith(reason, "(source folder is read-only)"))
    return "Photos cannot be taken off the source: it is read-only (a card's lock switch?)";
  if (StartsWith(reason, "No space left on device") || StartsWith(reason, "Disk quota exceeded"))
    return "The destination disk is full";
  return reason;
}

}  // namespace brisko
