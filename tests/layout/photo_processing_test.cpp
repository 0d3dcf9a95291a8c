#include "layout/photo_processing.h"

#include <gtest/gtest.h>

namespace brisko {
namespace {

// A keyed photo keeping its alpha through the resize is proved by the page renders.
TEST(ProcessPhoto, WithoutKeysStaysOpaqueAndGetsItsColourTreatment) {
  Image green(8, 6, 3);
  for (size_t i = 0; i < green.pixels.size(); i += 3) green.pixels[i + 1] = 200;
  PhotoProcessing p;
  p.colour.brightness = 10;
  Image out;
  std::string reason;
  ASSERT_TRUE(ProcessPhoto(green, p, nullptr, 8, 6, out, &reason)) << reason;
  ASSERT_EQ(out.channels, 3);
  EXPECT_EQ(out.pixels[0], 10);
  EXPECT_EQ(out.pixels[0 + 1], 210);
  EXPECT_FALSE(ProcessPhoto(Image(), p, nullptr, 8, 6, out, &reason));
}

}  // namespace
}  // namespace brisko
