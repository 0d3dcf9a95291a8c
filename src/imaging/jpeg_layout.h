#pragma once
// The layout of a JPEG file read from its markers alone, before anything decodes it.
#include <cstddef>
#include <cstdint>
#include <string>

namespace brisko {

// A JPEG is walked marker by marker before it is decoded. Every scan of a progressive picture
// is a pass over all its coefficients and the decoder keeps the list of APPn/COM segments in a
// way that grows quadratically, so a small hostile file could cost minutes; real cameras write
// at most a dozen scans and a handful of segments.
inline constexpr int kMaxJpegScans = 1000;
inline constexpr int kMaxJpegSegments = 1000;  // APPn and COM together

struct JpegLayout {
  int width = 0;
  int height = 0;
  int components = 0;
  bool multiScan = false;  // progressive or several scans: the decoder holds every coefficient
  int scans = 0;
  int segments = 0;  // APPn and COM
};
// One linear walk over the markers up to EOI: false with the reason for a file that is not a
// JPEG, has no frame or scan, ends before EOI (cut short), or passes the limits above.
bool InspectJpeg(const uint8_t* data, size_t size, JpegLayout& layout, std::string* reason);

}  // namespace brisko
