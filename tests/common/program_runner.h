#pragma once
// The program started as users start it, for the tests that run the real binary.
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "common/tools.h"

namespace brisko::test {

struct ProgramResult {
  int rc = -1;
  std::string out;  // stdout and stderr together
};

// Runs `env` (an "env ..." prefix, or "") + the program + `args` to its end.
inline ProgramResult RunProgram(const std::string& env, const std::string& args) {
  ProgramResult r;
  FILE* p = popen((env + BRISKO_BINARY + " " + args + " 2>&1").c_str(), "r");
  if (!p) return r;
  r.out = ReadPipe(p);
  const int status = pclose(p);
  r.rc = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

// The environment of a station without a display whose runtime and state files go below `home`.
inline std::string HeadlessEnv(const std::string& home) {
  return "env -u DISPLAY -u WAYLAND_DISPLAY XDG_RUNTIME_DIR='" + home + "' XDG_STATE_HOME='" + home + "/state' ";
}

// One `--run-once` over the settings store at `store`: its exit code, and its output in `output`.
inline int RunStationOnce(const std::string& store, const std::string& home, std::string& output) {
  ProgramResult r = RunProgram(HeadlessEnv(home), "--store '" + store + "' --run-once");
  output = std::move(r.out);
  return r.rc;
}

// Starts `command` with its stdout and stderr on a pipe; returns the pid (-1 on failure).
inline pid_t Spawn(const std::string& command, int& outFd) {
  int out[2];
  if (pipe(out) != 0) return -1;
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], 1);
    dup2(out[1], 2);
    close(out[0]);
    execl("/bin/sh", "sh", "-c", ("exec " + command).c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(out[1]);
  outFd = out[0];
  return pid;
}

// Reads the child's output until `text` shows up (or the output ends). A station that hangs
// fails the test instead of stalling the whole suite.
inline bool ReadUntil(int fd, std::string& seen, const std::string& text) {
  char buf[1024];
  while (seen.find(text) == std::string::npos) {
    pollfd ready{fd, POLLIN, 0};
    if (poll(&ready, 1, 60'000) <= 0) return false;
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) return false;
    seen.append(buf, size_t(n));
  }
  return true;
}

}  // namespace brisko::test
