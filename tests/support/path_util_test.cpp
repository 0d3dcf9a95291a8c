#include "support/path_util.h"

#include <gtest/gtest.h>

#include "support/text.h"

using namespace brisko;

TEST(APathSplit, takesTheLastDotPartOfTheLastElementAsExtension) {
  struct Row {
    const char* path;
    const char* folder;
    const char* name;
    const char* ext;
  };
  const Row rows[] = {
      {"/in/x.jpg", "/in/", "x", ".jpg"},
      {"/in/x.tar.gz", "/in/", "x.tar", ".gz"},
      {"/in.d/noext", "/in.d/", "noext", ""},
      {"/in/.hidden", "/in/", ".hidden", ""},
      {"/in/..hidden.jpg", "/in/", "..hidden", ".jpg"},
      {"/in/x.", "/in/", "x", "."},
      {"/in/..", "/in/", "..", ""},
      {"x.JPG", "", "x", ".JPG"},
      {"/in/sub/", "/in/sub/", "", ""},
      {"a\\b.c", "", "a\\b", ".c"},
  };
  for (const Row& row : rows) {
    PathParts parts = SplitPath(row.path);
    EXPECT_EQ(parts.folder, row.folder) << row.path;
    EXPECT_EQ(parts.name, row.name) << row.path;
    EXPECT_EQ(parts.extension, row.ext) << row.path;
    EXPECT_EQ(parts.folder + parts.name + parts.extension, row.path);
  }
}

TEST(APathTrim, removesBothKindsOfTrailingSeparators) {
  EXPECT_EQ(TrimTrailingSeparators("/in/\\/"), "/in");
  EXPECT_EQ(TrimTrailingSeparators("/in"), "/in");
  EXPECT_EQ(TrimTrailingSeparators("/"), "");
  EXPECT_EQ(TrimTrailingSeparators(""), "");
  EXPECT_EQ(WithTrailingSeparator("/in\\"), "/in/");
  EXPECT_EQ(WithTrailingSeparator("/in//"), "/in/");
  EXPECT_EQ(WithTrailingSeparator("/"), "/");
}

TEST(APathJoin, putsExactlyOneSeparatorBetween) {
  EXPECT_EQ(JoinPath("/in", "x.jpg"), "/in/x.jpg");
  EXPECT_EQ(JoinPath("/in//", "/x.jpg"), "/in/x.jpg");
  EXPECT_EQ(JoinPath("/", "x.jpg"), "/x.jpg");
  EXPECT_EQ(JoinPath("", "x.jpg"), "x.jpg");
}

TEST(ACollisionName, numbersTheNameBeforeItsExtension) {
  EXPECT_EQ(CollisionName("/out/x.jpg", 2), "/out/x (2).jpg");
  EXPECT_EQ(CollisionName("/out/.hidden", 3), "/out/.hidden (3)");
  EXPECT_EQ(CollisionName("/out.d/noext", 10), "/out.d/noext (10)");
}

TEST(NamesWithoutCase, compareAsciiLettersOnlyAndTellProcessingFolders) {
  EXPECT_TRUE(EqualsNoCase("ID.TXT", "id.txt"));
  EXPECT_FALSE(EqualsNoCase("id.txt", "id.txt "));
  EXPECT_FALSE(EqualsNoCase("\xC3\x84", "\xC3\xA4")) << "bytes beyond ASCII as they are";
  EXPECT_FALSE(EqualsNoCase("[", "{")) << "only letters fold";
  EXPECT_TRUE(IsProcessingFolder("/card/DCIM/Batch.PROCESSING/"));
  EXPECT_FALSE(IsProcessingFolder("/card/x.processing/sub"));
  EXPECT_FALSE(IsProcessingFolder("/card/.processing")) << "a hidden name has no extension";
  EXPECT_FALSE(IsProcessingFolder("/card/x.processingx"));
}
