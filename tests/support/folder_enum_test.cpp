#include "support/folder_enum.h"

#include <gtest/gtest.h>


#include "common/temp_dir.h"

using namespace brisko;

TEST(AFolderListing, reportsDotsFirstAndFiltersByMaskIgnoringCase) {
  test::TempDir dir;
  test::WriteFile(dir / "a.JPG", "x");
  test::WriteFile(dir / "b.txt", "yy");
  test::WriteFile(dir / "noext", "");
  std::vector<FileInfo> all;
  ASSERT_TRUE(ListFolder(dir.Path(), "*.*", all));
  ASSERT_EQ(all.size(), 5u);
  EXPECT_EQ(all[0].name, ".");
  EXPECT_EQ(all[1].name, "..");
  EXPECT_TRUE(all[0].directory);
  std::vector<FileInfo> jpgs;
  ASSERT_TRUE(ListFolder(dir.Path(), "*.jpg", jpgs));
  ASSERT_EQ(jpgs.size(), 1u);
  EXPECT_EQ(jpgs[0].name, "a.JPG");
  EXPECT_EQ(jpgs[0].path, dir / "a.JPG");
  EXPECT_EQ(jpgs[0].size, 1u);
}

TEST(AMask, matchesWildcardsWithoutRecursionBlowup) {
  EXPECT_TRUE(MaskMatches("img_??.jpg", "IMG_01.JPG"));
  EXPECT_FALSE(MaskMatches("img_??.jpg", "IMG_1.JPG"));
  EXPECT_TRUE(MaskMatches("*a*b*c", "xxaxxbxxc"));
  EXPECT_FALSE(MaskMatches("*a*b*c", std::string(5000, 'a') + "b"));
  EXPECT_TRUE(MaskMatches("*", ""));
  EXPECT_TRUE(MaskMatches("a*", "a*b"));  // a star in the name is no reason to stop wildcarding
}
