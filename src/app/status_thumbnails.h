#pragma once
// The last photos placed, as small JPEGs for the status page. The station lists them; the
// page's thread makes a thumbnail the first time it is asked for (the photo's own EXIF
// thumbnail, else a small resize) and keeps it. Only listed photos are ever read, and the
// cache is bounded in count and bytes.
#include <cstdint>
#include <ctime>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "app/status_snapshot.h"

namespace brisko {

class StatusThumbnails : public ThumbnailSource {
 public:
  static constexpr size_t kCount = 12;
  static constexpr size_t kMaxBytes = 96 * 1024;  // of one thumbnail

  // Station's thread: `path` was placed by `action`; gives the list to show, newest first.
  std::vector<StatusPlacedPhoto> Add(const std::string& path, const std::string& action, std::time_t now);
  // Station's thread: the tile of `path` shows `by` (another file of its shot) from now on.
  std::vector<StatusPlacedPhoto> Replace(const std::string& path, const std::string& by);
  // Page's thread: false for an id that is not listed, or a photo that can no longer be read.
  bool Get(uint64_t id, std::string& jpeg) const override;

 private:
  struct Entry {
    StatusPlacedPhoto photo;
    std::string path;
    std::string jpeg;
    bool tried = false;
  };
  mutable std::mutex m_mutex;
  mutable std::deque<Entry> m_entries;  // newest first
  uint64_t m_nextId = 1;
};

// A small upright JPEG of the photo at `path` (at most `maxBytes`), or false. RAW files give
// their camera's preview.
bool MakeThumbnail(const std::string& path, size_t maxBytes, std::string& jpeg);

}  // namespace brisko
