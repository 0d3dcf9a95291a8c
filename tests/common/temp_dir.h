#pragma once
// A temporary folder for one test, removed with everything in it at the end.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace brisko::test {

class TempDir {
 public:
  explicit TempDir(const char* base = nullptr) {
    std::string tmpl = std::string(base ? base : (std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp")) +
                       "/brisko-test-XXXXXX";
    char* made = mkdtemp(tmpl.data());
    m_path = made ? made : "";
  }
  ~TempDir() {
    if (m_path.empty()) return;
    std::error_code ec;
    // Give back write permission first so that tests that made things read-only clean up.
    for (auto it = std::filesystem::recursive_directory_iterator(m_path, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
      std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                   std::filesystem::perm_options::add, ec);
    }
    std::filesystem::remove_all(m_path, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& Path() const { return m_path; }
  std::string operator/(const std::string& rel) const { return m_path + "/" + rel; }

 private:
  std::string m_path;
};

inline void WriteFile(const std::string& path, const std::string& data) {
  std::ofstream(path, std::ios::binary) << data;
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace brisko::test
