// Runs of actions on real temporary folder trees.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>

#include "engine/action/action.h"
#include "engine/base/run_support.h"
#include "engine/engine_test_util.h"
#include "engine/fake_host.h"
#include "engine/in_out_test.h"
#include "imagemeta/auto_rotate.h"
#include "imagemeta/jpeg_exif_file.h"
#include "scheduler/id_txt.h"
#include "support/file_ops.h"
#include "support/path_util.h"

namespace brisko {
namespace {

using namespace brisko::test;

constexpr std::time_t kNow = 1'700'000'000;

class RunTest : public InOutTest {
 protected:
  void SetUp() override {
    InOutTest::SetUp();
    host.now = kNow;
  }
  void TearDown() override { SetFileFaultHook(nullptr); }

  void Old(const std::string& path, const std::string& data = "x") { MakeFile(path, data, kNow - 3600); }
};

// ---- Selection ----

TEST_F(RunTest, AgeCapsAreWrittenBackAndYoungFilesStay) {
  struct Row {
    int age, units, cappedAge;
    std::time_t fileAgeSeconds;
    bool moved;
  };
  const Row rows[] = {
      {0, kAgeMinutes, 0, -500, true},        // span 0: even a future file goes
      {1, kAgeSeconds, 1, -500, false},       // future time counts as age 0
      {90, kAgeMinutes, 59, 58 * 60, false},  // capped to 59 minutes
      {90, kAgeMinutes, 59, 59 * 60, true},  {30, kAgeHours, 23, 23 * 3600 - 1, false},  // capped to 23 hours
      {90, kAgeDays, 90, 89 * 86400, false},                                             // days have no cap
      {90, kAgeSeconds, 59, 59, true},       {5, 9, 5, 0, true},  // unknown unit: no minimum
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(std::to_string(r.age) + " " + std::to_string(r.units));
    A().m_iFileAge = r.age;
    A().m_iFileAgeUnits = r.units;
    MakeFile(src + "/a.jpg", "a", kNow - r.fileAgeSeconds);
    A().Run();
    EXPECT_EQ(A().m_iFileAge, r.cappedAge);
    EXPECT_EQ(Exists(dst + "/a.jpg"), r.moved);
    EXPECT_EQ(Exists(src + "/a.jpg"), !r.moved);
    if (!r.moved) {
      EXPECT_NE(host.LoggedText().find("|1|File not old enough - " + src + "/a.jpg"), std::string::npos);
    }
    std::filesystem::remove(src + "/a.jpg");
    std::filesystem::remove(dst + "/a.jpg");
  }
}

TEST_F(RunTest, LeavesTheNewestFilesCountingTheYoungOnes) {
  struct Row {
    int leave, young, old;
    int movedExpected;
  };
  const Row rows[] = {{3, 2, 5, 4}, {3, 4, 5, 5}, {3, 0, 2, 0}, {0, 0, 3, 3}};
  for (const Row& r : rows) {
    SCOPED_TRACE(r.leave);
    std::filesystem::remove_all(src);
    EmptyFolder(dst);
    A().m_iFileAge = 10;
    A().m_iLeaveMinFilecount = r.leave;
    for (int i = 0; i < r.young; ++i) MakeFile(src + "/y" + std::to_string(i) + ".jpg", "y", kNow - 60);
    for (int i = 0; i < r.old; ++i)
      MakeFile(src + "/o" + std::to_string(i) + ".jpg", "o", kNow - 7200 - i * 60);
    A().Run();
    EXPECT_EQ(CountFiles(dst), r.movedExpected);
    if (r.leave == 3 && r.young == 2) {
      EXPECT_TRUE(Exists(src + "/o0.jpg")) << "the newest old file stays";
    }
  }
}

TEST_F(RunTest, AmongEqualTimesTheFirstListedIsHeldBackFirst) {
  for (const char* name : {"p", "q", "r"}) MakeFile(src + "/" + name, "x", kNow - 7200);
  SetModTime(src + "/r", kNow - 9000);
  std::vector<std::string> eligible = {src + "/q", src + "/r", src + "/p"};
  std::vector<std::string> held;
  A().m_iLeaveMinFilecount = 1;
  A().MakeRun().LeaveNewestFiles(eligible, held);
  EXPECT_EQ(held, std::vector<std::string>{src + "/q"});
  A().m_iLeaveMinFilecount = 2;
  held.clear();
  eligible = {src + "/q", src + "/r", src + "/p"};
  A().MakeRun().LeaveNewestFiles(eligible, held);
  EXPECT_EQ(held, (std::vector<std::string>{src + "/q", src + "/p"}));
  EXPECT_EQ(eligible, std::vector<std::string>{src + "/r"});
  A().m_iType = kCopySubfolders;  // the rule is for the file types only
  held.clear();
  eligible = {src + "/q"};
  A().MakeRun().LeaveNewestFiles(eligible, held);
  EXPECT_EQ(eligible.size(), 1u);
}

TEST_F(RunTest, ProcessingFoldersAreSkippedByTheirOwnNameOnly) {
  A().m_iType = kCopySubfolders;
  Old(src + "/top.jpg");
  Old(src + "/raw.PROCESSING/a.jpg");
  Old(src + "/raw.PROCESSING/sub/b.jpg");
  A().Run();
  EXPECT_TRUE(Exists(dst + "/top.jpg"));
  EXPECT_FALSE(Exists(dst + "/raw.PROCESSING/a.jpg"));
  EXPECT_TRUE(Exists(dst + "/raw.PROCESSING/sub/b.jpg"));
}

TEST_F(RunTest, SubfoldersAreScannedForSubfolderTypesOrWhenAsked) {
  Old(src + "/s/a.jpg");
  A().m_iType = kCopyFiles;
  A().Run();
  EXPECT_EQ(CountFiles(dst), 0);
  EXPECT_TRUE(host.HasStatus("No action required"));
  A().m_bIncludeSubFolders = 1;
  A().Run();
  EXPECT_TRUE(Exists(dst + "/a.jpg")) << "Copy Files flattens";
}

TEST_F(RunTest, LinkedFoldersAreNotWalked) {
  const std::string outside = host.Dir() + "/outside";
  Old(outside + "/keep.jpg");
  MakeFolder(src);
  std::filesystem::create_directory_symlink(outside, src + "/link");
  std::filesystem::create_directory_symlink(src, src + "/loop");
  A().m_iType = kDeleteSubfolders;
  A().Run();
  EXPECT_TRUE(Exists(outside + "/keep.jpg"));
}

TEST_F(RunTest, NothingEligibleEndsTheRunWithoutRaisingTheBatchCounter) {
  A().m_iFileAge = 10;
  MakeFile(src + "/young.jpg", "y", kNow);
  host.Values().m_iBatchCounter = 5;
  EXPECT_TRUE(A().Run());
  EXPECT_EQ(host.statuses.back(), "No action required");
  EXPECT_EQ(host.Values().m_iBatchCounter, 5);
  Old(src + "/old.jpg");
  A().Run();
  EXPECT_EQ(host.statuses.back(), "Completed action");
  EXPECT_EQ(host.Values().m_iBatchCounter, 6);
}

TEST_F(RunTest, EmptyFolderSettingsNeverMeanTheRoot) {
  Old(src + "/a.jpg");
  A().m_strDestFolder = "";
  EXPECT_FALSE(A().Run());
  EXPECT_TRUE(host.HasLogLine(Line("FAILED: No destination folder")));
  EXPECT_TRUE(Exists(src + "/a.jpg"));
  A().m_strDestFolder = dst;
  A().m_strSourceFolder = "/";
  A().m_iType = kDeleteSubfolders;
  EXPECT_TRUE(A().Run());
  EXPECT_EQ(host.statuses.back(), "No action required");
  EXPECT_TRUE(Exists(src + "/a.jpg"));
}

// The specifications choose the files; hidden leftovers of a crash (half-written copies and
// rewrites) are never taken for photos, even by "*".
TEST_F(RunTest, SpecificationsChooseTheFilesAndCrashLeftoversStay) {
  struct Row {
    const char *spec, *exclude;
    std::vector<std::string> moved, stayed;
  };
  const Row rows[] = {
      {"*.jpg|*.jpeg", "skip*", {"a.JPG", "b.jpeg"}, {"c.txt", "skip1.jpg"}},
      {"*", "", {"a.jpg"}, {".brisko-123-4.tmp", ".ID.TXT.brisko-Ab12Cd", ".a.jpg.brisko-x9Y8z7"}},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.spec);
    A().m_strFileSpec = r.spec;
    A().m_strFileSpecExclude = r.exclude;
    for (const auto& name : r.moved) Old(src + "/" + name);
    for (const auto& name : r.stayed) Old(src + "/" + name);
    A().Run();
    for (const auto& name : r.moved) EXPECT_TRUE(Exists(dst + "/" + name)) << name;
    for (const auto& name : r.stayed) EXPECT_TRUE(Exists(src + "/" + name)) << name;
  }
}

TEST_F(RunTest, FilesOutsideTheGpsAreasStaySilently) {
  // With an area, a file without a readable position (here: not even a JPEG) stays, silently.
  A().m_strFileSpec = "*";
  A().m_SpatialAreaList.Add(SpatialArea{});
  Old(src + "/b.png");
  Old(src + "/c.jpg", "no exif");
  A().Run();
  EXPECT_TRUE(Exists(src + "/b.png"));
  EXPECT_TRUE(Exists(src + "/c.jpg"));
  EXPECT_TRUE(host.log.empty());
}

TEST_F(RunTest, RegularExpressionSpecsAndPatternErrorsAreLoggedPerFolder) {
  A().m_bUseRegexFilespec = 1;
  A().m_strFileSpec = "^IMG_[0-9]+\\.jpg$";
  for (const char* name : {"IMG_12.jpg", "IMG_x.jpg", "img_7.JPG"}) Old(src + "/" + name);
  A().Run();
  EXPECT_TRUE(Exists(dst + "/IMG_12.jpg"));
  EXPECT_TRUE(Exists(dst + "/img_7.JPG")) << "names are compared without regard to case";
  EXPECT_TRUE(Exists(src + "/IMG_x.jpg"));

  A().m_strFileSpec = "(";
  host.log.clear();
  A().Run();
  EXPECT_TRUE(Exists(src + "/IMG_x.jpg"));
  ASSERT_EQ(host.log.size(), 1u);
  EXPECT_EQ(host.log[0].rfind(Line("Error on regex "), 0), 0u) << host.log[0];
}

// Landscape 1296x968 at 41.853 N 12.4888 E; portrait 1017x2013 at 43.6874 N 85.4835 W.
const std::string kLandscapeJpeg = std::string(BRISKO_TEST_DATA) + "/jpeg/drewnoakes/Apple_iPhone_4.jpg";
const std::string kPortraitJpeg = std::string(BRISKO_TEST_DATA) + "/jpeg/drewnoakes/Issue_173_dotnet.jpg";

TEST_F(RunTest, OrientationSelectsJpegsAndLetsOtherFilesPass) {
  A().m_bSelectByOrientation = 1;
  for (int landscape : {1, 0}) {
    SCOPED_TRACE(landscape);
    EmptyFolder(dst);
    std::filesystem::copy_file(kLandscapeJpeg, src + "/wide.jpg");
    std::filesystem::copy_file(kPortraitJpeg, src + "/tall.JPEG");
    Old(src + "/notes.txt");
    Old(src + "/broken.jpg", "not a jpeg");
    A().m_bSelectLandscape = landscape;
    A().Run();
    const std::string kept = landscape ? "/tall.JPEG" : "/wide.jpg";
    const std::string moved = landscape ? "/wide.jpg" : "/tall.JPEG";
    EXPECT_TRUE(Exists(dst + moved));
    EXPECT_TRUE(Exists(src + kept));
    EXPECT_TRUE(Exists(dst + "/notes.txt")) << "undecided files pass";
    EXPECT_TRUE(Exists(dst + "/broken.jpg"));
    EXPECT_NE(host.LoggedText().find("Wrong orientation - " + src + kept), std::string::npos);
    EmptyFolder(src);
  }
}

TEST_F(RunTest, MovedJpegsAreTurnedUprightIntoTheRotatedSubfolder) {
  const std::string sideways = std::string(BRISKO_TEST_DATA) + "/jpeg/recurser/Landscape_6.jpg";
  A().m_bAutoRotateJPG = 1;
  A().m_bAutoRotateUseSubfolder = 1;
  std::filesystem::copy_file(sideways, src + "/side.jpg");
  std::filesystem::copy_file(kLandscapeJpeg, src + "/upright.jpg");
  const mode_t oldMask = ::umask(022);
  A().Run();
  ::umask(oldMask);
  ASSERT_TRUE(Exists(dst + "/Rotated/side.jpg"));
  EXPECT_EQ(StatOf(dst + "/Rotated/side.jpg").st_mode & 0022, 0u) << "never writable by other accounts";
  EXPECT_TRUE(Exists(dst + "/upright.jpg"));
  bool landscape = false;
  ASSERT_TRUE(IsJpegLandscape(dst + "/Rotated/side.jpg", landscape));
  EXPECT_TRUE(landscape) << "1200x1800 with orientation 6 becomes 1800x1200";
  EXPECT_EQ(CountFiles(host.Dir() + "/temp"), 0) << "nothing stays in the temp folder";
  EXPECT_TRUE(host.HasLogLine(Line("Rotated " + src + "/side.jpg")));
  EXPECT_TRUE(host.HasLogLine(Line("Moved file from " + src + "/side.jpg to " + dst + "/Rotated/side.jpg")));
}

TEST_F(RunTest, APhotoThatCannotGoToTheTempFolderMovesOnUnrotatedAndSaysWhy) {
  const std::string shelf = host.Dir() + "/shelf", temp = shelf + "/temp/";
  MakeFolder(temp);
  ReadOnlyBind ro(shelf);  // the temp folder and any stand-in beside it are read-only
  if (!ro.Ok()) GTEST_SKIP() << "cannot make a read-only bind mount here";
  host.Values().m_TempPath = temp;
  A().m_bAutoRotateJPG = 1;
  std::filesystem::copy_file(std::string(BRISKO_TEST_DATA) + "/jpeg/recurser/Landscape_6.jpg",
                             src + "/side.jpg");
  A().Run();
  EXPECT_TRUE(Exists(dst + "/side.jpg"));
  EXPECT_TRUE(host.HasLogLine(
      Line("Not rotated: it could not be moved into the temp folder " + temp + ": " + src + "/side.jpg")));
}

// A move skips a file another process has open at all; a copy one it has open for writing.
TEST_F(RunTest, FilesOtherProcessesHoldAreSkippedAndLogged) {
  for (const auto& [type, flags] : {std::pair{kMoveFiles, O_RDONLY}, std::pair{kCopyFiles, O_WRONLY}}) {
    SCOPED_TRACE(type);
    Old(src + "/held.jpg");
    Old(src + "/free.jpg");
    FileHolder holder(src + "/held.jpg", flags);
    ASSERT_TRUE(holder.Ok());
    A().m_iType = type;
    A().Run();
    EXPECT_TRUE(Exists(src + "/held.jpg"));
    EXPECT_FALSE(Exists(dst + "/held.jpg"));
    EXPECT_TRUE(Exists(dst + "/free.jpg"));
    EXPECT_NE(host.LoggedText().find("File currently locked - " + src + "/held.jpg"), std::string::npos);
    std::filesystem::remove(dst + "/free.jpg");
  }
}

TEST_F(RunTest, MovesReleaseReadOnlyFilesOnlyWhenAsked) {
  Old(src + "/ro.jpg");
  ::chmod((src + "/ro.jpg").c_str(), 0444);
  A().m_bModifyReadOnlyAttribute = 1;
  A().m_bMakeReadOnly = 0;
  A().Run();
  ASSERT_TRUE(Exists(dst + "/ro.jpg"));
  EXPECT_TRUE(StatOf(dst + "/ro.jpg").st_mode & S_IWUSR);
  EXPECT_NE(host.LoggedText().find("Attempting to convert from readonly - " + src + "/ro.jpg"),
            std::string::npos);
}

// ---- Move ----

TEST_F(RunTest, MoveKeepsBothOrOverwritesAsTheActionSays) {
  Old(src + "/x.jpg", "new");
  MakeFile(dst + "/x.jpg", "old");
  A().Run();
  EXPECT_EQ(ReadFile(dst + "/x.jpg"), "old");
  EXPECT_EQ(ReadFile(dst + "/x_2.jpg"), "new");
  EXPECT_TRUE(host.HasLogLine(Line("Moved file from " + src + "/x.jpg to " + dst + "/x_2.jpg")));

  Old(src + "/x.jpg", "newer");
  A().m_bOverwriteExistingFiles = 1;
  A().Run();
  EXPECT_EQ(ReadFile(dst + "/x.jpg"), "newer");
  EXPECT_FALSE(Exists(dst + "/x_3.jpg"));
}

TEST_F(RunTest, MoveOntoItselfKeepsTheFile) {
  A().m_strDestFolder = src + "/";
  A().m_bOverwriteExistingFiles = 1;
  Old(src + "/x.jpg", "data");
  A().Run();
  EXPECT_EQ(ReadFile(src + "/x.jpg"), "data");
}

TEST_F(RunTest, FileCounterRisesForEveryFileEvenWhenMovesFail) {
  A().m_strDestFolder = host.Dir() + "/missing";
  for (const char* name : {"a.jpg", "b.jpg", "c.jpg"}) Old(src + "/" + name);
  host.Values().m_iFileCounter = 10;
  EXPECT_FALSE(A().Run());
  EXPECT_EQ(host.Values().m_iFileCounter, 13);
  EXPECT_EQ(CountFiles(src), 3);
  EXPECT_TRUE(host.HasLogLine(Line("Failed (CopyOrMoveFilesUsingShell): Move file from " + src +
                                   "/a.jpg to " + host.Dir() + "/missing/a.jpg")));
}

TEST_F(RunTest, FilesVanishingDuringTheRunAreReportedAndTheRunGoesOn) {
  for (const char* name : {"a.jpg", "b.jpg", "c.jpg"}) Old(src + "/" + name);
  std::vector<std::string> names;
  bool done = false;
  host.onProgress = [&] {
    // Just before the first move, another program takes one file away.
    if (!done && host.statuses.back() == "Moving files") {
      done = true;
      for (const auto& e : std::filesystem::directory_iterator(src)) names.push_back(e.path().string());
      std::filesystem::remove(names[1]);
    }
  };
  A().Run();
  ASSERT_EQ(names.size(), 3u);
  EXPECT_TRUE(host.HasLogLine(Line("Failed (CopyOrMoveFilesUsingShell): Move file from " + names[1] + " to " +
                                   dst + "/" + std::filesystem::path(names[1]).filename().string())));
  EXPECT_EQ(CountFiles(dst), 2);
}

TEST_F(RunTest, SourceFolderVanishingDuringTheRunLosesNothing) {
  A().m_iType = kMoveSubfolders;
  Old(src + "/a/1.jpg", "1");
  Old(src + "/b/2.jpg", "2");
  const std::string away = host.Dir() + "/away";
  bool done = false;
  host.onProgress = [&] {
    if (!done && host.statuses.back() == "Copying files") {
      done = true;
      std::filesystem::rename(src, away);
    }
  };
  A().Run();
  EXPECT_EQ(CountFiles(away) + CountFiles(dst), 2);
  EXPECT_EQ(CountFiles(away), 2) << "nothing was copied, so nothing deleted";
}

TEST_F(RunTest, MovedFilesGetTimestampAndReadOnlyAsAsked) {
  A().m_bUpdateFileTimestamp = 1;
  A().m_bModifyReadOnlyAttribute = 1;
  A().m_bMakeReadOnly = 1;
  Old(src + "/a.jpg");
  host.now = kNow + 100;
  A().Run();
  const struct stat st = StatOf(dst + "/a.jpg");
  EXPECT_EQ(st.st_mtime, kNow + 100);
  EXPECT_FALSE(st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH));
}

