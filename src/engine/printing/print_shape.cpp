// Photos shaped for the paper they are printed on (see PaperShape).
#include <algorithm>
#include <cmath>

#include "engine/printing/print_record.h"
#include "imagemeta/jpeg_exif_file.h"
#include "imaging/image.h"
#include "imaging/image_codec.h"
#include "imaging/image_geometry.h"
#include "imaging/image_paint.h"

namespace brisko {

bool ShapeForPaper(Image& image, const PaperShape& shape, std::string* reason) {
  if (image.Empty() || shape.width <= 0 || shape.height <= 0) return true;
  // The paper turned the way the photo lies.
  const double longSide = std::max(shape.width, shape.height),
               shortSide = std::min(shape.width, shape.height);
  const double paper = image.width >= image.height ? longSide / shortSide : shortSide / longSide;
  const double photo = double(image.width) / image.height;
  if (std::abs(photo / paper - 1) < 0.01) return true;
  const bool wider = photo > paper;
  if (shape.fill) {
    const int w = wider ? std::max(1, int(std::lround(image.height * paper))) : image.width;
    const int h = wider ? image.height : std::max(1, int(std::lround(image.width / paper)));
    Image cut;
    if (!CropImage(image, (image.width - w) / 2, (image.height - h) / 2, w, h, cut)) {
      if (reason) *reason = "cannot cut the photo to the paper";
      return false;
    }
    image = std::move(cut);
    return true;
  }
  const int w = wider ? image.width : int(std::lround(image.height * paper));
  const int h = wider ? int(std::lround(image.width / paper)) : image.height;
  if (uint64_t(w) * uint64_t(h) > kDefaultMaxPixels) {
    if (reason) *reason = "the photo on the paper would be too large";
    return false;
  }
  Image canvas(w, h, image.channels, 255);
  CompositeAt(canvas, image, (w - image.width) / 2, (h - image.height) / 2, 100);
  image = std::move(canvas);
  return true;
}

bool PrepareForPaper(const std::string& file, int format, Image& image, const PaperShape* shape,
                     std::string* reason) {
  // The copy carries no EXIF: the pixels are turned upright here.
  JpegExifFile exif;
  uint16_t orientation = 1;
  if (format == kFormatJpeg && exif.Parse(file) && exif.GetOrientation(orientation)) {
    const int turn = orientation == 3 ? 180 : orientation == 6 ? 90 : orientation == 8 ? 270 : 0;
    Image upright;
    if (turn && RotateQuarter(image, turn, upright, nullptr)) image = std::move(upright);
  }
  return !shape || ShapeForPaper(image, *shape, reason);
}

}  // namespace brisko
