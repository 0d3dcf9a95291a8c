// RAW+JPEG shots taken from a camera (a Directory Browse camera over a folder): whole shots with
// one counter value and one name, a lone file waiting for its partner, an undated JPEG named by
// its RAW's date, and kills at every step leaving no shot split.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>

#include "camera/camera_pool.h"
#include "common/jpeg_builder.h"
#include "engine/action/action.h"
#include "engine/base/record_file.h"
#include "engine/camera_test_util.h"
#include "engine/engine_test_util.h"
#include "engine/fake_host.h"
#include "engine/kill_harness.h"
#include "engine/records/recovery.h"
#include "rawmeta/raw_metadata.h"
#include "rawmeta/xmp_sidecar.h"
#include "support/content_hash.h"

namespace brisko {
namespace {

using namespace brisko::test;
namespace fs = std::filesystem;

const std::string kRaw = std::string(BRISKO_TEST_DATA) + "/raw/";

// A test JPEG as file contents.
std::string Text(const Bytes& b) {
  return std::string(b.begin(), b.end());
}

// base -> what follows it, for every file below `root`; `folders` gets the folders they are in.
std::map<std::string, std::set<std::string>> ShotsIn(const std::string& root,
                                                     std::set<std::string>* folders) {
  std::map<std::string, std::set<std::string>> shots;
  if (!fs::exists(root)) return shots;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    if (!e.is_regular_file()) continue;
    const std::string name = e.path().filename().string();
    const size_t dot = name.find('.');
    shots[name.substr(0, dot)].insert(name.substr(dot));
    if (folders) folders->insert(e.path().parent_path().string());
  }
  return shots;
}

class CameraShots : public CameraTest {
 protected:
  void SetUp() override {
    CameraTest::SetUp();
    host.now = kShot + 3600;
  }
  std::unique_ptr<Action> Station(int type = kMoveFiles) {
    auto a = CameraAction(type);
    a->m_bKeepShotsTogether = 1;
    if (type != kCopyFiles) {
      a->m_bRenameFile = 1;
      // EXIF date, "_", counter, extension.
      for (unsigned id : {35u, 14u, 4u, 2u}) a->m_RenameTemplate.AddComponent(id);
    }
    return a;
  }
};

// Each RAW kind beside a dated and an undated JPEG, sidecars of both forms, letter case kept:
// every shot arrives whole under one name with one counter value, the undated JPEG named by its
// RAW's date; a name taken in the destination gives every member the same suffix.
TEST_F(CameraShots, ShotsArriveWholeWithOneNameAndTheRawDateForAnUndatedJpeg) {
  struct Case {
    const char* raw;
    const char* ext;
    const char* day;  // the RAW's date taken
  } cases[] = {{"canon_eos350d_cr2_1.cr2", ".CR2", "2005-08-03"},
               {"nikon_d70_nef_1.nef", ".nef", "2004-06-09"},
               {"sony_zve10_arw_2.arw", ".ARW", "2021-07-24"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.raw);
    EmptyFolder(dst);
    const std::string e = c.ext;
    const std::string raw = ReadFile(kRaw + c.raw);
    Shoot("IMG_0001" + e, raw);
    Shoot("IMG_0001.JPG", Text(MakeJpeg(16, 16)));
    Shoot("IMG_0001.THM", "thumb");
    Shoot("IMG_0002" + e, raw);
    Shoot("IMG_0002.jpg", Text(JpegTaken("2019:01:02 03:04:05")));
    Shoot("IMG_0003" + e, raw);  // no JPEG: the block goes into a sidecar
    // The second shot's JPEG name is taken, whichever counter value it gets.
    const int counter = host.Values().m_iFileCounter;
    std::set<std::string> taken;
    for (int k : {1, 2}) {
      char name[64];
      std::snprintf(name, sizeof name, "2019-01-02_%06d", counter + k);
      MakeFile(dst + "/" + name + ".jpg", "someone else's");
      taken.insert(name);
    }
    auto action = Station();
    action->m_strFileSpec = "*.jpg|*" + e;  // the thumbnails come along
    action->m_bAddOrUpdateBriskoExif = 1;
    EXPECT_TRUE(action->Run());
    EXPECT_EQ(host.Values().m_iFileCounter, counter + 3) << "one counter value per shot";
    EXPECT_EQ(CountFiles(dcim), 0);
    std::set<std::string> folders;
    std::set<std::string> numbers;
    int found = 0;
    for (const auto& [base, exts] : ShotsIn(dst, &folders)) {
      if (taken.count(base)) continue;
      SCOPED_TRACE(base);
      if (exts == std::set<std::string>{".JPG", e, ".THM"}) {
        EXPECT_EQ(base.substr(0, 11), std::string(c.day) + "_") << "the RAW's date";
        numbers.insert(base.substr(11));
      } else if (exts == std::set<std::string>{e, ".xmp"}) {
        EXPECT_EQ(base.substr(0, 11), std::string(c.day) + "_");
        numbers.insert(base.substr(11));
        std::string comment;
        EXPECT_TRUE(ReadSidecarUserComment(dst + "/" + base + ".xmp", comment));
        EXPECT_NE(comment.find("BriskoExif"), std::string::npos) << comment;
      } else {
        EXPECT_EQ(exts, (std::set<std::string>{".jpg", e}));
        EXPECT_EQ(base.substr(0, 11), "2019-01-02_");
        EXPECT_EQ(base.substr(17), "_2") << "one suffix for the whole shot";
        numbers.insert(base.substr(11, 6));
      }
      ++found;
    }
    EXPECT_EQ(found, 3);
    EXPECT_EQ(numbers.size(), 3u) << "each shot its own counter value";
    EXPECT_EQ(folders, std::set<std::string>{dst});
  }
}

// A lone JPEG waits for its RAW from the pass that first lists it; once it went alone, a RAW
// arriving later takes its name and folder and no counter value. A copy takes the same shots.
TEST_F(CameraShots, ALoneFileWaitsForItsPartnerAndALatePartnerFollowsItsShot) {
  // Shot now, by the camera's clock; one shot an hour ago goes at once.
  MakeFile(dcim + "/IMG_0007.JPG", Text(JpegTaken("2005:08:03 18:59:18")), host.now);
  Shoot("IMG_0006.JPG", Text(JpegTaken("2005:08:03 18:59:18")));
  auto action = Station();
  const int counter = host.Values().m_iFileCounter;
  EXPECT_TRUE(action->Run());
  EXPECT_EQ(CountFiles(dst), 1) << "went without waiting for its partner";
  host.now += 4;
  RunPass(*action);
  EXPECT_EQ(CountFiles(dst), 1);
  host.now += 1;
  RunPass(*action);
  char base[32];
  std::snprintf(base, sizeof base, "2005-08-03_%06d", counter + 2);
  EXPECT_TRUE(Exists(dst + "/" + base + ".JPG"));
  // Its RAW, seconds later, on a fresh station (the names are remembered on disk): at once.
  host.now += 20;
  MakeFile(dcim + "/IMG_0007.CR2", ReadFile(kRaw + "canon_eos350d_cr2_1.cr2"), host.now);
  auto next = Station();
  next->Run();
  EXPECT_TRUE(Exists(dst + std::string("/") + base + ".CR2"));
  EXPECT_EQ(host.Values().m_iFileCounter, counter + 2);
  EXPECT_EQ(CountFiles(dcim), 0);

  // A copy: names kept, one folder for the shot, the camera left alone.
  Shoot("IMG_0008.CR2", ReadFile(kRaw + "canon_eos350d_cr2_1.cr2"));
  Shoot("IMG_0008.JPG", Text(MakeJpeg(16, 16)));
  auto copy = Station(kCopyFiles);
  copy->m_strDestFolder = host.Dir() + "/copies";
  copy->m_bCreateNewSubfolder = 1;
  copy->m_SubfolderTemplate.Clear();
  copy->m_SubfolderTemplate.AddComponent(31);  // EXIF date: the RAW's for the undated JPEG
  EXPECT_TRUE(copy->Run());
  std::set<std::string> folders;
  EXPECT_EQ(ShotsIn(host.Dir() + "/copies", &folders),
            (std::map<std::string, std::set<std::string>>{{"IMG_0008", {".CR2", ".JPG"}}}));
  EXPECT_EQ(folders, std::set<std::string>{host.Dir() + "/copies/2005-08-03/DCIM/100TEST"});
  EXPECT_EQ(CountFiles(dcim), 2);
}

// Killed at any step of a shot's move, the next station's recovery leaves every shot whole
// (all on the camera or all in place under one name), and its pass finishes the move.
TEST_F(CameraShots, AShotMoveKilledAtAnyStepIsNeverSplit) {
  const std::string raw = ReadFile(kRaw + "nikon_d70_nef_1.nef");
  // Then with records that hold one shot each: the batch is split between shots, never inside one.
  int whole = 0;
  for (const size_t bound : {size_t(0), size_t(800)}) {
    SCOPED_TRACE(bound ? "a record per shot" : "one record");
    SetRecordBoundForTest(bound);
    const int steps = KillAtEveryStep(
        [&] {
          fs::remove_all(temp);
          EmptyFolder(dst);
          for (const char* base : {"DSC_0001", "DSC_0002"}) {
            Shoot(std::string(base) + ".NEF", raw);
            Shoot(std::string(base) + ".JPG", Text(JpegTaken("2019:01:02 03:04:05")));
            Shoot(std::string(base) + ".THM", "thumb");
          }
        },
        [&] {
          LeaveTheCameraToTheParent();
          Station()->Run();
        },
        [&](const KillPoint&) {
          StartTheNextStation();
          auto next = Station();
          next->MakeRun().RecoverInterruptedMoves();
          const auto atSource = ShotsIn(dcim, nullptr);
          const auto inPlace = ShotsIn(dst, nullptr);
          for (const auto& [base, exts] : inPlace) EXPECT_EQ(exts.size(), 3u) << base << " split";
          for (const auto& [base, exts] : atSource) EXPECT_EQ(exts.size(), 3u) << base << " split";
          EXPECT_EQ(atSource.size() + inPlace.size(), 2u) << "lost or doubled";
          next->Run();
          EXPECT_EQ(ShotsIn(dst, nullptr).size(), 2u);
          for (const auto& [base, exts] : ShotsIn(dst, nullptr)) EXPECT_EQ(exts.size(), 3u) << base;
          EXPECT_EQ(CountFiles(dcim), 0);
          EXPECT_EQ(CountFiles(temp), Exists(temp + "/shot-names.brisko-shots") ? 1 : 0)
              << "stranded in the temp folder";
        });
    EXPECT_GE(steps, 8) << "every file's placing was tried";
    if (bound == 0) {
      whole = steps;
    } else {
      EXPECT_GT(steps, whole) << "the batch was not split";
    }
  }
}

// A file of a shot that cannot take its name (taken between naming and placing) takes the
// others back: the shot stays whole on the camera, and the next pass moves it whole.
TEST_F(CameraShots, AShotWhoseFileCannotBePlacedStaysWholeOnTheCamera) {
  Shoot("DSC_0001.NEF", ReadFile(kRaw + "nikon_d70_nef_1.nef"));
  Shoot("DSC_0001.JPG", Text(JpegTaken("2019:01:02 03:04:05")));
  char intruder[64];
  std::snprintf(intruder, sizeof intruder, "/2019-01-02_%06d.NEF", host.Values().m_iFileCounter + 1);
  MoveJournal::SetStepHookForTest([&](const char* step) {
    if (std::string(step) == "camera batch recorded") MakeFile(dst + intruder, "another program's");
  });
  auto action = Station();
  EXPECT_FALSE(action->Run());
  MoveJournal::SetStepHookForTest(nullptr);
  EXPECT_EQ(CountFiles(dcim), 2);
  EXPECT_EQ(ShotsIn(dst, nullptr).size(), 1u) << "only the intruder";
  EXPECT_EQ(CountFiles(temp), Exists(temp + "/shot-names.brisko-shots") ? 1 : 0);
  EXPECT_TRUE(RunPass(*action));
  EXPECT_EQ(CountFiles(dcim), 0);
  const auto shots = ShotsIn(dst, nullptr);
  EXPECT_EQ(shots.size(), 2u);
  for (const auto& [base, exts] : shots) {
    if (exts.size() != 1) {
      EXPECT_EQ(exts, (std::set<std::string>{".JPG", ".NEF"})) << base;
    }
  }
}

// A checked shot whose RAW reads back wrong twice stays whole on the camera with one line; the
// next pass moves it whole.
TEST_F(CameraShots, ACheckedShotWithACopyThatReadsBackWrongStaysWholeOnTheCamera) {
  const std::string raw = ReadFile(kRaw + "nikon_d70_nef_1.nef");
  Shoot("DSC_0001.NEF", raw);
  Shoot("DSC_0001.JPG", Text(JpegTaken("2019:01:02 03:04:05")));
  int flips = 0;
  SetReadBackHookForTest([&](const std::string& copy) {
    if (ReadFile(copy) != raw) return;
    WriteFile(copy, raw.substr(0, raw.size() - 1) + "x");
    ++flips;
  });
  auto action = Station();
  action->m_bVerifyCopies = 1;
  EXPECT_FALSE(action->Run());
  SetReadBackHookForTest({});
  EXPECT_EQ(flips, 2);
  EXPECT_EQ(CountFiles(dcim), 2);
  EXPECT_TRUE(ShotsIn(dst, nullptr).empty()) << "neither file of the shot";
  EXPECT_EQ(host.LogLinesWith("FAILED: Move shot camera:disk:" + cam +
                              "/DCIM/100TEST/DSC_0001.JPG: a copy read back from the disk differed twice; it "
                              "stays whole on the camera"),
            1);
  EXPECT_TRUE(RunPass(*action));
  EXPECT_EQ(CountFiles(dcim), 0);
  const auto shots = ShotsIn(dst, nullptr);
  ASSERT_EQ(shots.size(), 1u);
  EXPECT_EQ(shots.begin()->second, (std::set<std::string>{".JPG", ".NEF"}));
  EXPECT_EQ(host.LogLinesWith(" (checked)"), 2);
}

}  // namespace
}  // namespace brisko
