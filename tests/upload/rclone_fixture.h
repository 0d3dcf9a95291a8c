#pragma once
// Real servers for the upload tests: `rclone serve webdav` or `rclone serve sftp` on loopback
// over a scratch folder, with an rclone configuration naming it "gallery". The network "drops"
// when the server is stopped; it comes back on the same port. Skipped where rclone is missing.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "common/temp_dir.h"
#include "upload/rclone_daemon.h"

namespace brisko::test {

#define SKIP_WITHOUT_RCLONE()                  \
  if (!::brisko::RcloneInstalled()) {          \
    GTEST_SKIP() << "rclone is not installed"; \
  }

inline int FreePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  int port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
    port = ntohs(addr.sin_port);
  ::close(fd);
  return port;
}

inline bool PortAnswers(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(uint16_t(port));
  const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  ::close(fd);
  return ok;
}

// The output of a short rclone command.
inline std::string RcloneOutput(const std::string& args) {
  std::string out;
  if (FILE* p = ::popen(("rclone --config /dev/null " + args + " 2>/dev/null").c_str(), "r")) {
    char buffer[256];
    while (size_t n = std::fread(buffer, 1, sizeof buffer, p)) out.append(buffer, n);
    ::pclose(p);
  }
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

class RcloneServer {
 public:
  enum class Kind { WebDav, Sftp };

  // Serves `root` (made when missing); its state (keys, cache) and configuration go to `state`.
  RcloneServer(Kind kind, std::string root, std::string state)
      : m_kind(kind), m_root(std::move(root)), m_state(std::move(state)), m_port(FreePort()) {
    std::filesystem::create_directories(m_root);
    std::filesystem::create_directories(m_state + "/cache");
    std::string config = "[gallery]\n";
    if (kind == Kind::WebDav) {
      config += "type = webdav\nurl = http://127.0.0.1:" + std::to_string(m_port) + "/\nvendor = other\n";
    } else {
      config += "type = sftp\nhost = 127.0.0.1\nport = " + std::to_string(m_port) +
                "\nuser = photos\npass = " + RcloneOutput("obscure " + std::string(kPassword)) + "\n";
    }
    WriteFile(ConfigFile(), config);
  }
  ~RcloneServer() { Stop(); }
  RcloneServer(const RcloneServer&) = delete;
  RcloneServer& operator=(const RcloneServer&) = delete;

  std::string ConfigFile() const { return m_state + "/rclone.conf"; }
  const std::string& Root() const { return m_root; }

  // The daemon options a station under test uses: this configuration, nothing of $HOME.
  RcloneDaemon::Options DaemonOptions() const {
    RcloneDaemon::Options options;
    options.configFile = ConfigFile();
    options.extraArgs = {"--cache-dir", m_state + "/cache"};
    return options;
  }

  bool Start() {
    if (m_pid > 0) return true;
    std::vector<std::string> args = {"rclone",
                                     "serve",
                                     m_kind == Kind::WebDav ? "webdav" : "sftp",
                                     m_root,
                                     "--addr",
                                     "127.0.0.1:" + std::to_string(m_port),
                                     "--config",
                                     "/dev/null",
                                     "--cache-dir",
                                     m_state + "/cache"};
    if (m_kind == Kind::Sftp) {
      // Its host keys are made in the cache folder, not under $HOME.
      for (const char* a : {"--user", "photos", "--pass", kPassword, "--authorized-keys", "/dev/null"})
        args.push_back(a);
    }
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t parent = ::getpid();
    m_pid = ::fork();
    if (m_pid == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (::getppid() != parent) ::_exit(127);
      const int null = ::open("/dev/null", O_RDWR);
      ::dup2(null, 0);
      ::dup2(null, 1);
      ::dup2(null, 2);
      ::execvp("rclone", argv.data());
      ::_exit(127);
    }
    for (int i = 0; i < 1500; ++i) {
      if (PortAnswers(m_port)) return true;
      int status = 0;
      if (::waitpid(m_pid, &status, WNOHANG) == m_pid) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    Stop();
    return false;
  }

  void Stop() {
    if (m_pid <= 0) return;
    ::kill(m_pid, SIGKILL);
    int status = 0;
    ::waitpid(m_pid, &status, 0);
    m_pid = -1;
  }

 private:
  static constexpr const char* kPassword = "loopback-only";
  Kind m_kind;
  std::string m_root, m_state;
  int m_port;
  pid_t m_pid = -1;
};

}  // namespace brisko::test
