#pragma once
// Decoding and encoding pictures into and out of `Image` buffers; libvips does the work behind
// this header and no other folder sees it. Every operation returns false with a reason instead of throwing or
// aborting, and every decode is bounded by a pixel-count cap checked before any pixels are decoded.
//
// Format codes are the album format's identifiers:
//   1 JPEG, 3 PNG, 6 BMP, 9 PCX, 12 TIFF, 16 TGA, 19 WMF, 20 PSD, 23 EMF, 24 WBMP,
//   25 transparent compound (colour + mask, assembled by the album layer), 0 unknown.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "imaging/image.h"

namespace brisko {

enum ImageFormat : int {
  kFormatUnknown = 0,
  kFormatJpeg = 1,
  kFormatPng = 3,
  kFormatBmp = 6,
  kFormatPcx = 9,
  kFormatTiff = 12,
  kFormatTga = 16,
  kFormatWmf = 19,
  kFormatPsd = 20,
  kFormatEmf = 23,
  kFormatWbmp = 24,
  kFormatCompound = 25,
  // HEIF/HEIC photos (shown upright by their own rotation and mirroring): read, never written,
  // and no format of the album file.
  kFormatHeif = 64,
};

// The format of a file by its extension, compared case-insensitively; 0 when not in the table
// (".heic", ".heif" and ".hif" give kFormatHeif).
int ImageFormatFromPath(const std::string& path);
// The extension written for a format code (".jpg", ".png", ...); empty for 0 and 25.
const char* ImageFormatExtension(int format);

// 120 megapixels: above the largest camera sensors, about 360 MiB as RGB.
inline constexpr uint64_t kDefaultMaxPixels = 120'000'000;

struct DecodeOptions {
  // When both are above 0, a JPEG may be decoded at 1/2, 1/4 or 1/8 scale as long as the
  // result stays at least this large in both directions.
  int targetWidth = 0;
  int targetHeight = 0;
  uint64_t maxPixels = kDefaultMaxPixels;  // of the full-size picture
};

// The result has 3 channels, or 4 when the file has transparency. Greyscale, palette,
// 16-bit and CMYK pictures are converted to 8-bit sRGB.
bool DecodeImage(const uint8_t* data, size_t size, int format, Image& out, std::string* reason,
                 const DecodeOptions& options = {});
bool DecodeImageFile(const std::string& path, int format, Image& out, std::string* reason,
                     const DecodeOptions& options = {});
// Width and height from the header only (no pixels decoded).
bool ReadImageSize(const std::string& path, int format, int& width, int& height, std::string* reason);

// What decoding a picture would give and cost, read from its header only: the size after any
// reduced-scale decoding the options allow and the bytes the decode holds at its peak.
struct ImageHeader {
  int width = 0;  // full size
  int height = 0;
  int decodedWidth = 0;  // at the scale DecodeImage would use
  int decodedHeight = 0;
  uint64_t decodeBytes = 0;
};
bool ReadImageHeader(const uint8_t* data, size_t size, int format, ImageHeader& header, std::string* reason,
                     const DecodeOptions& options = {});
bool ReadImageFileHeader(const std::string& path, int format, ImageHeader& header, std::string* reason,
                         const DecodeOptions& options = {});

// Encodes to memory in the given format (JPEG, PNG, BMP, TIFF, TGA, PCX, PSD, WBMP).
bool EncodeImage(const Image& image, int format, std::vector<uint8_t>& out, std::string* reason,
                 int jpegQuality = 92);
// Writes `path` in the format of its extension, through a temporary file renamed into place
// (an existing file of that name is replaced).
bool EncodeImageFile(const Image& image, const std::string& path, std::string* reason, int jpegQuality = 92);

}  // namespace brisko