TEST_F(RunTest, NoActionStartsWhileAShellOperationDispatchesEvents) {
  Old(src + "/a.jpg");
  Action nested(host);
  nested.m_strSourceFolder = src;
  nested.m_strDestFolder = dst;
  nested.m_bRunPending = 1;
  std::vector<int> depths;
  std::vector<bool> started;
  host.onDispatch = [&] {
    depths.push_back(host.Values().g_nShellOperationDepth);
    started.push_back(nested.Run());
  };
  A().Run();
  EXPECT_EQ(depths, std::vector<int>{1});
  EXPECT_EQ(started, std::vector<bool>{false});
  EXPECT_EQ(host.Values().g_nShellOperationDepth, 0);
  EXPECT_TRUE(Exists(dst + "/a.jpg"));
}

// ---- Naming and BriskoExif ----

TEST_F(RunTest, MovesUseTheSubfolderAndRenameTemplates) {
  A().m_bCreateNewSubfolder = 1;
  A().m_SubfolderTemplate.Clear();
  A().m_SubfolderTemplate.AddComponent(NameTemplate::TextComponentId(TemplateKind::kSubfolder), "ev");
  A().m_bRenameFile = 1;
  A().m_RenameTemplate.AddComponent(NameTemplate::TextComponentId(TemplateKind::kRename), "P-");
  A().m_RenameTemplate.AddComponent(0);  // the original name
  A().m_RenameTemplate.AddComponent(2);  // its extension
  Old(src + "/a.jpg");
  A().Run();
  EXPECT_EQ(EntryNames(dst + "/ev"), std::set<std::string>{"P-a.jpg"});
}

