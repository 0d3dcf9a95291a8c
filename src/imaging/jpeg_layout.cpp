#include "imaging/jpeg_layout.h"

#include <cstring>
#include <utility>

namespace brisko {

namespace {

uint16_t Be16(const uint8_t* p) {
  return uint16_t(p[0] << 8 | p[1]);
}

bool Refuse(std::string* reason, std::string text) {
  if (reason) *reason = std::move(text);
  return false;
}

}  // namespace

bool InspectJpeg(const uint8_t* data, size_t size, JpegLayout& layout, std::string* reason) {
  layout = JpegLayout{};
  if (!data || size < 4 || data[0] != 0xFF || data[1] != 0xD8) return Refuse(reason, "not a JPEG file");
  const std::string cut = "the JPEG file is cut short";
  bool frame = false;
  size_t pos = 2;
  for (;;) {
    // Stray bytes between segments are skipped, as the decoder does.
    const void* ff = pos < size ? std::memchr(data + pos, 0xFF, size - pos) : nullptr;
    if (!ff) return Refuse(reason, cut);
    pos = size_t(static_cast<const uint8_t*>(ff) - data);
    while (pos < size && data[pos] == 0xFF) ++pos;
    if (pos >= size) return Refuse(reason, cut);
    const uint8_t marker = data[pos++];
    if (marker == 0xD9) {
      if (layout.scans == 0) return Refuse(reason, "the JPEG file has no picture data");
      return true;
    }
    if (marker == 0x00 || marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) continue;
    if (marker == 0xD8) return Refuse(reason, "the JPEG file starts a second picture inside the first");
    if (pos + 2 > size) return Refuse(reason, cut);
    const size_t length = Be16(data + pos);
    if (length < 2) return Refuse(reason, "the JPEG file has a segment of length " + std::to_string(length));
    if (pos + length > size) return Refuse(reason, cut);
    const uint8_t* body = data + pos + 2;
    if ((marker >= 0xE0 && marker <= 0xEF) || marker == 0xFE) {
      if (++layout.segments > kMaxJpegSegments)
        return Refuse(reason, "the JPEG file has more than " + std::to_string(kMaxJpegSegments) +
                                  " APPn/COM segments (a camera writes a few)");
    } else if (marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC) {
      if (frame) return Refuse(reason, "the JPEG file has a second frame header");
      if (length < 8) return Refuse(reason, "the JPEG frame header is too short");
      frame = true;
      layout.height = Be16(body + 1);
      layout.width = Be16(body + 3);
      layout.components = body[5];
      layout.multiScan = marker == 0xC2 || marker == 0xC6 || marker == 0xCA || marker == 0xCE;
      if (layout.width == 0 || layout.height == 0 || layout.components == 0)
        return Refuse(reason, "the JPEG frame header gives no picture size");
    } else if (marker == 0xDA) {
      if (!frame) return Refuse(reason, "the JPEG file has picture data before its frame header");
      if (++layout.scans > kMaxJpegScans)
        return Refuse(reason, "the JPEG file has more than " + std::to_string(kMaxJpegScans) +
                                  " scans (a camera writes at most a dozen)");
      if (length >= 3 && body[0] < layout.components) layout.multiScan = true;
      // The entropy-coded data ends at the first marker that is not a stuffed byte or a restart.
      pos += length;
      for (;;) {
        const void* next = pos < size ? std::memchr(data + pos, 0xFF, size - pos) : nullptr;
        if (!next) return Refuse(reason, cut);
        pos = size_t(static_cast<const uint8_t*>(next) - data);
        if (pos + 1 >= size) return Refuse(reason, cut);
        const uint8_t b = data[pos + 1];
        if (b == 0x00 || (b >= 0xD0 && b <= 0xD7)) {
          pos += 2;
          continue;
        }
        if (b == 0xFF) {
          ++pos;
          continue;
        }
        break;
      }
      continue;
    }
    pos += length;
  }
}

}  // namespace brisko
