#include "layout/template_album.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>

#include "common/plt_test_album.h"
#include "common/temp_dir.h"
#include "layout/album_tools.h"

namespace brisko {
namespace {

using test::Rect;
using test::WriteFile;

// One template element of a source document; `body` replaces everything after APPVERSION.
std::string Template(int i, const std::string& name, const std::string& body) {
  return "<TEMPLATE_" + std::to_string(i) + "><TEMPLATE_VERSION>1</TEMPLATE_VERSION><NAME>" + name +
         "</NAME><CATEGORY>Cat " + name +
         "</CATEGORY><ARTIST>Ann</ARTIST><ORIG_CX>1000</ORIG_CX><ORIG_CY>800</ORIG_CY>" +
         "<APPVERSION>7</APPVERSION>" + body + "</TEMPLATE_" + std::to_string(i) + ">";
}

std::string Album(const std::string& templates, int count) {
  return "<?xml version=\"1.0\"?>\r\n<ALBUM><VERSION>1</VERSION><ALBUMID>42</ALBUMID><ALBUM_NAME>Wedding "
         "&amp; more</ALBUM_NAME>"
         "<TEMPLATES><NUMTEMPLATES>" +
         std::to_string(count) + "</NUMTEMPLATES>" + templates + "</TEMPLATES></ALBUM>";
}

const std::string kFullBody =
    "<THUMBNAIL_IMAGEOFFSET>thumb.jpg</THUMBNAIL_IMAGEOFFSET><NUMPHOTORECTS>2</NUMPHOTORECTS>" +
    Rect("PHOTORECT_0", 0.1, 0.2, 0.5, 0.4) + Rect("PHOTORECT_1", 0.8, 0.8, 0.1, 0.1) +
    "<m_DontConstrainImageSizeList_0>1</m_DontConstrainImageSizeList_0>"
    "<NUMPHOTOPREVIEWRECTS>3</NUMPHOTOPREVIEWRECTS>" +
    Rect("PHOTOPREVIEWRECT_0", 0.1, 0.1, 0.5, 0.5) + Rect("PHOTOPREVIEWRECT_1", 0, 0, 0, 0) +
    Rect("PHOTOPREVIEWRECT_2", 0, 0, 0, 0) +
    "<NUMTRANSSETTINGS>1</NUMTRANSSETTINGS><TRANSSETTING_0><NUMTRANSSETS>1</NUMTRANSSETS>"
    "<TRANSSET_0><m_TransRGB>65280</m_TransRGB><m_TransTol1>30</m_TransTol1><m_TransTol2>20</m_TransTol2>"
    "<m_BrightnessTol>60</m_BrightnessTol></TRANSSET_0><m_iDespeckleCount>3</m_iDespeckleCount>"
    "<m_bTransColors>1</m_bTransColors><m_strImageSubtractionFolder>/bg</m_strImageSubtractionFolder>"
    "<m_iContrast>-5</m_iContrast><m_iBrightness>10</m_iBrightness><m_RedShift>1</m_RedShift>"
    "<m_GreenShift>2</m_GreenShift><m_BlueShift>3</m_BlueShift><m_eColourType>2</m_eColourType>"
    "<m_iSepiaAmount>80</m_iSepiaAmount><m_iRotateDegrees>90</m_iRotateDegrees>"
    "<BACKGROUND_SUBTRACTION_IMAGEOFFSET></BACKGROUND_SUBTRACTION_IMAGEOFFSET></TRANSSETTING_0>"
    "<NUMCAPTIONS>2</NUMCAPTIONS><CAPTION_0><m_strCaption>Hi &lt;there&gt;</m_strCaption>"
    "<m_iHorizAlignFlag>2</m_iHorizAlignFlag><m_iVertAlignFlag>0</m_iVertAlignFlag><m_iFontSize>300</"
    "m_iFontSize>"
    "<m_iFontOpacity>80</m_iFontOpacity><m_bShadow>0</m_bShadow><m_bBold>1</m_bBold><m_bItalic>1</m_bItalic>"
    "<m_TextRGB>255</m_TextRGB><m_strFontFace>DejaVu Sans</m_strFontFace>"
    "<m_fCropHeightPercentage>0.1</m_fCropHeightPercentage></CAPTION_0>"
    "<CAPTION_1><m_iCaptionType>4</m_iCaptionType><m_iPictureHoleIndex>1</m_iPictureHoleIndex>"
    "<m_strCaption>x</m_strCaption><m_iHorizAlignFlag>0</m_iHorizAlignFlag><m_iVertAlignFlag>0</"
    "m_iVertAlignFlag>"
    "<m_iFontSize>1</m_iFontSize><m_iFontOpacity>1</m_iFontOpacity><m_bShadow>1</m_bShadow><m_bBold>0</"
    "m_bBold>"
    "<m_bItalic>0</m_bItalic><m_TextRGB>0</m_TextRGB><m_strFontFace>Arial</m_strFontFace></CAPTION_1>"
    "<BACKGROUND_IMAGEOFFSET>bg.png</BACKGROUND_IMAGEOFFSET><OVERLAY_IMAGEOFFSET>frame.png</"
    "OVERLAY_IMAGEOFFSET>"
    "<NUM_PICTURES>1</NUM_PICTURES><PICTURE_IMAGEOFFSET_0>sample.bmp</PICTURE_IMAGEOFFSET_0>";

class TemplateAlbumTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string reason;
    ASSERT_TRUE(test::WriteSolidImage(dir / "thumb.jpg", 20, 16, 200, 10, 10));
    ASSERT_TRUE(test::WriteSolidImage(dir / "bg.png", 100, 80, 0, 0, 250));
    ASSERT_TRUE(test::WriteSolidImage(dir / "sample.bmp", 30, 20, 1, 2, 3));
    Image frame(100, 80, 4, 255);
    for (int x = 0; x < 100; ++x) frame.At(x, 40)[3] = uint8_t(x);
    ASSERT_TRUE(EncodeImageFile(frame, dir / "frame.png", &reason)) << reason;
  }

