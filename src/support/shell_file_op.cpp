#include "support/shell_file_op.h"

#include <cerrno>

#include "support/file_ops.h"

namespace brisko {

bool RunShellFileOperation(const ShellFileOpRequest& request, std::vector<ShellFileOpOutcome>* outcomes) {
  if (outcomes) outcomes->clear();
  if (request.sources.size() != request.targets.size()) {
    if (outcomes) {
      for (const std::string& source : request.sources) outcomes->push_back({source, "", EINVAL});
    }
    return false;
  }
  if (outcomes) outcomes->reserve(request.sources.size());
  Collision collision = request.overwrite ? Collision::Replace : Collision::Rename;
  bool allDone = true;
  std::string placed;
  for (size_t i = 0; i < request.sources.size(); ++i) {
    const std::string& source = request.sources[i];
    const std::string& target = request.targets[i];
    int err = 0;
    placed.clear();
    bool ok = request.kind == ShellFileOpKind::Move ? MoveFile(source, target, collision, &placed, &err)
                                                    : CopyFile(source, target, collision, &placed, &err);
    if (!ok) allDone = false;
    if (outcomes) outcomes->push_back({source, ok ? placed : std::string(), ok ? 0 : err});
    if (request.betweenFiles) request.betweenFiles();
  }
  return allDone;
}

}  // namespace brisko
