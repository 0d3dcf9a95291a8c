#pragma once
// Resampling, turning and cutting decoded pictures.
#include <cstdint>
#include <string>
#include <vector>

#include "imaging/image.h"

namespace brisko {

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

}  // namespace brisko
