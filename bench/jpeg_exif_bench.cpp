// Writing a user comment into 200 camera JPEGs against exiv2 and cp, and rotating them against
// jpegtran, in the same run. Prints the ratios (ours / peer); absolute times are noise here.
#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "imagemeta/auto_rotate.h"
#include "imagemeta/jpeg_exif_file.h"
#include "support/safe_output.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
constexpr int kFiles = 200;
const std::string kComment = "BriskoExif:m_strEventID=E42|m_strPhotoGrapherID=P7|";

std::string DataDir() {
  return fs::path(__FILE__).parent_path().parent_path() / "tests/data/jpeg";
}

struct Set {
  fs::path root;
  std::vector<std::string> sources;  // 200 copies cycled from the camera files
};

Set MakeSet(const std::string& name, bool rotatableOnly) {
  Set set;
  set.root = fs::temp_directory_path() / ("brisko-bench-" + name);
  fs::remove_all(set.root);
  fs::create_directories(set.root / "src");
  std::vector<std::string> camera;
  for (const auto& e : fs::recursive_directory_iterator(DataDir())) {
    std::string p = e.path().string();
    if (e.path().extension() != ".jpg" || p.find("/broken/") != std::string::npos) continue;
    brisko::JpegExifFile f;
    if (!f.Parse(p) || f.byteOrder == 0) continue;  // camera files: EXIF present
    if (rotatableOnly && !brisko::JpegNeedsRotation(p)) continue;
    camera.push_back(p);
  }
  std::sort(camera.begin(), camera.end());
  for (int i = 0; i < kFiles; ++i) {
    std::string dst = (set.root / "src" / ("img" + std::to_string(i) + ".jpg")).string();
    fs::copy_file(camera[size_t(i) % camera.size()], dst, fs::copy_options::overwrite_existing);
    set.sources.push_back(dst);
  }
  return set;
}

int Spawn(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid;
  if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void Fresh(const fs::path& dir) {
  fs::remove_all(dir);
  fs::create_directories(dir);
}

std::map<std::string, double> g_seconds;

void Record(benchmark::State& state, const std::string& name, double seconds) {
  g_seconds[name] += seconds;
  state.counters["files"] = kFiles;
}

double Now() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

Set& CommentSet() {
  static Set s = MakeSet("comment", false);
  return s;
}
Set& RotateSet() {
  static Set s = MakeSet("rotate", true);
  return s;
}

void BM_OursWriteUserComment(benchmark::State& state) {
  Set& s = CommentSet();
  for (auto _ : state) {
    state.PauseTiming();
    Fresh(s.root / "out");
    state.ResumeTiming();
    double t0 = Now();
    for (int i = 0; i < kFiles; ++i) {
      std::string out = (s.root / "out" / ("img" + std::to_string(i) + ".jpg")).string();
      if (!brisko::WriteExifUserComment(kComment, s.sources[size_t(i)], out))
        state.SkipWithError("write failed");
    }
    Record(state, "ours comment", Now() - t0);
  }
}

// The same without the flush to disk that we do and exiv2 and cp don't.
void BM_OursWriteUserCommentNoFlush(benchmark::State& state) {
  Set& s = CommentSet();
  brisko::SafeOutput::SetFlushToDiskForBenchmark(false);
  for (auto _ : state) {
    state.PauseTiming();
    Fresh(s.root / "out");
    state.ResumeTiming();
    double t0 = Now();
    for (int i = 0; i < kFiles; ++i) {
      std::string out = (s.root / "out" / ("img" + std::to_string(i) + ".jpg")).string();
      if (!brisko::WriteExifUserComment(kComment, s.sources[size_t(i)], out))
        state.SkipWithError("write failed");
    }
    Record(state, "ours no flush", Now() - t0);
  }
  brisko::SafeOutput::SetFlushToDiskForBenchmark(true);
}

void BM_Exiv2SetUserComment(benchmark::State& state) {
  Set& s = CommentSet();
  for (auto _ : state) {
    state.PauseTiming();
    Fresh(s.root / "exiv2");
    std::vector<std::string> args = {"exiv2", "-q", "-M",
                                     "set Exif.Photo.UserComment charset=Ascii " + kComment};
    for (int i = 0; i < kFiles; ++i) {
      std::string copy = (s.root / "exiv2" / ("img" + std::to_string(i) + ".jpg")).string();
      fs::copy_file(s.sources[size_t(i)], copy);
      args.push_back(copy);
    }
    state.ResumeTiming();
    double t0 = Now();
    if (Spawn(args) < 0) state.SkipWithError("exiv2 not runnable");
    Record(state, "exiv2 comment", Now() - t0);
  }
}

void BM_CpFiles(benchmark::State& state) {
  Set& s = CommentSet();
  for (auto _ : state) {
    state.PauseTiming();
    Fresh(s.root / "cp");
    state.ResumeTiming();
    double t0 = Now();
    std::vector<std::string> args = {"cp"};
    args.insert(args.end(), s.sources.begin(), s.sources.end());
    args.push_back((s.root / "cp").string());
    if (Spawn(args) != 0) state.SkipWithError("cp failed");
    Record(state, "cp", Now() - t0);
  }
}

void BM_OursRotate(benchmark::State& state) {
  Set& s = RotateSet();
  for (auto _ : state) {
    state.PauseTiming();
    Fresh(s.root / "out");
    state.ResumeTiming();
    double t0 = Now();
    for (int i = 0; i < kFiles; ++i) {
      std::string out = (s.root / "out" / ("img" + std::to_string(i) + ".jpg")).string();
      if (!brisko::AutoRotateJpeg((s.root / "out").string(), s.sources[size_t(i)], out))
        state.SkipWithError("rotate failed");
    }
    Record(state, "ours rotate", Now() - t0);
  }
}

void BM_JpegtranRotate(benchmark::State& state) {
  Set& s = RotateSet();
  for (auto _ : state) {
    state.PauseTiming();
    Fresh(s.root / "jpegtran");
    state.ResumeTiming();
    double t0 = Now();
    for (int i = 0; i < kFiles; ++i) {
      std::string out = (s.root / "jpegtran" / ("img" + std::to_string(i) + ".jpg")).string();
      if (Spawn({"jpegtran", "-copy", "all", "-rotate", "90", "-outfile", out, s.sources[size_t(i)]}) != 0)
        state.SkipWithError("jpegtran failed");
    }
    Record(state, "jpegtran rotate", Now() - t0);
  }
}

BENCHMARK(BM_OursWriteUserComment)->Iterations(5)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_OursWriteUserCommentNoFlush)->Iterations(5)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Exiv2SetUserComment)->Iterations(5)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_CpFiles)->Iterations(5)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_OursRotate)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_JpegtranRotate)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  auto ratio = [](const char* ours, const char* peer) {
    if (!g_seconds.count(ours) || !g_seconds.count(peer) || g_seconds[peer] <= 0) return;
    std::printf("%-14s / %-16s = %.2f\n", ours, peer, g_seconds[ours] / g_seconds[peer]);
  };
  std::printf("\nRatios (time ours / time peer, %d files; below 1 is faster):\n", kFiles);
  ratio("ours comment", "exiv2 comment");
  ratio("ours comment", "cp");
  ratio("ours no flush", "exiv2 comment");
  ratio("ours no flush", "cp");
  ratio("ours rotate", "jpegtran rotate");
  for (const char* dir : {"comment", "rotate"})
    fs::remove_all(fs::temp_directory_path() / ("brisko-bench-" + std::string(dir)));
  return 0;
}
