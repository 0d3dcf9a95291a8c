#include "app/status_thumbnails.h"

#include <gtest/gtest.h>

#include "app/fake_station_host.h"
#include "app/station.h"
#include "app/status_page.h"
#include "common/jpeg_builder.h"
#include "common/temp_dir.h"
#include "imaging/image_codec.h"

namespace brisko {
namespace {

// Width and height of a thumbnail as made.
std::pair<int, int> Size(const std::string& jpeg) {
  Image image;
  if (!DecodeImage(reinterpret_cast<const uint8_t*>(jpeg.data()), jpeg.size(), kFormatJpeg, image, nullptr))
    return {0, 0};
  return {image.width, image.height};
}

// A portrait photo is stored landscape with orientation 6, and so is its EXIF thumbnail: the
// tile is upright either way. A RAW file shows its camera's preview.
TEST(StatusThumbnail, TilesAreUprightAndRawFilesShowTheirPreview) {
  test::TempDir dir;
  for (bool withThumbnail : {false, true}) {
    for (uint16_t orientation : {1, 6, 8, 3}) {
      test::TiffBuilder t('I');
      t.ifd0.push_back(t.Short(0x0112, orientation));
      if (withThumbnail) t.thumbnail = test::MakeJpeg(40, 20);
      const std::string path = dir / "p.jpg";
      test::Save(path, test::WithSegments(test::MakeJpeg(64, 32), {test::Segment(0xFFE1, t.Build())}));
      std::string jpeg;
      ASSERT_TRUE(MakeThumbnail(path, StatusThumbnails::kMaxBytes, jpeg));
      const auto [w, h] = Size(jpeg);
      const bool portrait = orientation == 6 || orientation == 8;
      EXPECT_EQ(w > h, !portrait) << orientation << (withThumbnail ? " with thumbnail" : "") << " " << w
                                  << "x" << h;
    }
  }
  std::string jpeg;
  EXPECT_TRUE(MakeThumbnail(std::string(BRISKO_TEST_DATA) + "/raw/fujifilm_s5pro_raf_1.raf",
                            StatusThumbnails::kMaxBytes, jpeg));
  EXPECT_GT(Size(jpeg).first, 0);
  // A sidecar or a broken file has no picture.
  test::WriteFile(dir / "IMG_1.xmp", "<x:xmpmeta/>");
  EXPECT_FALSE(MakeThumbnail(dir / "IMG_1.xmp", StatusThumbnails::kMaxBytes, jpeg));
  test::WriteFile(dir / "IMG_2.CR2", "not a raw file");
  EXPECT_FALSE(MakeThumbnail(dir / "IMG_2.CR2", StatusThumbnails::kMaxBytes, jpeg));
}

struct FakePage : StatusPageServer {
  std::string Url() const override { return "http://127.0.0.1:1/"; }
};

// A RAW+JPEG card: each shot is one tile (its JPEG) and one photo moved; sidecars are neither.
TEST(StatusThumbnail, AShotIsOneTileAndOnePhoto) {
  test::TempDir dir;
  test::FakeStationHost host;
  Station station{host};
  station.Init(dir / "settings.db");
  StatusPageOptions o;
  o.port = 0;
  o.starter = [](const StatusPageConfig&, const StatusBoard&, std::string*) {
    return std::make_unique<FakePage>();
  };
  station.SetStatusPageOptions(o);
  station.Open();
  auto moved = [&](const std::string& name) {
    station.AddToLog("Card (Move Files) Moved file from /card/" + name + " to /out/" + name);
  };
  for (const char* name : {"IMG_1.CR2", "IMG_1.xmp", "IMG_1.JPG", "IMG_2.JPG", "IMG_2.CR2", "IMG_2.CR2.xmp",
                           "IMG_3.CR2", "IMG_3.THM"})
    moved(name);
  const StatusSnapshot s = station.Status().Board().Copy();
  EXPECT_EQ(s.today.moved, 3);
  std::vector<std::string> tiles;
  for (const StatusPlacedPhoto& p : s.placed) tiles.push_back(p.name);
  EXPECT_EQ(tiles, (std::vector<std::string>{"IMG_3.CR2", "IMG_2.JPG", "IMG_1.JPG"}));
}

}  // namespace
}  // namespace brisko