TEST_F(RunTest, SubfolderNamesStayInsideTheDestination) {
  // The destination lies deep enough in this test's own folder that a name climbing out of it
  // would still land there, where no other run leaves anything.
  dst = host.Dir() + "/deep/er/out";
  A().m_strDestFolder = dst;
  A().m_iType = kCopyFiles;
  A().m_bCreateNewSubfolder = 1;
  // An absolute name that would lead back into this test's own folder, were it taken as one.
  const std::string absolute = host.Dir() + "/abs";
  for (const std::string& text : {std::string(), std::string("../../escape"), absolute}) {
    SCOPED_TRACE(text);
    A().m_SubfolderTemplate.Clear();
    if (!text.empty())
      A().m_SubfolderTemplate.AddComponent(NameTemplate::TextComponentId(TemplateKind::kSubfolder), text);
    EmptyFolder(dst);
    Old(src + "/a.jpg");
    A().Run();
    EXPECT_EQ(CountFiles(dst), 1);
    EXPECT_EQ(CountFiles(host.Dir() + "/deep"), 1) << "nothing beside the destination";
    EXPECT_FALSE(Exists(host.Dir() + "/deep/escape"));
    EXPECT_FALSE(Exists(host.Dir() + "/deep/er/escape"));
    EXPECT_FALSE(Exists(absolute));
    if (text.empty()) {
      EXPECT_TRUE(Exists(dst + "/a.jpg")) << "an empty name means the folder itself";
    }
  }
}

