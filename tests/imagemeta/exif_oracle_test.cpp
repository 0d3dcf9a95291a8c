// exiftool as an independent reader: after tagging or rotation every tag reads back as before,
// apart from the ones the step means to change, and no warning appears more often than before.
// One exiftool run per set of files keeps this to seconds.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
#include <string>

#include "common/temp_dir.h"
#include "common/tools.h"
#include "imagemeta/auto_rotate.h"
#include "imagemeta/jpeg_exif_file.h"
#include "special_jpegs.h"

namespace brisko {
namespace {

namespace fs = std::filesystem;

using test::HaveExiftool;

struct Meta {
  std::multiset<std::string> tags;      // "-Group:Tag=value"
  std::multiset<std::string> warnings;  // exiftool repeats a warning per occurrence
};

// One exiftool run over all files; its output is split at the "======== path" lines.
std::map<std::string, Meta> ReadAll(const std::vector<std::string>& files, const std::string& scratch) {
  std::map<std::string, Meta> result;
  if (files.empty()) return result;
  const std::string list = scratch + "/exiftool-args.txt";
  FILE* f = std::fopen(list.c_str(), "w");
  for (const auto& file : files) std::fprintf(f, "%s\n", file.c_str());
  std::fclose(f);
  const std::string command =
      "exiftool -args -G1 -a -u -n -api validate=1 -all -warning -validate -@ '" + list + "' 2>/dev/null";
  const std::string out = test::CommandOutput(command);
  Meta* current = files.size() == 1 ? &result[files[0]] : nullptr;
  size_t start = 0;
  while (start < out.size()) {
    size_t end = out.find('\n', start);
    if (end == std::string::npos) end = out.size();
    const std::string line = out.substr(start, end - start);
    start = end + 1;
    if (line.rfind("======== ", 0) == 0) {
      current = &result[line.substr(9)];
      continue;
    }
    size_t colon = line.find(':');
    size_t eq = line.find('=');
    if (!current || line.size() < 2 || line[0] != '-' || colon == std::string::npos ||
        eq == std::string::npos || eq < colon)
      continue;
    const std::string group = line.substr(1, colon - 1);
    const std::string tag = line.substr(colon + 1, eq - colon - 1);
    if (group == "ExifTool" && tag == "Warning") {
      current->warnings.insert(line.substr(eq + 1));
      continue;
    }
    if (group == "File" || group == "Composite" || group == "ExifTool" || group == "System") continue;
    current->tags.insert(group + ":" + tag + "=" + line.substr(eq + 1));
  }
  return result;
}

std::string SharedCorpus() {
  if (const char* env = std::getenv("BRISKO_SHARED_JPEG")) return env;
  return std::string(BRISKO_TEST_DATA) + "/../../../shared/testdata/jpeg";
}

// Every real photo of the project's corpus and of the shared one (when present), by file name.
std::vector<std::string> RealFiles() {
  std::map<std::string, std::string> byName;
  for (const std::string& root : {SharedCorpus(), std::string(BRISKO_TEST_DATA) + "/jpeg"}) {
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
      const std::string p = it->path().string();
      if (it->path().extension() == ".jpg" && p.find("/broken/") == std::string::npos)
        byName[it->path().filename().string()] = p;
    }
  }
  std::vector<std::string> files;
  for (const auto& [name, path] : byName) files.push_back(path);
  return files;
}

// The real files plus the made-up kinds: multi-picture, motion photo, fill bytes, offsets past
// the EXIF block, an undecodable thumbnail, a maker-note preview after the picture, a maker-note
// value inside the user comment's, an Interop pointer back at IFD0.
std::vector<std::string> AllFiles(const test::TempDir& dir) {
  std::vector<std::string> files = RealFiles();
  const std::pair<const char*, test::Bytes> made[] = {
      {"made_mpo.jpg", test::MakeMpo()},
      {"made_motion_photo.jpg", test::MakeMotionPhoto()},
      {"made_fill_bytes.jpg", test::MakeFillBytesJpeg()},
      {"made_dangling_gps.jpg", test::MakeDanglingOffsetJpeg(0x8825)},
      {"made_dangling_focal_length.jpg", test::MakeDanglingOffsetJpeg(0x920A)},
      {"made_stub_thumbnail.jpg", test::MakeStubThumbnailJpeg()},
      {"made_trailer_preview.jpg", test::MakeTrailerPreviewJpeg()},
      {"made_trailer_preview_00d8.jpg", test::MakeTrailerPreviewJpeg(nullptr, 0x00)},
      {"made_shared_comment_bytes.jpg", test::MakeSharedCommentBytesJpeg()},
      {"made_interop_at_ifd0.jpg", test::MakeInteropAtIfd0Jpeg()},
  };
  for (const auto& [name, bytes] : made) {
    test::Save(dir / name, bytes);
    files.push_back(dir / name);
  }
  return files;
}

// The made photo's preview after the picture: exiftool extracts it whole and states where it
// now lies (as a file offset); exiftool alone would also find it by searching. A preview that
// starts 00 D8 is not extracted by exiftool: where it lies is what tells. Other photos pass.
void ExpectPreviewFound(const std::string& source, const std::string& path, const Meta& meta,
                        const std::string& scratch) {
  if (source.find("made_trailer_preview") == std::string::npos) return;
  const uint8_t firstByte = source.find("_00d8") != std::string::npos ? 0x00 : 0xFF;
  test::Bytes preview;
  test::MakeTrailerPreviewJpeg(&preview, firstByte);
  const std::string out = scratch + "/preview.bin";
  if (firstByte == 0xFF) {
    ASSERT_EQ(std::system(("exiftool -q -b -PreviewImage '" + path + "' > '" + out + "'").c_str()), 0);
    EXPECT_EQ(test::Load(out), preview) << path;
  }
  const test::Bytes file = test::Load(path);
  const auto at = std::search(file.begin(), file.end(), preview.begin(), preview.end());
  ASSERT_NE(at, file.end()) << path;
  EXPECT_EQ(meta.tags.count("Minolta:PreviewImageStart=" + std::to_string(at - file.begin())), 1u) << path;
}

bool Ignored(const std::string& line, const std::set<std::string>& ignoredTags) {
  size_t colon = line.find(':');
  size_t eq = line.find('=');
  return ignoredTags.count(line.substr(colon + 1, eq - colon - 1)) > 0;
}

// A value whose offset pointed past the EXIF block reads blank once the block has grown past it:
// the appended data starts beyond it, so nothing the write added is read as that value.
bool BlankedDangling(const std::string& line, const Meta& before) {
  auto had = [&](const std::string& w) { return before.warnings.count(w) > 0; };
  const size_t colon = line.find(':');
  const size_t eq = line.find('=');
  if (colon != std::string::npos && eq != std::string::npos && eq > colon) {
    const std::string value = line.substr(eq + 1);
    return (value == "undef" || value == "0") &&
           had("Bad offset for " + line.substr(0, colon) + " " + line.substr(colon + 1, eq - colon - 1));
  }
  const std::string undefined = "[minor] Undefined value for ";
  if (line.rfind(undefined, 0) == 0 && colon != std::string::npos) {
    const std::string name = line.substr(undefined.size());
    const size_t c = name.find(':');
    return c != std::string::npos && had("Bad offset for " + name.substr(0, c) + " " + name.substr(c + 1));
  }
  return line == "Missing required JPEG GPS tag 0x0000 GPSVersionID" && had("Bad GPSInfo SubDirectory start");
}

// Compares one source with its result; returns whether it kept every tag and added no warning.
bool Compare(const std::string& source, const Meta& before, const Meta& after,
             const std::set<std::string>& ignoredTags, bool hadExifIfd) {
  std::multiset<std::string> a, b;
  for (const auto& t : before.tags)
    if (!Ignored(t, ignoredTags)) a.insert(t);
  for (const auto& t : after.tags)
    if (!Ignored(t, ignoredTags)) b.insert(t);
  std::vector<std::string> lost, gained;
  std::set_difference(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(lost));
  std::set_difference(b.begin(), b.end(), a.begin(), a.end(), std::back_inserter(gained));
  bool ok = lost.empty();
  for (const auto& l : lost) ADD_FAILURE() << source << ": lost or changed " << l;
  for (const auto& g : gained) {
    // A photo without an Exif directory gains one holding only the version and the comment.
    if (!hadExifIfd && (g.rfind("ExifIFD:", 0) == 0 || g.rfind("IFD0:ExifOffset", 0) == 0)) continue;
    if (BlankedDangling(g, before)) continue;
    ADD_FAILURE() << source << ": new or changed " << g;
    ok = false;
  }
  // Fewer is fine (a directory now in order); more of one kind is not.
  for (auto it = after.warnings.begin(); it != after.warnings.end(); it = after.warnings.upper_bound(*it)) {
    const std::string& w = *it;
    if (after.warnings.count(w) <= before.warnings.count(w)) continue;
    // Such a new directory lacks what only the camera knows (but has the mandatory version).
    if (!hadExifIfd && w.rfind("Missing required", 0) == 0 && w.find("0x9000") == std::string::npos) continue;
    if (BlankedDangling(w, before)) continue;
    ADD_FAILURE() << source << ": warning " << w << " now " << after.warnings.count(w) << " times, was "
                  << before.warnings.count(w);
    ok = false;
  }
  return ok;
}

class ExiftoolOracle : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!HaveExiftool()) GTEST_SKIP() << "exiftool not installed";
  }
  test::TempDir dir;
};