  // Packs `source` and loads it.
  bool PackAndLoad(const std::string& source, TemplateAlbum& album, std::string* message = nullptr) {
    WriteFile(dir / "src.xml", source);
    std::string error;
    if (!PackAlbum(dir / "src.xml", dir / "a.plt", &error)) {
      ADD_FAILURE() << error;
      return false;
    }
    return album.Load(dir / "a.plt", message);
  }

  test::TempDir dir;
};

TEST_F(TemplateAlbumTest, LoadsEveryPartOfATemplate) {
  TemplateAlbum album;
  ASSERT_TRUE(PackAndLoad(Album(Template(0, "One", kFullBody), 1), album));
  EXPECT_EQ(album.m_strAlbumName, "Wedding & more");
  EXPECT_EQ(album.m_iAlbumId, 42);
  ASSERT_EQ(album.m_Templates.size(), 1u);
  const CTemplate& t = *album.m_Templates[0];
  EXPECT_EQ(t.m_strName, "One");
  EXPECT_EQ(t.m_strCategory, "Cat One");
  EXPECT_EQ(t.m_iOrigCx, 1000);
  EXPECT_EQ(t.m_iAppVersion, 7);
  EXPECT_EQ(t.m_strAlbumPath, dir / "a.plt");
  EXPECT_TRUE(t.m_Thumbnail.IsLoaded());  // read at once
  EXPECT_EQ(t.m_Thumbnail.Width(), 20);
  ASSERT_EQ(t.m_PhotoRects.size(), 2u);
  EXPECT_EQ(t.m_PhotoRects[0].ToPixels(1000, 800), (PixelRect{100, 160, 600, 480}));
  EXPECT_EQ(t.m_DontConstrainImageSizeList, (std::vector<int>{1, 0}));
  ASSERT_EQ(t.m_TransSettings.size(), 1u);
  const TransSetting& s = t.m_TransSettings[0];
  ASSERT_EQ(s.m_TransSets.size(), 1u);
  EXPECT_EQ(s.m_TransSets[0].m_TransRGB, 0xff00u);
  EXPECT_EQ(s.m_TransSets[0].m_BrightnessTol, 60);
  EXPECT_EQ(s.m_iDespeckleCount, 3);
  EXPECT_EQ(s.m_iContrast, -5);
  EXPECT_EQ(s.m_BlueShift, 3);
  EXPECT_EQ(s.m_iSepiaAmount, 80);
  EXPECT_EQ(s.m_eSharpenType, 0);  // optional, absent
  EXPECT_EQ(s.m_iRotateDegrees, 90);
  EXPECT_FALSE(s.m_BackgroundSubtraction.HasSource());
  ASSERT_EQ(t.m_Captions.size(), 2u);
  EXPECT_EQ(t.m_Captions[0].m_strCaption, "Hi <there>");
  EXPECT_EQ(t.m_Captions[0].m_iCaptionType, 0);  // absent type and hole read as 0
  EXPECT_EQ(t.m_Captions[0].m_iPictureHoleIndex, 0);
  EXPECT_EQ(t.m_Captions[0].m_iFontSize, 300);
  EXPECT_EQ(t.m_Captions[0].m_strFontFace, "DejaVu Sans");
  EXPECT_DOUBLE_EQ(t.m_Captions[0].m_Rect.m_fCropHeightPercentage, 0.1);
  EXPECT_EQ(t.m_Captions[1].m_iCaptionType, 4);
  EXPECT_EQ(t.m_Captions[1].m_iPictureHoleIndex, 1);
  // Three preview rectangles give three picture slots; only the first has a picture.
  ASSERT_EQ(t.m_Pictures.size(), 3u);
  EXPECT_TRUE(t.m_Pictures[0].HasSource());
  EXPECT_FALSE(t.m_Pictures[1].HasSource());
  EXPECT_FALSE(t.m_Background.IsLoaded());  // on demand
  TemplateImage bg = t.m_Background;
  ASSERT_TRUE(bg.LoadIntoMemory());
  EXPECT_EQ(bg.BytesPerPixel(), 3);
  EXPECT_EQ(bg.Pixels().At(5, 5)[2], 250);
  TemplateImage overlay = t.m_Overlay;
  ASSERT_TRUE(overlay.LoadIntoMemory());  // packed as colour + mask
  EXPECT_EQ(overlay.SourceFormat(), kFormatCompound);
  EXPECT_EQ(overlay.BytesPerPixel(), 4);
  EXPECT_EQ(overlay.Pixels().At(77, 40)[3], 77);
  EXPECT_EQ(overlay.Pixels().At(77, 41)[3], 255);
}

