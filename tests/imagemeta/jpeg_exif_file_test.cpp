#include "imagemeta/jpeg_exif_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <set>

#include "common/jpeg_builder.h"
#include "common/mounts.h"
#include "common/temp_dir.h"
#include "imaging/jpeg_transform.h"
#include "special_jpegs.h"
#include "support/file_test_util.h"
#include "support/safe_output.h"

namespace brisko {
namespace {

using test::Bytes;
using test::TiffBuilder;
namespace fs = std::filesystem;

// A photo with every directory the writer must carry: IFD0, Exif (with interop), GPS, IFD1.
Bytes FullExifJpeg(char order, const std::string& latRef = "N", const std::string& lonRef = "W") {
  TiffBuilder t(order);
  t.ifd0 = {t.Ascii(0x010F, "Canon"), t.Ascii(0x0110, "PowerShot"), t.Short(0x0112, 6),
            t.Ascii(0x0132, "2024:05:06 07:08:09")};
  t.exif = {t.Undef(0x9000, {'0', '2', '3', '2'}), t.Long(0xA002, 64), t.Long(0xA003, 48)};
  t.gps = {t.Ascii(1, latRef), t.Rationals(2, {{41, 1}, {51, 1}, {108, 10}}), t.Ascii(3, lonRef),
           t.Rationals(4, {{12, 1}, {29, 1}, {198, 10}})};
  t.interop = {t.Ascii(1, "R98"), t.Undef(2, {'0', '1', '0', '0'})};
  t.ifd1 = {t.Short(0x0103, 6)};
  t.thumbnail = test::MakeJpeg(16, 8);
  return test::WithSegments(test::MakeJpeg(64, 48),
                            {test::Segment(0xFFE1, t.Build()),
                             test::Segment(0xFFE1, test::XmpPayload("<x:xmpmeta>rating 5</x:xmpmeta>"))});
}

class ByteOrder : public ::testing::TestWithParam<char> {
 protected:
  test::TempDir dir;
};

TEST_P(ByteOrder, ReadsEveryTagTheStationUses) {
  std::string path = dir / "a.jpg";
  test::Save(path, FullExifJpeg(GetParam()));
  JpegExifFile f;
  ASSERT_TRUE(f.Parse(path));
  EXPECT_EQ(f.byteOrder, GetParam());
  EXPECT_EQ(f.cameraMake, kMakeCanon);
  EXPECT_EQ(f.sofWidth, 64);
  EXPECT_EQ(f.sofHeight, 48);
  uint16_t o = 0;
  ASSERT_TRUE(f.GetOrientation(o));
  EXPECT_EQ(o, 6);
  uint32_t w = 0, h = 0;
  ASSERT_TRUE(f.GetPixelDimensions(w, h));
  EXPECT_EQ(w, 64u);
  EXPECT_EQ(h, 48u);
  std::string date;
  ASSERT_TRUE(f.GetDateTime(date));
  EXPECT_EQ(date, "2024:05:06 07:08:09");
  float lat = 0, lon = 0;
  ASSERT_TRUE(f.GetGpsPosition(lat, lon));
  EXPECT_NEAR(lat, 41.853, 1e-3);
  EXPECT_NEAR(lon, -12.4888, 1e-3);
  EXPECT_EQ(f.interopEntries.size(), 2u);
  EXPECT_FALSE(f.thumbnailData.empty());
}

TEST_P(ByteOrder, RewriteKeepsDirectoriesThumbnailInteropAndXmp) {
  std::string src = dir / "a.jpg", dst = dir / "b.jpg";
  test::Save(src, FullExifJpeg(GetParam()));
  ASSERT_TRUE(WriteExifUserComment("abc", src, dst));
  JpegExifFile a, b;
  ASSERT_TRUE(a.Parse(src));
  ASSERT_TRUE(b.Parse(dst));
  EXPECT_EQ(b.byteOrder, GetParam());
  // Tags and values, leaving out the pointers: their offsets may move.
  auto values = [](const std::vector<ExifEntry>& entries) {
    std::vector<std::pair<uint16_t, Bytes>> kept;
    for (const auto& e : entries)
      if (e.tag != 0x8769 && e.tag != 0x8825 && e.tag != 0xA005 && e.tag != 0x0201)
        kept.push_back({e.tag, e.data});
    return kept;
  };
  for (auto list : {&JpegExifFile::ifd0Entries, &JpegExifFile::gpsEntries, &JpegExifFile::interopEntries,
                    &JpegExifFile::thumbnailEntries})
    EXPECT_EQ(values(a.*list), values(b.*list));
  EXPECT_EQ(a.thumbnailData, b.thumbnailData);
  // The comment is new, in tag order (after 0x9000, before 0xA002), stored as ASCII with count 11.
  ASSERT_EQ(b.exifEntries.size(), a.exifEntries.size() + 1);
  EXPECT_EQ(b.exifEntries[1].tag, exif_tag::kUserComment);
  EXPECT_EQ(b.exifEntries[1].type, 7);
  EXPECT_EQ(b.exifEntries[1].count, 11u);
  EXPECT_EQ(b.exifEntries[1].data, (Bytes{'A', 'S', 'C', 'I', 'I', 0, 0, 0, 'a', 'b', 'c'}));
  // JFIF first, then EXIF, then the XMP block; the scan data is unchanged.
  ASSERT_GE(b.segments.size(), 4u);
  EXPECT_EQ(b.segments[1].marker, 0xFFE0);
  EXPECT_EQ(b.segments[2].marker, 0xFFE1);
  EXPECT_EQ(b.segments[3].marker, 0xFFE1);
  EXPECT_EQ(std::string(b.segments[3].data.begin(), b.segments[3].data.begin() + 28),
            "http://ns.adobe.com/xap/1.0/");
  Bytes sa = test::Load(src), sb = test::Load(dst);
  EXPECT_TRUE(
      std::equal(sa.begin() + long(a.sosPosition), sa.end(), sb.begin() + long(b.sosPosition), sb.end()));
}

INSTANTIATE_TEST_SUITE_P(IntelAndMotorola, ByteOrder, ::testing::Values('I', 'M'));

TEST(JpegExifFile, WriteThenAppendScanDataMakesTheSameFile) {
  test::TempDir dir;
  test::Save(dir / "a.jpg", FullExifJpeg('M'));
  JpegExifFile f;
  ASSERT_TRUE(f.Parse(dir / "a.jpg"));
  f.SetUserComment("two steps");
  ASSERT_TRUE(f.Write(dir / "b.jpg"));
  ASSERT_TRUE(AppendScanData(dir / "a.jpg", f.sosPosition, dir / "b.jpg"));
  ASSERT_TRUE(WriteExifUserComment("two steps", dir / "a.jpg", dir / "c.jpg"));
  EXPECT_EQ(test::Load(dir / "b.jpg"), test::Load(dir / "c.jpg"));
  EXPECT_FALSE(AppendScanData(dir / "a.jpg", f.sosPosition, dir / "missing.jpg"));
  EXPECT_FALSE(fs::exists(dir / "missing.jpg"));
}

TEST(JpegExifFile, GpsReferencesOtherThanCapitalNorEastNegate) {
  test::TempDir dir;
  struct Row {
    const char *lat, *lon;
    bool latNeg, lonNeg;
  } rows[] = {
      {"N", "E", false, false}, {"S", "W", true, true}, {"n", "e", true, true}, {"", "E", true, false}};
  for (const Row& r : rows) {
    test::Save(dir / "g.jpg", FullExifJpeg('I', r.lat, r.lon));
    float lat = 0, lon = 0;
    ASSERT_TRUE(ReadExifGpsPosition(dir / "g.jpg", lat, lon)) << r.lat;
    EXPECT_EQ(lat < 0, r.latNeg) << r.lat;
    EXPECT_EQ(lon < 0, r.lonNeg) << r.lon;
  }
}

TEST(JpegExifFile, ZeroDenominatorGivesNoPosition) {
  test::TempDir dir;
  TiffBuilder t('I');
  t.gps = {t.Ascii(1, "N"), t.Rationals(2, {{41, 0}, {0, 1}, {0, 1}}), t.Ascii(3, "E"),
           t.Rationals(4, {{12, 1}, {0, 0}, {0, 0}})};
  test::Save(dir / "g.jpg", test::WithSegments(test::MakeJpeg(8, 8), {test::Segment(0xFFE1, t.Build())}));
  float lat, lon;
  EXPECT_FALSE(ReadExifGpsPosition(dir / "g.jpg", lat, lon));
}

TEST(JpegExifFile, UserCommentRules) {
  test::TempDir dir;
  struct Row {
    Bytes data;
    bool found;
    std::string text;
  } rows[] = {
      {{'A', 'S', 'C', 'I', 'I', 0, 0, 0}, false, ""},
      {{'A', 'S', 'C', 'I', 'I', 0, 0, 0, ' ', 'h', 'i', ' ', 0, 'x'}, true, "hi"},
      {{'U', 'N', 'I', 'C', 'O', 'D', 'E', 0, 'o', 'k'}, true, "ok"},
  };
  for (const Row& r : rows) {
    TiffBuilder t('M');
    t.exif = {t.Undef(0x9286, r.data)};
    test::Save(dir / "c.jpg", test::WithSegments(test::MakeJpeg(8, 8), {test::Segment(0xFFE1, t.Build())}));
    std::string text;
    EXPECT_EQ(ReadExifUserComment(dir / "c.jpg", text), r.found);
    if (r.found) {
      EXPECT_EQ(text, r.text);
    }
  }
}

TEST(JpegExifFile, ExtensionRulesOfTheFileLevelReaders) {
  test::TempDir dir;
  Bytes jpeg = FullExifJpeg('I');
  test::Save(dir / "a.JPG", jpeg);
  test::Save(dir / "a.jpeg", jpeg);
  test::Save(dir / "a.png", jpeg);
  ASSERT_TRUE(WriteExifUserComment("note", dir / "a.JPG", dir / "c.jpg"));
  std::string text;
  std::time_t t;
  float la, lo;
  EXPECT_TRUE(ReadExifUserComment(dir / "c.jpg", text));
  EXPECT_TRUE(ReadExifDateTime(dir / "a.JPG", t));
  EXPECT_FALSE(ReadExifDateTime(dir / "a.jpeg", t));
  EXPECT_TRUE(ReadExifGpsPosition(dir / "a.jpeg", la, lo));
  EXPECT_FALSE(ReadExifGpsPosition(dir / "a.png", la, lo));
  EXPECT_TRUE(JpegNeedsRotation(dir / "a.png"));
  std::tm tm{};
  ASSERT_TRUE(ReadExifDateTime(dir / "a.JPG", t));
  localtime_r(&t, &tm);
  EXPECT_EQ(tm.tm_year + 1900, 2024);
  EXPECT_EQ(tm.tm_mon + 1, 5);
  EXPECT_EQ(tm.tm_hour, 7);
  EXPECT_EQ(tm.tm_sec, 9);
}

TEST(JpegExifFile, FileWithoutExifGainsAReadableBlock) {
  test::TempDir dir;
  for (bool progressive : {false, true}) {
    test::Save(dir / "p.jpg", test::MakeJpeg(33, 17, progressive));
    ASSERT_TRUE(WriteExifUserComment("BriskoExif:a=b|", dir / "p.jpg", dir / "q.jpg"));
    std::string text;
    ASSERT_TRUE(ReadExifUserComment(dir / "q.jpg", text));
    EXPECT_EQ(text, "BriskoExif:a=b|");
    JpegExifFile f;
    ASSERT_TRUE(f.Parse(dir / "q.jpg"));
    EXPECT_EQ(f.sofWidth, progressive ? 0 : 33);
    EXPECT_EQ(f.frameWidth, 33);
    EXPECT_EQ(f.frameHeight, 17);
    // The pixels are untouched.
    Bytes a = test::Load(dir / "p.jpg"), b = test::Load(dir / "q.jpg");
    std::vector<uint8_t> pa, pb;
    int w, h, c;
    ASSERT_TRUE(JpegDecodePixels(a, pa, w, h, c));
    ASSERT_TRUE(JpegDecodePixels(b, pb, w, h, c));
    EXPECT_EQ(pa, pb);
  }
}

// The maker note never moves when the block grows: old Olympus and Canon notes count their
// inner offsets from the TIFF header, so even a note right after the directories stays.
TEST(JpegExifFile, MakerNoteStaysAtItsOffsetWhenTheBlockGrows) {
  test::TempDir dir;
  struct Row {
    const char* make;
    bool hadComment;
    uint32_t at;
    std::string comment;
  } rows[] = {
      {"NIKON", true, 400, std::string(300, 'c')},
      {"OLYMPUS", false, 8 + 30 + 18 + 8, "comment"},  // IFD0, Exif directory, the make's text
  };
  const Bytes note(40, 0x11);
  for (const Row& r : rows) {
    SCOPED_TRACE(r.make);
    TiffBuilder t('I');
    t.ifd0 = {t.Ascii(0x010F, r.make)};
    t.exif = {t.Undef(0x927C, note)};
    if (r.hadComment) t.exif.insert(t.exif.begin(), t.Undef(0x9286, Bytes(10, 'x')));
    t.makerNoteAt = r.at;
    test::Save(dir / "m.jpg", test::WithSegments(test::MakeJpeg(8, 8), {test::Segment(0xFFE1, t.Build())}));
    ASSERT_TRUE(WriteExifUserComment(r.comment, dir / "m.jpg", dir / "n.jpg"));
    JpegExifFile f;
    ASSERT_TRUE(f.Parse(dir / "n.jpg"));
    ASSERT_TRUE(f.makerNoteOffset.has_value());
    EXPECT_EQ(*f.makerNoteOffset, r.at);
    EXPECT_EQ(f.FindTag(exif_tag::kMakerNote)->data, note);
    std::string text;
    ASSERT_TRUE(f.GetUserComment(text));
    EXPECT_EQ(text, r.comment);
  }
}

// ---- changed in place, appended to, never laid out anew ----

Bytes TiffOf(const std::string& path) {
  Bytes f = test::Load(path);
  for (size_t i = 2; i + 10 < f.size(); i += 2 + ((f[i + 2] << 8) | f[i + 3])) {
    if (f[i] == 0xFF && f[i + 1] == 0xE1 && std::memcmp(&f[i + 4], "Exif", 4) == 0)
      return Bytes(f.begin() + long(i) + 10, f.begin() + long(i) + 2 + ((f[i + 2] << 8) | f[i + 3]));
  }
  return {};
}

TEST(JpegExifFile, CommentIsWrittenInPlaceOrAppendedAndItsOldBytesZeroed) {
  test::TempDir dir;
  TiffBuilder t('M');
  t.ifd0 = {t.Ascii(0x010F, "OLYMPUS")};
  t.exif = {
      t.Undef(0x9286, {'A', 'S', 'C', 'I', 'I', 0, 0, 0, 's', 'e', 'c', 'r', 'e', 't', '-', 'o', 'l', 'd'}),
      t.Undef(0x927C, Bytes(64, 0x42))};
  test::Save(dir / "a.jpg", test::WithSegments(test::MakeJpeg(8, 8), {test::Segment(0xFFE1, t.Build())}));
  const Bytes before = TiffOf(dir / "a.jpg");
  struct Row {
    std::string comment;
    bool grows;
  } rows[] = {{"short", false}, {std::string(100, 'n'), true}};
  for (const Row& r : rows) {
    ASSERT_TRUE(WriteExifUserComment(r.comment, dir / "a.jpg", dir / "b.jpg"));
    const Bytes after = TiffOf(dir / "b.jpg");
    EXPECT_EQ(after.size() > before.size(), r.grows);
    ASSERT_GE(after.size(), before.size());
    // Apart from the comment's own bytes and its entry, the old block is unchanged.
    size_t differing = 0;
    for (size_t i = 0; i < before.size(); ++i) differing += before[i] != after[i];
    EXPECT_LE(differing, 18u + 8u) << r.comment;
    const std::string text(after.begin(), after.end());
    EXPECT_EQ(text.find("secret"), std::string::npos);
    std::string read;
    ASSERT_TRUE(ReadExifUserComment(dir / "b.jpg", read));
    EXPECT_EQ(read, r.comment);
  }
}

TEST(JpegExifFile, NewExifDirectoryHasItsVersionAndDirectoriesStaySorted) {
  test::TempDir dir;
  TiffBuilder t('I');
  t.ifd0 = {t.Ascii(0x010F, "Casio"), t.Short(0x0112, 1), t.Ascii(0x0132, "2001:02:03 04:05:06")};
  t.gps = {t.Ascii(1, "N")};
  test::Save(dir / "a.jpg", test::WithSegments(test::MakeJpeg(8, 8), {test::Segment(0xFFE1, t.Build())}));
  test::Save(dir / "none.jpg", test::MakeJpeg(8, 8));
  for (const char* name : {"a.jpg", "none.jpg"}) {
    ASSERT_TRUE(WriteExifUserComment("x", dir / name, dir / "b.jpg"));
    JpegExifFile f;
    ASSERT_TRUE(f.Parse(dir / "b.jpg"));
    ASSERT_EQ(f.exifEntries.size(), 2u) << name;
    EXPECT_EQ(f.exifEntries[0].tag, exif_tag::kExifVersion);
    EXPECT_EQ(f.exifEntries[0].data, (Bytes{'0', '2', '3', '2'}));
    EXPECT_TRUE(std::is_sorted(f.ifd0Entries.begin(), f.ifd0Entries.end(),
                               [](const ExifEntry& a, const ExifEntry& b) { return a.tag < b.tag; }))
        << name;
  }
}

TEST(JpegExifFile, ThumbnailDirectoriesWithoutAJpegThumbnailAreKept) {
  test::TempDir dir;
  TiffBuilder t('I');
  t.ifd0 = {t.Ascii(0x010F, "KODAK")};
  struct Row {
    const char* what;
    std::vector<test::Entry> ifd1;
  } rows[] = {
      {"empty thumbnail", {t.Short(0x0103, 6), t.Long(0x0201, 0), t.Long(0x0202, 0)}},
      {"strips", {t.Short(0x0103, 1), t.Long(0x0111, 8), t.Long(0x0117, 0), t.Long(0x011A, 72)}},
  };
  for (const Row& r : rows) {
    t.ifd1 = r.ifd1;
    test::Save(dir / "a.jpg", test::WithSegments(test::MakeJpeg(8, 8), {test::Segment(0xFFE1, t.Build())}));
    ASSERT_TRUE(WriteExifUserComment("x", dir / "a.jpg", dir / "b.jpg"));
    JpegExifFile a, b;
    ASSERT_TRUE(a.Parse(dir / "a.jpg"));
    ASSERT_TRUE(b.Parse(dir / "b.jpg"));
    ASSERT_EQ(b.thumbnailEntries.size(), r.ifd1.size()) << r.what;
    for (size_t i = 0; i < r.ifd1.size(); ++i)
      EXPECT_EQ(b.thumbnailEntries[i].data, a.thumbnailEntries[i].data);
  }
}

TEST(JpegExifFile, BlockPastTheSegmentLimitIsRewrittenWholeWithANotice) {
  test::TempDir dir;
  TiffBuilder t('I');
  t.ifd0 = {t.Ascii(0x010F, "Canon")};
  Bytes comment = {'A', 'S', 'C', 'I', 'I', 0, 0, 0};
  comment.resize(30000, 'o');
  t.exif = {t.Undef(0x927C, Bytes(20000, 0x42)), t.Undef(0x9286, comment)};
  test::Save(dir / "a.jpg", test::WithSegments(test::MakeJpeg(8, 8), {test::Segment(0xFFE1, t.Build())}));
  std::vector<std::pair<int, std::string>> notices;
  SetExifNoticeHook([&](int level, const std::string& text, const std::string&) {
    notices.push_back({level, text});
  });
  const std::string longer(30001, 'n');
  const bool written = WriteExifUserComment(longer, dir / "a.jpg", dir / "b.jpg");
  SetExifNoticeHook(nullptr);
  ASSERT_TRUE(written);
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_EQ(notices[0].first, 4);
  JpegExifFile f;
  ASSERT_TRUE(f.Parse(dir / "b.jpg"));
  std::string text;
  ASSERT_TRUE(f.GetUserComment(text));
  EXPECT_EQ(text, longer);
  EXPECT_EQ(f.FindTag(exif_tag::kMakerNote)->data, Bytes(20000, 0x42));
}

// Tags of IFD0 or the Exif directory as they stand in a little-endian TIFF block (entries the
// reader skips included).
std::vector<uint16_t> RawTags(const Bytes& tiff, bool exif) {
  auto get16 = [&](size_t at) { return uint16_t(tiff[at] | tiff[at + 1] << 8); };
  auto tagsAt = [&](size_t dir) {
    std::vector<uint16_t> tags;
    for (size_t i = 0; i < get16(dir); ++i) tags.push_back(get16(dir + 2 + 12 * i));
    return tags;
  };
  const size_t ifd0 = test::Get32Le(tiff, 4);
  if (!exif) return tagsAt(ifd0);
  for (size_t i = 0; i < get16(ifd0); ++i) {
    const size_t e = ifd0 + 2 + 12 * i;
    if (get16(e) == exif_tag::kExifIfd) return tagsAt(test::Get32Le(tiff, e + 8));
  }
  return {};
}

// An offset past the end of the block was unreadable; the appended data must not make it
// readable, and where keeping clear of it would outgrow the segment the entry goes instead. An
// unreadable old comment goes too: once the block covers it, it would shadow the new one.
TEST(JpegExifFile, OffsetsPastTheBlockStayUnreadable) {
  test::TempDir dir;
  struct Row {
    const char* what;
    uint16_t tag;
    uint32_t at;    // 0: the block's end
    uint64_t size;  // what the offset declares
    bool leftOut;   // the entry goes
  } rows[] = {
      {"GPS IFD pointer", exif_tag::kGpsIfd, 0, 6, false},
      {"FocalLength value", 0x920A, 0, 8, false},
      {"UserComment value", exif_tag::kUserComment, 0, 11, true},
      {"GPS IFD pointer near the segment's limit", exif_tag::kGpsIfd, 65000, 6, true},
      {"FocalLength near the segment's limit", 0x920A, 65000, 8, true},
  };
  for (const Row& r : rows) {
    test::Save(dir / "a.jpg", test::MakeDanglingOffsetJpeg(r.tag, r.at));
    const Bytes before = TiffOf(dir / "a.jpg");
    std::vector<int> levels;
    SetExifNoticeHook([&](int level, const std::string&, const std::string&) { levels.push_back(level); });
    const bool written = WriteExifUserComment(std::string(600, 'c'), dir / "a.jpg", dir / "b.jpg");
    SetExifNoticeHook(nullptr);
    ASSERT_TRUE(written) << r.what;
    const Bytes after = TiffOf(dir / "b.jpg");
    const uint64_t at = r.at != 0 ? r.at : before.size();
    // Said at level 4 only where the segment's limit forced it.
    EXPECT_EQ(levels, r.at != 0 ? std::vector<int>{4} : std::vector<int>{}) << r.what;
    if (r.at == 0) {
      ASSERT_GE(after.size(), at + r.size) << r.what;
      EXPECT_TRUE(std::all_of(after.begin() + long(at), after.begin() + long(at + r.size), [](uint8_t b) {
        return b == 0;
      })) << r.what;
    }
    if (r.leftOut) {
      const bool inIfd0 = r.tag == exif_tag::kGpsIfd;
      const auto tags = RawTags(after, !inIfd0);
      EXPECT_EQ(std::count(tags.begin(), tags.end(), r.tag), r.tag == exif_tag::kUserComment ? 1 : 0)
          << r.what;
      // The directory rewritten without the entry (the Exif one with the comment).
      EXPECT_EQ(tags.size() + (inIfd0 ? 1 : 0), RawTags(before, !inIfd0).size()) << r.what;
    }
    JpegExifFile f;
    ASSERT_TRUE(f.Parse(dir / "b.jpg")) << r.what;
    EXPECT_TRUE(f.gpsEntries.empty()) << r.what;
    std::string text;
    EXPECT_TRUE(f.GetUserComment(text) && text == std::string(600, 'c')) << r.what;
    EXPECT_NE(f.FindTag(exif_tag::kPixelXDimension), nullptr) << r.what;
  }
}

TEST(JpegExifFile, TaggingAnMpoKeepsItsSecondPictureReachable) {
  test::TempDir dir;
  Bytes second;
  test::Save(dir / "a.jpg", test::MakeMpo(&second));
  ASSERT_TRUE(WriteExifUserComment(std::string(500, 'c'), dir / "a.jpg", dir / "b.jpg"));
  const Bytes out = test::Load(dir / "b.jpg");
  const size_t mpf = test::FindMpfPayload(out);
  ASSERT_NE(mpf, 0u);
  const size_t at = mpf + test::kMpHeaderInPayload + test::Get32Le(out, mpf + test::kMpEntriesInPayload + 24);
  ASSERT_LE(at + second.size(), out.size());
  EXPECT_TRUE(std::equal(second.begin(), second.end(), out.begin() + long(at)));
  EXPECT_EQ(test::Get32Le(out, mpf + test::kMpEntriesInPayload + 4), at);  // first picture's size
}

// Every entry as read ("directory tag type count data"), the comment and the pointers a grown
// Exif directory may move aside.
std::multiset<std::string> EntriesBesidesTheComment(const JpegExifFile& f) {
  std::multiset<std::string> all;
  const std::pair<const char*, const std::vector<ExifEntry>*> dirs[] = {{"IFD0", &f.ifd0Entries},
                                                                        {"Exif", &f.exifEntries},
                                                                        {"GPS", &f.gpsEntries},
                                                                        {"Interop", &f.interopEntries},
                                                                        {"IFD1", &f.thumbnailEntries}};
  for (const auto& [name, list] : dirs)
    for (const ExifEntry& e : *list) {
      if (e.tag == exif_tag::kUserComment || e.tag == exif_tag::kExifIfd) continue;
      all.insert(std::string(name) + " " + std::to_string(e.tag) + " " + std::to_string(e.type) + " " +
                 std::to_string(e.count) + " " + std::string(e.data.begin(), e.data.end()));
    }
  return all;
}

// Cameras whose tags share bytes or a directory: an older Olympus reads its maker note's CameraID
// from inside the user comment's value; a Kodak's Interop pointer points back at IFD0, with a strip
// thumbnail in IFD1. Tagged with a comment that would fit in place and with one that would not,
// every other tag reads as before (the Interop pointer still at IFD0, IFD1 and its strip kept).
TEST(JpegExifFile, TagsSharingBytesOrADirectoryReadTheSameAfterTagging) {
  test::TempDir dir;
  const std::pair<const char*, Bytes> files[] = {{"olympus", test::MakeSharedCommentBytesJpeg()},
                                                 {"kodak", test::MakeInteropAtIfd0Jpeg()}};
  // The bytes an entry's offset names, whatever directory (or maker note) the entry is in.
  auto at = [](const Bytes& tiff, uint32_t offset, size_t n) {
    return offset + n <= tiff.size() ? Bytes(tiff.begin() + offset, tiff.begin() + long(offset + n))
                                     : Bytes{};
  };
  for (const auto& [name, bytes] : files) {
    test::Save(dir / "a.jpg", bytes);
    JpegExifFile before;
    ASSERT_TRUE(before.Parse(dir / "a.jpg"));
    const Bytes tiffBefore = TiffOf(dir / "a.jpg");
    const ExifEntry* note = before.FindTag(exif_tag::kMakerNote);
    const uint32_t cameraId = note ? test::Get32Le(note->data, 18) : 0;
    const ExifEntry* interop = before.FindTag(exif_tag::kInteropIfd);
    for (const std::string& comment : {std::string("short"), std::string(200, 'c')}) {
      SCOPED_TRACE(std::string(name) + ", " + std::to_string(comment.size()) + " bytes");
      ASSERT_TRUE(WriteExifUserComment(comment, dir / "a.jpg", dir / "b.jpg"));
      JpegExifFile after;
      ASSERT_TRUE(after.Parse(dir / "b.jpg"));
      std::string text;
      EXPECT_TRUE(after.GetUserComment(text) && text == comment);
      EXPECT_EQ(EntriesBesidesTheComment(after), EntriesBesidesTheComment(before));
      const Bytes tiffAfter = TiffOf(dir / "b.jpg");
      if (note) {
        EXPECT_EQ(after.FindTag(exif_tag::kMakerNote)->data, note->data);
        EXPECT_EQ(at(tiffAfter, cameraId, 32), at(tiffBefore, cameraId, 32)) << "CameraID";
      }
      if (interop) {
        EXPECT_EQ(after.FindTag(exif_tag::kInteropIfd)->data, interop->data) << "still IFD0";
        ASSERT_EQ(after.thumbnailEntries.size(), 6u);
        const uint32_t strip = test::Get32Le(after.thumbnailEntries[3].data, 0);
        EXPECT_EQ(at(tiffAfter, strip, 48), at(tiffBefore, strip, 48)) << "the strip";
      }
    }
  }
}

// ---- untrusted input ----

TEST(JpegExifFile, BrokenFilesFailOrSkipTheExifBlock) {
  test::TempDir dir;
  const Bytes good = FullExifJpeg('I');
  struct Row {
    const char* what;
    Bytes bytes;
    bool parses;
  };
  auto patch = [&](size_t at, std::initializer_list<uint8_t> v) {
    Bytes b = good;
    std::copy(v.begin(), v.end(), b.begin() + long(at));
    return b;
  };
  // Offsets inside `good`: SOI 0, APP0 2..19, APP1 marker 20, length 22, "Exif" 24, TIFF 30.
  const size_t tiff = 30;
  Bytes noEoi = good;
  noEoi.pop_back();
  Bytes lengthPastEnd = test::MakeJpeg(8, 8);
  lengthPastEnd.resize(30);
  lengthPastEnd[22] = 0xFF;
  lengthPastEnd[23] = 0xF0;
  std::vector<Row> rows = {
      {"empty", {}, false},
      {"only SOI", {0xFF, 0xD8}, false},
      {"truncated in header", Bytes(good.begin(), good.begin() + 200), false},
      {"missing EOI", noEoi, false},
      {"segment length past the end", lengthPastEnd, false},
      {"segment length below 2", patch(22, {0x00, 0x01}), false},
      {"SOS at the very end", {0xFF, 0xD8, 0xFF, 0xDA}, false},
      {"IFD0 offset outside the block", patch(tiff + 4, {0xFF, 0xFF, 0xFF, 0x7F}), true},
      {"IFD0 count beyond the block", patch(tiff + 8, {0xFF, 0xFF}), true},
      {"bad byte order mark", patch(tiff, {'X', 'X'}), true},
      {"bad check number", patch(tiff + 2, {43, 0}), true},
      {"Exif pointer loops to IFD0", patch(tiff + 8 + 2 + 12 * 4 + 8, {8, 0, 0, 0}), true},
      {"IFD1 loops to IFD0", patch(tiff + 8 + 2 + 12 * 6, {8, 0, 0, 0}), true},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    test::Save(dir / "x.jpg", r.bytes);
    JpegExifFile f;
    EXPECT_EQ(f.Parse(dir / "x.jpg"), r.parses);
    if (r.parses) {
      // Whatever was read must rewrite into a file that parses again.
      ASSERT_TRUE(WriteExifUserComment("t", dir / "x.jpg", dir / "y.jpg"));
      JpegExifFile g;
      EXPECT_TRUE(g.Parse(dir / "y.jpg"));
      std::string text;
      EXPECT_TRUE(g.GetUserComment(text));
    }
  }
}

// Segments before the scan are kept in memory: a file of nothing but comment segments once
// took as much memory as it was large.
TEST(JpegExifFile, HeaderOfManyLargeSegmentsIsRefused) {
  test::TempDir dir;
  const std::string path = dir / "big.jpg";
  const size_t segments = 1100;  // of 64 KB: just over 64 MB
  const uint8_t soi[2] = {0xFF, 0xD8};
  const uint8_t com[4] = {0xFF, 0xFE, 0xFF, 0xFF};
  const uint8_t tail[4] = {0xFF, 0xDA, 0xFF, 0xD9};  // SOS and EOI: complete but for its size
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  const off_t end = off_t(2 + segments * (2 + 0xFFFF));
  // Sparse: the segments' zero contents cost no disk.
  ASSERT_EQ(ftruncate(fd, end + 4), 0);
  ASSERT_EQ(pwrite(fd, soi, 2, 0), 2);
  for (size_t i = 0; i < segments; ++i) ASSERT_EQ(pwrite(fd, com, 4, off_t(2 + i * (2 + 0xFFFF))), 4);
  ASSERT_EQ(pwrite(fd, tail, 4, end), 4);
  close(fd);
  JpegExifFile f;
  EXPECT_FALSE(f.Parse(path));
  EXPECT_LT(f.segments.size(), segments);
}

TEST(JpegExifFile, EntriesSharingTheirDataCannotMultiplyMemory) {
  test::TempDir dir;
  // 2000 entries that all point at the same 30000 bytes: 60 MB if each took its own copy.
  const uint32_t n = 2000, size = 30000, dataAt = 8 + 2 + 12 * n + 4;
  TiffBuilder t('I');
  Bytes tiff = {'I', 'I', 42, 0, 8, 0, 0, 0};
  auto put = [&](const Bytes& b) { tiff.insert(tiff.end(), b.begin(), b.end()); };
  put(t.U16(uint16_t(n)));
  for (uint32_t i = 0; i < n; ++i) {
    put(t.U16(uint16_t(0x1000 + i)));
    put(t.U16(7));
    put(t.U32(size));
    put(t.U32(dataAt));
  }
  put(t.U32(0));
  tiff.resize(dataAt + size, 0x33);
  Bytes block = {'E', 'x', 'i', 'f', 0, 0};
  block.insert(block.end(), tiff.begin(), tiff.end());
  test::Save(dir / "r.jpg", test::WithSegments(test::MakeJpeg(8, 8), {test::Segment(0xFFE1, block)}));
  JpegExifFile f;
  ASSERT_TRUE(f.Parse(dir / "r.jpg"));
  size_t total = 0;
  for (const auto& e : f.ifd0Entries) total += e.data.size();
  EXPECT_LE(total, 2 * block.size());
  EXPECT_GE(f.ifd0Entries.size(), 2u);
}

TEST(JpegExifFile, EveryTruncationOfARealHeaderIsHandled) {
  test::TempDir dir;
  Bytes real = test::Load(std::string(BRISKO_TEST_DATA) + "/jpeg/drewnoakes/Sony_Cybershot_3.jpg");
  ASSERT_FALSE(real.empty());
  JpegExifFile whole;
  test::Save(dir / "w.jpg", real);
  ASSERT_TRUE(whole.Parse(dir / "w.jpg"));
  for (size_t n = 0; n < whole.sosPosition + 16; n += 7) {
    Bytes cut(real.begin(), real.begin() + long(n));
    test::Save(dir / "t.jpg", cut);
    JpegExifFile f;
    EXPECT_FALSE(f.Parse(dir / "t.jpg")) << n;
  }
}

TEST(JpegExifFile, RealBrokenFilesAreRejected) {
  for (const auto& e : fs::directory_iterator(std::string(BRISKO_TEST_DATA) + "/jpeg/broken")) {
    JpegExifFile f;
    EXPECT_FALSE(f.Parse(e.path().string())) << e.path();
    test::TempDir dir;
    EXPECT_FALSE(WriteExifUserComment("x", e.path().string(), dir / "o.jpg"));
    EXPECT_FALSE(fs::exists(dir / "o.jpg"));
  }
}

TEST(JpegExifFile, DataAfterEoiIsKept) {
  test::TempDir dir;
  Bytes jpeg = FullExifJpeg('I');
  Bytes trailer = {'t', 'r', 'a', 'i', 'l', 'e', 'r', 0xFF, 0x00};
  jpeg.insert(jpeg.end(), trailer.begin(), trailer.end());
  test::Save(dir / "a.jpg", jpeg);
  ASSERT_TRUE(WriteExifUserComment("x", dir / "a.jpg", dir / "b.jpg"));
  Bytes out = test::Load(dir / "b.jpg");
  EXPECT_TRUE(std::equal(trailer.begin(), trailer.end(), out.end() - long(trailer.size())));
}

// ---- never in place, no partial output ----

TEST(JpegExifFile, WriteRefusesToOverwriteTheParsedFile) {
  test::TempDir dir;
  test::Save(dir / "a.jpg", FullExifJpeg('I'));
  Bytes before = test::Load(dir / "a.jpg");
  JpegExifFile f;
  ASSERT_TRUE(f.Parse(dir / "a.jpg"));
  EXPECT_FALSE(f.Write(dir / "a.jpg"));
  ASSERT_EQ(symlink((dir / "a.jpg").c_str(), (dir / "link.jpg").c_str()), 0);
  EXPECT_FALSE(f.Write(dir / "link.jpg"));
  EXPECT_EQ(test::Load(dir / "a.jpg"), before);
  // Writing the comment into the same path goes through a new file and a rename.
  ASSERT_TRUE(WriteExifUserComment("same", dir / "a.jpg", dir / "a.jpg"));
  std::string text;
  EXPECT_TRUE(ReadExifUserComment(dir / "a.jpg", text));
  EXPECT_EQ(text, "same");
}

TEST(JpegExifFile, FailedWritesLeaveNoDestinationAndNoTemporaryFile) {
  test::TempDir dir;
  test::Save(dir / "a.jpg", FullExifJpeg('I'));
  EXPECT_FALSE(WriteExifUserComment("x", dir / "a.jpg", dir / "missing/b.jpg"));
  EXPECT_FALSE(WriteExifUserComment(std::string(70000, 'c'), dir / "a.jpg", dir / "b.jpg"))
      << "a block that would outgrow its segment";
  EXPECT_FALSE(fs::exists(dir / "b.jpg"));
  SafeOutput::FailNextCommitForTest(EIO);
  EXPECT_FALSE(WriteExifUserComment("x", dir / "a.jpg", dir / "b.jpg"));
  EXPECT_FALSE(fs::exists(dir / "b.jpg"));
  EXPECT_EQ(test::Names(dir.Path()).size(), 1u);
}

TEST(JpegExifFile, RewriteThatDoesNotReadBackWholeReplacesNothing) {
  test::TempDir dir;
  const Bytes original = FullExifJpeg('I');
  test::Save(dir / "a.jpg", original);
  std::vector<std::string> notices;
  SetExifNoticeHook([&](int, const std::string& text, const std::string&) { notices.push_back(text); });
  // A scan cut short on its way to disk.
  SetRewriteCheckTamperForTest([](int fd) {
    struct stat st {};
    ASSERT_EQ(fstat(fd, &st), 0);
    ASSERT_EQ(ftruncate(fd, st.st_size - 3), 0);
  });
  EXPECT_FALSE(WriteExifUserComment("tagged", dir / "a.jpg", dir / "a.jpg"));
  SetRewriteCheckTamperForTest(nullptr);
  SetExifNoticeHook(nullptr);
  EXPECT_EQ(test::Load(dir / "a.jpg"), original);
  EXPECT_EQ(test::Names(dir.Path()).size(), 1u);
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_EQ(notices[0], "FAILED: rewritten JPEG did not read back whole; original kept");
}

TEST(JpegExifFile, DiskFullLeavesNoPartialDestination) {
  test::TempDir dir;
  const std::string mnt = dir / "small";
  test::SmallTmpfs tmpfs(mnt, "64k");
  if (!tmpfs.Ok()) GTEST_SKIP() << "cannot mount a tmpfs here";
  Bytes big = FullExifJpeg('I');
  Bytes pad(200000, 0x55);
  big.insert(big.end() - 2, pad.begin(), pad.end());  // scan data larger than the file system
  test::Save(dir / "big.jpg", big);
  EXPECT_FALSE(WriteExifUserComment("x", dir / "big.jpg", mnt + "/out.jpg"));
  EXPECT_TRUE(fs::is_empty(mnt));
}

// The date taken is DateTimeOriginal, then DateTimeDigitized, then DateTime (the change date an
// editor writes); a blank or zeroed one is passed over. Also from a bare EXIF block (HEIF).
TEST(DateTaken, OriginalThenDigitizedThenChanged) {
  struct Row {
    const char *original, *digitized, *changed, *taken;
  };
  const Row rows[] = {
      {"2024:05:06 07:08:09", "2024:05:06 07:08:09", "2024:05:06 07:08:09", "2024-05-06 07:08:09"},
      {"2024:05:06 07:08:09", "2024:05:07 10:00:00", "2025:01:02 03:04:05", "2024-05-06 07:08:09"},  // edited
      {"2024:05:06 07:08:09", nullptr, nullptr, "2024-05-06 07:08:09"},
      {nullptr, "2024:05:07 10:00:00", "2025:01:02 03:04:05", "2024-05-07 10:00:00"},
      {nullptr, nullptr, "2025:01:02 03:04:05", "2025-01-02 03:04:05"},
      {"0000:00:00 00:00:00", "    :  :     :  :  ", "2025:01:02 03:04:05", "2025-01-02 03:04:05"},
      {nullptr, nullptr, nullptr, nullptr},
      {"garbage", nullptr, nullptr, nullptr},
  };
  test::TempDir dir;
  for (char order : {'I', 'M'}) {
    for (const Row& r : rows) {
      TiffBuilder t(order);
      t.ifd0.push_back(t.Ascii(0x010F, "Test"));
      if (r.changed) t.ifd0.push_back(t.Ascii(0x0132, r.changed));
      if (r.original) t.exif.push_back(t.Ascii(0x9003, r.original));
      if (r.digitized) t.exif.push_back(t.Ascii(0x9004, r.digitized));
      if (!r.original && !r.digitized) t.exif.push_back(t.Short(0xA001, 1));
      const Bytes app1 = t.Build();
      test::Save(dir / "a.jpg", test::WithSegments(test::MakeJpeg(16, 16), {test::Segment(0xFFE1, app1)}));
      std::time_t when = 0;
      const bool found = ReadExifDateTime(dir / "a.jpg", when);
      std::time_t fromBlock = 0;
      const bool foundInBlock =
          ReadTiffDateTaken(std::vector<uint8_t>(app1.begin() + 6, app1.end()), fromBlock);
      EXPECT_EQ(found, r.taken != nullptr) << (r.original ? r.original : "-");
      EXPECT_EQ(foundInBlock, found);
      if (!found) continue;
      std::tm tm{};
      localtime_r(&when, &tm);
      char text[32];
      std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
      EXPECT_EQ(std::string(text), r.taken);
      EXPECT_EQ(fromBlock, when);
    }
  }
  // A block that is no TIFF is no date, and no crash.
  std::time_t when = 0;
  EXPECT_FALSE(ReadTiffDateTaken({}, when));
  EXPECT_FALSE(ReadTiffDateTaken({'I', 'I', 42, 0, 0xFF, 0xFF, 0xFF, 0x7F}, when));
}

}  // namespace
}  // namespace brisko
