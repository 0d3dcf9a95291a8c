// Tag batch records found in the temp folder at start: arbitrary bytes, then written and read back.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "engine/records/tag_batch.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  brisko::MoveBatchRecord record;
  if (brisko::ParseTagBatchRecord(text, record)) {
    if (record.entries.empty()) std::abort();
    const std::string written = brisko::FormatTagBatchRecord(record);
    brisko::MoveBatchRecord again;
    if (!brisko::ParseTagBatchRecord(written, again) || brisko::FormatTagBatchRecord(again) != written)
      std::abort();
  }
  return 0;
}
