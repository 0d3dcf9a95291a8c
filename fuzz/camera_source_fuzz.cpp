// Camera names in an action's source text (from the store, a backup or the editor) and the
// records of camera moves found in the temp folder: arbitrary bytes, then written and read back.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "camera/camera_source.h"
#include "engine/records/camera_move_record.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::string why;
  if (const auto source = brisko::ParseCameraSource(text, &why)) {
    // The name it gives back names the same camera.
    const auto again = brisko::ParseCameraSource(source->Text());
    if (!again || again->port != source->port || again->kind != source->kind) std::abort();
  } else if (why.empty()) {
    std::abort();
  }
  brisko::CameraMoveRecord record;
  if (brisko::ParseCameraMoveRecord(text, record)) {
    const std::string written = brisko::FormatCameraMoveRecord(record);
    brisko::CameraMoveRecord again;
    if (!brisko::ParseCameraMoveRecord(written, again) || brisko::FormatCameraMoveRecord(again) != written)
      std::abort();
  }
  return 0;
}
