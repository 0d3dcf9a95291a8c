// exiftool as an independent reader: after our rewrite every tag reads back as before, apart
// from the ones the rewrite means to change, and no new warning appears.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <set>
#include <string>

#include "common/temp_dir.h"
#include "imagemeta/auto_rotate.h"
#include "imagemeta/jpeg_exif_file.h"

namespace brisko {
namespace {

namespace fs = std::filesystem;

std::string Run(const std::string& command) {
  std::string out;
  FILE* p = popen(command.c_str(), "r");
  if (!p) return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  pclose(p);
  return out;
}

bool HaveExiftool() {
  return std::system("exiftool -ver >/dev/null 2>&1") == 0;
}

std::string Quote(const std::string& s) {
  return "'" + s + "'";
}

// "-Group:Tag=value" lines, one multiset per file.
std::multiset<std::string> Tags(const std::string& path, const std::set<std::string>& ignoredTags) {
  std::multiset<std::string> tags;
  std::string out = Run("exiftool -args -G1 -a -u -n " + Quote(path) + " 2>/dev/null");
  size_t start = 0;
  while (start < out.size()) {
    size_t end = out.find('\n', start);
    if (end == std::string::npos) end = out.size();
    std::string line = out.substr(start, end - start);
    start = end + 1;
    size_t colon = line.find(':');
    size_t eq = line.find('=');
    if (line.size() < 2 || line[0] != '-' || colon == std::string::npos || eq == std::string::npos ||
        eq < colon) {
      tags.insert(line);
      continue;
    }
    std::string group = line.substr(1, colon - 1);
    std::string tag = line.substr(colon + 1, eq - colon - 1);
    if (group == "File" || group == "Composite" || group == "ExifTool" || group == "System") continue;
    if (ignoredTags.count(tag)) continue;
    tags.insert(line);
  }
  return tags;
}

std::set<std::string> Warnings(const std::string& path) {
  std::set<std::string> warnings;
  std::string out = Run("exiftool -validate -warning -a -s -s -s " + Quote(path) + " 2>/dev/null");
  size_t start = 0;
  while (start < out.size()) {
    size_t end = out.find('\n', start);
    if (end == std::string::npos) end = out.size();
    std::string line = out.substr(start, end - start);
    start = end + 1;
    // The count line ("3 Warnings (1 minor)") changes with the set itself.
    if (!line.empty() && line.find("Warnings") == std::string::npos &&
        line.find("Warning (") == std::string::npos)
      warnings.insert(line);
  }
  return warnings;
}

std::vector<std::string> RealFiles() {
  std::vector<std::string> files;
  for (const auto& e : fs::recursive_directory_iterator(std::string(BRISKO_TEST_DATA) + "/jpeg")) {
    if (e.path().extension() == ".jpg" && e.path().string().find("/broken/") == std::string::npos)
      files.push_back(e.path().string());
  }
  std::sort(files.begin(), files.end());
  return files;
}

void ExpectSameTags(const std::string& source, const std::string& result,
                    const std::set<std::string>& ignored) {
  auto before = Tags(source, ignored);
  auto after = Tags(result, ignored);
  std::vector<std::string> lost, gained;
  std::set_difference(before.begin(), before.end(), after.begin(), after.end(), std::back_inserter(lost));
  std::set_difference(after.begin(), after.end(), before.begin(), before.end(), std::back_inserter(gained));
  for (const auto& l : lost) ADD_FAILURE() << source << ": lost or changed " << l;
  for (const auto& g : gained) ADD_FAILURE() << source << ": new or changed " << g;
  auto wBefore = Warnings(source);
  JpegExifFile parsed;
  ASSERT_TRUE(parsed.Parse(source));
  for (const auto& w : Warnings(result)) {
    // A photo without EXIF block or Exif directory gains a minimal one; it holds only what we know.
    if (parsed.byteOrder == 0 && w.rfind("Missing required", 0) == 0) continue;
    if (parsed.exifEntries.empty() && w.rfind("Missing required JPEG ExifIFD", 0) == 0) continue;
    EXPECT_TRUE(wBefore.count(w)) << source << ": new warning " << w;
  }
}

TEST(ExiftoolOracle, UserCommentRewriteKeepsEveryOtherTag) {
  if (!HaveExiftool()) GTEST_SKIP() << "exiftool not installed";
  test::TempDir dir;
  for (const std::string& src : RealFiles()) {
    SCOPED_TRACE(src);
    std::string out = dir / "out.jpg";
    ASSERT_TRUE(WriteExifUserComment("BriskoExif:m_strEventID=E1|", src, out));
    std::string text;
    JpegExifFile f;
    ASSERT_TRUE(f.Parse(out));
    ASSERT_TRUE(f.GetUserComment(text));
    EXPECT_EQ(text, "BriskoExif:m_strEventID=E1|");
    // ThumbnailOffset is where the thumbnail now lies, not a value of the photo.
    ExpectSameTags(src, out, {"UserComment", "ThumbnailOffset"});
    fs::remove(out);
  }
}

TEST(ExiftoolOracle, RotationKeepsEveryTagButOrientationSizeAndThumbnail) {
  if (!HaveExiftool()) GTEST_SKIP() << "exiftool not installed";
  test::TempDir dir;
  int rotated = 0;
  for (const std::string& src : RealFiles()) {
    if (!JpegNeedsRotation(src)) continue;
    SCOPED_TRACE(src);
    std::string out = dir / "rotated.jpg";
    ASSERT_TRUE(AutoRotateJpeg(dir.Path(), src, out));
    ++rotated;
    JpegExifFile f;
    uint16_t orientation = 0;
    ASSERT_TRUE(f.Parse(out));
    ASSERT_TRUE(f.GetOrientation(orientation));
    EXPECT_EQ(orientation, 1);
    ExpectSameTags(src, out,
                   {"Orientation", "ExifImageWidth", "ExifImageHeight", "ThumbnailImage", "ThumbnailOffset",
                    "ThumbnailLength"});
    fs::remove(out);
  }
  EXPECT_GE(rotated, 3);
}

}  // namespace
}  // namespace brisko