TEST_F(ExiftoolOracle, TaggingChangesOnlyTheUserComment) {
  const std::vector<std::string> sources = AllFiles(dir);
  fs::create_directory(dir / "out");
  std::vector<std::string> outputs;
  for (size_t i = 0; i < sources.size(); ++i) {
    const std::string out = dir / ("out/" + std::to_string(i) + ".jpg");
    EXPECT_TRUE(WriteExifUserComment("BriskoExif:m_strEventID=E1|", sources[i], out)) << sources[i];
    std::string text;
    EXPECT_TRUE(ReadExifUserComment(out, text) && text == "BriskoExif:m_strEventID=E1|") << sources[i];
    outputs.push_back(out);
  }
  auto before = ReadAll(sources, dir.Path());
  auto after = ReadAll(outputs, dir.Path());
  int kept = 0;
  for (size_t i = 0; i < sources.size(); ++i) {
    JpegExifFile parsed;
    EXPECT_TRUE(parsed.Parse(sources[i]));
    kept += Compare(sources[i], before[sources[i]], after[outputs[i]],
                    {"UserComment", "MPImageLength", "MPImageStart", "PreviewImageStart"},
                    !parsed.exifEntries.empty());
    ExpectPreviewFound(sources[i], outputs[i], after[outputs[i]], dir.Path());
  }
  std::printf("tagging: %d of %zu files keep every tag and add no warning\n", kept, sources.size());
}

