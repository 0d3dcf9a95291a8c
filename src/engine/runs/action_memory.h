#pragma once
// What an action remembers between its runs. The station keeps one per action (RunHost::
// MemoryOf) for as long as the action is in its list; each run is given it.
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "engine/runs/selection_cache.h"

namespace brisko {

struct UploadRunState;
// Ends an upload action's running state where its type is complete (upload_run.cpp).
struct UploadRunEnd {
  void operator()(UploadRunState* state) const;
};

struct ActionMemory {
  // Camera photos this action copied (their copies), or left on a camera that refused to
  // delete them, by camera path, size and time: a camera is not read again for them.
  std::map<std::string, std::string> cameraCopies;
  std::set<std::string> cameraLeft;
  std::string cameraSettings;    // the selection settings the two sets above hold for
  bool cameraIdTxtSaid = false;  // "ID.TXT not written to the camera" said once
  // Camera photos (keyed as above) by when a pass first listed them: a lone shot file waits.
  std::map<std::string, int64_t> cameraFirstSeen;
  // The members of each shot the last selection took whose file specification left some of them
  // out (folder + key -> names): a shot's date is its whole shot's, not only its moving files'.
  std::map<std::string, std::vector<std::string>> wholeShots;
  // What the last pass listed, so that the next reads only what changed; for "card:", what
  // was kept of each card, so that two cards in at once do not make each other's passes full scans.
  std::unique_ptr<SelectionCache> selection;
  std::map<std::string, std::unique_ptr<SelectionCache>> cardSelections;
  int passDepth = 0;  // runs of this action in progress (nested ones included)
  // Write-protected mounts met in the last pass (already said) and in this one.
  std::set<std::string> writeProtectedSaid, writeProtectedNow;
  bool recoveredMoves = false;  // recovery placed photos since the last pass
  // Upload Files: its queue and the remote's state, made at its first pass.
  std::unique_ptr<UploadRunState, UploadRunEnd> upload;
  // Files a print run refused or CUPS turned down: said once, not tried again by this process.
  std::set<std::string> printRefused;
};

class Action;
// The memories of a host's actions, by action: what a host keeps for MemoryOf. It must outlive
// the actions, which forget theirs as they go.
class ActionMemories {
 public:
  ActionMemory& Of(const Action& action) {
    std::unique_ptr<ActionMemory>& memory = m_byAction[&action];
    if (!memory) memory = std::make_unique<ActionMemory>();
    return *memory;
  }
  void Forget(const Action& action) { m_byAction.erase(&action); }

 private:
  std::map<const Action*, std::unique_ptr<ActionMemory>> m_byAction;
};

}  // namespace brisko
