#pragma once
// The silent copy or move of a list of files with rename-on-collision or overwrite, as the
// desktop shell offers it, built on the file layer.
#include <functional>
#include <string>
#include <vector>

namespace brisko {

enum class ShellFileOpKind { Copy, Move };

struct ShellFileOpOutcome {
  std::string source;
  std::string target;  // the path the file got (a "name (n).ext" after a collision); "" on failure
  int err = 0;         // errno of the failure, 0 on success
};

struct ShellFileOpRequest {
  ShellFileOpKind kind = ShellFileOpKind::Move;
  std::vector<std::string> sources;
  std::vector<std::string> targets;    // one target file path per source
  bool overwrite = false;              // replace existing targets; else rename on collision
  std::function<void()> betweenFiles;  // called after each file, e.g. to dispatch pending events
};

// Copies or moves each source to its target, going on after a failure. True only when every
// pair succeeded; lists of different lengths do nothing and give false (EINVAL). `outcomes`
// (when given) receives one entry per pair.
bool RunShellFileOperation(const ShellFileOpRequest& request,
                           std::vector<ShellFileOpOutcome>* outcomes = nullptr);

}  // namespace brisko
