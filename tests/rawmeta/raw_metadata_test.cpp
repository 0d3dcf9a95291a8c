// RAW and HEIF metadata against exiftool's reading of the same files, the reader's refusals,
// and the XMP sidecar merge (exiftool again as the independent reader).
#include "rawmeta/raw_metadata.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <sstream>
#include <vector>

#include "common/temp_dir.h"
#include "common/tools.h"
#include "rawmeta/xmp_sidecar.h"

namespace brisko {
namespace {

namespace fs = std::filesystem;

const std::string kRawDir = std::string(BRISKO_TEST_DATA) + "/raw";

using test::CommandOutput;
using test::HaveExiftool;
using test::ReadFile;
using test::WriteFile;

std::vector<std::string> Split(const std::string& line, char sep) {
  std::vector<std::string> parts;
  std::stringstream s(line);
  for (std::string part; std::getline(s, part, sep);) parts.push_back(part);
  return parts;
}

TEST(RawMetadata, MatchesExiftoolOnEveryRawKind) {
  if (!HaveExiftool()) GTEST_SKIP() << "exiftool is not installed";
  // One exiftool run over all files, a tab-separated line each ("-" for a missing tag).
  const std::string out = CommandOutput(
      "exiftool -T -n -FileName -Make -Model -DateTimeOriginal -Orientation "
      "-Composite:GPSLatitude -Composite:GPSLongitude -Composite:GPSAltitude '" +
      kRawDir + "' 2>/dev/null");
  int compared = 0;
  for (const std::string& line : Split(out, '\n')) {
    const std::vector<std::string> f = Split(line, '\t');
    ASSERT_EQ(f.size(), 8u) << line;
    const std::string path = kRawDir + "/" + f[0];
    SCOPED_TRACE(f[0]);
    // The picture made for the rendering tests keeps its EXIF where libexiv2 0.27 does not look.
    if (f[0].starts_with("made_")) continue;
    RawMetadata m;
    std::string why;
    if (f[0].ends_with(".x3f")) {
      // Sigma's format is one libexiv2 does not read: a clear refusal, no values.
      EXPECT_FALSE(ReadRawMetadata(path, m, &why));
      EXPECT_FALSE(why.empty());
      continue;
    }
    ASSERT_TRUE(ReadRawMetadata(path, m, &why)) << why;
    ++compared;
    EXPECT_EQ(m.make, f[1]);
    EXPECT_EQ(m.model, f[2]);
    EXPECT_EQ(m.dateTimeOriginal, f[3]);
    // No orientation and orientation 1 both mean upright (libexiv2 states 1 for CRW files).
    EXPECT_EQ(m.orientation == 0 ? 1 : m.orientation, f[4] == "-" ? 1 : std::stoi(f[4]));
    EXPECT_EQ(m.hasGps, f[5] != "-");
    if (m.hasGps && f[5] != "-") {
      EXPECT_NEAR(m.latitude, std::stod(f[5]), 1e-6);
      EXPECT_NEAR(m.longitude, std::stod(f[6]), 1e-6);
      ASSERT_EQ(m.altitude.has_value(), f[7] != "-");
      if (m.altitude) {
        EXPECT_NEAR(*m.altitude, std::stod(f[7]), 1e-3);
      }
    }
    EXPECT_EQ(IsRawOrHeifPath(path), true);
  }
  EXPECT_GE(compared, 12);
}

TEST(RawMetadata, RefusesWhatItMustNotRead) {
  test::TempDir dir;
  const std::string cr2 = ReadFile(kRawDir + "/canon_eos350d_cr2_1.cr2");
  const std::string heic = ReadFile(kRawDir + "/nikon_d5300_heic_1.heic");
  ASSERT_FALSE(cr2.empty());
  const std::string jpeg = "\xFF\xD8\xFF\xE1" + std::string(64, '\0');
  struct Case {
    const char* name;
    std::string bytes;
  } cases[] = {
      {"empty.cr2", ""},   {"garbage.nef", std::string(4096, '\x5A')}, {"header_only.cr2", cr2.substr(0, 16)},
      {"photo.jpg", jpeg}, {"heic_head.heic", heic.substr(0, 200)},
  };
  for (const Case& c : cases) {
    WriteFile(dir / c.name, c.bytes);
    RawMetadata m;
    std::string why;
    EXPECT_FALSE(ReadRawMetadata(dir / c.name, m, &why)) << c.name;
    EXPECT_FALSE(why.empty()) << c.name;
    EXPECT_TRUE(m.make.empty() && m.dateTimeOriginal.empty() && !m.hasGps) << c.name;
  }
  RawMetadata m;
  std::string why;
  EXPECT_FALSE(ReadRawMetadata(dir / "missing.cr2", m, &why));
  // A FIFO would block a reader forever; a huge file is not opened at all.
  ASSERT_EQ(::mkfifo((dir / "fifo.cr2").c_str(), 0600), 0);
  EXPECT_FALSE(ReadRawMetadata(dir / "fifo.cr2", m, &why));
  EXPECT_EQ(why, "not a regular file");
  WriteFile(dir / "huge.cr2", cr2);
  ASSERT_EQ(::truncate((dir / "huge.cr2").c_str(), static_cast<off_t>(kMaxRawFileSize + 1)), 0);
  EXPECT_FALSE(ReadRawMetadata(dir / "huge.cr2", m, &why));
  EXPECT_EQ(why, "too large to read its metadata");
  // A file cut short inside its picture data still gives its metadata.
  WriteFile(dir / "cut.heic", heic.substr(0, heic.size() - 1000));
  EXPECT_TRUE(ReadRawMetadata(dir / "cut.heic", m, &why)) << why;
  EXPECT_EQ(m.model, "NIKON D5300");
}

TEST(RawMetadata, CaptureTimeAndLandscape) {
  RawMetadata m;
  std::time_t when = 0;
  m.dateTimeOriginal = "0000:00:00 00:00:00";
  EXPECT_FALSE(RawCaptureTime(m, when));
  m.dateTimeOriginal = "2021:02:18 19:55:41";
  ASSERT_TRUE(RawCaptureTime(m, when));
  std::tm tm{};
  localtime_r(&when, &tm);
  EXPECT_EQ(tm.tm_year + 1900, 2021);
  EXPECT_EQ(tm.tm_hour, 19);
  struct {
    uint32_t w, h;
    int orientation;
    bool landscape;
  } shapes[] = {{6000, 4000, 1, true}, {6000, 4000, 6, false}, {6000, 4000, 8, false}, {0, 0, 0, true},
                {0, 0, 6, false},      {4000, 6000, 0, false}, {4000, 4000, 1, false}};
  for (const auto& s : shapes) {
    m.width = s.w, m.height = s.h, m.orientation = s.orientation;
    EXPECT_EQ(RawIsLandscape(m), s.landscape) << s.w << "x" << s.h << " o" << s.orientation;
  }
  EXPECT_TRUE(IsRawOrHeifPath("/a/IMG_1.CR3"));
  EXPECT_TRUE(IsHeifPath("/a/b.HIF"));
  EXPECT_FALSE(IsRawOrHeifPath("/a.cr2/IMG_1"));
  EXPECT_FALSE(IsRawOrHeifPath("/a/IMG_1.jpg"));
}

// A sidecar as editors write them: attributes, arrays, structures, qualifiers, languages, and
// namespaces libexiv2 has never heard of.
const char* const kRichSidecar = R"(<?xml version="1.0" encoding="UTF-8"?>
<x:xmpmeta xmlns:x="adobe:ns:meta/" x:xmptk="XMP Core 5.5.0">
 <rdf:RDF xmlns:rdf="http://www.w3.org/1999/02/22-rdf-syntax-ns#">
  <rdf:Description rdf:about="" xmlns:xmp="http://ns.adobe.com/xap/1.0/"
    xmlns:dc="http://purl.org/dc/elements/1.1/" xmlns:exif="http://ns.adobe.com/exif/1.0/"
    xmlns:darktable="http://darktable.sf.net/" xmlns:acme="http://example.com/acme/1.0/"
    xmp:Rating="3" darktable:history_end="2" acme:Shooter="Ann &amp; Bo">
   <exif:UserComment><rdf:Alt><rdf:li xml:lang="x-default">old words</rdf:li></rdf:Alt></exif:UserComment>
   <dc:subject><rdf:Bag><rdf:li>wedding</rdf:li><rdf:li>ceremony</rdf:li></rdf:Bag></dc:subject>
   <dc:title><rdf:Alt><rdf:li xml:lang="x-default">Title</rdf:li><rdf:li xml:lang="de-DE">Titel</rdf:li></rdf:Alt></dc:title>
   <darktable:history><rdf:Seq>
     <rdf:li darktable:operation="exposure" darktable:enabled="1" darktable:params="0000a040"/>
     <rdf:li darktable:operation="crop" darktable:enabled="0"/>
   </rdf:Seq></darktable:history>
   <acme:Note><rdf:Description><rdf:value>main</rdf:value><acme:qual>q1</acme:qual></rdf:Description></acme:Note>
  </rdf:Description>
 </rdf:RDF>
</x:xmpmeta>
)";

// exiftool's tags of a sidecar, one "Group:Tag=value" each, leaving out the file's own facts.
std::set<std::string> SidecarTags(const std::string& path) {
  std::set<std::string> tags;
  for (const std::string& line :
       Split(CommandOutput("exiftool -args -G1 -struct -a '" + path + "' 2>/dev/null"), '\n')) {
    if (line.starts_with("-System:") || line.starts_with("-ExifTool:") || line.starts_with("-File:") ||
        line.starts_with("-XMP-x:XMPToolkit="))
      continue;
    tags.insert(line);
  }
  return tags;
}

TEST(XmpSidecar, MergeKeepsEverythingElse) {
  if (!HaveExiftool()) GTEST_SKIP() << "exiftool is not installed";
  test::TempDir dir;
  const std::string path = dir / "IMG_0001.CR2.xmp";
  WriteFile(path, kRichSidecar);
  ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
  std::set<std::string> before = SidecarTags(path);
  ASSERT_EQ(before.erase("-XMP-exif:UserComment=old words"), 1u);
  const std::string block = "BriskoExif:BarCodePersonID=P1|BatchID=7|<&>\"|";
  std::string why;
  ASSERT_TRUE(WriteSidecarUserComment(path, block, &why)) << why;
  std::set<std::string> after = SidecarTags(path);
  EXPECT_EQ(after.erase("-XMP-exif:UserComment=" + block), 1u);
  EXPECT_EQ(after, before);
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  std::string text;
  ASSERT_TRUE(ReadSidecarUserComment(path, text, &why)) << why;
  EXPECT_EQ(text, block);
  // Nothing else is left in the folder (the temporary file was renamed into place).
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.Path()), fs::directory_iterator()), 1);
}

