// Move Files and Copy Files runs against mv and cp -p on the same files, in the same process.
// Sizes: BRISKO_BENCH_MOVE_FILES (default 10000 files of 100 KB), BRISKO_BENCH_COPY_FILES
// (default 2000 files of 3 MB; BRISKO_BENCH_COPY_KB sets their size, e.g. 64 for many small
// files, where the shared flush of a copy batch counts); the folder: BRISKO_BENCH_DIR (default $TMPDIR or
// /tmp).
// Moves across file systems, from a tmpfs (mounted in the folder when run as root, else in
// /dev/shm) to the folder, against mv and one sync, and against moving each file flushed on its
// own as before batches: BRISKO_BENCH_ACROSS_SMALL (default 2000 files of 64 KB) and
// BRISKO_BENCH_ACROSS_LARGE (default 300 files of 3 MB); 0 leaves one out.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "bench_host.h"
#include "engine/action.h"
#include "engine/run_host.h"
#include "support/file_ops.h"
#include "support/logger.h"
#include "support/settings_store.h"

extern char** environ;

namespace {

using namespace brisko;
using bench::BenchHost;
using bench::EnvInt;
namespace fs = std::filesystem;

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

// Moves from the tmpfs `from` to the disk folder `to`; the files go back untimed. Every side
// ends with a sync, so each pays for getting the data to the disk.
enum class AcrossWay { Engine, EachFlushed, MvSync };

void BM_MoveAcross(benchmark::State& state, AcrossWay way, std::string from, std::string to, int files) {
  long failures = 0;
  for (auto _ : state) {
    switch (way) {
      case AcrossWay::Engine:
        RunAction(kMoveFiles, from, to, &failures);
        break;
      case AcrossWay::EachFlushed: {
        // Today's single move: MoveFile flushes each copy and its folder before it removes the source.
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(from)) names.push_back(e.path().filename().string());
        for (const std::string& name : names) MoveFile(from + "/" + name, to + "/" + name, Collision::Rename);
        break;
      }
      case AcrossWay::MvSync:
        Sh("mv '" + from + "'/* '" + to + "'/");
        break;
    }
    ::sync();
    state.PauseTiming();
    Sh("mv '" + to + "'/* '" + from + "'/");
    ::sync();
    state.ResumeTiming();
  }
  state.counters["files/s"] =
      benchmark::Counter(static_cast<double>(files) * state.iterations(), benchmark::Counter::kIsRate);
  state.counters["failures"] = static_cast<double>(failures);
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
  // A tmpfs for the card side of moves across file systems.
  const int acrossSmall = EnvInt("BRISKO_BENCH_ACROSS_SMALL", 2000);
  const int acrossLarge = EnvInt("BRISKO_BENCH_ACROSS_LARGE", 300);
  std::string card = g_dir + "/card";
  fs::create_directories(card);
  const bool mounted = ::mount("tmpfs", card.c_str(), "tmpfs", 0, "size=2g") == 0;
  std::string shm;
  if (!mounted) {
    shm = "/dev/shm/brisko-run-bench-XXXXXX";
    if (!mkdtemp(shm.data())) std::abort();
    card = shm;
  }
  struct Across {
    const char* name;
    int files;
    size_t kb;
  };
  for (const Across& a : {Across{"Small", acrossSmall, 64}, Across{"Large", acrossLarge, 3 * 1024}}) {
    if (a.files <= 0) continue;
    const std::string from = card + "/" + a.name, to = g_dir + "/across_" + a.name;
    std::printf("preparing %d files of %zu KB on %s\n", a.files, a.kb, mounted ? "a tmpfs" : "/dev/shm");
    MakeFiles(from, a.files, a.kb * 1024);
    fs::create_directories(to);
    const std::pair<const char*, AcrossWay> ways[] = {
        {"EngineMoveAcross", AcrossWay::Engine},
        {"EachFlushedMoveAcross", AcrossWay::EachFlushed},
        {"MvSyncMoveAcross", AcrossWay::MvSync},
    };
    for (const auto& [prefix, way] : ways) {
      benchmark::RegisterBenchmark((std::string(prefix) + a.name).c_str(), BM_MoveAcross, way, from, to,
                                   a.files)
          ->Iterations(iterations)
          ->UseRealTime()
          ->Unit(benchmark::kNanosecond);
    }
  }
  ::sync();
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
  // By full name: "EngineMove" is also the start of "EngineMoveAcross...".
  auto named = [](const std::string& name) {
    for (const auto& [full, seconds] : g_seconds) {
      if (full.rfind(name + "/", 0) == 0) return full;
    }
    return std::string();
  };
  ratio(named("EngineMove").c_str(), named("MvMove").c_str());
  ratio(named("EngineCopy").c_str(), named("CpCopy").c_str());
  ratio(named("CopyEachFlushed").c_str(), named("CpCopy").c_str());
  for (const char* size : {"Small", "Large"}) {
    const std::string mvSync = named(std::string("MvSyncMoveAcross") + size);
    ratio(named(std::string("EngineMoveAcross") + size).c_str(), mvSync.c_str());
    ratio(named(std::string("EachFlushedMoveAcross") + size).c_str(), mvSync.c_str());
  }
  if (mounted) ::umount2(card.c_str(), MNT_DETACH);
  if (!shm.empty()) fs::remove_all(shm);
  fs::remove_all(g_dir);
  return 0;
}
