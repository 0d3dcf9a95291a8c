// The print jobs' records on the station's record files (no print system needed).
#include "engine/printing/print_record.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "common/jpeg_builder.h"
#include "common/temp_dir.h"
#include "engine/base/record_file.h"
#include "imaging/image_codec.h"

namespace brisko {
namespace {

using test::TempDir;

TEST(PrintRecordFiles, HeldByOneStationReadByAllAndOldRecordsRead) {
  TempDir temp;
  PrintRecordFiles mine(temp.Path()), other(temp.Path());
  const PrintRecord r{"brisko-0123",
                      "Selphy",
                      temp / "a%0A\nb 100%.tif",
                      3,
                      "na_index-4x6_4x6in",
                      PrintScaling::Fill,
                      true,
                      0,
                      "Prints",
                      temp / ".a.print.jpg"};
  ASSERT_TRUE(mine.Put(r, nullptr));
  PrintRecord bad = r;
  bad.jobName = "../escape";
  EXPECT_FALSE(mine.Put(bad, nullptr));
  ASSERT_EQ(ListRecordFiles(temp.Path() + "/", kPrintRecordSuffix).size(), 1u);

  // Another station sees the record but may not touch it while this one holds it.
  std::vector<PrintRecord> seen = other.List();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(FormatPrintRecord(seen[0]), FormatPrintRecord(r));
  EXPECT_FALSE(other.Claim(r.jobName));
  EXPECT_FALSE(other.Put(seen[0], nullptr));
  EXPECT_FALSE(other.Remove(r.jobName, nullptr));
  PrintRecord submitted = r;
  submitted.jobId = 42;
  ASSERT_TRUE(mine.Put(submitted, nullptr));
  mine.Release(r.jobName);
  ASSERT_TRUE(other.Claim(r.jobName));
  EXPECT_FALSE(mine.Claim(r.jobName));
  EXPECT_EQ(other.List()[0].jobId, 42);

  // An earlier version's record beside a torn one and a foreign file.
  std::filesystem::create_directory(temp / "print_records");
  std::ofstream(temp / "print_records/brisko-7.rec")
      << "job-name=brisko-7\nqueue=Q\nfile=/x.jpg\ncopies=2\nmedia=\nscaling=fit\nborderless=0\njob-id=5\n";
  std::ofstream(temp / "print_records/brisko-8.rec") << "job-name=brisko-8\nqueue=Q\nfile=/y.jpg\ncop";
  std::ofstream(temp / "print_records/brisko-9.rec") << "job-name=brisko-1\nqueue=Q\nfile=/z.jpg\njob-id=0\n";
  std::ofstream(temp / "x.jpg.brisko-print") << std::string(kMaxPrintRecordBytes + 1, 'x');
  seen = mine.List();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[1].jobName, "brisko-7");
  EXPECT_EQ(seen[1].scaling, PrintScaling::Fit);
  ASSERT_TRUE(mine.Claim("brisko-7"));
  EXPECT_TRUE(mine.Remove("brisko-7", nullptr));
  EXPECT_TRUE(other.Remove(r.jobName, nullptr));
  EXPECT_TRUE(mine.List().empty());
}

// Fit and fill on 4x6 paper, turned to the photo's way: fill cuts the photo to 3:2, fit adds
// white bands; a photo of the paper's shape is left alone.
TEST(PaperShape, FillCutsFitWidensToThePapersShape) {
  struct Row {
    int w, h;
    bool fill;
    int wantW, wantH;
  } rows[] = {
      {64, 48, true, 64, 43}, {64, 48, false, 72, 48}, {48, 64, true, 43, 64}, {48, 64, false, 48, 72},
      {90, 40, true, 60, 40}, {90, 40, false, 90, 60}, {60, 40, true, 60, 40},
  };
  for (const Row& r : rows) {
    Image image(r.w, r.h, 3, 0);
    std::string reason;
    ASSERT_TRUE(ShapeForPaper(image, {10160, 15240, r.fill}, &reason)) << reason;
    EXPECT_EQ(image.width, r.wantW) << r.w << "x" << r.h << (r.fill ? " fill" : " fit");
    EXPECT_EQ(image.height, r.wantH) << r.w << "x" << r.h << (r.fill ? " fill" : " fit");
  }
  // The bands are white, the photo in the middle.
  Image dark(64, 48, 3, 0);
  ASSERT_TRUE(ShapeForPaper(dark, {10160, 15240, false}, nullptr));
  EXPECT_EQ(dark.At(0, 0)[0], 255);
  EXPECT_EQ(dark.At(36, 24)[0], 0);
}

// The copy carries no EXIF, so a photo the camera marked as turned is turned in its pixels.
TEST(PaperShape, ACopyIsUprightAsTheCameraSaid) {
  test::TempDir temp;
  test::TiffBuilder t('M');
  t.ifd0 = {t.Short(0x0112, 6)};
  const std::string photo = temp / "turn.jpg";
  test::Save(photo, test::WithSegments(test::MakeJpeg(64, 32), {test::Segment(0xFFE1, t.Build())}));
  std::string reason;
  const PaperShape fill{10160, 15240, true};
  const std::string copy = MakePrintCopy(photo, temp.Path(), &reason, &fill);
  ASSERT_FALSE(copy.empty()) << reason;
  int w = 0, h = 0;
  ASSERT_TRUE(ReadImageSize(copy, kFormatJpeg, w, h, &reason)) << reason;
  EXPECT_EQ(w, 32);  // upright 32x64, cut to 2:3
  EXPECT_EQ(h, 48);
}

}  // namespace
}  // namespace brisko
