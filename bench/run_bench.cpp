// Move Files and Copy Files runs against mv and cp -p on the same files, in the same process.
// Sizes: BRISKO_BENCH_MOVE_FILES (default 10000 files of 100 KB), BRISKO_BENCH_COPY_FILES
// (default 2000 files of 3 MB; BRISKO_BENCH_COPY_KB sets their size, e.g. 64 for many small
// files, where the shared flush of a copy batch counts); the folder: BRISKO_BENCH_DIR (default $TMPDIR or
// /tmp).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "engine/action.h"
#include "engine/run_host.h"
#include "support/file_ops.h"
#include "support/logger.h"
#include "support/settings_store.h"

extern char** environ;

namespace {

using namespace brisko;
namespace fs = std::filesystem;

class BenchHost : public RunHost {
 public:
  BenchHost() : m_logger(nullptr) {}
  void AddToLog(const std::string& text) override {
    ++lines;
    if (text.rfind("FAILED", 0) != std::string::npos || text.find(") Failed") != std::string::npos ||
        text.find(") FAILED") != std::string::npos) {
      ++failures;
    }
  }
  void SetProgress(int, int, const std::string&, const std::string&) override {}
  void DispatchPendingEvents() override {}
  StationValues& Values() override { return m_values; }
  SettingsStore& Store() override { return m_store; }
  Logger& GetLogger() override { return m_logger; }
  long lines = 0;
  long failures = 0;

 private:
  SettingsStore m_store;
  Logger m_logger;
  StationValues m_values;
};

int EnvInt(const char* name, int def) {
  const char* v = std::getenv(name);
  return v && *v ? std::atoi(v) : def;
}

std::string BenchDir() {
  const char* dir = std::getenv("BRISKO_BENCH_DIR");
  if (!dir) dir = std::getenv("TMPDIR");
  std::string base = std::string(dir ? dir : "/tmp") + "/brisko-run-bench-XXXXXX";
  if (!mkdtemp(base.data())) std::abort();
  return base;
}

void MakeFiles(const std::string& folder, int count, size_t size) {
  fs::create_directories(folder);
  std::string data(size, '\0');
  for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>(i * 131 + 7);
  for (int i = 0; i < count; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "/IMG_%05d.jpg", i);
    FILE* f = std::fopen((folder + name).c_str(), "wb");
    std::fwrite(data.data(), 1, data.size(), f);
    std::fclose(f);
  }
}

void Sh(const std::string& command) {
  pid_t pid;
  const char* argv[] = {"sh", "-c", command.c_str(), nullptr};
  if (posix_spawnp(&pid, "sh", nullptr, nullptr, const_cast<char**>(argv), environ) != 0) std::abort();
  int status = 0;
  waitpid(pid, &status, 0);
}

std::map<std::string, double> g_seconds;  // name -> seconds per run
std::string g_dir;
int g_moveFiles = 0;
int g_copyFiles = 0;

void RunAction(int type, const std::string& from, const std::string& to, long* failures) {
  BenchHost host;
  host.Values().m_TempPath = g_dir + "/temp/";
  Action action(host);
  action.m_strName = "bench";
  action.m_iType = type;
  action.m_strSourceFolder = from;
  action.m_strDestFolder = to;
  action.m_bRunPending = 1;
  action.Run();
  *failures = host.failures;
}

// Moves go back and forth between two folders, so the files are made once.
void BM_EngineMove(benchmark::State& state) {
  const std::string a = g_dir + "/mv_a", b = g_dir + "/mv_b";
  long failures = 0;
  for (auto _ : state) {
    RunAction(kMoveFiles, a, b, &failures);
    state.PauseTiming();
    Sh("mv '" + b + "'/* '" + a + "'/");
    state.ResumeTiming();
  }
  state.counters["files/s"] =
      benchmark::Counter(static_cast<double>(g_moveFiles) * state.iterations(), benchmark::Counter::kIsRate);
  state.counters["failures"] = static_cast<double>(failures);
}

void BM_MvMove(benchmark::State& state) {
  const std::string a = g_dir + "/mv_a", b = g_dir + "/mv_b";
  for (auto _ : state) {
    Sh("mv '" + a + "'/* '" + b + "'/");
    state.PauseTiming();
    Sh("mv '" + b + "'/* '" + a + "'/");
    state.ResumeTiming();
  }
  state.counters["files/s"] =
      benchmark::Counter(static_cast<double>(g_moveFiles) * state.iterations(), benchmark::Counter::kIsRate);
}

void BM_EngineCopy(benchmark::State& state) {
  const std::string a = g_dir + "/cp_a", b = g_dir + "/cp_b";
  long failures = 0;
  for (auto _ : state) {
    state.PauseTiming();
    fs::remove_all(b);
    fs::create_directories(b);
    ::sync();
    state.ResumeTiming();
    RunAction(kCopyFiles, a, b, &failures);
    ::sync();  // both sides pay for getting the data to the disk
  }
  state.counters["files/s"] =
      benchmark::Counter(static_cast<double>(g_copyFiles) * state.iterations(), benchmark::Counter::kIsRate);
  state.counters["failures"] = static_cast<double>(failures);
}

