// Print job records found in the temp folder: arbitrary bytes, then written and read back.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "engine/printing/print_record.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  brisko::PrintRecord record;
  if (brisko::ParsePrintRecord(text, record)) {
    const std::string written = brisko::FormatPrintRecord(record);
    brisko::PrintRecord again;
    if (!brisko::ParsePrintRecord(written, again) || brisko::FormatPrintRecord(again) != written)
      std::abort();
  }
  return 0;
}
