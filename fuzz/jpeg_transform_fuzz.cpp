// Quarter-turns arbitrary bytes as a JPEG (as done for photos and their EXIF thumbnails); run
// with -rss_limit_mb and -timeout, since the danger is memory and time, not only crashes.
#include <cstdint>
#include <vector>

#include "imaging/jpeg_transform.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> out;
  if (!brisko::JpegLosslessTransform(data, size, brisko::JpegTransformCode::Rotate90, out)) return 0;
  std::vector<uint8_t> pixels;
  int w = 0, h = 0, c = 0;
  brisko::JpegDecodePixels(out, pixels, w, h, c);
  return 0;
}
