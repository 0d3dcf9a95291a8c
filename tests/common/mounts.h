#pragma once
// Real write failures for the tests: a small full-able tmpfs, read-only bind mounts, immutable
// folders (root bypasses permission bits, so this is how they are made). Each needs root;
// Ok() is false where the test may not do it, and the test skips.
#include <sys/mount.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace brisko::test {

inline struct stat StatOf(const std::string& path) {
  struct stat st {};
  ::stat(path.c_str(), &st);
  return st;
}

// A tmpfs of `size` (e.g. "64k") mounted on a folder, made when missing.
class SmallTmpfs {
 public:
  explicit SmallTmpfs(const std::string& at, const char* size = "512k") : m_path(at) {
    std::error_code ec;
    std::filesystem::create_directories(at, ec);
    m_ok = ::mount("tmpfs", at.c_str(), "tmpfs", 0, (std::string("size=") + size).c_str()) == 0;
  }
  ~SmallTmpfs() {
    if (m_ok) ::umount2(m_path.c_str(), MNT_DETACH);
  }
  bool Ok() const { return m_ok; }
  const std::string& Path() const { return m_path; }

 private:
  std::string m_path;
  bool m_ok = false;
};

// A read-only view of `folder` mounted at `at` (by default over the folder itself), like a
// write-protected card.
class ReadOnlyBind {
 public:
  explicit ReadOnlyBind(const std::string& folder, const std::string& at = "") : m_path(at.empty() ? folder : at) {
    ::mkdir(m_path.c_str(), 0755);
    m_ok = ::mount(folder.c_str(), m_path.c_str(), nullptr, MS_BIND, nullptr) == 0;
    if (m_ok && ::mount(nullptr, m_path.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0) {
      ::umount2(m_path.c_str(), MNT_DETACH);
      m_ok = false;
    }
  }
  ~ReadOnlyBind() {
    if (m_ok) ::umount2(m_path.c_str(), MNT_DETACH);
  }
  bool Ok() const { return m_ok; }

 private:
  std::string m_path;
  bool m_ok = false;
};

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

}  // namespace brisko::test
