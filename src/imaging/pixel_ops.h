#pragma once
// The template's per-pixel passes on a decoded photo: transparency (colour keys, colour range,
// background subtraction, colour spill, edge softening) and colour treatment. Integer arithmetic
// throughout, so a template renders the same everywhere.
#include <cstdint>
#include <vector>

#include "imaging/image.h"

namespace brisko {

struct Rgb {
  uint8_t r = 0, g = 0, b = 0;
};

// A colour made transparent: pixels near it (after moving it to the pixel's brightness) lose
// alpha, fully within `tol1`, graded within `tol1` + `tol2`.
struct ColourKey {
  Rgb colour;
  int tol1 = 0;
  int tol2 = 0;
  int brightnessTol = 0;
};

struct TransparencyParams {
  bool useKeys = false;
  std::vector<ColourKey> keys;

  // A band of colours from `rangeShadow` to `rangeHilite`; only used when both are non-black.
  bool useRange = false;
  Rgb rangeHilite;
  Rgb rangeShadow;
  int rangeTol1 = 0;
  int rangeTol2 = 0;

  // Compared against the background image passed to ApplyTransparency, pixel by pixel.
  bool useSubtraction = false;
  int subtractionTol1 = 0;
  int subtractionTol2 = 0;
  int subtractionBrightnessTol = 0;

  int despeckleCount = 2;
};

// 0 red, 1 green, 2 blue: red only when strictly largest, then green over blue.
int DominantChannel(int r, int g, int b);

// A 4-channel copy with alpha 255 (a 4-channel image is returned unchanged).
Image WithAlpha(const Image& image);

// Sets the alpha of a 4-channel image from the keys, the range and the subtraction image
// (sampled at the same relative place when its size differs; may be null), applies colour
// spill, then softens edges. False (and nothing changed) for an image without alpha.
bool ApplyTransparency(Image& image, const TransparencyParams& params, const Image* background);

// Alpha above 100 next to (distance n in buffer order, across row ends) an alpha below 10 is
// divided by 3. Does nothing for n < 1 or images without alpha.
void SoftenAlphaEdges(Image& image, int n);

struct ColourTreatment {
  int type = 0;  // 0 none, 1 greyscale, 2 sepia
  int brightness = 0;
  int contrast = 0;
  int redShift = 0;
  int greenShift = 0;
  int blueShift = 0;
  int sepiaAmount = 0;
};

// Greyscale/sepia and brightness, contrast and shifts on the colour channels; alpha untouched.
void ApplyColourTreatment(Image& image, const ColourTreatment& treatment);

}  // namespace brisko
