#include "support/folder_enum.h"

#include <gtest/gtest.h>

using namespace brisko;

// The listing itself (dots first, names in order, sizes, paths) is proved through the finder.
TEST(AMask, matchesWildcardsWithoutRecursionBlowup) {
  EXPECT_TRUE(MaskMatches("img_??.jpg", "IMG_01.JPG"));
  EXPECT_FALSE(MaskMatches("img_??.jpg", "IMG_1.JPG"));
  EXPECT_TRUE(MaskMatches("*a*b*c", "xxaxxbxxc"));
  EXPECT_FALSE(MaskMatches("*a*b*c", std::string(5000, 'a') + "b"));
  EXPECT_TRUE(MaskMatches("*", ""));
  EXPECT_TRUE(MaskMatches("a*", "a*b"));  // a star in the name is no reason to stop wildcarding
}
