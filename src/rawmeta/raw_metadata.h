#pragma once
// Metadata of camera RAW and HEIF files, read only, through libexiv2 (which stays in this
// folder). These files are never written: what the station adds to a shot goes into its JPEG or
// an XMP sidecar (xmp_sidecar.h). Every read is bounded: files over kMaxRawFileSize are refused,
// every libexiv2 exception is caught, and libexiv2's own messages are dropped.
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

namespace brisko {

// Larger files are not opened: the biggest RAW files of medium-format backs are a few hundred
// megabytes, and libexiv2 reads the boxes of a HEIF or CR3 file whole (its picture data too).
inline constexpr uint64_t kMaxRawFileSize = uint64_t{512} << 20;

struct RawMetadata {
  std::string dateTimeOriginal;  // "YYYY:MM:DD HH:MM:SS" as the camera wrote it; "" when none
  int orientation = 0;           // EXIF orientation 1..8; 0 when none or out of range
  bool hasGps = false;
  double latitude = 0;             // decimal degrees, north positive
  double longitude = 0;            // decimal degrees, east positive
  std::optional<double> altitude;  // metres, negative below sea level
  std::string make;                // trailing blanks removed
  std::string model;
  uint32_t width = 0;  // the stored picture's size where the file tells it; 0 when unknown
  uint32_t height = 0;
};

// True for the extensions of the RAW and HEIF files the station recognises (any letter case).
bool IsRawOrHeifPath(const std::string& path);
bool IsHeifPath(const std::string& path);

// Reads the metadata of a RAW or HEIF file. False, with the reason in `whyNot`, when the file
// cannot be read or holds no metadata libexiv2 understands. A file cut short still gives what
// its readable part holds. JPEG files are refused: their EXIF is read by the station's own reader.
bool ReadRawMetadata(const std::string& path, RawMetadata& meta, std::string* whyNot = nullptr);
// The same from bytes in memory (the fuzz target's entry).
bool ReadRawMetadataFromMemory(const uint8_t* data, size_t size, RawMetadata& meta,
                               std::string* whyNot = nullptr);

// The EXIF of a RAW or HEIF file as a TIFF block (little-endian) that fits a JPEG's EXIF
// segment: maker notes and the thumbnail are left out when the whole would not fit. False when
// the file has none.
inline constexpr size_t kMaxExifBlockSize = 65000;
bool ReadRawExifBlock(const std::string& path, std::vector<uint8_t>& tiff, std::string* whyNot = nullptr);
bool ReadRawExifBlockFromMemory(const uint8_t* data, size_t size, std::vector<uint8_t>& tiff,
                                std::string* whyNot = nullptr);

// The capture date as a calendar time read as local time, like the JPEG date taken.
bool RawCaptureTime(const RawMetadata& meta, std::time_t& when);
// The camera's JPEG preview in a RAW file: the smallest at least `minWidth` wide, else the widest
// that fits in `maxBytes`.
bool ReadRawPreview(const std::string& path, int minWidth, size_t maxBytes, std::vector<uint8_t>& jpeg,
                    std::string* whyNot = nullptr);
// The EXIF block (TIFF header first) of a HEIF file as libheif finds it: the primary picture's,
// else the first picture's that has one. For files whose EXIF libexiv2 does not find.
bool ReadHeifExifBlock(const std::string& path, std::vector<uint8_t>& tiff, std::string* whyNot = nullptr);
// Upright width greater than height; orientations 5..8 turn the stored picture a quarter. A
// file without a size counts as landscape, as camera sensors are.
bool RawIsLandscape(const RawMetadata& meta);

// "exiv2 0.27.6": for the log and the report of what the station runs with.
std::string RawMetadataLibraryVersion();

}  // namespace brisko
