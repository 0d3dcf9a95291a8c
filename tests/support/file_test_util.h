#pragma once
// Helpers for the file-layer tests: fault hooks, folder listings, times.
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/mounts.h"
#include "common/temp_dir.h"
#include "support/file_ops.h"
#include "support/folder_enum.h"

namespace brisko::test {

class FaultGuard {
 public:
  explicit FaultGuard(FileFaultHook hook) { SetFileFaultHook(std::move(hook)); }
  ~FaultGuard() { SetFileFaultHook({}); }
};

// Entry names of a folder without "." and "..", sorted.
inline std::vector<std::string> Names(const std::string& folder) {
  std::vector<FileInfo> entries;
  std::vector<std::string> names;
  ListFolder(folder, "*", entries);
  for (const FileInfo& e : entries) {
    if (e.name != "." && e.name != "..") names.push_back(e.name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

inline void SetTimes(const std::string& path, time_t sec, long nsec) {
  struct timespec times[2] = {{sec - 100, 0}, {sec, nsec}};
  utimensat(AT_FDCWD, path.c_str(), times, 0);
}

inline bool OnDifferentFileSystems(const std::string& a, const std::string& b) {
  return StatOf(a).st_dev != StatOf(b).st_dev;
}

}  // namespace brisko::test