TEST_F(RunTest, MovedJpegsCarryTheBriskoExifBlock) {
  A().m_bAddOrUpdateBriskoExif = 1;
  A().m_BriskoExifCustomActionFieldsMap = {{"venue", "Hall"}};
  host.Values().m_strBarcodeInputsArray[0] = "1234";
  std::filesystem::copy_file(kLandscapeJpeg, src + "/a.jpg");
  Old(src + "/notes.txt");
  A().Run();
  std::string comment;
  ASSERT_TRUE(ReadExifUserComment(dst + "/a.jpg", comment));
  EXPECT_EQ(comment.rfind("BriskoExif:", 0), 0u) << comment;
  for (const char* pair : {"m_strBarcodeInputsArray_0=1234|", "venue=Hall|", "m_origFilename=a.jpg|"}) {
    EXPECT_NE(comment.find(pair), std::string::npos) << pair << " in " << comment;
  }
  EXPECT_FALSE(Exists(src + "/a.jpg"));
  EXPECT_TRUE(Exists(dst + "/notes.txt")) << "files that cannot carry a block move unchanged";
  EXPECT_EQ(CountFiles(host.Dir() + "/temp"), 0);
}

TEST_F(RunTest, RenameAndTimesSeeThePhotoAsListedAfterRotationAndTagging) {
  A().m_bAutoRotateJPG = 1;
  A().m_bAddOrUpdateBriskoExif = 1;
  A().m_bRenameFile = 1;
  for (unsigned id : {0u, 6u, 9u, 2u}) A().m_RenameTemplate.AddComponent(id);  // name, mod date, time, ext
  MakeFile(host.Dir() + "/temp/x.jpg", "someone else's");  // the steps' temp names become x_2.jpg
  const std::time_t shot = kNow - 400 * 86400;
  std::filesystem::copy_file(std::string(BRISKO_TEST_DATA) + "/jpeg/recurser/Landscape_6.jpg",
                             src + "/x.jpg");
  SetModTime(src + "/x.jpg", shot);
  A().Run();
  char stamp[32];
  std::tm tmv{};
  localtime_r(&shot, &tmv);
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d%H~%M~%S", &tmv);
  const std::string arrived = dst + "/x" + stamp + ".jpg";
  EXPECT_TRUE(host.HasLogLine(Line("Rotated " + src + "/x.jpg")));
  ASSERT_TRUE(Exists(arrived)) << host.log.back();
  EXPECT_EQ(ModTime(arrived), shot) << "the station's own copies keep the photo's time";
  EXPECT_TRUE(host.HasLogLine(Line("Moved file from " + src + "/x.jpg to " + arrived)));
  EXPECT_EQ(ReadFile(host.Dir() + "/temp/x.jpg"), "someone else's");
}

