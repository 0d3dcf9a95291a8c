#include "layout/render_rules.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace brisko {
namespace {

TEST(RenderRules, DefaultPlacementCoversTheHoleCentred) {
  struct Row {
    PixelRect hole;
    int w, h;
    PixelRect want;
  } rows[] = {
      {{100, 100, 500, 400}, 3000, 2000, {75, 100, 525, 400}},   // wider: overhangs left and right
      {{100, 100, 500, 400}, 2000, 3000, {100, -50, 500, 550}},  // taller: above and below
      {{0, 0, 101, 100}, 1, 2, {0, -51, 101, 151}},              // odd overhang: half rounded down
      {{0, 0, 300, 200}, 3, 2, {0, 0, 300, 200}},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(DefaultPlacement(row.hole, row.w, row.h), row.want) << row.w << "x" << row.h;
  }
  EXPECT_TRUE(KeepsStoredPlacement({75, 100, 525, 400}, 3000, 2000));
  EXPECT_FALSE(KeepsStoredPlacement({100, 100, 500, 400}, 3000, 2000));
  EXPECT_FALSE(KeepsStoredPlacement({100, 100, 100, 400}, 3000, 2000));
}

TEST(RenderRules, CanvasKeepsTheDesignProportions) {
  struct Row {
    int dw, dh, mw, mh, w, h;
    bool ok;
  } rows[] = {
      {4000, 3000, -1, -1, 4000, 3000, true}, {4000, 3000, 400, 400, 400, 300, true},
      {3000, 4000, 400, 400, 300, 400, true}, {0, 3000, -1, -1, 0, 0, false},
      {4000, 3000, 0, 400, 0, 0, false},
  };
  for (const Row& row : rows) {
    int w = 0, h = 0;
    EXPECT_EQ(CanvasSize(row.dw, row.dh, row.mw, row.mh, w, h), row.ok);
    if (row.ok) {
      EXPECT_EQ(w, row.w) << row.dw << "x" << row.dh;
      EXPECT_EQ(h, row.h) << row.dw << "x" << row.dh;
    }
  }
}

TEST(RenderRules, CaptionTextsFromThePhoto) {
  EXPECT_EQ(CaptionTextForPhoto(0, "Sample text", "/a/b/IMG_1.JPG"), "Sample text");
  EXPECT_EQ(CaptionTextForPhoto(4, "x", "/a/b/IMG_1.JPG"), "IMG_1");
  EXPECT_EQ(CaptionTextForPhoto(5, "x", "/a/b/IMG_1.JPG"), "/a/b/IMG_1.JPG");
  EXPECT_EQ(CaptionTextForPhoto(1, "x", "/nonexistent/IMG_1.JPG"), "Invalid DateTime");
  EXPECT_EQ(PageFileName("/a/IMG_1.HEIC"), "/a/IMG_1.jpg");
  EXPECT_EQ(PageFileName("IMG_1.png"), "IMG_1.png");

  // In the C locale and UTC the formats are fixed.
  const char* oldLcAll = std::getenv("LC_ALL");
  const std::string saved = oldLcAll ? oldLcAll : "";
  setenv("LC_ALL", "C", 1);
  EXPECT_EQ(FormatLocalDateTime(86400 * 365, 1).size(), 8u);  // "mm/dd/yy"
  EXPECT_EQ(FormatLocalDateTime(86400 * 365, 2).size(), 8u);  // "hh:mm:ss"
  EXPECT_EQ(FormatLocalDateTime(86400 * 365, 3).size(), 17u);
  if (oldLcAll)
    setenv("LC_ALL", saved.c_str(), 1);
  else
    unsetenv("LC_ALL");
}

TEST(RenderRules, CaptionLinesAndTheirPlaces) {
  using Lines = std::vector<std::string>;
  EXPECT_EQ(SplitCaptionLines("a\r\nb"), (Lines{"a", "b"}));
  EXPECT_EQ(SplitCaptionLines("a\nb"), (Lines{"a\nb"}));
  EXPECT_EQ(SplitCaptionLines("a\r\n"), (Lines{"a", ""}));
  EXPECT_EQ(CaptionLineHeight(240, 3000, 3000), 100);
  EXPECT_EQ(CaptionLineHeight(240, 300, 3000), 10);

  struct Row {
    int h, v;
    std::vector<int> want;  // x, y of each line
  } rows[] = {{0, 0, {0, 0, 0, 20}}, {1, 1, {75, 30, 50, 50}}, {2, 2, {150, 60, 100, 80}}};
  for (const Row& row : rows) {
    const auto places = PlaceCaptionLines({0, 0, 200, 100}, {50, 100}, 20, row.h, row.v);
    std::vector<int> got;
    for (const LinePlacement& p : places) got.insert(got.end(), {p.x, p.y});
    EXPECT_EQ(got, row.want) << row.h << "/" << row.v;
  }
}

}  // namespace
}  // namespace brisko
