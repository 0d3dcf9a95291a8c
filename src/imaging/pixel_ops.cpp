#include "imaging/pixel_ops.h"

#include <algorithm>
#include <array>
#include <cstdlib>

namespace brisko {
namespace {

constexpr int kGreen = 1;

// Template values are plain integers from a file; keeping them in this band leaves every result
// the same (they saturate long before) and keeps the products inside 64 bits.
int64_t Bounded(int v) {
  return std::clamp<int64_t>(v, -1000000, 1000000);
}

uint8_t Clamp255(int64_t v) {
  return uint8_t(std::clamp<int64_t>(v, 0, 255));
}

// Each channel's percentage of the dominant value, c * 100 / dominant, indexed [dominant][c];
// a black colour has no brightness to scale, so every channel counts fully.
const std::array<uint8_t, 256 * 256>& PercentTable() {
  static const std::array<uint8_t, 256 * 256> table = [] {
    std::array<uint8_t, 256 * 256> t{};
    for (int d = 0; d < 256; ++d)
      for (int c = 0; c < 256; ++c)
        t[size_t(d) * 256 + size_t(c)] = uint8_t(d == 0 || c > d ? 100 : c * 100 / d);
    return t;
  }();
  return table;
}

struct Key {
  int c[3];
  int pct[3];
  int dom;
  int64_t tol1, tol2, brightnessTol;
};

Key PrepareKey(const uint8_t* rgb, int64_t tol1, int64_t tol2, int64_t brightnessTol) {
  const auto& pct = PercentTable();
  Key k{};
  k.dom = DominantChannel(rgb[0], rgb[1], rgb[2]);
  for (int i = 0; i < 3; ++i) {
    k.c[i] = rgb[i];
    k.pct[i] = pct[size_t(rgb[k.dom]) * 256 + rgb[i]];
  }
  k.tol1 = tol1;
  k.tol2 = tol2;
  k.brightnessTol = brightnessTol;
  return k;
}

// The key moved to the pixel's brightness, then compared channel by channel.
int KeyAlpha(const Key& k, const uint8_t* px, int alpha) {
  const int d = k.c[k.dom] - px[k.dom];
  if (std::abs(d) >= k.brightnessTol) return alpha;
  int64_t dist[3];
  for (int i = 0; i < 3; ++i) dist[i] = std::abs(k.c[i] - d * k.pct[i] / 100 - px[i]);
  if (dist[0] < k.tol1 && dist[1] < k.tol1 && dist[2] < k.tol1) return 0;
  const int64_t outer = k.tol1 + k.tol2;
  if (dist[0] < outer && dist[1] < outer && dist[2] < outer) {
    // Reached only with tol2 > 0; the dominant distance is 0 after the move, so h < outer.
    const int64_t h = (dist[0] + dist[1] + dist[2]) / 2;
    if (h < k.tol1) return 0;
    return int(alpha * (h - k.tol1) / k.tol2);
  }
  return alpha;
}

struct Range {
  bool active = false;
  int dom = 0, o1 = 0, o2 = 0;
  int64_t tol1 = 0, tol2 = 0;
  std::array<int, 256> pred1{}, pred2{};  // the range's other two channels at each dominant value
};

Range PrepareRange(const TransparencyParams& p) {
  Range r;
  const Rgb& hi = p.rangeHilite;
  const Rgb& sh = p.rangeShadow;
  const bool hiSet = hi.r || hi.g || hi.b;
  const bool shSet = sh.r || sh.g || sh.b;
  if (!p.useRange || !hiSet || !shSet) return r;
  r.active = true;
  r.tol1 = Bounded(p.rangeTol1);
  r.tol2 = Bounded(p.rangeTol2);
  const int h[3] = {hi.r, hi.g, hi.b};
  const int s[3] = {sh.r, sh.g, sh.b};
  r.dom = DominantChannel(h[0], h[1], h[2]);
  r.o1 = r.dom == 0 ? 1 : 0;
  r.o2 = r.dom == 2 ? 1 : 2;
  const int span = h[r.dom] - s[r.dom];
  for (int o : {r.o1, r.o2}) {
    auto& pred = o == r.o1 ? r.pred1 : r.pred2;
    if (span == 0) {
      // Shadow and hilite equally bright: no slope to follow, take the middle colour.
      pred.fill((h[o] + s[o]) / 2);
      continue;
    }
    const int slope = (h[o] - s[o]) * 100 / span;
    for (int v = 0; v < 256; ++v) pred[size_t(v)] = std::clamp(s[o] + slope * (v - s[r.dom]) / 100, 0, 255);
  }
  return r;
}

// Transparent within tol1, then rising to opaque across tol2, as a colour key grades.
int RangeAlpha(const Range& r, const uint8_t* px) {
  const int v = px[r.dom];
  const int64_t e1 = std::abs(px[r.o1] - r.pred1[size_t(v)]);
  const int64_t e2 = std::abs(px[r.o2] - r.pred2[size_t(v)]);
  if (e1 < r.tol1 && e2 < r.tol1) return 0;
  const int64_t outer = r.tol1 + r.tol2;
  if (e1 < outer && e2 < outer) {
    const int64_t h = (e1 + e2) / 2;
    return int(std::min<int64_t>(255, 255 * std::max<int64_t>(0, h - r.tol1) / r.tol2));
  }
  return 255;
}

}  // namespace

int DominantChannel(int r, int g, int b) {
  if (r > g && r > b) return 0;
  return g >= b ? 1 : 2;
}

Image WithAlpha(const Image& image) {
  if (image.channels == 4) return image;
  Image out(image.width, image.height, 4, 255);
  if (image.channels != 3) return out;
  const size_t n = size_t(image.width) * size_t(image.height);
  const uint8_t* s = image.pixels.data();
  uint8_t* d = out.pixels.data();
  for (size_t i = 0; i < n; ++i, s += 3, d += 4) {
    d[0] = s[0];
    d[1] = s[1];
    d[2] = s[2];
  }
  return out;
}

bool ApplyTransparency(Image& image, const TransparencyParams& p, const Image* background) {
  if (image.channels != 4 || image.Empty()) return false;
  std::vector<Key> keys;
  if (p.useKeys) {
    keys.reserve(p.keys.size());
    for (const ColourKey& k : p.keys) {
      const uint8_t rgb[3] = {k.colour.r, k.colour.g, k.colour.b};
      keys.push_back(PrepareKey(rgb, Bounded(k.tol1), Bounded(k.tol2), Bounded(k.brightnessTol)));
    }
  }
  const Range range = PrepareRange(p);
  const bool subtract = p.useSubtraction && background && !background->Empty() && background->channels >= 3;
  const bool spillable = !keys.empty() || range.active;

  // The subtraction image is sampled at the same relative place when its size differs.
  std::vector<size_t> bgColumn;
  if (subtract) {
    bgColumn.resize(size_t(image.width));
    for (int x = 0; x < image.width; ++x)
      bgColumn[size_t(x)] =
          size_t(int64_t(x) * background->width / image.width) * size_t(background->channels);
  }
  const int64_t subTol1 = Bounded(p.subtractionTol1), subTol2 = Bounded(p.subtractionTol2);
  const int64_t subBright = Bounded(p.subtractionBrightnessTol);

  int spill = kGreen;  // carries over from pixel to pixel
  for (int y = 0; y < image.height; ++y) {
    uint8_t* px = image.Row(y);
    const uint8_t* bgRow =
        subtract ? background->Row(int(int64_t(y) * background->height / image.height)) : nullptr;
    for (int x = 0; x < image.width; ++x, px += 4) {
      int keyAlpha = 255;
      for (const Key& k : keys) {
        if (keyAlpha == 0) break;
        spill = k.dom;
        keyAlpha = KeyAlpha(k, px, keyAlpha);
      }
      int rangeAlpha = 255;
      if (range.active && DominantChannel(px[0], px[1], px[2]) == range.dom) {
        spill = range.dom;
        rangeAlpha = RangeAlpha(range, px);
      }
      int subAlpha = 255;
      if (subtract && keyAlpha != 0 && rangeAlpha != 0)
        subAlpha = KeyAlpha(PrepareKey(bgRow + bgColumn[size_t(x)], subTol1, subTol2, subBright), px, 255);
      const int alpha = std::min({keyAlpha, rangeAlpha, subAlpha});
      if (spillable && alpha > 0 && alpha < 255) {
        const int v = px[spill];
        px[spill] = uint8_t((alpha * v / 255) / 2 + v / 2);
      }
      px[3] = uint8_t(alpha);
    }
  }
  SoftenAlphaEdges(image, p.despeckleCount);
  return true;
}

void SoftenAlphaEdges(Image& image, int n) {
  if (image.channels != 4 || n < 1 || image.Empty()) return;
  const size_t count = size_t(image.width) * size_t(image.height);
  const size_t step = size_t(n);
  if (count <= 2 * step) return;
  uint8_t* a = image.pixels.data() + 3;
  const size_t off = step * 4;
  // In place is safe: a softened value (above 33) can never be below 10 for a later neighbour.
  for (size_t i = step; i < count - step; ++i) {
    uint8_t* v = a + i * 4;
    if (*v > 100 && (*(v - off) < 10 || *(v + off) < 10)) *v = uint8_t(*v / 3);
  }
}

void ApplyColourTreatment(Image& image, const ColourTreatment& t) {
  if (image.Empty() || image.channels < 3) return;
  const int type = (t.type == 1 || t.type == 2) ? t.type : 0;
  int64_t shift[3] = {0, 0, 0};
  if (type == 0) {
    shift[0] = Bounded(t.redShift);
    shift[1] = Bounded(t.greenShift);
    shift[2] = Bounded(t.blueShift);
    if (t.contrast == 0 && t.brightness == 0 && shift[0] == 0 && shift[1] == 0 && shift[2] == 0) return;
  } else if (type == 2) {
    const int64_t s = Bounded(t.sepiaAmount);
    shift[0] = 50 * s / 100;
    shift[2] = -30 * s / 100;
  }
  const int64_t brightness = Bounded(t.brightness);
  const int64_t factor = Bounded(t.contrast) + 50;
  uint8_t lut[3][256];
  for (int c = 0; c < 3; ++c)
    for (int x = 0; x < 256; ++x) lut[c][x] = Clamp255((x + brightness + shift[c] - 128) * factor / 50 + 128);

  const size_t n = size_t(image.width) * size_t(image.height);
  const size_t step = size_t(image.channels);
  uint8_t* px = image.pixels.data();
  if (type == 0) {
    for (size_t i = 0; i < n; ++i, px += step) {
      px[0] = lut[0][px[0]];
      px[1] = lut[1][px[1]];
      px[2] = lut[2][px[2]];
    }
    return;
  }
  int greyR[256], greyG[256], greyB[256];
  for (int x = 0; x < 256; ++x) {
    greyR[x] = std::min(255, 110 * x / 100);
    greyG[x] = std::min(255, 150 * x / 100);
    greyB[x] = 60 * x / 100;
  }
  for (size_t i = 0; i < n; ++i, px += step) {
    const int g = (greyR[px[0]] + greyG[px[1]] + greyB[px[2]]) / 3;
    px[0] = lut[0][g];
    px[1] = lut[1][g];
    px[2] = lut[2][g];
  }
}

}  // namespace brisko
