#include "layout/template_render.h"

#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>

#include "common/plt_test_album.h"
#include "common/temp_dir.h"
#include "imagemeta/jpeg_exif_file.h"
#include "imaging/image_codec.h"
#include "layout/render_rules.h"
#include "layout/template_album.h"

namespace brisko {
namespace {

const std::string kCamera = std::string(BRISKO_TEST_DATA) + "/jpeg/drewnoakes/Nikon_E775.jpg";

class TemplateRenderTest : public ::testing::Test {
 protected:
  CTemplate& Load(const std::vector<test::TestTemplate>& templates) {
    const std::string path = test::MakeTestAlbum(dir.Path(), templates);
    EXPECT_FALSE(path.empty());
    EXPECT_TRUE(album.Load(path));
    return *album.m_Templates.at(0);
  }
  Image Decoded(const std::string& path) {
    Image img;
    EXPECT_TRUE(DecodeImageFile(path, ImageFormatFromPath(path), img, nullptr)) << path;
    return img;
  }

  test::TempDir dir;
  TemplateAlbum album;
};

bool Near(const uint8_t* px, int r, int g, int b, int tolerance = 40) {
  return std::abs(px[0] - r) < tolerance && std::abs(px[1] - g) < tolerance &&
         std::abs(px[2] - b) < tolerance;
}

TEST_F(TemplateRenderTest, PhotoFillsItsHoleAndTheJpegCarriesItsExif) {
  CTemplate& t = Load({test::TestTemplate{}});
  t.SetPhoto(kCamera, 0);
  ASSERT_TRUE(t.SaveTemplateImage(dir / "out.jpg", 1));
  int w = 0, h = 0;
  ASSERT_TRUE(ReadJpegSofDimensions(dir / "out.jpg", w, h));
  EXPECT_EQ(w, 300);
  EXPECT_EQ(h, 200);
  std::time_t shot = 0, original = 0;
  EXPECT_TRUE(ReadExifDateTime(dir / "out.jpg", shot));
  ASSERT_TRUE(ReadExifDateTime(kCamera, original));
  EXPECT_EQ(shot, original);
  EXPECT_FALSE(std::filesystem::exists(dir / "out.jpg.TempExifFile"));
  const Image page = Decoded(dir / "out.jpg");
  EXPECT_TRUE(Near(page.At(10, 10), 0, 0, 255));
  EXPECT_FALSE(Near(page.At(150, 100), 0, 0, 255));
  EXPECT_FALSE(t.m_Background.IsLoaded());  // released after the save

  // The same page as PNG: written as PNG, without an EXIF block.
  t.SetPhoto(kCamera, 0);
  ASSERT_TRUE(t.SaveTemplateImage(dir / "out.png", 1));
  EXPECT_EQ(Decoded(dir / "out.png").width, 300);
  EXPECT_FALSE(ReadExifDateTime(dir / "out.png", shot));
}

TEST_F(TemplateRenderTest, ColourKeyShowsThePageThroughWithColoursInFileOrder) {
  ASSERT_TRUE(test::WriteSolidImage(dir / "red.jpg", 120, 80, 255, 0, 0));
  struct Row {
    const char* key;  // m_TransRGB: red in the low byte
    bool seeThrough;
  } rows[] = {{"255", true}, {"16711680", false}};
  for (const Row& row : rows) {
    test::TestTemplate tt;
    tt.holes[0].transSetting = std::string("<NUMTRANSSETS>1</NUMTRANSSETS><TRANSSET_0><m_TransRGB>") +
                               row.key +
                               "</m_TransRGB><m_TransTol1>60</m_TransTol1><m_TransTol2>0</m_TransTol2>"
                               "<m_BrightnessTol>255</m_BrightnessTol></TRANSSET_0>"
                               "<m_iDespeckleCount>2</m_iDespeckleCount><m_bTransColors>1</m_bTransColors>";
    CTemplate& t = Load({tt});
    t.SetPhoto(dir / "red.jpg", 0);
    ASSERT_TRUE(t.SaveTemplateImage(dir / "keyed.png", 1));
    const Image page = Decoded(dir / "keyed.png");
    EXPECT_EQ(Near(page.At(150, 100), 0, 0, 255), row.seeThrough) << row.key;
    EXPECT_EQ(Near(page.At(150, 100), 255, 0, 0), !row.seeThrough) << row.key;
  }
}

TEST_F(TemplateRenderTest, EmptyHoleIsOutlinedInGreen) {
  test::TestTemplate tt;
  tt.holes = {{0.05, 0.1, 0.4, 0.8, ""}, {0.55, 0.1, 0.4, 0.8, ""}};
  CTemplate& t = Load({tt});
  t.SetPhoto(kCamera, 0);
  ASSERT_TRUE(t.SaveTemplateImage(dir / "two.png", 1));
  const Image page = Decoded(dir / "two.png");
  // The second hole starts at x 165, y 20: its outline is drawn, its inside keeps the page.
  EXPECT_TRUE(Near(page.At(165, 100), 0, 255, 0, 2));
  EXPECT_TRUE(Near(page.At(200, 30), 0, 0, 255));
  EXPECT_FALSE(Near(page.At(15, 100), 0, 255, 0, 2));
}

// A portrait shot stored on its side (orientation 6) is placed upright: the 150 x 100 hole is
// covered by a 150 x 200 placement, and the picture comes out with orientation 1.
TEST_F(TemplateRenderTest, PhotoIsTurnedUprightByItsOrientation) {
  CTemplate& t = Load({test::TestTemplate{}});
  const std::string sideways = std::string(BRISKO_TEST_DATA) + "/jpeg/drewnoakes/Samsung_SM-J327T1.jpg";
  t.SetPhoto(sideways, 0);
  const PixelRect placed = t.m_PhotoPreviewRects.at(0).ToPixels(300, 200);
  EXPECT_EQ(placed.Width(), 150);
  EXPECT_EQ(placed.Height(), 200);
  ASSERT_TRUE(t.SaveTemplateImage(dir / "upright.jpg", 1));
  JpegExifFile exif;
  uint16_t orientation = 0;
  ASSERT_TRUE(exif.Parse(dir / "upright.jpg"));
  ASSERT_TRUE(exif.GetOrientation(orientation));
  EXPECT_EQ(orientation, 1);
}

TEST_F(TemplateRenderTest, UndecodableBackgroundOrPhotoFailsWithoutOutput) {
  test::WriteFile(dir / "not-a-photo.jpg", "not a picture");
  struct Row {
    const char* background;
    std::string photo;
  } rows[] = {{"bad.jpg", kCamera}, {"page.jpg", dir / "not-a-photo.jpg"}};
  for (const Row& row : rows) {
    test::TestTemplate tt;
    tt.background = row.background;
    CTemplate& t = Load({tt});
    t.SetPhoto(row.photo, 0);
    EXPECT_FALSE(t.SaveTemplateImage(dir / "none.jpg", 1)) << row.background;
    EXPECT_FALSE(std::filesystem::exists(dir / "none.jpg"));
  }
}

TEST_F(TemplateRenderTest, PreviewWritesOnePicturePerTemplateAndLeavesThePhoto) {
  test::TestTemplate bad;
  bad.background = "bad.jpg";
  const std::string path = test::MakeTestAlbum(dir.Path(), {test::TestTemplate{}, bad, test::TestTemplate{}});
  std::vector<std::string> outputs;
  std::string error;
  EXPECT_FALSE(RenderAlbumForPhoto(path, kCamera, dir / "preview", TemplateRenderState{}, outputs, &error));
  EXPECT_EQ(outputs,
            (std::vector<std::string>{dir / "preview/Nikon_E775.jpg", dir / "preview/Nikon_E775_2.jpg"}));
  EXPECT_NE(error.find("template 2"), std::string::npos) << error;
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir / "preview"), {}), 2);
  EXPECT_TRUE(std::filesystem::exists(kCamera));
}

