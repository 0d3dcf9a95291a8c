// The date taken as naming reads it, for JPEG and HEIF files.
#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <vector>

#include "common/jpeg_builder.h"
#include "common/temp_dir.h"
#include "imagemeta/jpeg_exif_file.h"
#include "naming/exif_access.h"
#include "rawmeta/raw_metadata.h"

namespace brisko {
namespace {

std::string Local(std::time_t t) {
  std::tm tm{};
  localtime_r(&t, &tm);
  char text[32];
  std::strftime(text, sizeof text, "%Y:%m:%d %H:%M:%S", &tm);
  return text;
}

// libexiv2 misses the EXIF of some HEIF files; libheif finds the block and our reader its date.
// On a file both can read, the two agree.
TEST(DateTaken, HeifExifThroughLibheifAgreesWithLibexiv2) {
  const std::string heic = std::string(BRISKO_TEST_DATA) + "/raw/nikon_d5300_heic_1.heic";
  std::vector<uint8_t> tiff;
  std::string why;
  ASSERT_TRUE(ReadHeifExifBlock(heic, tiff, &why)) << why;
  std::time_t fromBlock = 0, viaExiv2 = 0;
  ASSERT_TRUE(ReadTiffDateTaken(tiff, fromBlock));
  EXPECT_EQ(Local(fromBlock), "2015:07:16 15:38:54");
  ASSERT_TRUE(ReadDateTaken(heic, heic, viaExiv2));
  EXPECT_EQ(viaExiv2, fromBlock);

  // Not HEIF, cut short, or missing: no block, no crash.
  test::TempDir dir;
  test::Save(dir / "a.heic", test::JpegTaken("2024:05:06 07:08:09"));
  std::vector<uint8_t> whole = test::Load(heic);
  whole.resize(whole.size() / 3);
  test::Save(dir / "cut.heic", whole);
  for (const std::string& path : {dir / "a.heic", dir / "cut.heic", dir / "none.heic"}) {
    EXPECT_FALSE(ReadHeifExifBlock(path, tiff)) << path;
    EXPECT_TRUE(tiff.empty());
  }
}

// A JPEG read through naming: an edited copy keeps the date it was taken.
TEST(DateTaken, AnEditedJpegIsFiledUnderItsDateTaken) {
  test::TempDir dir;
  test::TiffBuilder t('I');
  t.ifd0.push_back(t.Ascii(0x0132, "2025:01:02 03:04:05"));
  t.exif.push_back(t.Ascii(0x9003, "2024:05:06 07:08:09"));
  test::Save(dir / "edited.JPG",
             test::WithSegments(test::MakeJpeg(16, 16), {test::Segment(0xFFE1, t.Build())}));
  std::time_t when = 0;
  ASSERT_TRUE(DefaultExifAccess().ReadDateTime(dir / "edited.JPG", when));
  EXPECT_EQ(Local(when), "2024:05:06 07:08:09");
  // Under a hidden download name, read as the kind it will be.
  std::filesystem::copy_file(dir / "edited.JPG", dir / ".x.tmp");
  ASSERT_TRUE(ReadDateTaken(dir / ".x.tmp", "edited.JPG", when));
  EXPECT_EQ(Local(when), "2024:05:06 07:08:09");
}

}  // namespace
}  // namespace brisko
