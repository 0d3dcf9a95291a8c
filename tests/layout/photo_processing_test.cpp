#include "layout/photo_processing.h"

#include <gtest/gtest.h>

namespace brisko {
namespace {

TEST(ProcessPhoto, KeyedPhotoKeepsAlphaThroughTheResize) {
  Image green(8, 6, 3);
  for (size_t i = 0; i < green.pixels.size(); i += 3) green.pixels[i + 1] = 200;
  PhotoProcessing p;
  p.transparency.useKeys = true;
  p.transparency.keys = {{{0, 200, 0}, 10, 0, 255}};
  Image out;
  std::string reason;
  ASSERT_TRUE(ProcessPhoto(green, p, nullptr, 4, 3, out, &reason)) << reason;
  ASSERT_EQ(out.channels, 4);
  EXPECT_EQ(out.width, 4);
  EXPECT_EQ(out.height, 3);
  for (size_t i = 3; i < out.pixels.size(); i += 4) EXPECT_EQ(out.pixels[i], 0);

  // Without keys the photo stays opaque RGB and gets its colour treatment.
  p.transparency.useKeys = false;
  p.colour.brightness = 10;
  ASSERT_TRUE(ProcessPhoto(green, p, nullptr, 8, 6, out, &reason)) << reason;
  ASSERT_EQ(out.channels, 3);
  EXPECT_EQ(out.pixels[0], 10);
  EXPECT_EQ(out.pixels[0 + 1], 210);
  EXPECT_FALSE(ProcessPhoto(Image(), p, nullptr, 8, 6, out, &reason));
}

}  // namespace
}  // namespace brisko
