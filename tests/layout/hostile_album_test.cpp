// Hostile albums and photos end quickly, with a page or with the reason they were refused.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <filesystem>
#include <functional>

#include "common/hostile_inputs.h"
#include "common/temp_dir.h"
#include "layout/album_tools.h"
#include "layout/template_album.h"
#include "layout/template_render.h"

namespace brisko {
namespace {

using namespace brisko::test;
// Processor time of this process, all threads: unlike the wall clock it does not depend on
// what else the machine is doing.
double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

class HostileAlbumTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Save(dir / "photo.jpg", MakeJpeg(600, 400));
    page = MakeJpeg(300, 200);
  }
  std::string Album(const std::vector<RawTemplate>& templates, RawAlbum& raw) {
    const std::string path = dir / "album.plt";
    EXPECT_TRUE(raw.Write(path, RawDirectory(templates)));
    return path;
  }

  TempDir dir;
  Bytes page;
};

TEST_F(HostileAlbumTest, EachCaseEndsInSecondsWithAPageOrItsReason) {
  struct Row {
    const char* what;
    std::function<std::string(RawAlbum&)> album;  // fills the album's blocks, returns its directory
    Bytes photo;                                  // empty: the ordinary photo
    const char* failure;                          // nullptr: the page is made
  };
  auto background = [](const Bytes& image) {
    return [image](RawAlbum& raw) {
      RawTemplate t;
      t.background = raw.Add(1, image);
      return RawDirectory({t});
    };
  };
  auto plain = background(page);
  auto captions = [this](int count, int lines) {
    return [this, count, lines](RawAlbum& raw) {
      RawTemplate t;
      t.background = raw.Add(1, page);
      std::string text = "Line";
      for (int i = 1; i < lines; ++i) text += "\r\nLine";
      for (int i = 0; i < count; ++i) t.captions += Caption(i, text, 9600);
      t.numCaptions = count;
      return RawDirectory({t});
    };
  };
  const Row rows[] = {
      {"twenty holes eighty pages wide, one photo",
       [this](RawAlbum& raw) {
         RawTemplate t;
         t.background = raw.Add(1, MakeJpeg(100, 100));
         t.holes = 20;
         t.holeSize = 80;
         t.singlePhoto = true;
         return RawDirectory({t});
       },
       {},
       nullptr},
      {"photo of 20,000 scans", plain, JpegWithManyScans(), "more than 1000 scans"},
      {"caption of 2,000 lines at size 9600", captions(1, 2000), {}, nullptr},
      {"1,000 captions at size 9600", captions(1000, 1), {}, "megapixels of text"},
      {"photo with 200,000 APP2 segments", plain, JpegWithManySegments(), "more than 1000 APPn/COM segments"},
      {"photo 10000 x 10000 cut short", plain, JpegCutShort(), "cut short"},
      {"photo with damaged scan data", plain, JpegWithCorruptScan(), "Corrupt JPEG data"},
      {"background cut short",
       background(JpegCutShort()),
       {},
       "the background cannot be decoded: the JPEG file is cut short"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    RawAlbum raw;
    const std::string directory = row.album(raw);
    const std::string album = dir / "album.plt";
    ASSERT_TRUE(raw.Write(album, directory));
    std::string photo = dir / "photo.jpg";
    if (!row.photo.empty()) Save(photo = dir / "hostile.jpg", row.photo);
    std::filesystem::remove_all(dir / "out");
    std::vector<std::string> outputs;
    std::string error;
    const double start = CpuSeconds();
    const bool ok = RenderAlbumForPhoto(album, photo, dir / "out", TemplateRenderState{}, outputs, &error);
    EXPECT_LT(CpuSeconds() - start, 10);
    if (!row.failure) {
      EXPECT_TRUE(ok) << error;
      EXPECT_EQ(outputs.size(), 1u);
      continue;
    }
    EXPECT_FALSE(ok);
    EXPECT_TRUE(outputs.empty());
    EXPECT_NE(error.find("template 1 (T0) failed: "), std::string::npos) << error;
    EXPECT_NE(error.find(row.failure), std::string::npos) << error;
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir / "out"), {}), 0);
  }
}

// Twenty templates over one background decode it once; the pages one photo makes are bounded.
TEST_F(HostileAlbumTest, AnImageSharedByTemplatesIsDecodedOncePerPhoto) {
  RawAlbum raw;
  RawTemplate t;
  t.background = raw.Add(1, page);
  const std::string path = Album(std::vector<RawTemplate>(20, t), raw);
  TemplateAlbum album;
  ASSERT_TRUE(album.Load(path));
  RenderSession session(album);
  session.BeginPhoto();
  session.pagePixelsLeft = 19 * 300 * 200;
  int made = 0;
  std::string last;
  for (auto& tmpl : album.m_Templates) {
    tmpl->RenderState().session = &session;
    tmpl->SetPhoto(dir / "photo.jpg", 0);
    if (tmpl->SaveTemplateImage(dir / "page.jpg", 0))
      ++made;
    else
      last = tmpl->RenderState().lastFailure;
  }
  EXPECT_EQ(made, 19);
  EXPECT_NE(last.find("pages for one photo"), std::string::npos) << last;
  EXPECT_EQ(session.decodedImages, 1);
}

TEST_F(HostileAlbumTest, InfoReadsHeadersOnlyForTenThousandTemplates) {
  RawAlbum raw;
  RawTemplate t;
  t.background = raw.Add(1, MakeJpeg(4000, 3000));
  t.thumbnail = raw.Add(1, MakeJpeg(64, 48));
  const std::string path = Album(std::vector<RawTemplate>(10000, t), raw);
  const double start = CpuSeconds();
  TemplateAlbum album;
  ASSERT_TRUE(album.Load(path));
  const std::string text = DescribeAlbum(album);
  EXPECT_LT(CpuSeconds() - start, 10);
  EXPECT_NE(text.find("Template 10000: T9999\n"), std::string::npos);
  EXPECT_NE(text.find("background: JPEG 4000 x 3000"), std::string::npos);
  EXPECT_TRUE(album.m_Templates.back()->m_Thumbnail.IsLoaded());
}

TEST_F(HostileAlbumTest, AnAlbumThatCannotBeLoadedSaysWhy) {
  std::string nested;
  for (int i = 0; i < 20000; ++i) nested += "<a>";
  RawAlbum deep;
  ASSERT_TRUE(deep.Write(dir / "deep.plt", "<ALBUM>" + nested));
  WriteFile(dir / "source.xml", "<?xml version=\"1.0\"?><ALBUM></ALBUM>");
  const struct {
    std::string path;
    const char* says;
  } rows[] = {{dir / "deep.plt", "nested too deeply"},
              {dir / "missing.plt", "missing.plt does not exist"},
              {dir / "source.xml", "use --plt-pack"}};
  for (const auto& row : rows) {
    TemplateAlbum album;
    std::string message;
    EXPECT_FALSE(album.Load(row.path, &message));
    EXPECT_NE(message.find(row.says), std::string::npos) << message;
  }
}

}  // namespace
}  // namespace brisko
