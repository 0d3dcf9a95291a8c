// Filtering a folder of 10,000 entries: our engine, which compiles every pattern afresh for each
// entry as the file filter does, against std::regex (ECMAScript, icase) compiled once. Prints the
// time ratios at the end (CPU time of std::regex / ours; above 1 means we are faster).
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "support/file_spec_find.h"
#include "support/folder_enum.h"

using namespace brisko;

namespace {

struct Folder {
  std::string path;
  std::vector<FileInfo> entries;
  Folder() {
    struct stat st {};
    std::string base = stat("/dev/shm", &st) == 0 ? "/dev/shm" : "/tmp";
    std::string tmpl = base + "/brisko-bench-XXXXXX";
    path = mkdtemp(tmpl.data());
    const char* forms[] = {"IMG_%05d.JPG",     "img_%05d.jpeg",  "DSC%05d.NEF",
                           "photo_%d.png",     "notes_%d.txt",   "\xc3\x89t\xc3\xa9_%d.jpg",
                           "img_%05d.jpg.bak", "IMG_%d_edit.jpg"};
    for (int i = 0; i < 10000; ++i) {
      char name[64];
      std::snprintf(name, sizeof name, forms[i % 8], i);
      if (i % 500 == 0) {
        mkdir((path + "/" + name).c_str(), 0755);
      } else {
        std::ofstream(path + "/" + name);
      }
    }
    ListFolder(path, "*.*", entries);
  }
  ~Folder() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
  }
};

Folder& TheFolder() {
  static Folder folder;
  return folder;
}

struct Case {
  const char* spec;
  bool regex;
};
const Case kWildcard{"*.jpg|*.jpeg", false};
const Case kRegex{"^img_\\d+\\.jpg$", true};

int OursCount(const Case& c) {
  FileSpecFilter filter;
  filter.SetSpecs(c.spec, "", c.regex);
  int n = 0;
  for (const FileInfo& e : TheFolder().entries) n += filter.Passes(e.name, e.directory);
  return n;
}

std::vector<std::regex> StdPatterns(const Case& c) {
  std::vector<std::regex> out;
  for (const std::string& e : SplitFileSpec(c.spec))
    out.emplace_back(c.regex ? e : WildcardToRegExp(e), std::regex::ECMAScript | std::regex::icase);
  return out;
}

int StdCount(const std::vector<std::regex>& patterns) {
  int n = 0;
  for (const FileInfo& e : TheFolder().entries) {
    bool pass = e.directory;
    for (size_t i = 0; !pass && i < patterns.size(); ++i) pass = std::regex_search(e.name, patterns[i]);
    n += pass;
  }
  return n;
}

void BM_Ours(benchmark::State& state, Case c) {
  for (auto _ : state) benchmark::DoNotOptimize(OursCount(c));
  state.counters["passed"] = OursCount(c);
}

void BM_StdRegex(benchmark::State& state, Case c) {
  auto patterns = StdPatterns(c);
  for (auto _ : state) benchmark::DoNotOptimize(StdCount(patterns));
  state.counters["passed"] = StdCount(patterns);
}

// The whole enumeration, listing included, as file selection runs it.
void BM_OursFind(benchmark::State& state, Case c) {
  for (auto _ : state) {
    CFileSpecFind find;
    int n = 0;
    bool more = find.FindFile(TheFolder().path, c.spec, "", c.regex);
    while (more) {
      more = find.FindNextFile();
      ++n;
    }
    benchmark::DoNotOptimize(n);
  }
}

void BM_StdRegexFind(benchmark::State& state, Case c) {
  auto patterns = StdPatterns(c);
  for (auto _ : state) {
    std::vector<FileInfo> entries;
    ListFolder(TheFolder().path, "*.*", entries);
    int n = 0;
    for (const FileInfo& e : entries) {
      bool pass = e.directory;
      for (size_t i = 0; !pass && i < patterns.size(); ++i) pass = std::regex_search(e.name, patterns[i]);
      n += pass;
    }
    benchmark::DoNotOptimize(n);
  }
}

BENCHMARK_CAPTURE(BM_Ours, wildcard, kWildcard)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_StdRegex, wildcard, kWildcard)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Ours, regex, kRegex)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_StdRegex, regex, kRegex)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_OursFind, wildcard, kWildcard)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_StdRegexFind, wildcard, kWildcard)->Unit(benchmark::kMillisecond);

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs)
      if (r.run_type == Run::RT_Iteration) times[r.benchmark_name()] = r.GetAdjustedCPUTime();
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> times;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  for (const Case& c : {kWildcard, kRegex}) {
    int ours = OursCount(c);
    int theirs = StdCount(StdPatterns(c));
    std::printf("%s: %d of %zu entries pass (std::regex: %d)\n", c.spec, ours, TheFolder().entries.size(),
                theirs);
    if (ours != theirs) {
      std::fprintf(stderr, "decisions differ for %s\n", c.spec);
      return 1;
    }
  }
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  auto ratio = [&](const char* label, const std::string& ours, const std::string& theirs) {
    if (reporter.times.count(ours) && reporter.times.count(theirs))
      std::printf("%-44s std::regex / ours = %.2f\n", label, reporter.times[theirs] / reporter.times[ours]);
  };
  ratio("filter decisions, \"*.jpg|*.jpeg\":", "BM_Ours/wildcard", "BM_StdRegex/wildcard");
  ratio("filter decisions, \"^img_\\d+\\.jpg$\" (regex):", "BM_Ours/regex", "BM_StdRegex/regex");
  ratio("listing + filter, \"*.jpg|*.jpeg\":", "BM_OursFind/wildcard", "BM_StdRegexFind/wildcard");
  benchmark::Shutdown();
  return 0;
}
