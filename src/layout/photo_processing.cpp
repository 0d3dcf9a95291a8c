#include "layout/photo_processing.h"

#include <algorithm>

#include "imaging/image_geometry.h"
#include "imaging/image_paint.h"

namespace brisko {

bool UsesTransparency(const TransparencyParams& p, const Image* background) {
  const bool hiSet = p.rangeHilite.r || p.rangeHilite.g || p.rangeHilite.b;
  const bool shSet = p.rangeShadow.r || p.rangeShadow.g || p.rangeShadow.b;
  return (p.useKeys && !p.keys.empty()) || (p.useRange && hiSet && shSet) ||
         (p.useSubtraction && background && !background->Empty());
}

bool ProcessPhotoPart(const Image& photo, const PhotoProcessing& processing, const Image* background,
                      int width, int height, const PixelRect& part, Image& out, std::string* reason) {
  if (photo.Empty() || width <= 0 || height <= 0 || part.Width() <= 0 || part.Height() <= 0 ||
      part.left < 0 || part.top < 0 || part.right > width || part.bottom > height) {
    if (reason) *reason = "nothing to process";
    return false;
  }
  // Sharpening looks a few pixels across the part's edge: take a margin and cut it off after.
  const int margin = processing.sharpenType == 1 || processing.sharpenType == 2 ? 8 : 0;
  const PixelRect wide{std::max(0, part.left - margin), std::max(0, part.top - margin),
                       std::min(width, part.right + margin), std::min(height, part.bottom + margin)};
  if (UsesTransparency(processing.transparency, background)) {
    // Keys are matched on the photo as decoded, before resampling blurs their edges.
    Image keyed = WithAlpha(photo);
    ApplyTransparency(keyed, processing.transparency, background);
    if (!ResizeImagePart(keyed, width, height, wide.left, wide.top, wide.Width(), wide.Height(), out, reason))
      return false;
  } else if (!ResizeImagePart(photo, width, height, wide.left, wide.top, wide.Width(), wide.Height(), out,
                              reason)) {
    return false;
  }
  ApplyColourTreatment(out, processing.colour);
  if (processing.sharpenType == 1 && !SharpenImage(out, processing.sharpenAmount, reason)) return false;
  if (processing.sharpenType == 2 && !SoftenImage(out, processing.softenAmount, reason)) return false;
  if (wide == part) return true;
  Image cut;
  if (!CropImage(out, part.left - wide.left, part.top - wide.top, part.Width(), part.Height(), cut)) {
    if (reason) *reason = "nothing to process";
    return false;
  }
  out = std::move(cut);
  return true;
}

bool ProcessPhoto(const Image& photo, const PhotoProcessing& processing, const Image* background, int width,
                  int height, Image& out, std::string* reason) {
  return ProcessPhotoPart(photo, processing, background, width, height, PixelRect{0, 0, width, height}, out,
                          reason);
}

}  // namespace brisko
