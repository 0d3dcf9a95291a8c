// Upload queue records: anything parses or is refused; what parses is written back the same.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "engine/records/upload_queue.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  brisko::UploadRecordText record;
  if (!brisko::ParseUploadRecord(text, record)) return 0;
  brisko::UploadRecordText again;
  if (!brisko::ParseUploadRecord(brisko::FormatUploadRecord(record), again)) std::abort();
  if (brisko::FormatUploadRecord(again) != brisko::FormatUploadRecord(record)) std::abort();
  return 0;
}