TEST_F(TemplateAlbumTest, SinglePhotoFlagRepeatsTheFirstPicture) {
  std::string body = kFullBody;
  body.insert(0, "<USESINGLEPHOTOIMAGE>1</USESINGLEPHOTOIMAGE>");
  std::string t = Template(0, "S", body);
  // USESINGLEPHOTOIMAGE sits between ARTIST and ORIG_CX.
  t.erase(t.find("<USESINGLEPHOTOIMAGE>"), std::strlen("<USESINGLEPHOTOIMAGE>1</USESINGLEPHOTOIMAGE>"));
  t.insert(t.find("<ORIG_CX>"), "<USESINGLEPHOTOIMAGE>1</USESINGLEPHOTOIMAGE>");
  TemplateAlbum album;
  ASSERT_TRUE(PackAndLoad(Album(t, 1), album));
  const CTemplate& tp = *album.m_Templates[0];
  EXPECT_EQ(tp.m_bUseSinglePhotoImage, 1);
  ASSERT_EQ(tp.m_Pictures.size(), 3u);
  for (const TemplateImage& p : tp.m_Pictures) EXPECT_EQ(p.SourceOffset(), tp.m_Pictures[0].SourceOffset());
}

TEST_F(TemplateAlbumTest, MissingElementsFollowTheReaderRules) {
  // No CATEGORY: a required text takes the text found last (NAME). No NUMTEMPLATES element
  // beyond the one present: the list ends at the first missing template.
  std::string t = Template(0, "Only", "");
  t.erase(t.find("<CATEGORY>"), t.find("<ARTIST>") - t.find("<CATEGORY>"));
  TemplateAlbum album;
  ASSERT_TRUE(PackAndLoad(Album(t, 10000), album));
  ASSERT_EQ(album.m_Templates.size(), 1u);
  EXPECT_EQ(album.m_Templates[0]->m_strCategory, "Only");
  EXPECT_TRUE(album.m_Templates[0]->m_PhotoRects.empty());

  ASSERT_TRUE(PackAndLoad(Album("", 0), album));
  EXPECT_TRUE(album.m_Templates.empty());
  EXPECT_EQ(album.m_strPath, dir / "a.plt");
}

