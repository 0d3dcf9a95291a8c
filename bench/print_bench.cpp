// Prints files the way the station does: each one recorded, submitted, waited for until CUPS
// completed it, then moved on, one job in flight per printer. Prints the seconds from the
// first submission to the last completed job (tools/bench.sh compares that with lp).
//
//   print_bench QUEUE RECORD_FOLDER DONE_FOLDER FILE...   (CUPS_SERVER names the cupsd)
#include <cstdio>
#include <filesystem>
#include <string>

#include "engine/print_record.h"
#include "print/print_once.h"
#include "support/logger.h"

int main(int argc, char** argv) {
  if (argc < 5) {
    std::fprintf(stderr, "usage: %s QUEUE RECORD_FOLDER DONE_FOLDER FILE...\n", argv[0]);
    return 2;
  }
  const std::string queue = argv[1], records = argv[2], done = argv[3];
  auto service = brisko::MakeCupsPrintService();
  brisko::PrintRecordFiles store(records);
  brisko::PrintOnce once(*service, store,
                         [](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); });
  const int64_t t0 = brisko::MonotonicMs();
  for (int i = 4; i < argc; i++) {
    const std::string file = argv[i];
    std::string name;
    once.Start({queue, file, "", 1, "", brisko::PrintScaling::Default, false}, &name);
    if (once.Wait(name, 120000, 50) != brisko::PrintOutcome::Completed) {
      std::fprintf(stderr, "%s was not printed\n", file.c_str());
      return 1;
    }
    std::error_code ec;
    std::filesystem::rename(file, done + "/" + std::filesystem::path(file).filename().string(), ec);
    once.Finish(name);
  }
  std::printf("%.4f\n", static_cast<double>(brisko::MonotonicMs() - t0) / 1000.0);
  return 0;
}
