#pragma once
// Painting onto and taking apart decoded pictures: planes, blending, sharpening, lines.
#include <cstdint>
#include <string>
#include <vector>

#include "imaging/image.h"

namespace brisko {

// One channel of an image as its own plane (width * height bytes).
std::vector<uint8_t> ExtractPlane(const Image& image, int channel);
// The colour of `colour` with `plane` as alpha; false when the sizes differ.
bool CombineWithPlane(const Image& colour, const std::vector<uint8_t>& plane, Image& out);
// Adds an opaque alpha channel to a 3-channel image; a 4-channel image is unchanged.
void AddAlpha(Image& image);

// Blends `over` onto `canvas` with its top-left corner at (x, y), clipped to the canvas, with
// `over`'s alpha (when it has one) times opacity percent. The canvas keeps its channels.
void CompositeAt(Image& canvas, const Image& over, int x, int y, int opacityPercent);
// Unsharp masking / blurring with an amount in percent (0 leaves the picture unchanged).
bool SharpenImage(Image& image, int amount, std::string* reason);
bool SoftenImage(Image& image, int amount, std::string* reason);
// A straight line of `thickness` pixels in colour `rgb` (red in the low byte), clipped.
void DrawLine(Image& canvas, int x1, int y1, int x2, int y2, uint32_t rgb, int thickness = 1);

// Blends `rgb` through a one-channel mask onto the canvas at (x, y), clipped.
void DrawMask(Image& canvas, const Image& mask, int x, int y, uint32_t rgb, int opacityPercent);

}  // namespace brisko