TEST_F(ExiftoolOracle, RotationChangesOnlyOrientationSizeAndThumbnail) {
  std::vector<std::string> sources;
  for (const std::string& s : AllFiles(dir))
    if (JpegNeedsRotation(s)) sources.push_back(s);
  ASSERT_GE(sources.size(), 6u);
  fs::create_directory(dir / "rot");
  std::vector<std::string> outputs;
  for (size_t i = 0; i < sources.size(); ++i) {
    const std::string out = dir / ("rot/" + std::to_string(i) + ".jpg");
    EXPECT_TRUE(AutoRotateJpeg(dir.Path(), sources[i], out)) << sources[i];
    JpegExifFile f;
    uint16_t orientation = 0;
    EXPECT_TRUE(f.Parse(out) && f.GetOrientation(orientation) && orientation == 1) << sources[i];
    outputs.push_back(out);
  }
  auto before = ReadAll(sources, dir.Path());
  auto after = ReadAll(outputs, dir.Path());
  int kept = 0;
  for (size_t i = 0; i < sources.size(); ++i) {
    kept += Compare(sources[i], before[sources[i]], after[outputs[i]],
                    {"Orientation", "ExifImageWidth", "ExifImageHeight", "ThumbnailImage", "ThumbnailOffset",
                     "ThumbnailLength", "MPImageLength", "MPImageStart", "PreviewImageStart"},
                    true);
    ExpectPreviewFound(sources[i], outputs[i], after[outputs[i]], dir.Path());
    // An XMP orientation that still said 6 or 8 would turn the photo twice in viewers that prefer it.
    for (const auto& t : after[outputs[i]].tags)
      if (t.rfind("XMP-tiff:Orientation=", 0) == 0) {
        EXPECT_EQ(t, "XMP-tiff:Orientation=1") << sources[i];
      }
  }
  std::printf("rotation: %d of %zu files keep every tag and add no warning\n", kept, sources.size());
}

}  // namespace
}  // namespace brisko
