// Writes and reads back 100 actions' worth of values (90 values in each of 100 sections)
// through SettingsStore, against the same values in one transaction with one prepared
// statement on a plain SQLite connection. Prints the ratio.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "support/settings_store.h"

namespace {

constexpr int kSections = 100;
constexpr int kValues = 90;

std::string TempDb(const char* tag) {
  std::string p = std::string("/tmp/brisko-bench-") + tag + "-" + std::to_string(getpid()) + ".db";
  for (const char* suffix : {"", "-wal", "-shm"}) unlink((p + suffix).c_str());
  return p;
}

void Cleanup(const std::string& p) {
  for (const char* suffix : {"", "-wal", "-shm"}) unlink((p + suffix).c_str());
}

void BM_SettingsStore(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    std::string path = TempDb("store");
    brisko::SettingsStore store;
    store.Open(path);
    state.ResumeTiming();
    for (int s = 0; s < kSections; ++s) {
      std::string section = "Action_" + std::to_string(s);
      for (int v = 0; v < kValues; ++v) {
        if (v % 2)
          store.WriteProfileInt(section, "m_iValue" + std::to_string(v), v);
        else
          store.WriteProfileString(section, "m_strValue" + std::to_string(v), "some text value");
      }
    }
    long sum = 0;
    for (int s = 0; s < kSections; ++s) {
      std::string section = "Action_" + std::to_string(s);
      for (int v = 0; v < kValues; ++v) {
        if (v % 2)
          sum += store.GetProfileInt(section, "m_iValue" + std::to_string(v), 0);
        else
          sum +=
              static_cast<long>(store.GetProfileString(section, "m_strValue" + std::to_string(v), "").size());
      }
    }
    benchmark::DoNotOptimize(sum);
    state.PauseTiming();
    Cleanup(path);
    state.ResumeTiming();
  }
  state.counters["values"] = kSections * kValues;
}

void BM_PlainSqlite(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    std::string path = TempDb("plain");
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    sqlite3_exec(db,
                 "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;"
                 "CREATE TABLE v(section TEXT, name TEXT, data BLOB, PRIMARY KEY(section, name));",
                 nullptr, nullptr, nullptr);
    state.ResumeTiming();
    sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    sqlite3_stmt* ins = nullptr;
    sqlite3_prepare_v2(db, "INSERT OR REPLACE INTO v VALUES(?1, ?2, ?3)", -1, &ins, nullptr);
    for (int s = 0; s < kSections; ++s) {
      std::string section = "Action_" + std::to_string(s);
      for (int v = 0; v < kValues; ++v) {
        std::string name = (v % 2 ? "m_iValue" : "m_strValue") + std::to_string(v);
        sqlite3_bind_text(ins, 1, section.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(ins, 2, name.c_str(), -1, SQLITE_TRANSIENT);
        if (v % 2)
          sqlite3_bind_int(ins, 3, v);
        else
          sqlite3_bind_text(ins, 3, "some text value", -1, SQLITE_STATIC);
        sqlite3_step(ins);
        sqlite3_reset(ins);
      }
    }
    sqlite3_finalize(ins);
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_stmt* sel = nullptr;
    sqlite3_prepare_v2(db, "SELECT data FROM v WHERE section=?1 AND name=?2", -1, &sel, nullptr);
    long sum = 0;
    for (int s = 0; s < kSections; ++s) {
      std::string section = "Action_" + std::to_string(s);
      for (int v = 0; v < kValues; ++v) {
        std::string name = (v % 2 ? "m_iValue" : "m_strValue") + std::to_string(v);
        sqlite3_bind_text(sel, 1, section.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(sel, 2, name.c_str(), -1, SQLITE_TRANSIENT);
        if (sqlite3_step(sel) == SQLITE_ROW) sum += sqlite3_column_bytes(sel, 0);
        sqlite3_reset(sel);
      }
    }
    sqlite3_finalize(sel);
    benchmark::DoNotOptimize(sum);
    state.PauseTiming();
    sqlite3_close(db);
    Cleanup(path);
    state.ResumeTiming();
  }
}

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const auto& r : runs) {
      if (r.run_type != Run::RT_Iteration) continue;
      if (r.benchmark_name().rfind("BM_SettingsStore", 0) == 0) {
        ours = r.GetAdjustedRealTime();
        oursCpu = r.GetAdjustedCPUTime();
      }
      if (r.benchmark_name().rfind("BM_PlainSqlite", 0) == 0) {
        peer = r.GetAdjustedRealTime();
        peerCpu = r.GetAdjustedCPUTime();
      }
    }
  }
  double ours = 0, peer = 0, oursCpu = 0, peerCpu = 0;
};

}  // namespace

BENCHMARK(BM_SettingsStore)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_PlainSqlite)->Unit(benchmark::kMillisecond)->Iterations(3);

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  if (reporter.peer > 0)
    std::printf("SettingsStore / plain SQLite in one transaction: %.1fx wall, %.1fx CPU\n",
                reporter.ours / reporter.peer, reporter.oursCpu / reporter.peerCpu);
  return 0;
}
