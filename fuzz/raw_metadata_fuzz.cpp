// RAW and HEIF metadata through libexiv2, and the XMP sidecar merge: the first byte chooses.
// Values that come out must be within their ranges, whatever the input.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "rawmeta/raw_metadata.h"
#include "rawmeta/xmp_sidecar.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  if (data[0] & 1) {
    brisko::RawMetadata meta;
    std::string why;
    if (brisko::ReadRawMetadataFromMemory(data + 1, size - 1, meta, &why)) {
      if (meta.orientation < 0 || meta.orientation > 8) std::abort();
      if (meta.make.size() > 256 || meta.model.size() > 256 || meta.dateTimeOriginal.size() > 256)
        std::abort();
      if (meta.hasGps && !(std::fabs(meta.latitude) <= 90 && std::fabs(meta.longitude) <= 180)) std::abort();
      std::time_t when;
      brisko::RawCaptureTime(meta, when);
      brisko::RawIsLandscape(meta);
    } else if (why.empty()) {
      std::abort();
    }
    std::vector<uint8_t> tiff;
    if (brisko::ReadRawExifBlockFromMemory(data + 1, size - 1, tiff, &why) &&
        (tiff.empty() || tiff.size() > brisko::kMaxExifBlockSize))
      std::abort();
  } else {
    const std::string existing(reinterpret_cast<const char*>(data + 1), size - 1);
    std::string merged, why;
    if (brisko::MergeSidecarUserComment(existing, existing.substr(0, 64), merged, &why)) {
      // What was written must read back as a packet.
      std::string again;
      if (!brisko::MergeSidecarUserComment(merged, "x", again, &why)) std::abort();
    }
  }
  return 0;
}
