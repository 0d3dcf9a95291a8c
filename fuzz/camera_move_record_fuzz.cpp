// Records of moves off a camera found in the temp folder at start (and the list of what a camera
// refusing deletes kept, in the same form): arbitrary bytes, then written and read back.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "engine/records/camera_move_record.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  brisko::CameraMoveRecord record;
  if (!brisko::ParseCameraMoveRecord(text, record)) return 0;
  // What was read must survive a write and a new read unchanged.
  const std::string written = brisko::FormatCameraMoveRecord(record);
  brisko::CameraMoveRecord again;
  if (!brisko::ParseCameraMoveRecord(written, again) || brisko::FormatCameraMoveRecord(again) != written)
    std::abort();
  return 0;
}
