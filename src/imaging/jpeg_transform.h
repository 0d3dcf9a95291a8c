#pragma once
// Lossless JPEG transforms (quarter turns without re-encoding) on libjpeg-turbo's tjTransform.
#include <cstdint>
#include <string>
#include <vector>

namespace brisko {

// libjpeg's transform numbering.
enum class JpegTransformCode : int { Rotate90 = 5, Rotate270 = 7 };

// Partial edge blocks (an image size that is not a multiple of the MCU) cannot be rotated
// losslessly; they are trimmed away, as `jpegtran -trim` does. Markers are copied. A picture on
// which libjpeg only warns about something harmless (stray bytes between segments, an odd JFIF
// version) is transformed and the warning given in `warning`; damaged scan data fails, with the
// reason in `error`.
bool JpegLosslessTransform(const uint8_t* data, size_t size, JpegTransformCode code,
                           std::vector<uint8_t>& out, std::string* error = nullptr,
                           std::string* warning = nullptr);

// Whether every warning libjpeg gives while reading the picture's coefficients is harmless; the
// first warning's text goes to `message`.
bool JpegWarningsAreBenign(const uint8_t* data, size_t size, std::string* message = nullptr);
bool JpegLosslessTransformFile(const std::string& sourcePath, const std::string& destinationPath,
                               JpegTransformCode code, std::string* error = nullptr);

// Decodes to 8-bit RGB (or gray for one-component images); used to compare pixels.
bool JpegDecodePixels(const std::vector<uint8_t>& jpeg, std::vector<uint8_t>& pixels, int& width, int& height,
                      int& channels);

bool ReadWholeFile(const std::string& path, std::vector<uint8_t>& out, size_t maxSize = size_t(1) << 31);

}  // namespace brisko
