#include "imaging/jpeg_transform.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <turbojpeg.h>

#include <string>

#include "common/jpeg_builder.h"
#include "common/temp_dir.h"
#include "common/tools.h"
#include "imaging/jpegtran_check.h"

namespace brisko {
namespace {

using test::HaveJpegtran;

// Same decoded pixels as `jpegtran -trim -rotate N`: partial edge blocks are trimmed away.
TEST(JpegLosslessTransform, MatchesJpegtranWithTrim) {
  if (!HaveJpegtran()) GTEST_SKIP() << "jpegtran not installed";
  test::TempDir dir;
  struct Row {
    int w, h, subsamp;
    bool progressive;
  } rows[] = {{64, 48, TJSAMP_420, false}, {65, 47, TJSAMP_420, false}, {33, 17, TJSAMP_444, false},
              {50, 30, TJSAMP_422, false}, {70, 45, TJSAMP_420, true},  {9, 9, TJSAMP_GRAY, false}};
  for (const Row& r : rows) {
    for (auto [code, degrees] :
         {std::pair{JpegTransformCode::Rotate90, 90}, {JpegTransformCode::Rotate270, 270}}) {
      SCOPED_TRACE(std::to_string(r.w) + "x" + std::to_string(r.h) + " " + std::to_string(degrees));
      auto src = test::MakeJpeg(r.w, r.h, r.progressive, r.subsamp);
      test::Save(dir / "s.jpg", src);
      std::vector<uint8_t> ours;
      ASSERT_TRUE(JpegLosslessTransform(src.data(), src.size(), code, ours));
      test::ExpectPixelsLikeJpegtran(dir / "s.jpg", ours, degrees, dir / "r.jpg");
    }
  }
}

TEST(JpegLosslessTransform, RejectsWhatIsNotAJpeg) {
  std::vector<uint8_t> out;
  std::string error;
  std::vector<uint8_t> junk(100, 0x42);
  EXPECT_FALSE(JpegLosslessTransform(junk.data(), junk.size(), JpegTransformCode::Rotate90, out, &error));
  EXPECT_FALSE(error.empty());
  EXPECT_FALSE(JpegLosslessTransform(nullptr, 0, JpegTransformCode::Rotate90, out));
  auto jpeg = test::MakeJpeg(32, 32);
  jpeg.resize(jpeg.size() / 2);  // a truncated scan is not passed on as rotated
  EXPECT_FALSE(JpegLosslessTransform(jpeg.data(), jpeg.size(), JpegTransformCode::Rotate90, out));
}

// A small file whose frame header claims 60000 x 60000 pixels once cost 14 GB and a minute.
TEST(JpegLosslessTransform, HugeDeclaredDimensionsAreRefusedWithoutDecoding) {
  for (bool progressive : {false, true}) {
    SCOPED_TRACE(progressive ? "progressive" : "baseline");
    auto jpeg = test::MakeJpeg(16, 16, progressive);
    size_t i = 2;
    while (i + 9 < jpeg.size() && jpeg[i + 1] != 0xC0 && jpeg[i + 1] != 0xC2)
      i += 2 + size_t((jpeg[i + 2] << 8) | jpeg[i + 3]);
    ASSERT_LT(i + 9, jpeg.size());
    for (size_t at : {i + 5, i + 7}) {
      jpeg[at] = 60000 >> 8;
      jpeg[at + 1] = 60000 & 0xFF;
    }
    std::vector<uint8_t> out, pixels;
    int w = 0, h = 0, c = 0;
    EXPECT_FALSE(JpegLosslessTransform(jpeg.data(), jpeg.size(), JpegTransformCode::Rotate90, out));
    EXPECT_FALSE(JpegDecodePixels(jpeg, pixels, w, h, c));
    EXPECT_TRUE(pixels.empty());
  }
}

TEST(JpegLosslessTransform, FileVersionLeavesNoDestinationOnFailure) {
  test::TempDir dir;
  test::WriteFile(dir / "bad.jpg", "not a jpeg");
  EXPECT_FALSE(JpegLosslessTransformFile(dir / "bad.jpg", dir / "out.jpg", JpegTransformCode::Rotate270));
  EXPECT_FALSE(JpegLosslessTransformFile(dir / "missing.jpg", dir / "out.jpg", JpegTransformCode::Rotate270));
  EXPECT_FALSE(std::filesystem::exists(dir / "out.jpg"));
  auto jpeg = test::MakeJpeg(16, 32);
  test::Save(dir / "ok.jpg", jpeg);
  ASSERT_TRUE(JpegLosslessTransformFile(dir / "ok.jpg", dir / "out.jpg", JpegTransformCode::Rotate270));
  std::vector<uint8_t> out, px;
  int w, h, c;
  ASSERT_TRUE(ReadWholeFile(dir / "out.jpg", out));
  ASSERT_TRUE(JpegDecodePixels(out, px, w, h, c));
  EXPECT_EQ(w, 32);
  EXPECT_EQ(h, 16);
}

}  // namespace
}  // namespace brisko
