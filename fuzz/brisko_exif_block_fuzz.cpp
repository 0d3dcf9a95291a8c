// Parses arbitrary user comments as BriskoExif blocks and checks that a rebuilt block parses
// back to the same field set.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "naming/brisko_exif_fields.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string comment(reinterpret_cast<const char*>(data), size);
  brisko::BriskoExifFields fields;
  fields.ParseBlock(comment);
  brisko::BriskoExifFields again;
  again.ParseBlock(fields.BuildBlock());
  // Parsed values hold no separator and are never empty, so they survive a rebuild; only a
  // batch ID of 0 or below is left out of the block.
  if (fields.m_iBatchID <= 0) again.m_iBatchID = fields.m_iBatchID;
  if (!(again == fields)) std::abort();
  brisko::BriskoExifCustomMap map;
  map.FromText(comment);
  brisko::BriskoExifCustomMap back;
  back.FromText(map.ToText());
  if (!(back == map)) std::abort();
  return 0;
}