// A HEIF photo is placed upright by its own rotation (stored 64 x 32, red left and blue right,
// turned a quarter clockwise: red on top), a date caption shows when it was taken, and the page
// carries its EXIF.
TEST_F(TemplateRenderTest, HeifPhotoIsPlacedUprightWithItsCaptureDateAndExif) {
  const std::string raw = std::string(BRISKO_TEST_DATA) + "/raw/";
  test::TestTemplate tt;
  tt.captions =
      "<CAPTION_0><m_iCaptionType>3</m_iCaptionType><m_iPictureHoleIndex>0</m_iPictureHoleIndex>"
      "<m_strCaption>x</m_strCaption></CAPTION_0>";
  tt.numCaptions = 1;
  CTemplate& t = Load({tt});
  t.SetPhoto(raw + "made_turned_64x32.heic", 0);
  ASSERT_TRUE(t.SaveTemplateImage(dir / "out.jpg", 1));
  const Image page = Decoded(dir / "out.jpg");
  ASSERT_EQ(page.width, 300);
  EXPECT_TRUE(Near(page.At(80, 60), 220, 20, 20));
  EXPECT_TRUE(Near(page.At(220, 60), 220, 20, 20));
  EXPECT_TRUE(Near(page.At(80, 140), 20, 20, 220));
  EXPECT_TRUE(Near(page.At(220, 140), 20, 20, 220));

  t.SetPhoto(raw + "nikon_d5300_heic_1.heic", 0);
  std::tm taken{};
  taken.tm_year = 2015 - 1900, taken.tm_mon = 6, taken.tm_mday = 16, taken.tm_hour = 15, taken.tm_min = 38,
  taken.tm_sec = 54, taken.tm_isdst = -1;
  ASSERT_EQ(t.m_Captions.size(), 1u);
  EXPECT_EQ(t.m_Captions[0].m_strCaption, FormatLocalDateTime(std::mktime(&taken), 3));
  ASSERT_TRUE(t.SaveTemplateImage(dir / "nikon.jpg", 1));
  EXPECT_EQ(Decoded(dir / "nikon.jpg").width, 300);
  // The page carries the HEIF photo's EXIF, upright, and nothing is left beside it.
  JpegExifFile exif;
  ASSERT_TRUE(exif.Parse(dir / "nikon.jpg"));
  const ExifEntry* make = exif.FindTag(exif_tag::kMake);
  ASSERT_NE(make, nullptr);
  EXPECT_EQ(std::string(make->data.begin(), make->data.end()).substr(0, 17), "NIKON CORPORATION");
  uint16_t orientation = 0;
  EXPECT_TRUE(exif.GetOrientation(orientation) && orientation == 1);
  float lat = 0, lon = 0;
  EXPECT_TRUE(exif.GetGpsPosition(lat, lon));
  EXPECT_NEAR(lat, 51.1783, 1e-3);
  EXPECT_FALSE(std::filesystem::exists(dir / "nikon.jpg.HeifExif"));
  EXPECT_FALSE(std::filesystem::exists(dir / "out.jpg.HeifExif"));
}

}  // namespace
}  // namespace brisko
