// Parses arbitrary user comments as BriskoExif blocks and checks that a built block reads back
// to the same block.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "naming/brisko_exif_fields.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string comment(reinterpret_cast<const char*>(data), size);
  brisko::BriskoExifFields fields;
  fields.ParseBlock(comment);
  const std::string block = fields.BuildBlock();
  brisko::BriskoExifFields again;
  again.ParseBlock(block);
  if (again.BuildBlock() != block) std::abort();
  brisko::BriskoExifCustomMap map;
  map.FromText(comment);
  brisko::BriskoExifCustomMap back;
  back.FromText(map.ToText());
  if (!(back == map)) std::abort();
  return 0;
}
