#pragma once
// Decoding, encoding and the generic pixel operations of the imaging layer. Everything here
// works on `Image` buffers; libvips does the work behind this header and no other folder sees
// it. Every operation returns false with a reason instead of throwing or aborting, and every
// decode is bounded by a pixel-count cap checked before any pixels are decoded.
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

// One channel of an image as its own plane (width * height bytes).
std::vector<uint8_t> ExtractPlane(const Image& image, int channel);
// The colour of `colour` with `plane` as alpha; false when the sizes differ.
bool CombineWithPlane(const Image& colour, const std::vector<uint8_t>& plane, Image& out);
// Adds an opaque alpha channel to a 3-channel image; a 4-channel image is unchanged.
void AddAlpha(Image& image);

// Resampled to exactly width x height (each direction scaled on its own); alpha is handled
// premultiplied, so transparent pixels do not bleed their colour into the edges.
bool ResizeImage(const Image& in, int width, int height, Image& out, std::string* reason);
// Only the part (x, y, w, h) of the resampled picture, which must lie inside width x height:
// a picture far larger than what shows of it costs only what shows.
bool ResizeImagePart(const Image& in, int width, int height, int x, int y, int w, int h, Image& out,
                     std::string* reason);
// Clockwise quarter turns: degrees must be 90, 180 or 270.
bool RotateQuarter(const Image& in, int degrees, Image& out, std::string* reason);
// Clockwise by any angle; the corners are filled white (opaque on a 4-channel image).
bool RotateAny(const Image& in, double degrees, Image& out, std::string* reason);
// The part of `in` inside the rectangle, clipped to the image; false when nothing is left.
bool CropImage(const Image& in, int x, int y, int width, int height, Image& out);
// Blends `over` onto `canvas` with its top-left corner at (x, y), clipped to the canvas, with
// `over`'s alpha (when it has one) times opacity percent. The canvas keeps its channels.
void CompositeAt(Image& canvas, const Image& over, int x, int y, int opacityPercent);
// Unsharp masking / blurring with an amount in percent (0 leaves the picture unchanged).
bool SharpenImage(Image& image, int amount, std::string* reason);
bool SoftenImage(Image& image, int amount, std::string* reason);
// A straight line of `thickness` pixels in colour `rgb` (red in the low byte), clipped.
void DrawLine(Image& canvas, int x1, int y1, int x2, int y2, uint32_t rgb, int thickness = 1);

struct TextStyle {
  std::string face = "Arial";
  int pixelHeight = 20;  // size of the font in pixels
  bool bold = false;
  bool italic = false;
};
// Size of the inked area of one line of text.
bool MeasureText(const std::string& text, const TextStyle& style, int& width, int& height,
                 std::string* reason);
// One line of text as a one-channel coverage mask (its size is the measured size).
bool RenderTextMask(const std::string& text, const TextStyle& style, Image& mask, std::string* reason);
// Blends `rgb` through a one-channel mask onto the canvas at (x, y), clipped.
void DrawMask(Image& canvas, const Image& mask, int x, int y, uint32_t rgb, int opacityPercent);
// One line of text with its measured top-left at (x, y), clipped to the canvas.
bool DrawText(Image& canvas, const std::string& text, const TextStyle& style, int x, int y, uint32_t rgb,
              int opacityPercent, std::string* reason);

}  // namespace brisko
