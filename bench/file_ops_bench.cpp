// Moves 10,000 small files within one file system with the shell-style file operation and with
// `mv` (through find and xargs, for the argument length), in the same run, and prints the ratio.
// A second pair moves 1,000 files from /dev/shm into the work folder (another file system):
// there every file is copied, flushed and its folder synced before the source goes, which
// `mv` does not do, so that ratio shows the price of that safety.
// Work folders go under $BRISKO_BENCH_DIR, else the current folder.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "support/file_ops.h"
#include "support/folder_enum.h"
#include "support/shell_file_op.h"

namespace {

constexpr int kFiles = 10000;
constexpr int kCrossFiles = 1000;

std::string WorkRoot() {
  static std::string root = [] {
    const char* base = std::getenv("BRISKO_BENCH_DIR");
    std::string tmpl = std::string(base ? base : ".") + "/file_ops_bench-XXXXXX";
    char* made = mkdtemp(tmpl.data());
    if (!made) {
      std::perror("mkdtemp");
      std::exit(1);
    }
    return std::string(made);
  }();
  return root;
}

std::string ShmRoot() {
  static std::string root = [] {
    std::string tmpl = "/dev/shm/file_ops_bench-XXXXXX";
    char* made = mkdtemp(tmpl.data());
    return std::string(made ? made : "");
  }();
  return root;
}

// Fresh src/ with `count` small files and an empty dst/.
void Prepare(const std::string& src, const std::string& dst, int count, std::vector<std::string>* names) {
  std::system(("rm -rf '" + src + "' '" + dst + "'").c_str());
  brisko::CreateFolder(src);
  brisko::CreateFolder(dst);
  std::string data(200, 'x');
  for (int i = 0; i < count; ++i) {
    std::string name = "IMG_" + std::to_string(100000 + i) + ".JPG";
    int fd = open((src + "/" + name).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || write(fd, data.data(), data.size()) != static_cast<ssize_t>(data.size())) std::exit(1);
    close(fd);
    if (names) names->push_back(name);
  }
}

size_t CountFiles(const std::string& folder) {
  std::vector<brisko::FileInfo> entries;
  brisko::ListFolder(folder, "*", entries);
  return entries.size() - 2;
}

void ShellMove(benchmark::State& state, const std::string& src, const std::string& dst, int count) {
  for (auto _ : state) {
    state.PauseTiming();
    std::vector<std::string> names;
    Prepare(src, dst, count, &names);
    brisko::ShellFileOpRequest request;
    request.kind = brisko::ShellFileOpKind::Move;
    for (const std::string& name : names) {
      request.sources.push_back(src + "/" + name);
      request.targets.push_back(dst + "/" + name);
    }
    int pumped = 0;
    request.betweenFiles = [&pumped] { ++pumped; };
    state.ResumeTiming();
    bool ok = brisko::RunShellFileOperation(request);
    state.PauseTiming();
    if (!ok || CountFiles(dst) != static_cast<size_t>(count)) state.SkipWithError("move failed");
    state.ResumeTiming();
  }
}

void MvCommand(benchmark::State& state, const std::string& src, const std::string& dst, int count) {
  std::string command =
      "find '" + src + "' -mindepth 1 -maxdepth 1 -type f -print0 | xargs -0 mv -t '" + dst + "'";
  for (auto _ : state) {
    state.PauseTiming();
    Prepare(src, dst, count, nullptr);
    state.ResumeTiming();
    int rc = std::system(command.c_str());
    state.PauseTiming();
    if (rc != 0 || CountFiles(dst) != static_cast<size_t>(count)) state.SkipWithError("mv failed");
    state.ResumeTiming();
  }
}

void BM_ShellFileOperationMove(benchmark::State& state) {
  ShellMove(state, WorkRoot() + "/src", WorkRoot() + "/dst", kFiles);
}
void BM_MvCommand(benchmark::State& state) {
  MvCommand(state, WorkRoot() + "/src", WorkRoot() + "/dst", kFiles);
}
void BM_ShellFileOperationMoveAcross(benchmark::State& state) {
  ShellMove(state, ShmRoot() + "/src", WorkRoot() + "/dst", kCrossFiles);
}
void BM_MvCommandAcross(benchmark::State& state) {
  MvCommand(state, ShmRoot() + "/src", WorkRoot() + "/dst", kCrossFiles);
}

BENCHMARK(BM_ShellFileOperationMove)->Iterations(5)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_MvCommand)->Iterations(5)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ShellFileOperationMoveAcross)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_MvCommandAcross)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

// Console output plus the per-iteration real time of each benchmark, for the ratio.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.iterations > 0)
        m_seconds[run.run_name.function_name] = run.real_accumulated_time / run.iterations;
    }
  }
  std::map<std::string, double> m_seconds;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  std::system(("rm -rf '" + WorkRoot() + "' '" + ShmRoot() + "'").c_str());
  auto ratio = [&](const char* ours, const char* peer, const char* what, int count) {
    double a = reporter.m_seconds[ours], b = reporter.m_seconds[peer];
    if (a > 0 && b > 0)
      std::printf("move %d files %s: shell file operation / mv = %.2f\n", count, what, a / b);
  };
  ratio("BM_ShellFileOperationMove", "BM_MvCommand", "in one file system", kFiles);
  ratio("BM_ShellFileOperationMoveAcross", "BM_MvCommandAcross", "from /dev/shm to the work folder",
        kCrossFiles);
  return 0;
}
