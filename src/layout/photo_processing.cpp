#include "layout/photo_processing.h"

#include "imaging/image_codec.h"

namespace brisko {

bool UsesTransparency(const TransparencyParams& p, const Image* background) {
  const bool hiSet = p.rangeHilite.r || p.rangeHilite.g || p.rangeHilite.b;
  const bool shSet = p.rangeShadow.r || p.rangeShadow.g || p.rangeShadow.b;
  return (p.useKeys && !p.keys.empty()) || (p.useRange && hiSet && shSet) ||
         (p.useSubtraction && background && !background->Empty());
}

bool ProcessPhoto(const Image& photo, const PhotoProcessing& processing, const Image* background, int width,
                  int height, Image& out, std::string* reason) {
  if (photo.Empty() || width <= 0 || height <= 0) {
    if (reason) *reason = "nothing to process";
    return false;
  }
  if (UsesTransparency(processing.transparency, background)) {
    // Keys are matched on the photo as decoded, before resampling blurs their edges.
    Image keyed = WithAlpha(photo);
    ApplyTransparency(keyed, processing.transparency, background);
    if (!ResizeImage(keyed, width, height, out, reason)) return false;
  } else if (photo.width == width && photo.height == height) {
    out = photo;
  } else if (!ResizeImage(photo, width, height, out, reason)) {
    return false;
  }
  ApplyColourTreatment(out, processing.colour);
  if (processing.sharpenType == 1) return SharpenImage(out, processing.sharpenAmount, reason);
  if (processing.sharpenType == 2) return SoftenImage(out, processing.softenAmount, reason);
  return true;
}

}  // namespace brisko
