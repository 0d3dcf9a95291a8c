#include "imaging/image_geometry.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "imaging/image_codec.h"
#include "imaging/vips_library.h"

namespace brisko {

bool ResizeImagePart(const Image& in, int width, int height, int x, int y, int w, int h, Image& out,
                     std::string* reason) {
  const VipsCalls& vips = LoadedVips();
  if (width <= 0 || height <= 0 || w <= 0 || h <= 0 || x < 0 || y < 0 || int64_t(x) + w > width ||
      int64_t(y) + h > height || uint64_t(w) * uint64_t(h) > kDefaultMaxPixels) {
    if (reason) *reason = "invalid target size";
    return false;
  }
  if (in.width == width && in.height == height) return CropImage(in, x, y, w, h, out);
  // vips takes the scale as a double; a factor this far out is no picture anyone asked for.
  const double hs = double(width) / in.width, vs = double(height) / in.height;
  if (!(hs > 1e-6 && hs < 1e6 && vs > 1e-6 && vs < 1e6)) {
    if (reason) *reason = "invalid target size";
    return false;
  }
  VRef src;
  if (!ToVips(in, src, reason)) return false;
  VRef cur;
  if (in.channels == 4) {
    if (vips.vips_premultiply(src.get(), cur.out(), nullptr)) return VipsFail(reason, "cannot resize");
  } else {
    cur.Share(src.get());
  }
  VRef scaled;
  if (vips.vips_resize(cur.get(), scaled.out(), hs, "vscale", vs, nullptr))
    return VipsFail(reason, "cannot resize");
  // vips rounds the output size; make it exact, then only the part asked for is computed.
  VRef exact;
  if (vips.vips_image_get_width(scaled.get()) != width ||
      vips.vips_image_get_height(scaled.get()) != height) {
    if (vips.vips_embed(scaled.get(), exact.out(), 0, 0, width, height, "extend", VIPS_EXTEND_COPY, nullptr))
      return VipsFail(reason, "cannot resize");
  } else {
    exact.Share(scaled.get());
  }
  if (x != 0 || y != 0 || w != width || h != height) {
    VRef part;
    if (vips.vips_extract_area(exact.get(), part.out(), x, y, w, h, nullptr))
      return VipsFail(reason, "cannot resize");
    exact.Reset(part.release());
  }
  if (in.channels == 4) {
    VRef un;
    if (vips.vips_unpremultiply(exact.get(), un.out(), nullptr)) return VipsFail(reason, "cannot resize");
    exact.Reset(un.release());
  }
  return FromVips(exact.get(), out, reason);
}

bool ResizeImage(const Image& in, int width, int height, Image& out, std::string* reason) {
  if (width <= 0 || height <= 0 || uint64_t(width) * uint64_t(height) > kDefaultMaxPixels) {
    if (reason) *reason = "invalid target size";
    return false;
  }
  if (in.width == width && in.height == height) {
    out = in;
    return true;
  }
  return ResizeImagePart(in, width, height, 0, 0, width, height, out, reason);
}

bool RotateQuarter(const Image& in, int degrees, Image& out, std::string* reason) {
  const VipsCalls& vips = LoadedVips();
  VipsAngle angle;
  switch (degrees) {
    case 90:
      angle = VIPS_ANGLE_D90;
      break;
    case 180:
      angle = VIPS_ANGLE_D180;
      break;
    case 270:
      angle = VIPS_ANGLE_D270;
      break;
    default:
      if (reason) *reason = "not a quarter turn";
      return false;
  }
  VRef src, rotated;
  if (!ToVips(in, src, reason)) return false;
  if (vips.vips_rot(src.get(), rotated.out(), angle, nullptr)) return VipsFail(reason, "cannot rotate");
  return FromVips(rotated.get(), out, reason);
}

bool RotateAny(const Image& in, double degrees, Image& out, std::string* reason) {
  const VipsCalls& vips = LoadedVips();
  double d = std::fmod(degrees, 360.0);
  if (d < 0) d += 360.0;
  if (d == 0) {
    out = in;
    return !in.Empty();
  }
  if (d == 90 || d == 180 || d == 270) return RotateQuarter(in, int(d), out, reason);
  VRef src, rotated;
  if (!ToVips(in, src, reason)) return false;
  VipsArrayDouble* white = in.channels == 3 ? vips.vips_array_double_newv(3, 255.0, 255.0, 255.0)
                                            : vips.vips_array_double_newv(4, 255.0, 255.0, 255.0, 255.0);
  int failed = vips.vips_rotate(src.get(), rotated.out(), d, "background", white, nullptr);
  vips.vips_area_unref(VIPS_AREA(white));
  if (failed) return VipsFail(reason, "cannot rotate");
  return FromVips(rotated.get(), out, reason);
}

bool CropImage(const Image& in, int x, int y, int width, int height, Image& out) {
  const int64_t x0 = std::max<int64_t>(x, 0), y0 = std::max<int64_t>(y, 0);
  const int64_t x1 = std::min<int64_t>(int64_t(x) + width, in.width);
  const int64_t y1 = std::min<int64_t>(int64_t(y) + height, in.height);
  if (in.Empty() || x1 <= x0 || y1 <= y0) return false;
  Image result(int(x1 - x0), int(y1 - y0), in.channels);
  for (int row = 0; row < result.height; ++row)
    std::memcpy(result.Row(row), in.At(int(x0), int(y0) + row), result.Stride());
  out = std::move(result);
  return true;
}

}  // namespace brisko
