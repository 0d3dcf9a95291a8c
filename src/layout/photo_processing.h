#pragma once
// What a hole's transparency setting does to its photo: the transparency pass at the photo's
// own size, then the resize to the placement, colour treatment and sharpening.
#include <string>

#include "imaging/image.h"
#include "imaging/pixel_ops.h"
#include "layout/template_album.h"

namespace brisko {

struct PhotoProcessing {
  TransparencyParams transparency;
  ColourTreatment colour;
  int sharpenType = 0;  // 0 none, 1 sharpen, 2 soften
  int sharpenAmount = 20;
  int softenAmount = 30;
};

// True when keys, a usable range or subtraction (with an image) would touch alpha.
bool UsesTransparency(const TransparencyParams& params, const Image* background);

// The processed photo at width x height: 4 channels when transparency was applied, else 3.
bool ProcessPhoto(const Image& photo, const PhotoProcessing& processing, const Image* background, int width,
                  int height, Image& out, std::string* reason);
// Only `part` (inside width x height) of that result: what a hole shows of a photo that
// overhangs it, without computing the rest.
bool ProcessPhotoPart(const Image& photo, const PhotoProcessing& processing, const Image* background,
                      int width, int height, const PixelRect& part, Image& out, std::string* reason);

}  // namespace brisko
