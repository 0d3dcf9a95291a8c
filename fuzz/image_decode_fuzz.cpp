// Decodes arbitrary bytes with each decoder the album format names; the first byte picks it.
// Every input also goes through the JPEG marker walk.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "imaging/image_codec.h"
#include "imaging/jpeg_layout.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const int kFormats[] = {brisko::kFormatJpeg, brisko::kFormatPng,  brisko::kFormatBmp,
                                 brisko::kFormatPcx,  brisko::kFormatTiff, brisko::kFormatTga,
                                 brisko::kFormatWmf,  brisko::kFormatPsd,  brisko::kFormatWbmp};
  if (size < 1) return 0;
  const int format = kFormats[data[0] % (sizeof kFormats / sizeof kFormats[0])];
  brisko::Image image;
  std::string reason;
  brisko::DecodeOptions options;
  options.maxPixels = 4'000'000;  // keeps each run short; the cap itself is what is exercised
  options.targetWidth = data[0] & 0x80 ? 64 : 0;
  options.targetHeight = options.targetWidth;
  // The marker walk is linear and holds to its limits; a JPEG it refuses is never decoded.
  brisko::JpegLayout layout;
  std::string why;
  const bool walked = brisko::InspectJpeg(data + 1, size - 1, layout, &why);
  if (walked && (layout.scans < 1 || layout.scans > brisko::kMaxJpegScans ||
                 layout.segments > brisko::kMaxJpegSegments || layout.width < 1 || layout.height < 1))
    std::abort();
  if (!walked && why.empty()) std::abort();
  const bool decoded = brisko::DecodeImage(data + 1, size - 1, format, image, &reason, options);
  if (decoded && format == brisko::kFormatJpeg && !walked) std::abort();
  if (decoded) {
    if (image.channels != 3 && image.channels != 4) std::abort();
    if (image.pixels.size() != image.Stride() * size_t(image.height)) std::abort();
    if (uint64_t(image.width) * uint64_t(image.height) > options.maxPixels) std::abort();
  } else if (reason.empty()) {
    std::abort();
  }
  return 0;
}
