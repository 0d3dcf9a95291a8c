#pragma once
// Byte helpers and limits shared by the reading and the writing half of JpegExifFile.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "imagemeta/jpeg_exif_file.h"

namespace brisko::exif_detail {

void Trace(const char* format, ...) __attribute__((format(printf, 1, 2)));

constexpr uint16_t kSOI = 0xFFD8;
constexpr uint16_t kEOI = 0xFFD9;
constexpr uint16_t kSOS = 0xFFDA;
constexpr uint16_t kAPP0 = 0xFFE0;
constexpr uint16_t kAPP1 = 0xFFE1;
constexpr uint16_t kAPP2 = 0xFFE2;
constexpr size_t kTiffStart = 6;  // after "Exif\0\0"
constexpr size_t kMaxApp1Payload = 0xFFFF - 2;

inline uint16_t Be16(const uint8_t* p) {
  return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

inline uint16_t Get16(const uint8_t* p, char order) {
  return order == 'M' ? static_cast<uint16_t>((p[0] << 8) | p[1]) : static_cast<uint16_t>(p[0] | (p[1] << 8));
}

inline uint32_t Get32(const uint8_t* p, char order) {
  if (order == 'M') return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
  return (uint32_t(p[3]) << 24) | (uint32_t(p[2]) << 16) | (uint32_t(p[1]) << 8) | p[0];
}

inline void Put16(uint8_t* p, uint16_t v, char order) {
  if (order == 'M') {
    p[0] = uint8_t(v >> 8);
    p[1] = uint8_t(v);
  } else {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
  }
}

inline void Put32(uint8_t* p, uint32_t v, char order) {
  if (order == 'M') {
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
  } else {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
  }
}

inline bool IsExifApp1(const JpegSegment& s) {
  return s.marker == kAPP1 && s.data.size() >= 6 && std::memcmp(s.data.data(), "Exif", 4) == 0;
}

inline bool IsMpfApp2(const JpegSegment& s) {
  return s.marker == kAPP2 && s.data.size() >= 12 && std::memcmp(s.data.data(), "MPF", 4) == 0;
}

uint32_t EntryNumber(const ExifEntry& e);
bool HasTag(const std::vector<ExifEntry>& list, uint16_t tag);
// Inserts before the first entry with a higher tag, so that a sorted directory stays sorted.
void InsertSorted(std::vector<ExifEntry>& list, ExifEntry e);
ExifEntry PointerEntry(uint16_t tag, char order);

}  // namespace brisko::exif_detail
