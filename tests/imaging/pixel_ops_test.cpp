#include "imaging/pixel_ops.h"

#include <gtest/gtest.h>

#include <vector>

namespace brisko {
namespace {

Image Pixels(int w, int h, int channels, const std::vector<int>& values) {
  Image img(w, h, channels);
  for (size_t i = 0; i < values.size(); ++i) img.pixels[i] = uint8_t(values[i]);
  return img;
}

std::vector<int> Values(const Image& img) {
  return {img.pixels.begin(), img.pixels.end()};
}

TEST(DominantChannel, RedOnlyWhenStrictlyLargestThenGreenOverBlue) {
  struct Row {
    int r, g, b, want;
  } rows[] = {{9, 1, 1, 0}, {10, 10, 5, 1}, {10, 5, 10, 2}, {5, 10, 10, 1}, {0, 0, 0, 1}, {1, 2, 3, 2}};
  for (const Row& row : rows)
    EXPECT_EQ(DominantChannel(row.r, row.g, row.b), row.want) << row.r << row.g << row.b;
}

TEST(ColourTreatment, HandComputedChannelValues) {
  struct Row {
    const char* what;
    ColourTreatment t;
    std::vector<int> in, want;
  } rows[] = {
      {"brightness 10", {0, 10, 0, 0, 0, 0, 0}, {100, 100, 100}, {110, 110, 110}},
      {"contrast 50 clamps", {0, 0, 50, 0, 0, 0, 0}, {200, 100, 0}, {255, 72, 0}},
      // (101 - 128) * 25 / 50 is -13.5, truncated to -13
      {"division truncates toward zero", {0, 0, -25, 0, 0, 0, 0}, {101, 155, 128}, {115, 141, 128}},
      {"shifts per channel", {0, 0, 0, 20, -20, 5, 0}, {250, 10, 100}, {255, 0, 105}},
      // grey = (110 + 150 + 60) / 3 = 106; red + 50, blue - 30
      {"sepia 100", {2, 0, 0, 0, 0, 0, 100}, {100, 100, 100}, {156, 106, 76}},
      // (min(255, 220) + min(255, 300) + 120) / 3 = 198; shifts are ignored
      {"greyscale", {1, 0, 0, 40, 40, 40, 0}, {200, 200, 200}, {198, 198, 198}},
      {"nothing to do", {0, 0, 0, 0, 0, 0, 0}, {1, 2, 3}, {1, 2, 3}},
      {"unknown type is none", {7, 0, 0, 0, 0, 0, 0}, {1, 2, 3}, {1, 2, 3}},
  };
  for (const Row& row : rows) {
    Image img = Pixels(1, 1, 3, row.in);
    ApplyColourTreatment(img, row.t);
    EXPECT_EQ(Values(img), row.want) << row.what;
  }
  Image rgba = Pixels(1, 1, 4, {100, 100, 100, 77});
  ApplyColourTreatment(rgba, {2, 0, 0, 0, 0, 0, 100});
  EXPECT_EQ(Values(rgba), (std::vector<int>{156, 106, 76, 77}));
}

// A row of RGBA pixels keyed without edge softening: the resulting pixels (colour spill included).
std::vector<int> Keyed(const std::vector<ColourKey>& keys, const std::vector<int>& rgba) {
  Image img = Pixels(int(rgba.size() / 4), 1, 4, rgba);
  TransparencyParams p;
  p.useKeys = true;
  p.keys = keys;
  p.despeckleCount = 0;
  Image rgb(1, 1, 3);
  EXPECT_FALSE(ApplyTransparency(rgb, p, nullptr)) << "keys need an alpha channel";
  EXPECT_TRUE(ApplyTransparency(img, p, nullptr));
  return Values(img);
}

TEST(ColourKey, HandComputedAlphaAndSpillAlsoWithLaterKeys) {
  struct Row {
    const char* what;
    ColourKey key;
    std::vector<int> px, want;
  } rows[] = {
      {"both tolerances 0 remove nothing", {{0, 255, 0}, 0, 0, 255}, {0, 255, 0}, {0, 255, 0, 255}},
      {"exact colour within tol1", {{0, 255, 0}, 10, 0, 255}, {0, 255, 0}, {0, 255, 0, 0}},
      // d = 100: key (0, 200, 0) moves to (0, 100, 0); distances 10, 0, 10
      {"moved to the pixel's brightness", {{0, 200, 0}, 20, 0, 150}, {10, 100, 10}, {10, 100, 10, 0}},
      {"brightness difference not below the tolerance",
       {{0, 200, 0}, 20, 0, 100},
       {10, 100, 10},
       {10, 100, 10, 255}},
      // h = 30: 255 * 20 / 40 = 127; green 200 -> (127 * 200 / 255) / 2 + 100 = 149
      {"graded band, spill on green", {{0, 200, 0}, 10, 40, 255}, {30, 200, 30}, {30, 149, 30, 127}},
      {"spill on the key's dominant red", {{200, 0, 0}, 10, 40, 255}, {200, 30, 30}, {149, 30, 30, 127}},
      {"half sum below tol1", {{0, 200, 0}, 10, 40, 255}, {12, 200, 0}, {12, 200, 0, 0}},
      {"outside the outer bound", {{0, 200, 0}, 10, 40, 255}, {60, 200, 0}, {60, 200, 0, 255}},
  };
  for (Row row : rows) {
    row.px.push_back(255);
    EXPECT_EQ(Keyed({row.key}, row.px), row.want) << row.what;
  }
  // Pixel 0 is removed by the green key, so the red key is never examined there; pixel 1 is
  // graded by the red key and its spill lands on red.
  EXPECT_EQ(
      Keyed({{{0, 200, 0}, 10, 0, 255}, {{200, 0, 0}, 10, 40, 255}}, {0, 200, 0, 255, 200, 30, 30, 255}),
      (std::vector<int>{0, 200, 0, 0, 149, 30, 30, 127}));
}

TEST(ColourRange, GradesFromTransparentToOpaque) {
  // Green dominant; blue runs from 10 at green 50 to 50 at green 250 (slope 20), red stays 0.
  TransparencyParams p;
  p.useRange = true;
  p.rangeHilite = {0, 250, 50};
  p.rangeShadow = {0, 50, 10};
  p.rangeTol1 = 5;
  p.rangeTol2 = 20;
  p.despeckleCount = 0;
  struct Row {
    std::vector<int> px;
    int alpha;
  } rows[] = {
      {{0, 150, 30}, 0},      // on the range
      {{0, 150, 45}, 25},     // e2 = 15, h = 7: 255 * 2 / 20
      {{0, 150, 80}, 255},    // beyond the outer bound
      {{200, 150, 30}, 255},  // red dominant: not compared
  };
  for (const Row& row : rows) {
    std::vector<int> px = row.px;
    px.push_back(255);
    Image img = Pixels(1, 1, 4, px);
    ASSERT_TRUE(ApplyTransparency(img, p, nullptr));
    EXPECT_EQ(img.pixels[3], row.alpha) << row.px[0] << "," << row.px[1] << "," << row.px[2];
  }
  p.rangeShadow = {0, 0, 0};  // a black bound switches the range off
  Image img = Pixels(1, 1, 4, {0, 150, 30, 255});
  ASSERT_TRUE(ApplyTransparency(img, p, nullptr));
  EXPECT_EQ(img.pixels[3], 255);
}

TEST(BackgroundSubtraction, ComparesWithThePixelAtTheSamePlace) {
  TransparencyParams p;
  p.useSubtraction = true;
  p.subtractionTol1 = 5;
  p.subtractionBrightnessTol = 255;
  p.despeckleCount = 0;
  const Image background = Pixels(2, 1, 3, {10, 10, 10, 200, 0, 0});
  Image img = Pixels(2, 1, 4, {12, 10, 10, 255, 0, 0, 200, 255});
  ASSERT_TRUE(ApplyTransparency(img, p, &background));
  EXPECT_EQ(Values(img), (std::vector<int>{12, 10, 10, 0, 0, 0, 200, 255}));

  // A smaller background is sampled at the same relative place.
  const Image tiny = Pixels(1, 1, 3, {10, 10, 10});
  Image big(3, 2, 4, 10);
  ASSERT_TRUE(ApplyTransparency(big, p, &tiny));
  for (int i = 0; i < 6; ++i) EXPECT_EQ(big.pixels[size_t(i) * 4 + 3], 0);

  Image untouched = Pixels(1, 1, 4, {12, 10, 10, 255});
  ASSERT_TRUE(ApplyTransparency(untouched, p, nullptr));
  EXPECT_EQ(untouched.pixels[3], 255);
}

TEST(SoftenAlphaEdges, NeighboursAcrossRowEndsButNotNearTheBufferEnds) {
  struct Row {
    int w, h, n;
    std::vector<int> alpha, want;
  } rows[] = {
      // index 6 (row 1) sees index 4 (row 0); index 9 is within n of the end
      {5, 2, 2, {255, 255, 255, 255, 0, 255, 255, 0, 255, 255}, {255, 255, 85, 255, 0, 85, 85, 0, 255, 255}},
      // only above 100, only next to below 10
      {5, 1, 1, {100, 9, 101, 10, 200}, {100, 9, 33, 10, 200}},
      {3, 1, 0, {255, 0, 255}, {255, 0, 255}},
      {2, 1, 1, {255, 0}, {255, 0}},
  };
  for (const Row& row : rows) {
    Image img(row.w, row.h, 4);
    for (size_t i = 0; i < row.alpha.size(); ++i) img.pixels[i * 4 + 3] = uint8_t(row.alpha[i]);
    SoftenAlphaEdges(img, row.n);
    std::vector<int> got;
    for (size_t i = 0; i < row.alpha.size(); ++i) got.push_back(img.pixels[i * 4 + 3]);
    EXPECT_EQ(got, row.want) << row.w << "x" << row.h << " n " << row.n;
  }
}

}  // namespace
}  // namespace brisko
