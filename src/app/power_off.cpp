#include "app/power_off.h"

#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <sstream>
#include <vector>

extern char** environ;

namespace brisko {

bool RunCommandAndWait(const std::string& commandLine) {
  std::vector<std::string> words;
  std::istringstream in(commandLine);
  for (std::string w; in >> w;) words.push_back(w);
  if (words.empty()) return false;
  std::vector<char*> argv;
  for (auto& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return false;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return false;
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace brisko
