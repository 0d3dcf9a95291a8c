#pragma once
// Folder-tree helpers for the run tests.
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <ctime>
#include <filesystem>
#include <set>
#include <string>

#include "common/mounts.h"
#include "common/temp_dir.h"
#include "engine/action/action.h"

extern char** environ;

namespace brisko::test {

inline bool Exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

inline void SetModTime(const std::string& path, std::time_t t) {
  struct timespec times[2] = {{t, 0}, {t, 0}};
  ::utimensat(AT_FDCWD, path.c_str(), times, 0);
}

inline std::time_t ModTime(const std::string& path) {
  struct stat st {};
  ::stat(path.c_str(), &st);
  return st.st_mtime;
}

// Writes a file (making its folder) with the given modification time (0: now).
inline void MakeFile(const std::string& path, const std::string& data, std::time_t modTime = 0) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  WriteFile(path, data);
  if (modTime) SetModTime(path, modTime);
}

inline void MakeFolder(const std::string& path) {
  std::filesystem::create_directories(path);
}

// One pass of `a`, as the station's loop runs it.
inline bool RunPass(Action& a) {
  a.m_bRunPending = 1;
  return a.Run();
}

// A folder emptied for the next row of a table (made where it is missing).
inline void EmptyFolder(const std::string& path) {
  std::filesystem::remove_all(path);
  MakeFolder(path);
}

inline int CountFiles(const std::string& folder) {
  int n = 0;
  std::error_code ec;
  for (auto it = std::filesystem::recursive_directory_iterator(folder, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_regular_file()) ++n;
  }
  return n;
}

// The names in a folder (not below it), sorted; only its regular files when asked.
inline std::set<std::string> EntryNames(const std::string& folder, bool filesOnly = false) {
  std::set<std::string> names;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(folder, ec))
    if (!filesOnly || e.is_regular_file()) names.insert(e.path().filename().string());
  return names;
}

// Another process that holds a file open (for reading unless told) until it is destroyed.
class FileHolder {
 public:
  explicit FileHolder(const std::string& path, int flags = O_RDONLY) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, path.c_str(), flags, 0);
    char sleepArg[] = "sleep";
    char secondsArg[] = "600";
    char* argv[] = {sleepArg, secondsArg, nullptr};
    if (posix_spawnp(&m_pid, "sleep", &actions, nullptr, argv, environ) != 0) m_pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    // Wait until the child has the file open.
    const std::string fd0 = "/proc/" + std::to_string(m_pid) + "/fd/0";
    for (int i = 0; i < 5000 && m_pid > 0; ++i) {  // up to 10 s on a loaded machine
      char target[4096];
      ssize_t n = ::readlink(fd0.c_str(), target, sizeof target - 1);
      if (n > 0 && std::string(target, static_cast<size_t>(n)) == path) break;
      ::usleep(2000);
    }
  }
  ~FileHolder() {
    if (m_pid > 0) {
      ::kill(m_pid, SIGKILL);
      int status;
      ::waitpid(m_pid, &status, 0);
    }
  }
  bool Ok() const { return m_pid > 0; }

 private:
  pid_t m_pid = -1;
};

}  // namespace brisko::test