TEST_F(TemplateAlbumTest, UnpackThenPackGivesTheSameTemplates) {
  const std::string source = Album(
      Template(0, "One", kFullBody) + Template(1, "Two", kFullBody) +
          Template(2, "Three", "<NUMPHOTORECTS>1</NUMPHOTORECTS>" + Rect("PHOTORECT_0", 0, 0, 1, 1)),
      3);
  TemplateAlbum first;
  ASSERT_TRUE(PackAndLoad(source, first));
  std::string error;
  ASSERT_TRUE(UnpackAlbum(dir / "a.plt", dir / "out", &error)) << error;
  ASSERT_TRUE(PackAlbum(dir / "out/album.xml", dir / "b.plt", &error)) << error;
  TemplateAlbum second;
  ASSERT_TRUE(second.Load(dir / "b.plt"));
  // Same text except the album path; image blocks decode to the same pixels.
  std::string a = DescribeAlbum(first), b = DescribeAlbum(second);
  EXPECT_EQ(a, b);
  EXPECT_NE(a.find("Template 3: Three"), std::string::npos) << a;
  EXPECT_NE(a.find("overlay: transparent 100 x 80"), std::string::npos) << a;
  ASSERT_EQ(second.m_Templates.size(), 3u);
  TemplateImage o1 = first.m_Templates[1]->m_Overlay, o2 = second.m_Templates[1]->m_Overlay;
  ASSERT_TRUE(o1.LoadIntoMemory() && o2.LoadIntoMemory());
  EXPECT_EQ(o1.Pixels().pixels, o2.Pixels().pixels);
  EXPECT_EQ(first.m_Templates[0]->m_Captions[0].m_strCaption,
            second.m_Templates[0]->m_Captions[0].m_strCaption);
  // Shared images are stored once.
  EXPECT_EQ(first.m_Templates[0]->m_Background.SourceOffset(),
            first.m_Templates[1]->m_Background.SourceOffset());

  EXPECT_FALSE(UnpackAlbum(dir / "a.plt", dir / "out", &error));  // not empty
  EXPECT_NE(error.find("not empty"), std::string::npos);
}

