#pragma once
// Helpers for the file-layer tests: immutable folders, a small full-able tmpfs, fault hooks.
#include <sys/mount.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/temp_dir.h"
#include "support/file_ops.h"
#include "support/folder_enum.h"

namespace brisko::test {

// Makes a path immutable (chattr +i), so that even root cannot add, remove or rename entries.
class Immutable {
 public:
  explicit Immutable(std::string path) : m_path(std::move(path)) {
    m_ok = std::system(("chattr +i '" + m_path + "' 2>/dev/null").c_str()) == 0;
  }
  ~Immutable() {
    if (m_ok) (void)std::system(("chattr -i '" + m_path + "'").c_str());
  }
  bool Ok() const { return m_ok; }

 private:
  std::string m_path;
  bool m_ok = false;
};

// A tmpfs of the given size mounted on a fresh folder (needs root).
class SmallTmpfs {
 public:
  explicit SmallTmpfs(const std::string& at, const char* size = "size=512k") : m_path(at) {
    mkdir(at.c_str(), 0755);
    m_ok = mount("tmpfs", at.c_str(), "tmpfs", 0, size) == 0;
  }
  ~SmallTmpfs() {
    if (m_ok) umount2(m_path.c_str(), MNT_DETACH);
  }
  bool Ok() const { return m_ok; }
  const std::string& Path() const { return m_path; }

 private:
  std::string m_path;
  bool m_ok = false;
};

// A read-only view of `folder` mounted at `at` (needs root), like a write-protected card.
class ReadOnlyBind {
 public:
  ReadOnlyBind(const std::string& folder, const std::string& at) : m_path(at) {
    mkdir(at.c_str(), 0755);
    m_ok = mount(folder.c_str(), at.c_str(), nullptr, MS_BIND, nullptr) == 0;
    if (m_ok && mount(nullptr, at.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0) {
      umount2(at.c_str(), MNT_DETACH);
      m_ok = false;
    }
  }
  ~ReadOnlyBind() {
    if (m_ok) umount2(m_path.c_str(), MNT_DETACH);
  }
  bool Ok() const { return m_ok; }

 private:
  std::string m_path;
  bool m_ok = false;
};

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

inline struct stat StatOf(const std::string& path) {
  struct stat st {};
  stat(path.c_str(), &st);
  return st;
}

inline void SetTimes(const std::string& path, time_t sec, long nsec) {
  struct timespec times[2] = {{sec - 100, 0}, {sec, nsec}};
  utimensat(AT_FDCWD, path.c_str(), times, 0);
}

inline bool OnDifferentFileSystems(const std::string& a, const std::string& b) {
  return StatOf(a).st_dev != StatOf(b).st_dev;
}

}  // namespace brisko::test
