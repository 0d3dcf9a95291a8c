#pragma once
// "card:", any memory card: every volume the desktop mounted for the user (udisks2 puts them in
// /media/$USER/LABEL or /run/media/$USER/LABEL) that holds a DCIM folder, and of it only that
// folder. Each card is a source of its own; a drive without DCIM (a backup disk) is never one.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace brisko {

inline constexpr const char* kCardSourceText = "card:";

// "card:" in any letter case, blanks around it allowed.
bool IsCardSourceText(std::string_view text);

// Where cards are looked for. Tests give their own folders and mount table.
struct CardPlaces {
  std::vector<std::string> roots;  // folders whose mount points below are cards
  std::string mountTable = "/proc/self/mountinfo";
};
// /media/USER and /run/media/USER for the user this process runs as. BRISKO_CARD_ROOTS (folders
// separated by ":") and BRISKO_MOUNT_TABLE replace them, for tests of the whole program.
CardPlaces DefaultCardPlaces();

struct MountEntry {
  std::string mountId;  // new for every mount, so a card put in again is a new one
  std::string mountPoint;
  std::string device;  // "major:minor"
  std::string fsType;
  std::string source;
};
// The lines of /proc/self/mountinfo (its octal escapes undone). Lines that do not parse are
// passed over; at most kMaxMountEntries entries are kept.
inline constexpr size_t kMaxMountEntries = 10000;
std::vector<MountEntry> ParseMountInfo(std::string_view text);

struct CardVolume {
  std::string label;       // the mount point's own name: "EOS_DIGITAL"
  std::string mountPoint;  // "/media/ann/EOS_DIGITAL"
  std::string folder;      // its DCIM folder, as the card's name has it
  std::string device;      // "major:minor" of its file system
  std::string mountId;     // this mount of it
  uint64_t totalBytes = 0;
  bool operator==(const CardVolume&) const = default;
};

// The cards in now, in mount point order.
std::vector<CardVolume> FindCards(const CardPlaces& places);

// "Card EOS_DIGITAL (31.9 GB) in" / "... out".
std::string CardLine(const CardVolume& card, bool in);
// "EOS_DIGITAL (31.9 GB)".
std::string CardTitle(const CardVolume& card);

}  // namespace brisko
