// Lines from later starts arrive on the instance socket; command lines come from scripts; the
// lock file beside the store names the running station's socket. Every parser must stay
// bounded and consistent with its formatter.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/instance_channel.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  if (auto request = brisko::ParseInstanceRequest(text)) {
    std::string line = brisko::FormatInstanceRequest(*request);
    if (line.empty() || line.back() != '\n') std::abort();
    line.pop_back();
    if (brisko::ParseInstanceRequest(line) != request) std::abort();
  }
  if (auto answer = brisko::ParseInstanceAnswer(text)) {
    std::string line = brisko::FormatInstanceAnswer(*answer);
    line.pop_back();
    if (brisko::ParseInstanceAnswer(line) != answer) std::abort();
  }
  const std::string socket = brisko::ParseLockFileSocket(text);
  if (!socket.empty() &&
      (socket[0] != '/' || socket.size() >= 108 || text.compare(0, socket.size(), socket) != 0))
    std::abort();
  std::vector<std::string> args;
  size_t start = 0;
  for (size_t i = 0; i <= text.size(); ++i) {
    if (i == text.size() || text[i] == '\n') {
      args.push_back(text.substr(start, i - start));
      start = i + 1;
    }
  }
  brisko::CommandLine cl = brisko::ParseCommandLine(args);
  if (cl.error.empty() && cl.command && (*cl.command < 1 || *cl.command > 20)) std::abort();
  return 0;
}
