// The Create Image with PLT action over real camera JPEGs and packed albums.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>

#include "common/plt_test_album.h"
#include "engine/action/action.h"
#include "engine/engine_test_util.h"
#include "engine/fake_host.h"
#include "engine/in_out_test.h"
#include "imagemeta/jpeg_exif_file.h"

namespace brisko {
namespace {

using namespace brisko::test;

constexpr std::time_t kNow = 1'700'000'000;
const std::string kPhotos = std::string(BRISKO_TEST_DATA) + "/jpeg/drewnoakes/";

class CreateImageWithPltTest : public InOutTest {
 protected:
  void SetUp() override {
    InOutTest::SetUp();
    albumDir = host.Dir() + "/album";
    MakeFolder(albumDir);
    host.now = kNow;
    for (const char* name : {"a.jpg", "b.jpg"}) {
      std::filesystem::copy_file(kPhotos + (name[0] == 'a' ? "Nikon_E775.jpg" : "Canon_PowerShot_A85.jpg"),
                                 src + "/" + name);
      SetModTime(src + "/" + name, kNow - 3600);
    }
    A().m_iType = kCreateImageWithPlt;
    A().m_strName = "P";
    A().m_strFileSpec = "*.jpg";
  }
  int Count(const std::string& prefix) const {
    return int(std::count_if(host.log.begin(), host.log.end(),
                             [&](const std::string& l) { return l.find(prefix) != std::string::npos; }));
  }

  std::string albumDir;
};

TEST_F(CreateImageWithPltTest, EveryPhotoIntoEveryTemplateAndABrokenTemplateDoesNotStopTheRest) {
  TestTemplate bad;
  bad.background = "bad.jpg";
  A().m_strBriskoPltFilepath = MakeTestAlbum(albumDir, {TestTemplate{}, bad, TestTemplate{}});
  ASSERT_FALSE(A().m_strBriskoPltFilepath.empty());
  MakeFile(src + "/b.jpg.done", "earlier");

  EXPECT_FALSE(A().MakeRun().RunBody());

  std::vector<std::string> progress;
  for (const std::string& s : host.statuses)
    if (s.rfind("File ", 0) == 0) progress.push_back(s);
  ASSERT_EQ(progress.size(), 6u);
  EXPECT_EQ(progress.front(), "File 1 of 2, Template 1 of 3");
  EXPECT_EQ(progress.back(), "File 2 of 2, Template 3 of 3");

  EXPECT_TRUE(host.HasLogLine(Line("Created file from PLT file " + src + "/a.jpg to " + dst + "/a.jpg")));
  EXPECT_TRUE(
      host.HasLogLine(Line("Failed: create file from PLT file " + src + "/a.jpg to " + dst + "/a_2.jpg")));
  EXPECT_TRUE(host.HasLogLine(Line("Created file from PLT file " + src + "/a.jpg to " + dst + "/a_2.jpg")));
  EXPECT_EQ(Count("Created file from PLT file"), 4);
  EXPECT_EQ(Count("Failed: create file from PLT file"), 2);
  EXPECT_EQ(CountFiles(dst), 4);
  std::time_t shot = 0;
  EXPECT_TRUE(ReadExifDateTime(dst + "/b_2.jpg", shot));

  // Marked done, never over an earlier mark; nothing left in the temp folder.
  EXPECT_TRUE(Exists(src + "/a.jpg.done"));
  EXPECT_TRUE(Exists(src + "/b.jpg_2.done"));
  EXPECT_EQ(ReadFile(src + "/b.jpg.done"), "earlier");
  EXPECT_FALSE(Exists(src + "/a.jpg"));
  EXPECT_EQ(CountFiles(host.Dir() + "/temp"), 0);

  const std::string logged = host.LoggedText();
  EXPECT_NE(logged.find("|1|CTemplate::SaveTemplateImage - Render failure"), std::string::npos);
  EXPECT_NE(logged.find("|1|CTemplate::SaveTemplateImage - Exif replicate success"), std::string::npos);
}

TEST_F(CreateImageWithPltTest, PicturesThatCannotBePlacedAreReportedAndTheTempFolderStaysClean) {
  A().m_strBriskoPltFilepath = MakeTestAlbum(albumDir, {TestTemplate{}});
  MakeFile(host.Dir() + "/blocker", "a file where the destination folder should be");
  A().m_strDestFolder = host.Dir() + "/blocker";
  EXPECT_FALSE(A().MakeRun().RunBody());
  EXPECT_EQ(Count("Failed: create file from PLT file"), 2);
  EXPECT_EQ(CountFiles(host.Dir() + "/temp"), 0);
  EXPECT_TRUE(Exists(src + "/a.jpg.done"));
}

// A photo that does not decode whole makes no page; the reason follows the failure line and
// the next photo is rendered as usual.
TEST_F(CreateImageWithPltTest, ATruncatedPhotoFailsItsTemplatesWithTheReason) {
  A().m_strBriskoPltFilepath = MakeTestAlbum(albumDir, {TestTemplate{}, TestTemplate{}});
  const std::string whole = ReadFile(src + "/a.jpg");
  MakeFile(src + "/a.jpg", whole.substr(0, whole.size() / 2));
  EXPECT_FALSE(A().MakeRun().RunBody());
  EXPECT_EQ(Count("Failed: create file from PLT file " + src + "/a.jpg"), 2);
  EXPECT_EQ(Count("  Reason: cannot decode the photo " + src + "/a.jpg: the JPEG file is cut short"), 2);
  EXPECT_EQ(Count("Created file from PLT file " + src + "/a.jpg"), 0);
  EXPECT_EQ(Count("Created file from PLT file " + src + "/b.jpg"), 2);
  EXPECT_EQ(CountFiles(dst), 2);
  EXPECT_TRUE(Exists(src + "/a.jpg.done"));
  EXPECT_EQ(CountFiles(host.Dir() + "/temp"), 0);
}

// An exit asked for during the first page stops before the next one; the photo is not marked
// done, so the next start renders it again.
TEST_F(CreateImageWithPltTest, AnExitRequestStopsBetweenTemplates) {
  A().m_strBriskoPltFilepath = MakeTestAlbum(albumDir, {TestTemplate{}, TestTemplate{}});
  host.onProgress = [this] {
    if (host.statuses.back() == "File 1 of 2, Template 1 of 2") host.stopWaiting = true;
  };
  EXPECT_FALSE(A().MakeRun().RunBody());
  EXPECT_EQ(Count("Created file from PLT file"), 1);
  EXPECT_EQ(Count("Stopped: exit requested before every template of " + src + "/"), 1);
  EXPECT_TRUE(Exists(src + "/a.jpg"));
  EXPECT_TRUE(Exists(src + "/b.jpg"));
}

TEST_F(CreateImageWithPltTest, AnAlbumThatCannotBeLoadedLeavesThePhotosAlone) {
  A().m_strBriskoPltFilepath = albumDir + "/missing.plt";
  EXPECT_FALSE(A().MakeRun().RunBody());
  EXPECT_TRUE(host.HasLogLine(Line("FAILED: Load PLT file " + albumDir + "/missing.plt")));
  EXPECT_TRUE(Exists(src + "/a.jpg"));
  EXPECT_TRUE(Exists(src + "/b.jpg"));
  EXPECT_EQ(CountFiles(dst), 0);
}

}  // namespace
}  // namespace brisko