// ---- ID.TXT ----

TEST_F(RunTest, MediaWithoutIdTxtGetsOneWithTheSecondNewBatchId) {
  A().m_iType = kMoveFilesFromMedia;
  A().m_bCreateIDTxtFile = 1;
  Old(src + "/a.jpg");
  A().Run();
  EXPECT_TRUE(Exists(dst + "/a.jpg"));
  EXPECT_TRUE(host.HasLogLine(Line("Moving 1 file(s) from media")));
  const IdTxtEntries written = ParseIdTxt(ReadFile(src + "/ID.TXT"));
  ASSERT_TRUE(written.batch.has_value());
  EXPECT_EQ(*written.batch, "2");
  EXPECT_EQ(host.Store().GetProfileInt("Actions", "m_iBatchID", 0), 2);

  A().m_bCreateIDTxtFile = 0;  // no file, no flag: nothing is made
  std::filesystem::remove(src + "/ID.TXT");
  Old(src + "/b.jpg");
  A().Run();
  EXPECT_FALSE(Exists(src + "/ID.TXT"));
}

TEST_F(RunTest, IdTxtMovedOffTheMediaIsWrittenBackAndCanBeEdited) {
  A().m_iType = kMoveFilesFromMedia;
  A().m_bDisplayIdTxtContents = 1;
  MakeFile(src + "/ID.TXT", "PHOTOGRAPHERID=P7\r\nEVENTID=E1\r\nBATCHID=40\r\n", kNow - 3600);
  Old(src + "/a.jpg");
  host.onEditIdTxt = [&](CIdTxt& record) {
    EXPECT_EQ(record.m_strPhotographerID, "P7");
    record.m_strEventID = "E2";
    return true;
  };
  A().Run();
  EXPECT_EQ(host.idTxtEdits, 1);
  EXPECT_TRUE(Exists(dst + "/ID.TXT")) << "the old file went with the photos";
  const IdTxtEntries back = ParseIdTxt(ReadFile(src + "/ID.TXT"));
  EXPECT_EQ(back.texts[0].value_or(""), "P7");
  EXPECT_EQ(back.texts[1].value_or(""), "E2");
  EXPECT_EQ(back.batch.value_or(""), "1") << "a new batch id from the store's counter";
}

// ---- Copy ----

TEST_F(RunTest, CopyFilesIgnoresRenamingAndAttributeSettings) {
  A().m_iType = kCopyFiles;
  A().m_bRenameFile = 1;
  A().m_bModifyReadOnlyAttribute = 1;
  A().m_bMakeReadOnly = 1;
  A().m_bUpdateFileTimestamp = 1;
  Old(src + "/a.jpg");
  A().Run();
  const struct stat st = StatOf(dst + "/a.jpg");
  EXPECT_TRUE(st.st_mode & S_IWUSR);
  EXPECT_EQ(st.st_mtime, kNow - 3600) << "a copy keeps the source's time";
}

