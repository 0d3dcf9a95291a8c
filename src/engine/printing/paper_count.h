#pragma once
// Prints left on a printer's paper: the operator says how many prints the paper gives when
// loading it, every page sent counts one down, and at 0 the printer takes nothing new until the
// paper is loaded again. Kept per queue in the settings store, so a restart keeps the count.
#include <optional>
#include <string>
#include <string_view>

namespace brisko {

class SettingsStore;

// Most prints one load of paper can give (a roll of a dye-sub printer gives a few hundred).
inline constexpr int kMostPrintsPerLoad = 100000;
// Offered when a queue has no count of its own yet.
inline constexpr int kFirstPrintsPerLoad = 100;

class PaperCount {
 public:
  explicit PaperCount(SettingsStore& store) : m_store(store) {}

  // Prints left on `queue`; negative: not counted.
  int Left(const std::string& queue);
  // What the operator loaded last time (kFirstPrintsPerLoad at first).
  int PerLoad(const std::string& queue);
  // Paper loaded: `count` prints from now on, remembered for the next load; negative stops
  // counting. False when the store could not keep it.
  bool Load(const std::string& queue, int count);
  // `pages` went to the printer; the count left (negative: not counted).
  int Use(const std::string& queue, int pages);

 private:
  SettingsStore& m_store;
};

// "Paper loaded" as the command line and a later start give it: "COUNT", "QUEUE" (the count
// the queue had last time) or "QUEUE:COUNT"; COUNT "off" stops counting.
struct PaperLoad {
  std::string queue;         // "": the station's only printer
  std::optional<int> count;  // none: the queue's last count; negative: stop counting
  bool operator==(const PaperLoad&) const = default;
};
std::optional<PaperLoad> ParsePaperLoad(std::string_view text);
std::string FormatPaperLoad(const PaperLoad& load);
// A name CUPS could give a queue and our store can key: printable, no "/", "\", "#" or space.
bool PlausibleQueueName(std::string_view name);

}  // namespace brisko
