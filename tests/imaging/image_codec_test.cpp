#include "imaging/image_codec.h"

#include <gtest/gtest.h>

#include "common/hostile_inputs.h"
#include "common/temp_dir.h"
#include "imaging/image_geometry.h"
#include "imaging/image_paint.h"
#include "imaging/image_text.h"
#include "imaging/jpeg_layout.h"

namespace brisko {
namespace {

// Left half red, right half blue, with a green 4x4 square at the top left.
Image Sample(int w = 32, int h = 16, int channels = 3) {
  Image img(w, h, channels);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      uint8_t* p = img.At(x, y);
      const bool green = x < 4 && y < 4;
      p[0] = green ? 0 : (x < w / 2 ? 230 : 10);
      p[1] = green ? 240 : 20;
      p[2] = green ? 0 : (x < w / 2 ? 10 : 220);
      if (channels == 4) p[3] = uint8_t(x * 255 / (w - 1));
    }
  return img;
}

TEST(ImageCodec, EveryWritableFormatRoundTripsThroughItsDecoder) {
  struct Row {
    int format;
    int tolerance;  // lossy formats
    int channels = 3;
  } rows[] = {{kFormatJpeg, 40}, {kFormatPng, 0},  {kFormatPng, 0, 4}, {kFormatBmp, 0},
              {kFormatPcx, 0},   {kFormatTiff, 0}, {kFormatTga, 0},    {kFormatPsd, 0}};
  for (const Row& row : rows) {
    SCOPED_TRACE(std::to_string(row.format) + " channels " + std::to_string(row.channels));
    const Image src = Sample(32, 16, row.channels);
    std::vector<uint8_t> data;
    std::string reason;
    ASSERT_TRUE(EncodeImage(src, row.format, data, &reason)) << reason;
    Image back;
    ASSERT_TRUE(DecodeImage(data.data(), data.size(), row.format, back, &reason)) << reason;
    ASSERT_EQ(back.width, 32);
    ASSERT_EQ(back.height, 16);
    ASSERT_EQ(back.channels, row.channels);
    if (row.tolerance == 0) {
      EXPECT_EQ(back.pixels, src.pixels);  // alpha included
      continue;
    }
    for (int c = 0; c < 3; ++c) {
      EXPECT_NEAR(back.At(1, 1)[c], src.At(1, 1)[c], row.tolerance);
      EXPECT_NEAR(back.At(28, 10)[c], src.At(28, 10)[c], row.tolerance);
    }
  }
}

TEST(ImageCodec, LargeJpegIsDecodedAtReducedScaleButNeverBelowTheTarget) {
  const Image big = Sample(800, 600);
  std::vector<uint8_t> data;
  std::string reason;
  ASSERT_TRUE(EncodeImage(big, kFormatJpeg, data, &reason)) << reason;
  Image img;
  DecodeOptions opt;
  opt.targetWidth = 150;
  opt.targetHeight = 100;
  ASSERT_TRUE(DecodeImage(data.data(), data.size(), kFormatJpeg, img, &reason, opt)) << reason;
  EXPECT_EQ(img.width, 200);  // 1/4: 1/8 would give 100 x 75
  EXPECT_EQ(img.height, 150);
}

TEST(ImageCodec, BrokenAndUnsupportedInputFailsWithAReason) {
  const Image src = Sample();
  std::vector<uint8_t> jpeg;
  std::string reason;
  ASSERT_TRUE(EncodeImage(src, kFormatJpeg, jpeg, &reason));
  std::vector<uint8_t> garbage(300, 0x5a);
  struct Row {
    std::vector<uint8_t> data;
    int format;
    uint64_t cap;
  } rows[] = {
      {garbage, kFormatJpeg, kDefaultMaxPixels}, {garbage, kFormatPng, kDefaultMaxPixels},
      {garbage, kFormatTiff, kDefaultMaxPixels}, {garbage, kFormatPsd, kDefaultMaxPixels},
      {garbage, kFormatBmp, kDefaultMaxPixels},  {jpeg, kFormatPng, kDefaultMaxPixels},
      {jpeg, kFormatEmf, kDefaultMaxPixels},     {jpeg, kFormatUnknown, kDefaultMaxPixels},
      {jpeg, kFormatJpeg, 32 * 16 - 1},          {{}, kFormatJpeg, kDefaultMaxPixels},
  };
  for (const Row& row : rows) {
    Image img;
    reason.clear();
    DecodeOptions opt;
    opt.maxPixels = row.cap;
    EXPECT_FALSE(DecodeImage(row.data.data(), row.data.size(), row.format, img, &reason, opt)) << row.format;
    EXPECT_FALSE(reason.empty());
    EXPECT_TRUE(img.Empty());
  }
}

// Damaged pictures fail whole instead of decoding with grey filled in; a JPEG is walked before
// it is decoded, so endless scans or segments cost nothing.
TEST(ImageCodec, DamagedOrEndlessPicturesFailBeforeOrWhileDecoding) {
  Image big(256, 256, 3);
  for (size_t i = 0; i < big.pixels.size(); ++i) big.pixels[i] = uint8_t(i * 7 % 251);
  std::vector<uint8_t> png;
  ASSERT_TRUE(EncodeImage(big, kFormatPng, png, nullptr));
  std::vector<uint8_t> jpegTail = test::MakeJpeg(64, 64);
  jpegTail.insert(jpegTail.end() - 2, {0x12, 0x34});  // stray bytes before EOI: only a warning
  const struct Row {
    const char* what;
    std::vector<uint8_t> data;
    int format;
    const char* reason;  // nullptr: decodes
  } rows[] = {
      {"jpeg cut short", test::JpegCutShort(), kFormatJpeg, "cut short"},
      {"jpeg scan damaged", test::JpegWithCorruptScan(), kFormatJpeg, "Corrupt JPEG data"},
      {"jpeg with bytes before EOI", jpegTail, kFormatJpeg, nullptr},
      {"png cut short", std::vector<uint8_t>(png.begin(), png.begin() + int64_t(png.size() / 2)), kFormatPng,
       ""},
  };
  for (const Row& row : rows) {
    Image img;
    std::string reason;
    ImageHeader header;
    const bool decoded = DecodeImage(row.data.data(), row.data.size(), row.format, img, &reason);
    EXPECT_EQ(decoded, row.reason == nullptr) << row.what << ": " << reason;
    if (row.reason) {
      EXPECT_NE(reason.find(row.reason), std::string::npos) << row.what << ": " << reason;
    }
    if (row.format == kFormatJpeg) {
      EXPECT_EQ(ReadImageHeader(row.data.data(), row.data.size(), row.format, header, nullptr),
                decoded || std::string(row.what) == "jpeg scan damaged")
          << row.what;
    }
  }
  const struct {
    std::vector<uint8_t> data;
    bool walks;
  } limits[] = {{test::JpegWithManyScans(1000), true},
                {test::JpegWithManyScans(1001), false},
                {test::JpegWithManySegments(999), true},  // and the JFIF segment
                {test::JpegWithManySegments(1000), false}};
  for (const auto& row : limits) {
    JpegLayout layout;
    std::string reason;
    EXPECT_EQ(InspectJpeg(row.data.data(), row.data.size(), layout, &reason), row.walks) << reason;
    EXPECT_EQ(reason.find("more than 1000") != std::string::npos, !row.walks) << reason;
    Image img;
    if (!row.walks) {
      EXPECT_FALSE(DecodeImage(row.data.data(), row.data.size(), kFormatJpeg, img, nullptr));
    }
  }
}

TEST(ImageCodec, FilesAreEncodedByExtensionAndSizedFromTheHeader) {
  test::TempDir dir;
  const Image src = Sample();
  std::string reason;
  for (const char* name : {"a.JPG", "b.png", "c.tiff", "d.bmp"}) {
    const std::string path = dir / name;
    ASSERT_TRUE(EncodeImageFile(src, path, &reason)) << reason;
    int w = 0, h = 0;
    ASSERT_TRUE(ReadImageSize(path, ImageFormatFromPath(path), w, h, &reason)) << reason;
    EXPECT_EQ(w, 32);
    EXPECT_EQ(h, 16);
  }
  EXPECT_FALSE(EncodeImageFile(src, dir / "x.txt", &reason));
  EXPECT_FALSE(EncodeImageFile(src, dir / "missing/x.png", &reason));
  Image img;
  EXPECT_FALSE(DecodeImageFile(dir / "none.png", kFormatPng, img, &reason));
}

TEST(ImageCodec, ExtensionTable) {
  struct Row {
    const char* path;
    int code;
  } rows[] = {{"a.jpg", 1},   {"a.JPEG", 1}, {"a.Png", 3},   {"a.bmp", 6},   {"a.pcx", 9},  {"a.TIF", 12},
              {"a.tiff", 12}, {"a.tga", 16}, {"a.wmf", 19},  {"a.psd", 20},  {"a.emf", 23}, {"a.wbmp", 24},
              {"a.gif", 0},   {"jpg", 0},    {"a.jpg.x", 0}, {"d.jpg/a", 0}, {"/x/.png", 3}};
  for (const Row& row : rows) EXPECT_EQ(ImageFormatFromPath(row.path), row.code) << row.path;
}

TEST(ImageCodec, PlanesSplitAndCombineIntoRgba) {
  const Image colour = Sample();
  std::vector<uint8_t> green = ExtractPlane(colour, 1);
  ASSERT_EQ(green.size(), 32u * 16u);
  EXPECT_EQ(green[0], 240);
  Image rgba;
  ASSERT_TRUE(CombineWithPlane(colour, green, rgba));
  EXPECT_EQ(rgba.channels, 4);
  EXPECT_EQ(rgba.At(0, 0)[3], 240);
  EXPECT_EQ(rgba.At(20, 10)[3], 20);
  EXPECT_FALSE(CombineWithPlane(colour, std::vector<uint8_t>(10), rgba));
}

TEST(ImageCodec, ResizeGivesTheExactSizeAndKeepsTransparentColourOut) {
  Image src(40, 20, 4);
  for (int y = 0; y < 20; ++y)
    for (int x = 0; x < 40; ++x) {
      uint8_t* p = src.At(x, y);
      // Opaque white left, fully transparent pure red right.
      p[0] = 255;
      p[1] = p[2] = x < 20 ? 255 : 0;
      p[3] = x < 20 ? 255 : 0;
    }
  Image out;
  std::string reason;
  ASSERT_TRUE(ResizeImage(src, 17, 9, out, &reason)) << reason;
  EXPECT_EQ(out.width, 17);
  EXPECT_EQ(out.height, 9);
  // Where the edge blends, the colour stays white: red only ever came with alpha 0.
  for (int x = 0; x < 17; ++x) {
    const uint8_t* p = out.At(x, 4);
    if (p[3] > 10) {
      EXPECT_GT(p[1], 200) << x;
    }
  }
  EXPECT_FALSE(ResizeImage(src, 0, 9, out, &reason));
}

TEST(ImageCodec, RotationsTurnClockwise) {
  const Image src = Sample();
  Image out;
  std::string reason;
  ASSERT_TRUE(RotateQuarter(src, 90, out, &reason)) << reason;
  EXPECT_EQ(out.width, 16);
  EXPECT_EQ(out.height, 32);
  EXPECT_EQ(out.At(15, 0)[1], 240);  // the green top-left corner moved to the top right
  ASSERT_TRUE(RotateAny(src, 45, out, &reason)) << reason;
  EXPECT_GT(out.width, 32);
  EXPECT_EQ(out.At(0, 0)[0], 255);  // white corner
  EXPECT_EQ(out.At(0, 0)[2], 255);
  EXPECT_FALSE(RotateQuarter(src, 45, out, &reason));
}

TEST(ImageCodec, CropAndCompositeClipToTheCanvas) {
  Image canvas(10, 10, 3, 0);
  Image patch(4, 4, 4, 255);
  for (int y = 0; y < 4; ++y) patch.At(0, y)[3] = 0;  // transparent first column
  CompositeAt(canvas, patch, 8, -2, 100);
  EXPECT_EQ(canvas.At(8, 0)[0], 0);    // transparent column
  EXPECT_EQ(canvas.At(9, 1)[0], 255);  // drawn
  EXPECT_EQ(canvas.At(9, 2)[0], 0);    // below the patch
  CompositeAt(canvas, patch, 0, 5, 50);
  EXPECT_EQ(canvas.At(1, 5)[0], 127);  // half of 255, truncated

  Image part;
  ASSERT_TRUE(CropImage(canvas, 7, -3, 10, 5, part));
  EXPECT_EQ(part.width, 3);
  EXPECT_EQ(part.height, 2);
  EXPECT_FALSE(CropImage(canvas, 20, 0, 5, 5, part));
}

TEST(ImageCodec, TextIsMeasuredAndDrawnInItsColour) {
  TextStyle style;
  style.pixelHeight = 40;
  int w1 = 0, h1 = 0, w2 = 0, h2 = 0;
  std::string reason;
  ASSERT_TRUE(MeasureText("Hi <&>", style, w1, h1, &reason)) << reason;
  ASSERT_TRUE(MeasureText("Hi <&> Hi <&>", style, w2, h2, &reason)) << reason;
  EXPECT_GT(w1, 20);
  EXPECT_GT(w2, w1);
  Image canvas(200, 80, 3, 255);
  ASSERT_TRUE(DrawText(canvas, "Hi", style, 10, 10, 0x0000ff, 100, &reason)) << reason;
  int red = 0;
  for (int y = 0; y < 80; ++y)
    for (int x = 0; x < 200; ++x)
      if (canvas.At(x, y)[0] == 255 && canvas.At(x, y)[1] == 0) ++red;
  EXPECT_GT(red, 20);
  style.pixelHeight = 4000;  // a caption this large would need gigabytes
  EXPECT_FALSE(MeasureText(std::string(100, 'x'), style, w1, h1, &reason));
  EXPECT_EQ(reason, "text too large to draw");
}

TEST(ImageCodec, SharpenAndSoftenChangeEdgesOnly) {
  Image img = Sample();
  const Image before = img;
  std::string reason;
  ASSERT_TRUE(SharpenImage(img, 0, &reason));
  EXPECT_EQ(img.pixels, before.pixels);
  ASSERT_TRUE(SoftenImage(img, 100, &reason)) << reason;
  EXPECT_EQ(img.At(10, 12)[0], before.At(10, 12)[0]);  // flat area
  EXPECT_NE(img.At(16, 12)[0], before.At(16, 12)[0]);  // the edge
}

}  // namespace
}  // namespace brisko