TEST_F(TemplateAlbumTest, PackRefusesBadSourcesAndLeavesNoFile) {
  const struct {
    std::string source;
    const char* expected;
  } rows[] = {
      {"<ALBUM><TEMPLATES>", "not a well-formed"},
      {Album(Template(0, "x", "<BACKGROUND_IMAGEOFFSET>nothere.jpg</BACKGROUND_IMAGEOFFSET>"), 1),
       "nothere.jpg"},
      {Album(Template(0, "x", "<BACKGROUND_IMAGEOFFSET>src.xml</BACKGROUND_IMAGEOFFSET>"), 1),
       "not an image format"},
      {Album(Template(0, "x",
                      "<NUMCAPTIONS>1</NUMCAPTIONS><CAPTION_0><m_iFontSize>big</m_iFontSize></CAPTION_0>"),
             1),
       "TEMPLATE_0/CAPTION_0/m_iFontSize: 'big' is not a number"},
      {Album(Template(0, "x", "<NUMPHOTORECTS>2x</NUMPHOTORECTS>"), 1),
       "NUMPHOTORECTS: '2x' is not a number"},
      {Album(Template(0, "x", Rect("PHOTORECT_0", 0, 0, 80, 0.5)), 1),
       "PHOTORECT_0/m_fCropWidthPercentage: 80.000000 is out of range"},
      {Album(Template(0, "x", Rect("PHOTORECT_0", 0.5, 0.5, 0, std::nan(""))), 1), "is not a number"},
      {Album("", 20000), "NUMTEMPLATES: 20000 is out of range (0 to 10000)"},
      {Album(Template(
                 0, "x",
                 "<NUMCAPTIONS>1</NUMCAPTIONS><CAPTION_0><m_iFontOpacity>101</m_iFontOpacity></CAPTION_0>"),
             1),
       "m_iFontOpacity: 101 is out of range"},
  };
  for (const auto& row : rows) {
    WriteFile(dir / "src.xml", row.source);
    std::string error;
    EXPECT_FALSE(PackAlbum(dir / "src.xml", dir / "bad.plt", &error));
    EXPECT_NE(error.find(row.expected), std::string::npos) << error;
    EXPECT_FALSE(std::filesystem::exists(dir / "bad.plt"));
  }
  std::filesystem::create_directory(dir / "ro");
  std::filesystem::permissions(dir / "ro",
                               std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
  if (::access((dir / "ro").c_str(), W_OK) != 0) {  // root writes anyway
    WriteFile(dir / "src.xml", Album("", 0));
    std::string error;
    EXPECT_FALSE(PackAlbum(dir / "src.xml", dir / "ro/a.plt", &error));
    EXPECT_NE(error.find("cannot write"), std::string::npos) << error;
  }
}

// Container bytes around a directory text, with blocks placed from offset 12.
std::string Container(const std::string& directory, const std::string& blocks = "", int32_t version = 101) {
  std::string out(12, '\0');
  std::memcpy(&out[0], &version, 4);
  const uint64_t d = 12 + blocks.size();
  std::memcpy(&out[4], &d, 8);
  out += blocks;
  const int32_t n = int32_t(directory.size());
  out.append(reinterpret_cast<const char*>(&n), 4);
  return out + directory;
}

std::string Block(int32_t size, int32_t format, const std::string& data) {
  std::string out(8, '\0');
  std::memcpy(&out[0], &size, 4);
  std::memcpy(&out[4], &format, 4);
  return out + data;
}

TEST_F(TemplateAlbumTest, HostileContainersFailCleanly) {
  const std::string dirText = Album(Template(0, "T", ""), 1);
  std::string good = Container(dirText);
  auto withD = [&](uint64_t d) {
    std::string s = good;
    std::memcpy(&s[4], &d, 8);
    return s;
  };
  auto withN = [&](int32_t n) {
    std::string s = good;
    std::memcpy(&s[12], &n, 4);
    return s;
  };
  const struct {
    const char* what;
    std::string bytes;
    bool loads;
  } rows[] = {
      {"good", good, true},
      {"empty file", "", false},
      {"short header", good.substr(0, 8), false},
      {"offset past the end", withD(good.size()), false},
      {"offset huge", withD(~uint64_t{0}), false},
      {"length past the end", withN(int32_t(dirText.size()) + 1), false},
      {"negative length", withN(-5), false},
      {"truncated directory", good.substr(0, good.size() - 10), false},
      {"not XML", Container("<ALBUM><TEMPLATES>"), false},
      {"empty directory", Container(""), false},
  };
  for (const auto& row : rows) {
    WriteFile(dir / "h.plt", row.bytes);
    TemplateAlbum album;
    EXPECT_EQ(album.Load(dir / "h.plt"), row.loads) << row.what;
  }
}

TEST_F(TemplateAlbumTest, OldVersionShowsTheVersionMessage) {
  WriteFile(dir / "old.plt", Container(Album("", 0), "", 100));
  TemplateAlbum album;
  std::string message;
  EXPECT_FALSE(album.Load(dir / "old.plt", &message));
  EXPECT_EQ(message,
            dir / "old.plt" + " is saved as version 100.  This application requires albums of version 101.");
}

TEST_F(TemplateAlbumTest, HostileImageBlocksLeaveTheImageEmpty) {
  std::vector<uint8_t> png;
  std::string reason;
  ASSERT_TRUE(EncodeImage(Image(4, 4, 3, 9), kFormatPng, png, &reason));
  const std::string pngBytes(png.begin(), png.end());
  std::vector<uint8_t> small;
  ASSERT_TRUE(EncodeImage(Image(2, 2, 3, 9), kFormatPng, small, &reason));
  const std::string smallBytes(small.begin(), small.end());
  const std::string nested =
      Block(int32_t(pngBytes.size()) + 8, kFormatCompound, Block(int32_t(pngBytes.size()), 3, pngBytes));
  const struct {
    const char* what;
    std::string block;
    bool hasSource;
    bool decodes;
  } rows[] = {
      {"good", Block(int32_t(pngBytes.size()), 3, pngBytes), true, true},
      {"size zero", Block(0, 3, pngBytes), false, false},
      {"negative size", Block(-1, 3, pngBytes), false, false},
      {"size larger than the file", Block(1 << 30, 3, pngBytes), true, false},
      {"undecodable", Block(100, 1, std::string(100, 'x')), true, false},
      {"wrong format code", Block(int32_t(pngBytes.size()), 1, pngBytes), true, false},
      {"nested format 25", Block(int32_t(nested.size()), kFormatCompound, nested + nested), true, false},
      {"mask of another size",
       Block(int32_t(pngBytes.size() + smallBytes.size() + 16), kFormatCompound,
             Block(int32_t(pngBytes.size()), 3, pngBytes) + Block(int32_t(smallBytes.size()), 3, smallBytes)),
       true, false},
      {"mask cut short",
       Block(int32_t(pngBytes.size() + 8 + 4), kFormatCompound,
             Block(int32_t(pngBytes.size()), 3, pngBytes) + Block(int32_t(smallBytes.size()), 3, smallBytes)),
       true, false},
      {"compound colour + mask",
       Block(int32_t(2 * pngBytes.size() + 16), kFormatCompound,
             Block(int32_t(pngBytes.size()), 3, pngBytes) + Block(int32_t(pngBytes.size()), 3, pngBytes)),
       true, true},
  };
  for (const auto& row : rows) {
    const std::string body =
        "<BACKGROUND_IMAGEOFFSET>12</BACKGROUND_IMAGEOFFSET><OVERLAY_IMAGEOFFSET>-40</OVERLAY_IMAGEOFFSET>"
        "<NUM_PICTURES>1</NUM_PICTURES><PICTURE_IMAGEOFFSET_0>999999</PICTURE_IMAGEOFFSET_0>";
    WriteFile(dir / "h.plt", Container(Album(Template(0, "T", body), 1), row.block));
    TemplateAlbum album;
    ASSERT_TRUE(album.Load(dir / "h.plt")) << row.what;
    TemplateImage& bg = album.m_Templates[0]->m_Background;
    EXPECT_EQ(bg.HasSource(), row.hasSource) << row.what;
    EXPECT_EQ(bg.LoadIntoMemory(), row.decodes) << row.what;
    EXPECT_EQ(bg.IsLoaded(), row.decodes) << row.what;
    EXPECT_FALSE(album.m_Templates[0]->m_Overlay.HasSource());
  }
}

TEST(TemplateRectTest, PixelConversionTruncates) {
  TemplateRect r;
  r.m_fCropXOffsetPercentage = 0.1;
  r.m_fCropYOffsetPercentage = 0.2;
  r.m_fCropWidthPercentage = 0.5;
  r.m_fCropHeightPercentage = 0.4;
  EXPECT_EQ(r.ToPixels(1000, 800), (PixelRect{100, 160, 600, 480}));
  EXPECT_EQ(r.ToPixels(999, 799), (PixelRect{99, 159, 598, 478}));  // 99.9 -> 99, 499.5 -> 499
  const TemplateRect back = TemplateRect::FromPixels({100, 160, 600, 480}, 1000, 800);
  EXPECT_DOUBLE_EQ(back.m_fCropWidthPercentage, 0.5);
  EXPECT_DOUBLE_EQ(back.m_fCropYOffsetPercentage, 0.2);
  TemplateRect wild;
  wild.m_fCropXOffsetPercentage = 1e300;
  wild.m_fCropWidthPercentage = -1e300;
  const PixelRect p = wild.ToPixels(1000, 800);  // bounded, no overflow
  EXPECT_EQ(p.left, 1'000'000'000);
  EXPECT_EQ(p.right, 0);
}

TEST(TemplateRectTest, DirectoryNumbersReadTheirLeadingDigits) {
  EXPECT_EQ(ParseDirectoryInt(" 12abc"), 12);
  EXPECT_EQ(ParseDirectoryInt("-7"), -7);
  EXPECT_EQ(ParseDirectoryInt("abc"), 0);
  EXPECT_GT(ParseDirectoryInt("99999999999999999999999"), 0);
  EXPECT_DOUBLE_EQ(ParseDirectoryReal("0.25x"), 0.25);
  EXPECT_DOUBLE_EQ(ParseDirectoryReal("+1e-1"), 0.1);
  EXPECT_DOUBLE_EQ(ParseDirectoryReal("nan"), 0);
  EXPECT_DOUBLE_EQ(ParseDirectoryReal("zz"), 0);
}

TEST(TemplateImageTest, CopyFromTakesTheSourceOnlyWhenItsFileExists) {
  test::TempDir dir;
  std::string reason;
  ASSERT_TRUE(test::WriteSolidImage(dir / "p.png", 6, 4, 1, 2, 3));
  TemplateImage a;
  a.SetFileSource(dir / "p.png", kFormatPng);
  ASSERT_TRUE(a.LoadIntoMemory(&reason)) << reason;
  TemplateImage b;
  b.CopyFrom(a);
  EXPECT_EQ(b.SourcePath(), dir / "p.png");
  EXPECT_TRUE(b.IsLoaded());
  a.SetFileSource(dir / "gone.png", kFormatPng);
  b.CopyFrom(a);
  EXPECT_FALSE(b.HasSource());
  EXPECT_TRUE(b.IsLoaded());  // pixels still copied
  EXPECT_FALSE(a.LoadIntoMemory(&reason));
  EXPECT_FALSE(reason.empty());
}

}  // namespace
}  // namespace brisko
