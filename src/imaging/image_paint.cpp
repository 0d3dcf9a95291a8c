#include "imaging/image_paint.h"

#include <algorithm>
#include <cstdlib>

#include "imaging/vips_library.h"

namespace brisko {

namespace {

// `colour` at coverage `a` (0..255) over the canvas pixel `d` of `channels` channels.
void Blend(uint8_t* d, const uint8_t* colour, int a, int channels) {
  if (channels == 4 && d[3] != 255) {
    // Over a transparent canvas pixel the colours mix by their alphas.
    const int da = d[3] * (255 - a) / 255;
    const int oa = a + da;
    for (int c = 0; c < 3; ++c) d[c] = uint8_t((colour[c] * a + d[c] * da + oa / 2) / oa);
    d[3] = uint8_t(oa);
  } else {
    for (int c = 0; c < 3; ++c) d[c] = uint8_t((colour[c] * a + d[c] * (255 - a) + 127) / 255);
  }
}

}  // namespace

std::vector<uint8_t> ExtractPlane(const Image& image, int channel) {
  std::vector<uint8_t> plane;
  if (image.Empty() || channel < 0 || channel >= image.channels) return plane;
  const size_t n = size_t(image.width) * size_t(image.height);
  plane.resize(n);
  const uint8_t* p = image.pixels.data() + channel;
  for (size_t i = 0; i < n; ++i, p += image.channels) plane[i] = *p;
  return plane;
}

bool CombineWithPlane(const Image& colour, const std::vector<uint8_t>& plane, Image& out) {
  const size_t n = size_t(colour.width) * size_t(colour.height);
  if (colour.Empty() || colour.channels < 3 || plane.size() != n) return false;
  Image result(colour.width, colour.height, 4);
  const uint8_t* s = colour.pixels.data();
  uint8_t* d = result.pixels.data();
  for (size_t i = 0; i < n; ++i, s += colour.channels, d += 4) {
    d[0] = s[0];
    d[1] = s[1];
    d[2] = s[2];
    d[3] = plane[i];
  }
  out = std::move(result);
  return true;
}

void AddAlpha(Image& image) {
  if (image.channels != 3) return;
  std::vector<uint8_t> plane(size_t(image.width) * size_t(image.height), 255);
  Image result;
  if (CombineWithPlane(image, plane, result)) image = std::move(result);
}

void CompositeAt(Image& canvas, const Image& over, int x, int y, int opacityPercent) {
  if (canvas.Empty() || over.Empty()) return;
  const int opacity = std::clamp(opacityPercent, 0, 100);
  const int64_t x0 = std::max<int64_t>(x, 0), y0 = std::max<int64_t>(y, 0);
  const int64_t x1 = std::min<int64_t>(int64_t(x) + over.width, canvas.width);
  const int64_t y1 = std::min<int64_t>(int64_t(y) + over.height, canvas.height);
  for (int64_t cy = y0; cy < y1; ++cy) {
    const uint8_t* s = over.At(int(x0 - x), int(cy - y));
    uint8_t* d = canvas.At(int(x0), int(cy));
    for (int64_t cx = x0; cx < x1; ++cx, s += over.channels, d += canvas.channels) {
      const int a = (over.channels == 4 ? s[3] : 255) * opacity / 100;
      if (a == 0) continue;
      Blend(d, s, a, canvas.channels);
    }
  }
}

namespace {

bool Blurred(const Image& image, double sigma, Image& out, std::string* reason) {
  const VipsCalls& vips = LoadedVips();
  VRef src, blurred;
  if (!ToVips(image, src, reason)) return false;
  if (vips.vips_gaussblur(src.get(), blurred.out(), sigma, nullptr)) return VipsFail(reason, "cannot blur");
  return FromVips(blurred.get(), out, reason);
}

// x + (x - blur) * gain / 100 on the colour channels; alpha is left alone.
bool MixWithBlur(Image& image, double sigma, int gain, std::string* reason) {
  if (gain == 0) return !image.Empty();
  Image blur;
  if (!Blurred(image, sigma, blur, reason)) return false;
  if (blur.pixels.size() != image.pixels.size()) {
    if (reason) *reason = "blur changed the image size";
    return false;
  }
  for (size_t i = 0; i < image.pixels.size(); ++i) {
    if (image.channels == 4 && i % 4 == 3) continue;
    const int x = image.pixels[i];
    image.pixels[i] = uint8_t(std::clamp(x + (x - int(blur.pixels[i])) * gain / 100, 0, 255));
  }
  return true;
}

}  // namespace

bool SharpenImage(Image& image, int amount, std::string* reason) {
  return MixWithBlur(image, 1.0, 2 * std::clamp(amount, 0, 100), reason);
}

bool SoftenImage(Image& image, int amount, std::string* reason) {
  return MixWithBlur(image, 1.5, -std::clamp(amount, 0, 100), reason);
}

void DrawLine(Image& canvas, int x1, int y1, int x2, int y2, uint32_t rgb, int thickness) {
  if (canvas.Empty()) return;
  const int t = std::clamp(thickness, 1, 1000);
  const uint8_t colour[3] = {uint8_t(rgb & 0xff), uint8_t((rgb >> 8) & 0xff), uint8_t((rgb >> 16) & 0xff)};
  auto plot = [&](int64_t px, int64_t py) {
    for (int64_t yy = py - t / 2; yy < py - t / 2 + t; ++yy) {
      if (yy < 0 || yy >= canvas.height) continue;
      for (int64_t xx = px - t / 2; xx < px - t / 2 + t; ++xx) {
        if (xx < 0 || xx >= canvas.width) continue;
        uint8_t* d = canvas.At(int(xx), int(yy));
        d[0] = colour[0];
        d[1] = colour[1];
        d[2] = colour[2];
        if (canvas.channels == 4) d[3] = 255;
      }
    }
  };
  int64_t dx = std::abs(int64_t(x2) - x1), dy = -std::abs(int64_t(y2) - y1);
  const int sx = x1 < x2 ? 1 : -1, sy = y1 < y2 ? 1 : -1;
  int64_t err = dx + dy, x = x1, y = y1;
  // Lines far outside the canvas cost nothing extra: stop once both ends are reached.
  for (int64_t steps = 0; steps <= std::max(dx, -dy); ++steps) {
    plot(x, y);
    if (x == x2 && y == y2) break;
    const int64_t e2 = 2 * err;
    if (e2 >= dy) {
      err += dy;
      x += sx;
    }
    if (e2 <= dx) {
      err += dx;
      y += sy;
    }
  }
}

void DrawMask(Image& canvas, const Image& mask, int x, int y, uint32_t rgb, int opacityPercent) {
  if (canvas.Empty() || mask.Empty() || mask.channels != 1 || canvas.channels < 3) return;
  const int opacity = std::clamp(opacityPercent, 0, 100);
  const uint8_t colour[3] = {uint8_t(rgb & 0xff), uint8_t((rgb >> 8) & 0xff), uint8_t((rgb >> 16) & 0xff)};
  const int64_t x0 = std::max<int64_t>(x, 0), y0 = std::max<int64_t>(y, 0);
  const int64_t x1 = std::min<int64_t>(int64_t(x) + mask.width, canvas.width);
  const int64_t y1 = std::min<int64_t>(int64_t(y) + mask.height, canvas.height);
  for (int64_t cy = y0; cy < y1; ++cy) {
    const uint8_t* m = mask.At(int(x0 - x), int(cy - y));
    uint8_t* d = canvas.At(int(x0), int(cy));
    for (int64_t cx = x0; cx < x1; ++cx, ++m, d += canvas.channels) {
      const int a = *m * opacity / 100;
      if (a == 0) continue;
      Blend(d, colour, a, canvas.channels);
    }
  }
}

}  // namespace brisko
