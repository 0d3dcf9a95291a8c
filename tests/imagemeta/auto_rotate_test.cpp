#include "imagemeta/auto_rotate.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "common/jpeg_builder.h"
#include "common/temp_dir.h"
#include "common/tools.h"
#include "imagemeta/jpeg_exif_file.h"
#include "imaging/jpeg_transform.h"
#include "imaging/jpegtran_check.h"
#include "special_jpegs.h"
#include "support/file_test_util.h"

namespace brisko {
namespace {

using test::Bytes;
using test::TiffBuilder;
namespace fs = std::filesystem;

Bytes OrientedJpeg(int w, int h, uint16_t orientation, bool progressive = false, int subsamp = TJSAMP_420,
                   bool dims = true) {
  TiffBuilder t('M');
  t.ifd0 = {t.Ascii(0x010F, "SONY"), t.Short(0x0112, orientation)};
  t.exif = {t.Undef(0x9000, {'0', '2', '3', '0'})};
  if (dims) {
    t.exif.push_back(t.Short(0xA002, uint16_t(w)));
    t.exif.push_back(t.Long(0xA003, uint32_t(h)));
  }
  t.ifd1 = {t.Short(0x0103, 6)};
  t.thumbnail = test::MakeJpeg(40, 30);
  return test::WithSegments(
      test::MakeJpeg(w, h, progressive, subsamp),
      {test::Segment(0xFFE1, t.Build()), test::Segment(0xFFE1, test::XmpPayload("<x/>"))});
}

// A photo to be turned whose scan data is cut short (its end marker put back).
Bytes DamagedJpeg() {
  Bytes b = OrientedJpeg(64, 64, 6);
  b.resize(b.size() - 300);
  b.push_back(0xFF);
  b.push_back(0xD9);
  return b;
}

using test::HaveJpegtran;

// The pixels themselves are compared with jpegtran's by the transform's own test and on the real
// photos below.
TEST(AutoRotateJpeg, SyntheticPhotosTurnUprightWithTheirThumbnail) {
  test::TempDir dir;
  struct Row {
    int w, h;
    uint16_t orientation;
    bool progressive;
    int subsamp;
  } rows[] = {{64, 48, 6, false, TJSAMP_420},
              {65, 47, 8, false, TJSAMP_420},
              {100, 37, 6, true, TJSAMP_422},
              {31, 17, 8, false, TJSAMP_444}};
  for (const Row& r : rows) {
    SCOPED_TRACE(std::to_string(r.w) + "x" + std::to_string(r.h) + " o" + std::to_string(r.orientation));
    test::Save(dir / "src.jpg", OrientedJpeg(r.w, r.h, r.orientation, r.progressive, r.subsamp));
    ASSERT_TRUE(AutoRotateJpeg(dir.Path(), dir / "src.jpg", dir / "out.jpg"));
    JpegExifFile f;
    ASSERT_TRUE(f.Parse(dir / "out.jpg"));
    uint16_t o = 0;
    ASSERT_TRUE(f.GetOrientation(o));
    EXPECT_EQ(o, 1);
    uint32_t w = 0, h = 0;
    ASSERT_TRUE(f.GetPixelDimensions(w, h));
    EXPECT_EQ(w, f.frameWidth);
    EXPECT_EQ(h, f.frameHeight);
    EXPECT_LE(w, uint32_t(r.h));
    // The thumbnail is turned with the picture, trimmed the same way: of a 40x30 thumbnail with
    // 16x16 blocks a quarter turn clockwise keeps 16x40, counter-clockwise 30x32.
    std::vector<uint8_t> px;
    int tw, th, tc;
    ASSERT_TRUE(JpegDecodePixels(f.thumbnailData, px, tw, th, tc));
    EXPECT_EQ(tw, r.orientation == 6 ? 16 : 30);
    EXPECT_EQ(th, r.orientation == 6 ? 40 : 32);
    // The XMP block travels along; the temporary file is gone.
    int xmp = 0;
    for (const auto& s : f.segments) xmp += s.marker == 0xFFE1 && s.data.size() > 4 && s.data[0] == 'h';
    EXPECT_EQ(xmp, 1);
    for (const auto& e : fs::directory_iterator(dir.Path()))
      EXPECT_EQ(e.path().filename().string().find("ExifRotatorTemp_"), std::string::npos);
    struct stat st {};
    ASSERT_EQ(stat((dir / "out.jpg").c_str(), &st), 0);
    // Read and write for all, as far as the umask allows.
    const mode_t mask = umask(0);
    umask(mask);
    EXPECT_EQ(st.st_mode & 0666, 0666u & ~mask);
  }
}

TEST(AutoRotateJpeg, RealPhotosTurnUprightLikeJpegtran) {
  if (!HaveJpegtran()) GTEST_SKIP() << "jpegtran not installed";
  test::TempDir dir;
  int done = 0;
  for (const auto& e : fs::recursive_directory_iterator(std::string(BRISKO_TEST_DATA) + "/jpeg")) {
    if (e.path().extension() != ".jpg") continue;
    JpegExifFile src;
    uint16_t o = 0;
    if (!src.Parse(e.path().string()) || !src.GetOrientation(o) || (o != 6 && o != 8)) continue;
    SCOPED_TRACE(e.path().string());
    ASSERT_TRUE(AutoRotateJpeg(dir.Path(), e.path().string(), dir / "out.jpg"));
    test::ExpectPixelsLikeJpegtran(e.path().string(), test::Load(dir / "out.jpg"), o == 6 ? 90 : 270,
                                   dir / "ref.jpg");
    ++done;
  }
  EXPECT_GE(done, 3);
}

TEST(AutoRotateJpeg, OnlyOrientationsSixAndEightAreRotated) {
  test::TempDir dir;
  fs::create_directory(dir / "tmp");
  for (uint16_t o : {1, 2, 3, 5, 7, 9}) {
    test::Save(dir / "s.jpg", OrientedJpeg(32, 16, o));
    EXPECT_FALSE(JpegNeedsRotation(dir / "s.jpg")) << o;
    EXPECT_FALSE(AutoRotateJpeg(dir.Path(), dir / "s.jpg", dir / "d.jpg")) << o;
    EXPECT_FALSE(fs::exists(dir / "d.jpg"));
    // Nothing happens to it on a move either.
    auto r = RotateOnMove(dir / "tmp", dir / "s.jpg");
    EXPECT_EQ(r.outcome, RotateOnMoveOutcome::NotNeeded) << o;
    EXPECT_EQ(r.currentPath, dir / "s.jpg");
    EXPECT_TRUE(r.lines.empty());
  }
  test::Save(dir / "plain.jpg", test::MakeJpeg(16, 16));
  EXPECT_FALSE(AutoRotateJpeg(dir.Path(), dir / "plain.jpg", dir / "d.jpg"));
}

TEST(AutoRotateJpeg, PhotoWithoutPixelDimensionTagsIsStillRotated) {
  test::TempDir dir;
  test::Save(dir / "s.jpg", OrientedJpeg(48, 32, 6, false, TJSAMP_420, false));
  ASSERT_TRUE(AutoRotateJpeg(dir.Path(), dir / "s.jpg", dir / "d.jpg"));
  JpegExifFile f;
  ASSERT_TRUE(f.Parse(dir / "d.jpg"));
  EXPECT_EQ(f.frameWidth, 32);
  EXPECT_EQ(f.frameHeight, 48);
  uint32_t w, h;
  EXPECT_FALSE(f.GetPixelDimensions(w, h));
}

TEST(AutoRotateJpeg, DamageIsRefusedAndHarmlessWarningsAreNot) {
  test::TempDir dir;
  const Bytes damaged = DamagedJpeg();
  struct Row {
    const char* name;
    Bytes bytes;
    bool rotated;
  } rows[] = {{"extraneous.jpg", test::MakeExtraneousBytesJpeg(), true}, {"damaged.jpg", damaged, false}};
  for (const Row& r : rows) {
    test::Save(dir / r.name, r.bytes);
    std::string why, warning;
    EXPECT_EQ(AutoRotateJpeg(dir.Path(), dir / r.name, dir / "out.jpg", &why, &warning), r.rotated) << r.name;
    EXPECT_EQ(warning.empty(), !r.rotated) << r.name;
    EXPECT_EQ(why.empty(), r.rotated) << r.name;
    // A refused photo leaves nothing behind, not even a temporary file.
    EXPECT_EQ(fs::exists(dir / "out.jpg"), r.rotated) << r.name;
    fs::remove(dir / "out.jpg");
    fs::remove(dir / r.name);
    EXPECT_TRUE(fs::is_empty(dir.Path())) << r.name;
  }
}

TEST(AutoRotateJpeg, DataAfterThePictureIsKeptAndTheMpIndexFollowsIt) {
  test::TempDir dir;
  Bytes second, video;
  test::Save(dir / "mpo.jpg", test::MakeMpo(&second));
  test::Save(dir / "motion.jpg", test::MakeMotionPhoto(&video));
  ASSERT_TRUE(AutoRotateJpeg(dir.Path(), dir / "mpo.jpg", dir / "mpo_r.jpg"));
  ASSERT_TRUE(AutoRotateJpeg(dir.Path(), dir / "motion.jpg", dir / "motion_r.jpg"));
  const Bytes mpo = test::Load(dir / "mpo_r.jpg");
  const size_t mpf = test::FindMpfPayload(mpo);
  ASSERT_NE(mpf, 0u);
  const size_t at = mpf + test::kMpHeaderInPayload + test::Get32Le(mpo, mpf + test::kMpEntriesInPayload + 24);
  ASSERT_LE(at + second.size(), mpo.size());
  EXPECT_TRUE(std::equal(second.begin(), second.end(), mpo.begin() + long(at)));
  EXPECT_EQ(test::Get32Le(mpo, mpf + test::kMpEntriesInPayload + 4), at);
  // The video's offset counts from the end of the file; the XMP orientation follows the EXIF one.
  const Bytes motion = test::Load(dir / "motion_r.jpg");
  EXPECT_TRUE(std::equal(video.begin(), video.end(), motion.end() - long(video.size())));
  const std::string text(motion.begin(), motion.end());
  EXPECT_NE(text.find("tiff:Orientation='1'"), std::string::npos);
  EXPECT_EQ(text.find("tiff:Orientation='6'"), std::string::npos);
}

// A maker note's offset (from the TIFF header) to a preview after the picture follows the preview
// when what stands before it changes length, also for the DiMAGE 7Hi and A1, whose preview starts
// 00 D8 rather than a JPEG start.
TEST(AutoRotateJpeg, MakerNotePreviewAfterThePictureStaysFound) {
  for (const uint8_t firstByte : {uint8_t(0xFF), uint8_t(0x00)}) {
    test::TempDir dir;
    Bytes preview;
    const Bytes source = test::MakeTrailerPreviewJpeg(&preview, firstByte);
    test::Save(dir / "a.jpg", source);
    ASSERT_TRUE(AutoRotateJpeg(dir.Path(), dir / "a.jpg", dir / "rotated.jpg"));
    ASSERT_TRUE(WriteExifUserComment(std::string(300, 'c'), dir / "a.jpg", dir / "tagged.jpg"));
    for (const char* name : {"rotated.jpg", "tagged.jpg"}) {
      SCOPED_TRACE(std::string(name) + " first byte " + std::to_string(firstByte));
      const Bytes out = test::Load(dir / name);
      EXPECT_NE(out.size(), source.size());
      JpegExifFile f;
      ASSERT_TRUE(f.Parse(dir / name));
      const ExifEntry* note = f.FindTag(exif_tag::kMakerNote);
      ASSERT_TRUE(note && note->data.size() >= 14);
      const uint64_t start = f.tiffPosition + test::Get32Le(note->data, 2 + 8);
      if (start + preview.size() > out.size()) {
        ADD_FAILURE() << "preview offset points past the end of the file";
        continue;
      }
      EXPECT_TRUE(std::equal(preview.begin(), preview.end(), out.begin() + long(start)));
    }
  }
}

// A thumbnail that is no decodable JPEG was unusable before and is no worse after; dropping it
// would lose the rest of IFD1.
TEST(AutoRotateJpeg, ThumbnailThatCannotBeTurnedIsKeptWithANotice) {
  test::TempDir dir;
  test::Save(dir / "a.jpg", test::MakeStubThumbnailJpeg());
  std::vector<int> levels;
  SetExifNoticeHook([&](int level, const std::string&, const std::string&) { levels.push_back(level); });
  const bool rotated = AutoRotateJpeg(dir.Path(), dir / "a.jpg", dir / "b.jpg");
  SetExifNoticeHook(nullptr);
  ASSERT_TRUE(rotated);
  EXPECT_EQ(levels, std::vector<int>{3});
  JpegExifFile a, b;
  ASSERT_TRUE(a.Parse(dir / "a.jpg"));
  ASSERT_TRUE(b.Parse(dir / "b.jpg"));
  ASSERT_EQ(b.thumbnailEntries.size(), 6u);
  for (size_t i = 0; i < a.thumbnailEntries.size(); ++i) {
    EXPECT_EQ(b.thumbnailEntries[i].tag, a.thumbnailEntries[i].tag);
    EXPECT_EQ(b.thumbnailEntries[i].data, a.thumbnailEntries[i].data);
  }
  EXPECT_EQ(b.thumbnailData, a.thumbnailData);
}

// The rotation step of a move, with a temp folder beside the photo.
class TheRotationStep : public ::testing::Test {
 protected:
  void SetUp() override { fs::create_directory(dir / "tmp"); }
  test::TempDir dir;
};

TEST_F(TheRotationStep, PhotoWhoseMpIndexCannotBeKeptStaysUnrotatedWhereItIs) {
  Bytes mpo = test::MakeMpo();
  const size_t mpf = test::FindMpfPayload(mpo);
  test::Put32Le(mpo, mpf + test::kMpEntriesInPayload + 24, 40);  // points into the first picture
  test::Save(dir / "a.jpg", mpo);
  auto r = RotateOnMove(dir / "tmp", dir / "a.jpg");
  EXPECT_EQ(r.outcome, RotateOnMoveOutcome::Refused);
  EXPECT_EQ(r.currentPath, dir / "a.jpg");
  ASSERT_EQ(r.lines.size(), 1u);
  EXPECT_EQ(r.lines[0].target, RotateLogLine::Target::ActionLog);
  EXPECT_EQ(r.lines[0].text.rfind("Left unrotated: ", 0), 0u);
  EXPECT_EQ(test::Load(dir / "a.jpg"), mpo);
}

TEST(IsJpegLandscape, DecidesFromTheFrameSize) {
  test::TempDir dir;
  struct Row {
    const char* name;
    Bytes bytes;
    bool determined, landscape;
  } rows[] = {
      {"wide.jpg", OrientedJpeg(40, 30, 6), true, true},  // orientation is not consulted
      {"tall.JPEG", test::MakeJpeg(30, 40), true, false},
      {"square.jpg", test::MakeJpeg(30, 30), true, false},
      {"prog.jpg", test::MakeJpeg(50, 20, true), true, true},
      {"wide.png", test::MakeJpeg(40, 30), false, false},
      {"broken.jpg", Bytes{0xFF, 0xD8, 0x00}, false, false},
      {"fill.jpg", test::MakeFillBytesJpeg(), true, true},  // 0xFF fill before a marker is skipped
  };
  for (const Row& r : rows) {
    test::Save(dir / r.name, r.bytes);
    bool landscape = false;
    EXPECT_EQ(IsJpegLandscape(dir / r.name, landscape), r.determined) << r.name;
    if (r.determined) {
      EXPECT_EQ(landscape, r.landscape) << r.name;
    }
  }
}

TEST_F(TheRotationStep, RotatedFileWaitsInTheTempFolderUnderItsName) {
  test::Save(dir / "tmp/a.jpg", Bytes{1});  // a name already taken in the temp folder
  test::Save(dir / "a.jpg", OrientedJpeg(64, 32, 8));
  auto r = RotateOnMove(dir / "tmp", dir / "a.jpg");
  EXPECT_EQ(r.outcome, RotateOnMoveOutcome::Rotated);
  EXPECT_EQ(r.currentPath, dir / "tmp/a (2).jpg");
  EXPECT_FALSE(fs::exists(dir / "a.jpg"));
  ASSERT_EQ(r.lines.size(), 1u);
  EXPECT_EQ(r.lines[0].target, RotateLogLine::Target::ActionLog);
  EXPECT_EQ(r.lines[0].text, "Rotated " + (dir / "a.jpg"));
  EXPECT_FALSE(JpegNeedsRotation(r.currentPath));
  EXPECT_EQ(test::Names(dir / "tmp").size(), 2u);
}

TEST_F(TheRotationStep, FailedMoveToTempLeavesTheFileWhereItWas) {
  test::Save(dir / "a.jpg", OrientedJpeg(64, 32, 6));
  RotateOnMoveOps ops;
  ops.moveFile = [](const std::string&, const std::string&) { return false; };
  auto r = RotateOnMove(dir / "no-such-folder", dir / "a.jpg", ops);
  EXPECT_EQ(r.outcome, RotateOnMoveOutcome::MoveToTempFailed);
  EXPECT_EQ(r.currentPath, dir / "a.jpg");
  ASSERT_EQ(r.lines.size(), 1u);
  EXPECT_EQ(r.lines[0].target, RotateLogLine::Target::Logger);
  EXPECT_EQ(r.lines[0].level, 4);
  EXPECT_EQ(r.lines[0].text, "Move to temp for rotate failed");
  EXPECT_TRUE(fs::exists(dir / "a.jpg"));
}

TEST_F(TheRotationStep, FailedRotationGoesOnWithTheUnrotatedFileInTemp) {
  const Bytes b = DamagedJpeg();
  test::Save(dir / "a.jpg", b);
  auto r = RotateOnMove(dir / "tmp", dir / "a.jpg");
  EXPECT_EQ(r.outcome, RotateOnMoveOutcome::RotateFailed);
  EXPECT_EQ(r.currentPath, dir / "tmp/a.jpg");
  EXPECT_EQ(test::Load(r.currentPath), b);
  ASSERT_EQ(r.lines.size(), 2u);
  EXPECT_EQ(r.lines[0].text, "Rotate failed");
  EXPECT_EQ(r.lines[0].level, 4);
  // The action log says why: damaged data, not a harmless warning.
  EXPECT_EQ(r.lines[1].target, RotateLogLine::Target::ActionLog);
  EXPECT_EQ(r.lines[1].text.rfind("Not rotated: damaged JPEG data", 0), 0u) << r.lines[1].text;
  EXPECT_EQ(std::distance(fs::directory_iterator(dir / "tmp"), fs::directory_iterator()), 1);
}

TEST_F(TheRotationStep, MovesAcrossFileSystems) {
  if (!fs::exists("/dev/shm")) GTEST_SKIP();
  test::TempDir shm("/dev/shm");
  test::Save(dir / "a.jpg", OrientedJpeg(64, 32, 6));
  auto r = RotateOnMove(shm.Path(), dir / "a.jpg");
  EXPECT_EQ(r.outcome, RotateOnMoveOutcome::Rotated);
  EXPECT_EQ(r.currentPath, shm / "a.jpg");
  EXPECT_FALSE(fs::exists(dir / "a.jpg"));
}

TEST_F(TheRotationStep, SourceThatCannotBeDeletedStaysTheOnlyCopy) {
  if (!fs::exists("/dev/shm")) GTEST_SKIP();
  test::TempDir shm("/dev/shm");
  fs::create_directory(dir / "card");
  test::Save(dir / "card/a.jpg", OrientedJpeg(64, 32, 6));
  test::Immutable frozen(dir / "card");
  if (!frozen.Ok()) GTEST_SKIP() << "no immutable flag on this file system";
  auto r = RotateOnMove(shm.Path(), dir / "card/a.jpg");
  EXPECT_EQ(r.outcome, RotateOnMoveOutcome::MoveToTempFailed);
  EXPECT_EQ(r.currentPath, dir / "card/a.jpg");
  EXPECT_TRUE(fs::exists(dir / "card/a.jpg"));
  EXPECT_TRUE(fs::is_empty(shm.Path()));
}

TEST_F(TheRotationStep, NeverMovesOverAFileThatTookTheFreeName) {
  test::Save(dir / "a.jpg", OrientedJpeg(64, 32, 6));
  RotateOnMoveOps ops;
  // Another writer takes the free name between the check and the move.
  ops.makeUniqueFileName = [](const std::string& wanted) {
    test::Save(wanted, Bytes{7});
    return wanted;
  };
  auto r = RotateOnMove(dir / "tmp", dir / "a.jpg", ops);
  EXPECT_EQ(r.outcome, RotateOnMoveOutcome::MoveToTempFailed);
  EXPECT_EQ(test::Load(dir / "tmp/a.jpg"), Bytes{7});
  EXPECT_TRUE(JpegNeedsRotation(dir / "a.jpg"));
}

}  // namespace
}  // namespace brisko
