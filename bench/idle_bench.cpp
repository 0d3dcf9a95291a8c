// What a station costs while nothing happens: a Copy Files action over a hot folder whose
// photos are all copied already. Compares the kept selection with a full scan on every pass
// (BRISKO_SCAN_EVERY_PASS=1, how every pass worked before), in the same run:
//   1. one pass of the action, in this process, and the memory the kept selection holds;
//   2. the real headless station (brisko-workflow beside this program), CPU share of one core
//      while idle.
// Sizes: BRISKO_BENCH_IDLE_FILES (default 20000), BRISKO_BENCH_IDLE_SECONDS (default 20);
// folder: BRISKO_BENCH_DIR (default $TMPDIR or /tmp).
#include <fcntl.h>
#include <malloc.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "bench_host.h"
#include "engine/action.h"
#include "engine/run_host.h"
#include "support/logger.h"
#include "support/settings_store.h"

extern char** environ;

namespace {

using namespace brisko;
using bench::BenchHost;
using bench::EnvInt;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

void MakeFiles(const std::string& folder, int count) {
  fs::create_directories(folder);
  const std::string data(4096, 'x');
  for (int i = 0; i < count; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "/IMG_%05d.jpg", i);
    std::ofstream(folder + name, std::ios::binary) << data;
  }
}

double PassSeconds(Action& action, int passes) {
  const auto start = Clock::now();
  for (int i = 0; i < passes; ++i) {
    action.m_bRunPending = 1;
    action.Run();
  }
  return std::chrono::duration<double>(Clock::now() - start).count() / passes;
}

// user + system CPU seconds of a process so far.
double CpuSeconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string field;
  double ticks = 0;
  for (int i = 3; fields >> field && i <= 15; ++i) {
    if (i == 14 || i == 15) ticks += std::stod(field);
  }
  return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Share of one core the headless station uses over `seconds`, after it has settled.
double StationIdleShare(const std::string& dir, const std::string& store, bool everyPass, int seconds) {
  const std::string exe = fs::read_symlink("/proc/self/exe").parent_path() / "brisko-workflow";
  std::vector<std::string> env = {"XDG_CONFIG_HOME=" + dir + "/config", "XDG_STATE_HOME=" + dir + "/state",
                                  "XDG_RUNTIME_DIR=" + dir, "HOME=" + dir, "PATH=/usr/bin:/bin"};
  if (everyPass) env.push_back("BRISKO_SCAN_EVERY_PASS=1");
  std::vector<char*> envp;
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::string a0 = exe, a1 = "--headless", a2 = "--store", a3 = store;
  char* argv[] = {a0.data(), a1.data(), a2.data(), a3.data(), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  if (posix_spawn(&pid, exe.c_str(), &actions, nullptr, argv, envp.data()) != 0) {
    std::fprintf(stderr, "cannot start %s\n", exe.c_str());
    std::exit(1);
  }
  posix_spawn_file_actions_destroy(&actions);
  // The start-up countdown, then a few passes.
  std::this_thread::sleep_for(std::chrono::seconds(10));
  const double before = CpuSeconds(pid);
  const auto start = Clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  const double used = CpuSeconds(pid) - before;
  const double wall = std::chrono::duration<double>(Clock::now() - start).count();
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
  return used / wall;
}

}  // namespace

int main() {
  const int files = EnvInt("BRISKO_BENCH_IDLE_FILES", 20000);
  const int seconds = EnvInt("BRISKO_BENCH_IDLE_SECONDS", 20);
  const char* base = std::getenv("BRISKO_BENCH_DIR");
  if (!base) base = std::getenv("TMPDIR");
  std::string dir = std::string(base ? base : "/tmp") + "/brisko-idle-bench-XXXXXX";
  if (!mkdtemp(dir.data())) return 1;
  std::printf("%d files in %s\n", files, dir.c_str());
  MakeFiles(dir + "/hot", files);
  fs::create_directories(dir + "/archive");
  fs::create_directories(dir + "/temp");
  const std::string store = dir + "/settings.db";

  BenchHost host(store);
  host.countPrefix = "bench (Copy Files) Copied";
  host.Values().m_TempPath = dir + "/temp/";
  Action action(host);
  action.m_strName = "bench";
  action.m_iType = kCopyFiles;
  action.m_strSourceFolder = dir + "/hot/";
  action.m_strDestFolder = dir + "/archive/";
  action.m_strFileSpec = "*.jpg";
  action.Save(0);
  host.Store().WriteProfileInt("Actions", "NumActions", 1);
  host.Store().WriteProfileString("Settings", "m_TempPath", dir + "/temp/");

  setenv("BRISKO_SCAN_EVERY_PASS", "1", 1);
  PassSeconds(action, 1);  // the first copy
  if (host.counted != files) std::printf("warning: %ld of %d files copied\n", host.counted, files);
  const double scanned = PassSeconds(action, 5);
  unsetenv("BRISKO_SCAN_EVERY_PASS");
  const size_t heapBefore = mallinfo2().uordblks;
  const double first = PassSeconds(action, 1);
  PassSeconds(action, 2);  // the copies' folder is watched, then the copies are trusted
  const size_t heapAfter = mallinfo2().uordblks;
  const double kept = PassSeconds(action, 20);
  std::printf("pass over %d unchanged files: full scan %.2f ms, first pass %.2f ms, kept %.3f ms\n", files,
              scanned * 1e3, first * 1e3, kept * 1e3);
  std::printf("ratio kept / full scan: %.4f (target <= 0.05)\n", kept / scanned);
  std::printf("memory kept: %.0f bytes per file (target <= 200)\n",
              static_cast<double>(heapAfter - heapBefore) / files);

  const double today = StationIdleShare(dir, store, true, seconds);
  const double ours = StationIdleShare(dir, store, false, seconds);
  std::printf("idle headless station over %d copied files: %.2f%% of a core with full scans, %.2f%% kept\n",
              files, today * 100, ours * 100);
  std::printf("ratio kept / full scan: %.3f (target: kept <= 2%%)\n", ours / today);
  fs::remove_all(dir);
  return 0;
}
