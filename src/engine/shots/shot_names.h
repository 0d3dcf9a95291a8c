#pragma once
// Which name and folder each shot received, remembered for a while in the temp folder, so that
// a partner arriving after its shot moved (a tethered camera sends the RAW seconds after the
// JPEG) takes the same name and folder and no new counter value.
#include <cstddef>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

namespace brisko {

inline constexpr const char* kShotNamesFile = "shot-names.brisko-shots";
inline constexpr int64_t kShotNamesKeepSeconds = 10 * 60;
// Bounds what is read back (a file that is not ours costs no more than this).
inline constexpr size_t kMaxShotNamesBytes = 1 << 20;
inline constexpr size_t kMaxShotNames = 4096;

class ShotNames {
 public:
  struct Entry {
    std::string sourceFolder;  // with its trailing separator
    std::string key;           // the shot's base name in lower case
    int64_t captureTime = 0;   // the leader's date taken; 0 when unreadable
    std::string folder;        // the destination folder the shot went to
    std::string base;          // the base name its files received
    int64_t expires = 0;
    // What followed the base in the files that moved, lower case, "|" between; "?" before one
    // noted before its move and not yet known to have moved (a crash may have stopped it).
    std::string kinds;
  };

  // Reads the remembered names from `tempFolder` (none when the file is missing or not ours).
  explicit ShotNames(std::string tempFolder, int64_t keepSeconds = kShotNamesKeepSeconds);

  // The shot a newcomer of `key` in `sourceFolder` belongs to: remembered and not expired at
  // `now`, with the same capture time where both are known, and none of `kinds` among those
  // known to have moved with it (a second IMG_0001.JPG is another camera's photo, not a partner).
  const Entry* Find(const std::string& sourceFolder, const std::string& key, int64_t captureTime,
                    const std::vector<std::string>& kinds, int64_t now) const;
  // Notes `entry` before its files move, its kinds as not yet moved.
  void Remember(Entry entry, int64_t now);
  // Whether a shot went to `folder` as `base` (any letter case) within the time kept: its late
  // partners will come to that name, so another shot must not take it, even where its files
  // have already moved on from the folder.
  bool Reserved(const std::string& folder, const std::string& base, int64_t now) const;
  // Once the move is over: of what Remember noted for `entry`, the `moved` kinds count as moved
  // and the others are still to come; a shot none of whose files moved is not remembered.
  void Confirm(const Entry& entry, const std::vector<std::string>& moved);
  // Writes the list durably (temp name, flush, rename) when it changed; expired entries go.
  bool Save(int64_t now);

  // The kind a file named `path` has in a shot given `base`: what follows the base, lower case.
  static std::string KindOf(const std::string& path, const std::string& base);

  static std::string Format(const std::vector<Entry>& entries);
  // False for anything that is not a whole list of ours. Bounded by the input size.
  static bool Parse(std::string_view text, std::vector<Entry>& entries);

 private:
  std::string m_folder;
  int64_t m_keep;
  std::vector<Entry> m_entries;
  bool m_changed = false;
  // The shots this list noted or settled since it was read: Save writes these and keeps what
  // other actions and stations sharing the folder noted meanwhile.
  std::vector<std::string> m_touched;
  void Touch(const Entry& e);
};

}  // namespace brisko
