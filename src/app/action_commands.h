#pragma once
// "brisko-workflow actions ...": the action list from the command line, for a station without a
// screen. The same code serves the running station (over its instance socket) and a store no
// station has open. Values go through the editor's own form model, so what the window refuses
// is refused here with its reason.
#include <string>
#include <vector>

namespace brisko {

class Station;

struct ActionsReply {
  int exitCode = 0;  // 0 done, 1 refused or failed, 2 bad arguments
  std::string out;   // for stdout
  std::string err;   // for stderr
  bool operator==(const ActionsReply&) const = default;
};

// The words after "actions" checked for their shape only (verb, counts, numbers, NAME=VALUE):
// "" when they can be sent, else the reason for a usage error.
std::string CheckActionsArguments(const std::vector<std::string>& args);
// Whether the words change the list (everything but list and show).
bool ActionsArgumentsEdit(const std::vector<std::string>& args);

// Runs them on the station's list and saves the list after a change. `running`: the station
// runs its schedules, so the reply says when an edit takes effect and the log records it.
ActionsReply RunActionsCommand(Station& station, const std::vector<std::string>& args, bool running);

const char* ActionsUsage();

}  // namespace brisko