// The way copies were made before batches: each file flushed on its own.
void BM_CopyEachFlushed(benchmark::State& state) {
  const std::string a = g_dir + "/cp_a", b = g_dir + "/cp_b";
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(a)) names.push_back(e.path().filename().string());
  for (auto _ : state) {
    state.PauseTiming();
    fs::remove_all(b);
    fs::create_directories(b);
    ::sync();
    state.ResumeTiming();
    for (const std::string& name : names) CopyFile(a + "/" + name, b + "/" + name, Collision::Replace);
    ::sync();
  }
  state.counters["files/s"] =
      benchmark::Counter(static_cast<double>(g_copyFiles) * state.iterations(), benchmark::Counter::kIsRate);
}

void BM_CpCopy(benchmark::State& state) {
  const std::string a = g_dir + "/cp_a", b = g_dir + "/cp_b";
  for (auto _ : state) {
    state.PauseTiming();
    fs::remove_all(b);
    fs::create_directories(b);
    ::sync();
    state.ResumeTiming();
    Sh("cp -p '" + a + "'/* '" + b + "'/");
    ::sync();
  }
  state.counters["files/s"] =
      benchmark::Counter(static_cast<double>(g_copyFiles) * state.iterations(), benchmark::Counter::kIsRate);
}

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Iteration) {
        g_seconds[run.benchmark_name()] = run.GetAdjustedRealTime() / 1e9;  // unit set to ns below
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
};

}  // namespace

int main(int argc, char** argv) {
  g_moveFiles = EnvInt("BRISKO_BENCH_MOVE_FILES", 10000);
  g_copyFiles = EnvInt("BRISKO_BENCH_COPY_FILES", 2000);
  const int copyKb = EnvInt("BRISKO_BENCH_COPY_KB", 3 * 1024);
  const int iterations = EnvInt("BRISKO_BENCH_ITERATIONS", 3);
  g_dir = BenchDir();
  std::printf("preparing %d files of 100 KB and %d files of %d KB in %s\n", g_moveFiles, g_copyFiles, copyKb,
              g_dir.c_str());
  MakeFiles(g_dir + "/mv_a", g_moveFiles, 100 * 1024);
  fs::create_directories(g_dir + "/mv_b");
  MakeFiles(g_dir + "/cp_a", g_copyFiles, static_cast<size_t>(copyKb) * 1024);
  ::sync();

  benchmark::RegisterBenchmark("EngineMove", BM_EngineMove)
      ->Iterations(iterations)
      ->UseRealTime()
      ->Unit(benchmark::kNanosecond);
  benchmark::RegisterBenchmark("MvMove", BM_MvMove)
      ->Iterations(iterations)
      ->UseRealTime()
      ->Unit(benchmark::kNanosecond);
  benchmark::RegisterBenchmark("CopyEachFlushed", BM_CopyEachFlushed)
      ->Iterations(iterations)
      ->UseRealTime()
      ->Unit(benchmark::kNanosecond);
  benchmark::RegisterBenchmark("EngineCopy", BM_EngineCopy)
      ->Iterations(iterations)
      ->UseRealTime()
      ->Unit(benchmark::kNanosecond);
  benchmark::RegisterBenchmark("CpCopy", BM_CpCopy)
      ->Iterations(iterations)
      ->UseRealTime()
      ->Unit(benchmark::kNanosecond);
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  auto ratio = [](const char* ours, const char* peer) {
    const auto o = g_seconds.find(ours), p = g_seconds.find(peer);
    if (o == g_seconds.end() || p == g_seconds.end() || p->second <= 0) return;
    std::printf("%s / %s = %.2fx  (%.3f s vs %.3f s per run)\n", ours, peer, o->second / p->second, o->second,
                p->second);
  };
  for (const auto& [name, seconds] : g_seconds) std::printf("%-40s %.3f s per run\n", name.c_str(), seconds);
  std::string move, mv, copy, cp, each;
  for (const auto& [name, seconds] : g_seconds) {
    if (name.rfind("EngineMove", 0) == 0) move = name;
    if (name.rfind("MvMove", 0) == 0) mv = name;
    if (name.rfind("EngineCopy", 0) == 0) copy = name;
    if (name.rfind("CpCopy", 0) == 0) cp = name;
    if (name.rfind("CopyEachFlushed", 0) == 0) each = name;
  }
  ratio(move.c_str(), mv.c_str());
  ratio(copy.c_str(), cp.c_str());
  ratio(each.c_str(), cp.c_str());
  fs::remove_all(g_dir);
  return 0;
}