TEST_F(RunTest, CopyFilesTwiceCopiesOnlyWhatIsNewer) {
  A().m_iType = kCopyFiles;
  Old(src + "/a.jpg", "one");
  A().Run();
  EXPECT_EQ(ReadFile(dst + "/a.jpg"), "one");
  EXPECT_TRUE(Exists(src + "/a.jpg"));
  host.log.clear();
  A().Run();
  EXPECT_TRUE(host.log.empty());
  MakeFile(src + "/a.jpg", "two", kNow - 60);
  A().Run();
  EXPECT_EQ(ReadFile(dst + "/a.jpg"), "two");
  EXPECT_TRUE(host.HasLogLine(Line("Copied file " + src + "/a.jpg to " + dst + "/a.jpg")));
}

TEST_F(RunTest, CopyFailuresGiveTwoLinesAndNoPartialFile) {
  A().m_iType = kCopyFiles;
  Old(src + "/a.jpg", std::string(100000, 'a'));
  Old(src + "/b.jpg", "b");
  SetFileFaultHook([](FileStep step) { return step == FileStep::Write ? ENOSPC : 0; });
  A().Run();
  SetFileFaultHook(nullptr);
  EXPECT_EQ(CountFiles(dst), 0);
  EXPECT_TRUE(host.HasLogLine(Line("FAILED: Copy file " + src + "/a.jpg to " + dst + "/a.jpg")));
  EXPECT_TRUE(host.HasLogLine(Line(std::strerror(ENOSPC))));
  EXPECT_EQ(CountFiles(src), 2);
}

// ---- Subfolders ----

TEST_F(RunTest, CopySubfoldersKeepsTheLayoutWithOrWithoutTrailingSlash) {
  A().m_iType = kCopySubfolders;
  Old(src + "/a/b/x.jpg");
  Old(src + "/a/in/y.jpg");  // a subfolder repeating the source folder's name
  for (const std::string& source : {src, src + "/"}) {
    EmptyFolder(dst);
    A().m_strSourceFolder = source;
    A().Run();
    EXPECT_TRUE(Exists(dst + "/a/b/x.jpg")) << source;
    EXPECT_TRUE(Exists(dst + "/a/in/y.jpg")) << source;
  }
}

TEST_F(RunTest, SubfolderCopyAndMoveTreatExistingTargetsDifferently) {
  Old(src + "/s/x.jpg", "source");
  MakeFile(dst + "/s/x.jpg", "target", kNow - 60);  // newer than the source
  A().m_iType = kCopySubfolders;
  A().Run();
  EXPECT_EQ(ReadFile(dst + "/s/x.jpg"), "target") << "copy keeps the newer file";
  A().m_iType = kMoveSubfolders;
  A().Run();
  EXPECT_EQ(ReadFile(dst + "/s/x.jpg"), "target");
  EXPECT_EQ(ReadFile(dst + "/s/x_2.jpg"), "source") << "move keeps both";
  EXPECT_FALSE(Exists(src + "/s"));
  EXPECT_TRUE(Exists(src)) << "the source folder itself stays";
}

TEST_F(RunTest, ANameTakenAfterTheTargetFolderWasReadIsReplacedOnlyByANewerPhoto) {
  // Enough photos that the pass reads the target folder's names rather than look at each.
  const int n = TargetFolders::kLooksBeforeListing + 8;
  const int late = n - 2;
  auto name = [](int i) { return "f" + std::to_string(100 + i) + ".jpg"; };
  for (int i = 0; i < n; ++i) Old(src + "/" + name(i), "new");
  for (int type : {kCopyFiles, kCopySubfolders}) {
    SCOPED_TRACE(type);
    EmptyFolder(dst);
    A().m_iType = type;
    // Written by someone else after the names were read, before the batch is placed.
    host.onProgress = [&] {
      if (host.statuses.back() != "Copying files" || host.lastPosition != late - 1) return;
      MakeFile(dst + "/" + name(late), "newer", kNow - 60);
      MakeFile(dst + "/" + name(late + 1), "older", kNow - 7200);
    };
    A().Run();
    host.onProgress = nullptr;
    EXPECT_EQ(ReadFile(dst + "/" + name(late)), "newer");
    EXPECT_FALSE(host.HasLogLine(
        Line(FillIn("Copied file %s to %s", src + "/" + name(late), dst + "/" + name(late)))));
    EXPECT_EQ(ReadFile(dst + "/" + name(late + 1)), "new");
    EXPECT_EQ(ReadFile(dst + "/" + name(0)), "new");
    EXPECT_EQ(EntryNames(dst).size(), static_cast<size_t>(n)) << "no hidden copies left";
  }
}

TEST_F(RunTest, CopySubfoldersMakesATargetFolderRemovedDuringThePassAgain) {
  A().m_iType = kCopySubfolders;
  Old(src + "/s/a.jpg", "a");
  Old(src + "/s/b.jpg", "b");
  // The pass made dst/s for a.jpg and does not look at it again; it goes, with a's copy.
  host.onProgress = [&] {
    if (host.statuses.back() == "Copying files" && host.lastPosition == 1)
      std::filesystem::remove_all(dst + "/s");
  };
  A().Run();
  host.onProgress = nullptr;
  EXPECT_EQ(ReadFile(dst + "/s/b.jpg"), "b");
  EXPECT_FALSE(Exists(dst + "/s/a.jpg"));
  EXPECT_TRUE(
      host.HasLogLine(Line(FillIn("FAILED: Copy file %s to %s", src + "/s/a.jpg", dst + "/s/a.jpg"))));
  A().Run();
  EXPECT_EQ(ReadFile(dst + "/s/a.jpg"), "a") << "the next pass copies it";
  EXPECT_EQ(EntryNames(dst + "/s"), (std::set<std::string>{"a.jpg", "b.jpg"}));
}