TEST(XmpSidecar, NewSidecarAndTextXmlCannotCarry) {
  test::TempDir dir;
  const std::string path = dir / "IMG_0002.xmp";
  std::string why, text;
  EXPECT_FALSE(ReadSidecarUserComment(path, text, &why));
  ASSERT_TRUE(WriteSidecarUserComment(path, std::string("a\x01z\xFF\xC3\xA9\x00!", 8), &why)) << why;
  ASSERT_TRUE(ReadSidecarUserComment(path, text, &why)) << why;
  EXPECT_EQ(text, "a?z?\xC3\xA9?!");
  if (HaveExiftool()) {
    EXPECT_EQ(CommandOutput("exiftool -s3 -XMP-exif:UserComment '" + path + "'"), "a?z?\xC3\xA9?!\n");
  }
}

TEST(XmpSidecar, UnreadableSidecarIsLeftAlone) {
  test::TempDir dir;
  std::string deep;
  for (int i = 0; i < 200; ++i) deep += "<a>";
  const std::string sidecars[] = {
      "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF",  // cut short
      "not xml at all \x01\x02",
      std::string(R"(<x:xmpmeta xmlns:x="adobe:ns:meta/">)") + deep,
  };
  for (const std::string& original : sidecars) {
    const std::string path = dir / "bad.xmp";
    WriteFile(path, original);
    std::string why;
    EXPECT_FALSE(WriteSidecarUserComment(path, "BriskoExif:|", &why)) << original;
    EXPECT_FALSE(why.empty());
    EXPECT_EQ(ReadFile(path), original);
  }
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.Path()), fs::directory_iterator()), 1);
}

}  // namespace
}  // namespace brisko