TEST_F(RunTest, MoveSubfoldersKeepsFilesWhoseCopyFailed) {
  A().m_iType = kMoveSubfolders;
  Old(src + "/ok/a.jpg", "a");
  Old(src + "/bad/b.jpg", std::string(5000, 'b'));
  SetFileFaultHook([](FileStep step) { return step == FileStep::Sync ? EIO : 0; });
  A().Run();
  SetFileFaultHook(nullptr);
  EXPECT_TRUE(Exists(src + "/bad/b.jpg"));
  EXPECT_TRUE(Exists(src + "/ok/a.jpg"));
  EXPECT_EQ(CountFiles(dst), 0);
  A().Run();
  EXPECT_EQ(ReadFile(dst + "/bad/b.jpg"), std::string(5000, 'b'));
  EXPECT_FALSE(Exists(src + "/bad"));
}

// A file saved anew after its copy was made (written to, or a new file renamed
// over it, as editors and EXIF tools do, even with the same size and time) is a new version
// that exists nowhere else: Move Subfolders leaves it, and says so. A second pass moves it too.
TEST_F(RunTest, MoveSubfoldersLeavesASourceSavedAnewAfterItsCopyWasMade) {
  struct Row {
    const char* what;
    std::function<void(const std::string&)> change;
    std::string after;
  };
  const Row rows[] = {
      {"written to", [](const std::string& path) { WriteFile(path, "new version"); }, "new version"},
      {"saved over with the same size and time",
       [](const std::string& path) {
         MakeFile(path + ".new", "NEW", kNow - 3600);
         std::filesystem::rename(path + ".new", path);
       },
       "NEW"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    std::filesystem::remove_all(src);
    EmptyFolder(dst);
    host.log.clear();
    A().m_iType = kMoveSubfolders;
    Old(src + "/s/a.jpg", "old");
    Old(src + "/s/b.jpg", "b");
    bool changed = false;
    host.onProgress = [&] {
      if (!changed && host.statuses.back() == "Deleting files") {
        changed = true;
        row.change(src + "/s/a.jpg");
      }
    };
    A().Run();
    host.onProgress = nullptr;
    EXPECT_EQ(ReadFile(src + "/s/a.jpg"), row.after) << "the new version stays";
    EXPECT_EQ(ReadFile(dst + "/s/a.jpg"), "old");
    EXPECT_FALSE(Exists(src + "/s/b.jpg"));
    EXPECT_EQ(ReadFile(dst + "/s/b.jpg"), "b");
    EXPECT_TRUE(host.HasLogLine(
        Line("Left file " + src + "/s/a.jpg: changed since its copy " + dst + "/s/a.jpg was made")));
    A().Run();
    EXPECT_EQ(ReadFile(dst + "/s/a_2.jpg"), row.after);
    EXPECT_FALSE(Exists(src + "/s"));
  }
}

// ---- Delete ----

TEST_F(RunTest, DeleteFilesTakesItsSpecificationSkipsEmptyEntriesAndReportsFailures) {
  Old(src + "/a");
  EXPECT_FALSE(A().MakeRun().DeleteFiles({src + "/a", "", src + "/gone"}));
  EXPECT_FALSE(Exists(src + "/a"));
  const std::vector<std::string> expected = {Line("Deleted file " + src + "/a"),
                                             Line("FAILED: Deleted file " + src + "/gone"),
                                             Line("The file could not be located.")};
  EXPECT_EQ(host.log, expected);
  A().m_iType = kDeleteFiles;
  A().m_strFileSpec = "*.tmp";
  Old(src + "/old.tmp");
  Old(src + "/keep.jpg");
  A().Run();
  EXPECT_EQ(EntryNames(src), std::set<std::string>{"keep.jpg"});
}

TEST_F(RunTest, DeleteSubfoldersRemovesEmptyTreesDeepestFirst) {
  A().m_iType = kDeleteSubfolders;
  A().m_strFileSpec = "*.jpg";
  MakeFolder(src + "/a/b/c");
  Old(src + "/top.jpg");
  Old(src + "/keep/notes.txt");
  Old(src + "/keep/x.jpg");
  Old(src + "/thumbs/THUMBS.db");  // the cache's name in any letter case
  Old(src + "/both/Thumbs.db");
  Old(src + "/both/y.txt");
  A().Run();
  EXPECT_FALSE(Exists(src + "/top.jpg"));
  EXPECT_FALSE(Exists(src + "/a"));
  EXPECT_FALSE(Exists(src + "/thumbs"));
  EXPECT_TRUE(Exists(src + "/keep/notes.txt"));
  EXPECT_FALSE(Exists(src + "/keep/x.jpg"));
  EXPECT_TRUE(Exists(src + "/both/Thumbs.db"));
  EXPECT_TRUE(Exists(src));
  EXPECT_TRUE(host.HasLogLine(Line("Removed Thumbs.db: " + src + "/thumbs/THUMBS.db")));
  EXPECT_EQ(host.LogLinesWith("FAILED"), 0) << "a folder that is not empty is left alone";
  std::vector<std::string> removed;
  for (const std::string& l : host.log) {
    if (l.find("Deleted subfolder " + src + "/a") != std::string::npos) removed.push_back(l);
  }
  const std::vector<std::string> order = {Line("Deleted subfolder " + src + "/a/b/c"),
                                          Line("Deleted subfolder " + src + "/a/b"),
                                          Line("Deleted subfolder " + src + "/a")};
  EXPECT_EQ(removed, order);
}

TEST_F(RunTest, DeleteSubfoldersOnlyEmptyLeavesFilesAndRunsWithNothingEligible) {
  A().m_iType = kDeleteSubfolders;
  A().m_bDeleteEmptyFoldersOnly = 1;
  Old(src + "/full/a.jpg");
  MakeFolder(src + "/empty");
  A().Run();
  EXPECT_TRUE(Exists(src + "/full/a.jpg"));
  EXPECT_FALSE(Exists(src + "/empty"));

  std::filesystem::remove_all(src + "/full");
  MakeFolder(src + "/empty2");
  A().m_bDeleteEmptyFoldersOnly = 0;
  A().Run();
  EXPECT_FALSE(Exists(src + "/empty2")) << "no eligible files, still removes empty subfolders";
}

// ---- Shared helpers ----

TEST_F(RunTest, FreeNamesCountFromTheGivenName) {
  std::string path = dst + "/x.jpg";
  ActionRun::MakeUniqueFileName(path);
  EXPECT_EQ(path, dst + "/x.jpg");
  MakeFile(dst + "/x.jpg", "");
  MakeFile(dst + "/x_2.jpg", "");
  ActionRun::MakeUniqueFileName(path);
  EXPECT_EQ(path, dst + "/x_3.jpg");
  MakeFolder(dst + "/folder");
  path = dst + "/folder";
  ActionRun::MakeUniqueFileName(path);
  EXPECT_EQ(path, dst + "/folder_2");
}

TEST_F(RunTest, TempFolderFallsBackAndAlwaysEndsInOneSeparator) {
  host.Values().m_TempPath = host.Dir() + "/t0/t1//";
  EXPECT_EQ(A().MakeRun().GetTempFolder(), host.Dir() + "/t0/t1/");
  EXPECT_EQ(StatOf(host.Dir() + "/t0/t1").st_mode & 07777, 0700u) << "photos wait there: private";
  MakeFile(host.Dir() + "/file", "");
  host.Values().m_TempPath = host.Dir() + "/file/sub";
  EXPECT_EQ(A().MakeRun().GetTempFolder(), host.Dir() + "/builtin-temp/");
  EXPECT_TRUE(ActionRun::CreateFolderPath(host.Dir() + "/p/q/r/"));
  EXPECT_TRUE(Exists(host.Dir() + "/p/q/r"));
}

TEST_F(RunTest, AnUnwritableTempFolderIsSaidOnceAndAPrivateOneBesideItIsUsed) {
  const std::string shared = host.Dir() + "/shared";
  MakeFolder(shared);
  ReadOnlyBind readOnly(shared);  // as another user's folder is to us
  if (!readOnly.Ok()) GTEST_SKIP() << "cannot make a read-only bind mount here";
  host.Values().m_TempPath = shared + "/";
  const std::string own = shared + "-" + std::to_string(::geteuid()) + "/";
  const std::string note = "Temp folder " + shared + "/ is not writable; using " + own;
  EXPECT_EQ(A().MakeRun().GetTempFolder(), own);
  EXPECT_EQ(StatOf(own).st_mode & 07777, 0700u);
  A().m_bAutoRotateJPG = 1;
  std::filesystem::copy_file(std::string(BRISKO_TEST_DATA) + "/jpeg/recurser/Landscape_6.jpg",
                             src + "/side.jpg");
  A().Run();
  EXPECT_TRUE(Exists(dst + "/side.jpg")) << "rotation works through the private folder";
  EXPECT_EQ(std::count(host.log.begin(), host.log.end(), note), 1);

  // A link planted where the private folder goes is never followed.
  std::filesystem::remove_all(own);
  std::filesystem::create_directory_symlink(host.Dir(), TrimTrailingSeparators(own));
  EXPECT_EQ(A().MakeRun().GetTempFolder(), shared + "/");
  EXPECT_EQ(host.log.back().rfind("FAILED: Temp folder " + shared + "/ is not writable and " + own, 0), 0u);
}

// ---- Faults on the media ----

TEST_F(RunTest, CopiesTakeWriteProtectedCardsButNeverFilesBeingWritten) {
  Old(src + "/a.jpg");
  Old(src + "/sub/b.jpg");
  ReadOnlyBind card(src);
  if (!card.Ok()) GTEST_SKIP() << "cannot make a read-only bind mount here";
  for (int type : {kCopyFiles, kCopySubfolders, kMoveFiles}) {
    SCOPED_TRACE(type);
    A().m_iType = type;
    A().Run();
    const bool copies = type != kMoveFiles;
    EXPECT_EQ(Exists(dst + "/a.jpg"), copies);
    EXPECT_EQ(Exists(dst + "/sub/b.jpg"), type == kCopySubfolders);
    EXPECT_EQ(host.LoggedText().find("File currently locked - " + src + "/a.jpg") != std::string::npos,
              !copies)
        << "moves keep the lock rule";
    EmptyFolder(dst);
  }
}

TEST_F(RunTest, AListingThatBreaksOffIsLoggedAndNothingOfItIsDeleted) {
  for (const std::string name : {"a.jpg", "b.jpg", "c.jpg", "d.jpg"}) Old(src + "/" + name);
  Old(src + "/sub/Thumbs.db");
  Old(src + "/sub/keep.jpg");
  A().m_iType = kDeleteSubfolders;
  A().m_strFileSpec = "*.jpg";
  SetListFaultHook([&](const std::string& folder, size_t read) {
    return TrimTrailingSeparators(folder) == src && read == 4 ? EIO : 0;
  });
  struct Unhook {
    ~Unhook() { SetListFaultHook({}); }
  } unhook;
  A().Run();
  EXPECT_EQ(CountFiles(src), 6) << "a broken listing is never the basis of a delete";
  EXPECT_TRUE(
      host.HasLogLine(Line("FAILED: Listing folder " + src + "/ stopped part-way: " + ErrnoText(EIO))));

  // The Thumbs.db rule counts on a complete listing too.
  SetListFaultHook(
      [&](const std::string& folder, size_t read) { return folder == src + "/sub" && read == 3 ? EIO : 0; });
  EXPECT_EQ(CountEntries(src + "/sub"), -1);
  A().m_bDeleteEmptyFoldersOnly = 1;
  A().Run();
  EXPECT_TRUE(Exists(src + "/sub/Thumbs.db"));
}

}  // namespace
}  // namespace brisko
