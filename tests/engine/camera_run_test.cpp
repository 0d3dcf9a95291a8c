// Actions whose source is a camera: libgphoto2's Directory Browse driver over a folder stands
// in for the camera, and a scripted backend for one that stops answering.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "camera/camera_pool.h"
#include "common/jpeg_builder.h"
#include "engine/action/action.h"
#include "engine/camera_test_util.h"
#include "engine/engine_test_util.h"
#include "engine/fake_host.h"
#include "engine/kill_harness.h"
#include "engine/records/camera_move_record.h"
#include "engine/records/move_journal.h"
#include "engine/records/recovery.h"
#include "imagemeta/jpeg_exif_file.h"
#include "scheduler/id_txt.h"
#include "support/content_hash.h"
#include "support/volume_identity.h"

namespace brisko {
namespace {

using namespace brisko::test;
namespace fs = std::filesystem;

class CameraRun : public CameraTest {
 protected:
  void SetUp() override {
    CameraTest::SetUp();
    action = CameraAction(kCopyFiles);
  }
  Action& A() { return *action; }
  // A record as a station that died leaves it.
  void LeaveRecord(std::vector<CameraMoveRecord::Entry> entries) {
    CameraMoveRecord record;
    record.action = "Cam";
    record.camera = "camera:disk:" + cam;
    record.entries = std::move(entries);
    MakeFolder(temp);
    CameraMoveJournal journal(temp);
    ASSERT_TRUE(journal.Write(record));
  }
  // What the destination holds, hidden leftovers included.
  std::vector<std::string> Arrived() const {
    std::vector<std::string> names;
    for (const auto& e : fs::recursive_directory_iterator(dst)) {
      if (e.is_regular_file()) names.push_back(fs::relative(e.path(), dst).string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  std::unique_ptr<Action> action;
};

TEST_F(CameraRun, CopiesOnceKeepingTheCameraTimeAndLeavesTheCamera) {
  Shoot("IMG_0001.JPG");
  Shoot("IMG_0002.JPG", "second");
  MakeFile(cam + "/top.jpg", "top", kShot);
  A().m_bIncludeSubFolders = 0;
  A().Run();
  EXPECT_EQ(Arrived(), std::vector<std::string>{"top.jpg"});  // only the top without subfolders
  A().m_bIncludeSubFolders = 1;
  RunPass(A());
  // Each keeps its folder below the camera's root, as a card's copy does.
  const std::string kept = dst + "/DCIM/100TEST";
  EXPECT_EQ(Arrived(),
            (std::vector<std::string>{"DCIM/100TEST/IMG_0001.JPG", "DCIM/100TEST/IMG_0002.JPG", "top.jpg"}));
  EXPECT_EQ(ReadFile(kept + "/IMG_0002.JPG"), "second");
  EXPECT_EQ(ModTime(kept + "/IMG_0001.JPG"), kShot);
  EXPECT_TRUE(Exists(dcim + "/IMG_0001.JPG"));
  EXPECT_EQ(host.LogLinesWith("Camera connected: Directory Browse on disk:" + cam), 1);
  EXPECT_TRUE(host.HasLogLine(A().GetDescription() + " Copied file camera:disk:" + cam +
                              "/DCIM/100TEST/IMG_0001.JPG to " + kept + "/IMG_0001.JPG"));
  // Up to date: nothing is copied again; a newer shot under the same name is.
  const int copies = host.LogLinesWith("Copied file");
  const int32_t batch = host.Values().m_iBatchCounter;
  RunPass(A());
  EXPECT_EQ(host.LogLinesWith("Copied file"), copies);
  EXPECT_EQ(host.Values().m_iBatchCounter, batch);  // a pass with nothing to copy is no batch
  MakeFile(dcim + "/IMG_0001.JPG", "retouched", kShot + 60);
  RunPass(A());
  EXPECT_EQ(ReadFile(kept + "/IMG_0001.JPG"), "retouched");
  // Two folders holding one name: each photo keeps its own copy, and neither is copied again.
  MakeFolder(cam + "/DCIM/101TEST");
  MakeFile(cam + "/DCIM/101TEST/IMG_0001.JPG", "other", kShot);
  RunPass(A());
  EXPECT_EQ(ReadFile(kept + "/IMG_0001.JPG"), "retouched");
  EXPECT_EQ(ReadFile(dst + "/DCIM/101TEST/IMG_0001.JPG"), "other");
  const int all = host.LogLinesWith("Copied file");
  RunPass(A());
  EXPECT_EQ(host.LogLinesWith("Copied file"), all);
  // A folder named *.processing is passed over by its own name only, as on a card.
  MakeFolder(cam + "/DCIM/job.Processing/sub");
  MakeFile(cam + "/DCIM/job.Processing/a.jpg", "busy", kShot);
  MakeFile(cam + "/DCIM/job.Processing/sub/b.jpg", "done", kShot);
  RunPass(A());
  EXPECT_FALSE(Exists(dst + "/DCIM/job.Processing/a.jpg"));
  EXPECT_EQ(ReadFile(dst + "/DCIM/job.Processing/sub/b.jpg"), "done");
}

TEST_F(CameraRun, MovesDeleteOnTheCameraOnlyOnceTheCopiesAreInPlace) {
  for (const char* name : {"a.jpg", "b.jpg", "c.jpg"}) Shoot(name, name);
  A().m_iType = kMoveFiles;
  std::vector<std::string> checked;
  MoveJournal::SetStepHookForTest([&](const char* step) {
    if (std::string(step) == "camera batch recorded") {
      checked.push_back(step);
      EXPECT_TRUE(Exists(dcim + "/a.jpg"));
      EXPECT_FALSE(Exists(dst + "/a.jpg"));
    }
    if (std::string(step) == "camera batch placed") {
      checked.push_back(step);
      for (const char* name : {"a.jpg", "b.jpg", "c.jpg"}) {
        EXPECT_EQ(ReadFile(dst + "/" + name), name);
        EXPECT_TRUE(Exists(dcim + "/" + name));
      }
    }
  });
  A().Run();
  EXPECT_EQ(checked.size(), 2u);
  EXPECT_EQ(Arrived(), (std::vector<std::string>{"a.jpg", "b.jpg", "c.jpg"}));
  EXPECT_EQ(CountFiles(dcim), 0);
  EXPECT_EQ(CountFiles(temp), 0);  // no record left behind
  EXPECT_EQ(host.LogLinesWith("Moved file from camera:disk:"), 3);
}

TEST_F(CameraRun, RenamesFromTheCameraTimeAndReadsIdTxtOnItsRoot) {
  Shoot("IMG_7.JPG");
  CIdTxt id;
  id.m_strPhotographerID = "Ann";
  id.m_iBatchID = 41;
  MakeFile(cam + "/ID.TXT", id.Format(), kShot);
  A().m_iType = kMoveFiles;
  A().m_strFileSpec = "*.JPG";
  A().m_bRenameFile = 1;
  A().m_RenameTemplate.m_ComponentArray = {16, 6, 2};  // photographer, file date, extension
  A().Run();
  char day[16];
  const std::time_t shot = kShot;
  std::strftime(day, sizeof day, "%Y-%m-%d", std::localtime(&shot));
  EXPECT_EQ(Arrived(), std::vector<std::string>{"Ann" + std::string(day) + ".JPG"});
  // The batch's record goes back to the camera with its new batch ID.
  CIdTxt back;
  ASSERT_TRUE(back.ReadFromFolders({cam}));
  EXPECT_EQ(back.m_strPhotographerID, "Ann");
  EXPECT_NE(back.m_iBatchID, 41);
}

TEST_F(CameraRun, AMoveTurnsAndTagsThePhotoOnItsWayAndLeavesNothingInTheTempFolder) {
  test::TiffBuilder t('M');
  t.ifd0 = {t.Short(0x0112, 6)};
  t.exif = {t.Undef(0x9000, {'0', '2', '3', '0'})};
  test::Save(dcim + "/turn.jpg",
             test::WithSegments(test::MakeJpeg(64, 32), {test::Segment(0xFFE1, t.Build())}));
  SetModTime(dcim + "/turn.jpg", kShot);
  A().m_iType = kMoveFilesFromMedia;
  A().m_bAutoRotateJPG = 1;
  A().m_bAutoRotateUseSubfolder = 1;
  A().m_bAddOrUpdateBriskoExif = 1;
  A().Run();
  ASSERT_EQ(Arrived(), std::vector<std::string>{"Rotated/turn.jpg"});
  const std::string arrived = dst + "/Rotated/turn.jpg";
  EXPECT_FALSE(JpegNeedsRotation(arrived));
  std::string comment;
  ASSERT_TRUE(ReadExifUserComment(arrived, comment));
  EXPECT_EQ(comment.rfind("BriskoExif:", 0), 0u) << comment;
  EXPECT_EQ(ModTime(arrived), kShot);
  EXPECT_EQ(CountFiles(dcim), 0);
  EXPECT_EQ(CountFiles(temp), 0);
}

TEST_F(CameraRun, ACrashBetweenPlacingAndDeletingNeitherLosesNorDoublesAPhoto) {
  Shoot("a.jpg", "aaaa");
  Shoot("b.jpg", "bbbb");
  // A copy in place and its record, as a station that died before deleting leaves them.
  MakeFile(dst + "/a.jpg", "aaaa", kShot);
  // With a copy that never took its name: the photo is still on the camera and moves normally.
  MakeFile(dst + "/.brisko-1-cam9.tmp", "bb");
  LeaveRecord({{"/DCIM/100TEST", "a.jpg", 4, kShot, dst + "/a.jpg", "", 0, 4},
               {"/DCIM/100TEST", "b.jpg", 4, kShot, dst + "/b.jpg", dst + "/.brisko-1-cam9.tmp", 0, 4}});
  A().m_iType = kMoveFiles;
  A().Run();
  EXPECT_EQ(Arrived(), (std::vector<std::string>{"a.jpg", "b.jpg"}));
  EXPECT_EQ(ReadFile(dst + "/b.jpg"), "bbbb");
  EXPECT_EQ(CountFiles(dcim), 0);
  EXPECT_EQ(CountFiles(temp), 0);
}

// A Directory Browse camera whose card is out leaves its mount point empty, on another volume:
// that is not the camera with its photo gone. The record waits for the card, and then the photo
// leaves it once.
TEST_F(CameraRun, AnEmptyMountPointIsNotTheCamera) {
  static std::string g_cam;
  static uint64_t g_volume;
  g_cam = cam;
  g_volume = 1;
  SetVolumeIdForTest(
      [](const std::string& path) -> uint64_t { return path.rfind(g_cam, 0) == 0 ? g_volume : 7; });
  Shoot("a.jpg", "aaaa");
  MakeFile(dst + "/a.jpg", "aaaa", kShot);
  struct stat placed {};
  ASSERT_EQ(::stat((dst + "/a.jpg").c_str(), &placed), 0);
  LeaveRecord({{"/DCIM/100TEST", "a.jpg", 4, kShot, dst + "/a.jpg", "", uint64_t(placed.st_ino), 4}});
  fs::rename(cam, cam + "-out");
  MakeFolder(cam);
  g_volume = 2;
  A().m_iType = kMoveFiles;
  RunPass(A());
  EXPECT_EQ(CountFiles(temp), 1) << "the record waits for the card";
  EXPECT_TRUE(CopyHeld(dst + "/a.jpg"));
  fs::remove(cam);
  fs::rename(cam + "-out", cam);
  g_volume = 1;
  std::this_thread::sleep_for(std::chrono::milliseconds(2100));  // the next look for a camera
  RunPass(A());
  SetVolumeIdForTest(nullptr);
  EXPECT_EQ(Arrived(), (std::vector<std::string>{"a.jpg"}));
  EXPECT_EQ(CountFiles(dcim), 0);
  EXPECT_EQ(CountFiles(temp), 0);
}

TEST_F(CameraRun, ACameraTakenAwayMidRunLosesNothing) {
  for (int i = 0; i < 6; ++i) Shoot("p" + std::to_string(i) + ".jpg", std::string(200000, char('a' + i)));
  A().m_iType = kMoveFiles;
  int downloads = 0;
  MoveJournal::SetStepHookForTest([&](const char* step) {
    if (std::string(step) == "camera photo downloaded" && ++downloads == 2) fs::rename(cam, cam + "-gone");
  });
  A().Run();
  EXPECT_EQ(host.LogLinesWith("Camera disconnected: Directory Browse on disk:" + cam), 1);
  // Every photo is somewhere, whole: on the "camera", at the destination or both (a copy in
  // place whose delete waits for the camera), never under a hidden name.
  std::set<std::string> somewhere;
  for (const std::string& name : Arrived()) {
    EXPECT_NE(name[0], '.') << name;
    somewhere.insert(name);
  }
  for (const auto& e : fs::directory_iterator(cam + "-gone/DCIM/100TEST"))
    somewhere.insert(e.path().filename());
  EXPECT_EQ(somewhere.size(), 6u);
  // Back again: the waiting deletes are done and the rest is taken, each photo once.
  fs::rename(cam + "-gone", cam);
  std::this_thread::sleep_for(std::chrono::milliseconds(2100));  // the next look for a camera
  RunPass(A());
  EXPECT_EQ(Arrived(),
            (std::vector<std::string>{"p0.jpg", "p1.jpg", "p2.jpg", "p3.jpg", "p4.jpg", "p5.jpg"}));
  EXPECT_EQ(CountFiles(dcim), 0);
  EXPECT_EQ(ReadFile(dst + "/p3.jpg"), std::string(200000, 'd'));
  EXPECT_EQ(host.LogLinesWith("Camera connected:"), 2);
}

// A second action that takes the camera's copies on: [camera -> out, out -> archive].
class CameraChain : public CameraRun {
 protected:
  void SetUp() override {
    CameraRun::SetUp();
    archive = host.Dir() + "/archive";
    MakeFolder(archive);
    CameraLimits limits;
    limits.lookEveryMs = 0;  // a camera put back is seen at the next pass
    host.Values().m_cameras = std::make_shared<CameraPool>(nullptr, limits);
    A().m_iType = kMoveFiles;
    downstream = std::make_unique<Action>(host);
    downstream->m_strName = "Archive";
    downstream->m_iType = kMoveFiles;
    downstream->m_strSourceFolder = dst;
    downstream->m_strDestFolder = archive;
  }
  std::string archive;
  std::unique_ptr<Action> downstream;
};

// A copy placed while its photo stays on an absent camera is held back from the next action
// until the camera is back and the photo deleted on it: moved on meanwhile, the photo would be
// moved a second time. The camera unplugged at the placing step, or the station killed there.
TEST_F(CameraChain, ACopyWaitingForItsCameraIsHeldBackFromTheNextAction) {
  for (const bool kill : {false, true}) {
    SCOPED_TRACE(kill ? "killed after placing" : "unplugged while placing");
    Shoot("IMG_0001.jpg", "one");
    if (kill) {
      ASSERT_TRUE(RunAndDieAt("camera batch placed", [&] { RunPass(A()); }));
      fs::rename(cam, cam + "-gone");
      action = std::make_unique<Action>(host);  // the next start
      SetUp();
      fs::remove_all(cam);
      A().MakeRun().RecoverInterruptedMoves();
    } else {
      MoveJournal::SetStepHookForTest([&](const char* step) {
        if (std::string(step) == "camera batch placed") fs::rename(cam, cam + "-gone");
      });
      RunPass(A());
      MoveJournal::SetStepHookForTest(nullptr);
      EXPECT_EQ(host.LogLinesWith("(deleted on the camera once it is back)"), 1);
    }
    RunPass(*downstream);
    EXPECT_EQ(Arrived(), std::vector<std::string>{"IMG_0001.jpg"}) << "taken on while its camera is away";
    fs::rename(cam + "-gone", cam);
    RunPass(A());
    RunPass(*downstream);
    RunPass(A());
    EXPECT_EQ(EntryNames(archive), std::set<std::string>{"IMG_0001.jpg"});
    EXPECT_EQ(CountFiles(dcim), 0);
    EXPECT_EQ(CountFiles(temp), 0);
    fs::remove_all(archive);
    fs::remove_all(dst);
    host.log.clear();
    action = std::make_unique<Action>(host);
    SetUp();
  }
}

// The hold lives in the record, not in the process that wrote it: a station sharing the temp
// folder that never saw the move (here: the writer died) holds the copy back too.
TEST_F(CameraChain, ACopyNamedByAnotherStationsRecordIsHeldBack) {
  Shoot("IMG_0001.jpg", "one");
  ASSERT_TRUE(RunAndDieAt("camera batch placed", [&] {
    LeaveTheCameraToTheParent();
    RunPass(A());
  }));
  RunPass(*downstream);
  EXPECT_EQ(Arrived(), std::vector<std::string>{"IMG_0001.jpg"}) << "taken on while its move is unfinished";
  A().MakeRun().RecoverInterruptedMoves();
  RunPass(*downstream);
  EXPECT_EQ(EntryNames(archive), std::set<std::string>{"IMG_0001.jpg"});
  EXPECT_EQ(CountFiles(dcim), 0);
}

// A camera move killed at any of its journaled steps is finished by the next station: each
// photo once at the destination, none left on the camera, nothing stranded or hidden.
TEST_F(CameraRun, AMoveKilledAtAnyStepIsFinishedOnceByTheNextStation) {
  const std::string jpeg = ReadFile(std::string(BRISKO_TEST_DATA) + "/jpeg/recurser/Landscape_6.jpg");
  // Last, records that hold one photo each: a batch is split, and each part recovers alone.
  int unsplit = 0;
  for (const int variant : {0, 1, 2}) {
    const bool tagged = variant == 1;
    SCOPED_TRACE(tagged ? "tagged through the temp folder" : variant == 2 ? "split" : "plain");
    SetRecordBoundForTest(variant == 2 ? 500 : 0);
    auto station = [&] {
      auto a = CameraAction(kMoveFiles);
      a->m_bAddOrUpdateBriskoExif = tagged;
      return a;
    };
    const int steps = KillAtEveryStep(
        [&] {
          fs::remove_all(temp);
          EmptyFolder(dst);
          for (const char* name : {"a.jpg", "b.jpg", "c.jpg"}) Shoot(name, jpeg);
        },
        [&] {
          LeaveTheCameraToTheParent();
          station()->Run();
        },
        [&](const KillPoint&) {
          StartTheNextStation();
          auto next = station();
          next->MakeRun().RecoverInterruptedMoves();
          next->Run();
          EXPECT_EQ(Arrived(), (std::vector<std::string>{"a.jpg", "b.jpg", "c.jpg"}))
              << "lost, doubled or hidden";
          EXPECT_EQ(CountFiles(dcim), 0);
          EXPECT_EQ(CountFiles(temp), 0) << "stranded in the temp folder";
        });
    EXPECT_GE(steps, 6) << "every step was tried";
    if (variant == 0) unsplit = steps;
    if (variant == 2) {
      EXPECT_GT(steps, unsplit) << "the batch was not split";
    }
  }
}

// Recovery never takes a file at the target for the photo on its size alone: a record without
// an inode number (a copy placed across file systems) names a download whose bytes differ.
TEST_F(CameraRun, RecoveryNeverTakesAFileOfTheSameSizeForThePhoto) {
  MakeFile(dst + "/IMG_0001.jpg", "AAAA", kShot);  // photo A, moved before
  Shoot("IMG_0001.jpg", "BBBB");                   // photo B: same name, same size
  MakeFile(temp + "/.brisko-1-cam3.tmp", "bbbb-tagged");
  LeaveRecord({{"/DCIM/100TEST", "IMG_0001.jpg", 4, kShot, dst + "/IMG_0001.jpg",
                temp + "/.brisko-1-cam3.tmp", 0, 4}});
  A().m_iType = kMoveFiles;
  A().Run();
  EXPECT_EQ(host.LogLinesWith("Deleted on the camera after an interrupted move"), 0);
  EXPECT_EQ(ReadFile(dst + "/IMG_0001.jpg"), "AAAA");
  EXPECT_EQ(ReadFile(dst + "/IMG_0001_2.jpg"), "BBBB") << "photo B lost";
  EXPECT_EQ(CountFiles(temp), 0);
}

// A camera that refuses deletes keeps its photos: each is copied once, said so, and not copied
// again by a later pass or after a restart.
TEST_F(CameraRun, ACameraRefusingDeletesHasEachPhotoCopiedOnceAcrossRestarts) {
  Shoot("a.jpg", "aaaa");
  ReadOnlyBind locked(cam);
  if (!locked.Ok()) GTEST_SKIP() << "mounts need root";
  A().m_iType = kMoveFiles;
  A().Run();
  EXPECT_EQ(host.LogLinesWith("FAILED: Delete on the camera"), 1);
  EXPECT_TRUE(host.HasLogLine(A().GetDescription() + " Copied file camera:disk:" + cam +
                              "/DCIM/100TEST/a.jpg to " + dst + "/a.jpg (it stays on the camera)"));
  EXPECT_EQ(host.LogLinesWith("Moved file"), 0);
  for (int restart = 0; restart < 2; ++restart) {
    action = std::make_unique<Action>(host);
    SetUp();
    A().m_iType = kMoveFiles;
    A().MakeRun().RecoverInterruptedMoves();
    A().Run();
  }
  EXPECT_EQ(Arrived(), std::vector<std::string>{"a.jpg"});
  EXPECT_EQ(host.LogLinesWith("Copied file"), 1);
}

// A camera refusing deletes, killed at any step of a move: the next station settles the record
// into what the camera kept, the copy goes on to the next action, and no photo is copied again.
TEST_F(CameraChain, ACameraRefusingDeletesKilledAtAnyStepHasEachPhotoOnce) {
  Shoot("a.jpg", "aaaa");
  Shoot("b.jpg", "bbbb");
  ReadOnlyBind locked(cam);
  if (!locked.Ok()) GTEST_SKIP() << "mounts need root";
  const int steps = KillAtEveryStep(
      [&] {
        for (const std::string& folder : {dst, archive, temp}) {
          EmptyFolder(folder);
        }
      },
      [&] {
        LeaveTheCameraToTheParent();
        RunPass(*CameraAction(kMoveFiles));
      },
      [&](const KillPoint&) {
        CameraLimits limits;
        limits.lookEveryMs = 0;
        StartTheNextStation(limits);
        auto next = CameraAction(kMoveFiles);
        next->MakeRun().RecoverInterruptedMoves();
        for (int pass = 0; pass < 2; ++pass) {
          RunPass(*next);
          RunPass(*downstream);
        }
        EXPECT_EQ(EntryNames(archive), (std::set<std::string>{"a.jpg", "b.jpg"})) << "doubled or held back";
        EXPECT_EQ(Arrived(), std::vector<std::string>{});
        for (const auto& e : fs::directory_iterator(temp))
          EXPECT_TRUE(e.path().string().ends_with(kCameraKeptSuffix)) << "stranded: " << e.path();
      });
  EXPECT_GE(steps, 3) << "every step was tried";
}

// A camera held in memory: it announces new shots by events and takes no uploads. A stalling
// one sends half of a photo and then nothing more until Release().
class MemoryCamera : public CameraBackend {
 public:
  explicit MemoryCamera(bool stalls = false) : stalls(stalls) {}
  struct Device : CameraDevice {
    MemoryCamera* c;
    explicit Device(MemoryCamera* camera) : c(camera) {}
    CameraStatus ListFolder(const std::string& folder, std::vector<std::string>& files,
                            std::vector<std::string>& folders) override {
      ++c->listings;
      if (folder == "/") folders.push_back("store_00010001");
      for (const auto& [path, data] : c->files) {
        if (path.rfind(folder + "/", 0) == 0 && path.find('/', folder.size() + 1) == std::string::npos)
          files.push_back(path.substr(folder.size() + 1));
      }
      return {};
    }
    CameraStatus Stat(const std::string& folder, const std::string& name, CameraFileStat& stat) override {
      auto it = c->files.find(folder + "/" + name);
      if (it == c->files.end()) return CameraStatus::Make(CameraStatus::Kind::NotFound, "no such file");
      stat = {it->second.size(), kShot};
      return {};
    }
    CameraStatus Download(const std::string& folder, const std::string& name,
                          const std::function<bool(const char*, size_t)>& sink) override {
      auto it = c->files.find(folder + "/" + name);
      if (it == c->files.end()) return CameraStatus::Make(CameraStatus::Kind::NotFound, "no such file");
      if (!c->stalls) {
        sink(it->second.data(), it->second.size());
        return {};
      }
      sink(it->second.data(), it->second.size() / 2);
      std::unique_lock<std::mutex> lock(c->mutex);
      c->wake.wait(lock, [&] { return c->released; });
      return CameraStatus::Make(CameraStatus::Kind::Gone, "unplugged");
    }
    CameraStatus Delete(const std::string& folder, const std::string& name) override {
      ++c->deletes;
      if (c->failDeletes > 0 && c->failDeletes--)
        return CameraStatus::Make(CameraStatus::Kind::Failed, "Unspecified error");
      c->files.erase(folder + "/" + name);
      return {};
    }
    CameraStatus Upload(const std::string&, const std::string&, const std::string&) override {
      return CameraStatus::Make(CameraStatus::Kind::Unsupported, "Unsupported operation");
    }
    CameraStatus WaitForEvent(int, CameraEvent& event) override {
      if (c->events.empty()) {
        event = {};
      } else {
        event = c->events.front();
        c->events.erase(c->events.begin());
      }
      return {};
    }
    bool HasEvents() const override { return !c->stalls; }
    std::string Serial() const override { return c->serial; }
  };
  CameraStatus Detect(std::vector<CameraInfo>& cameras) override {
    cameras.push_back({stalls ? "Stalling" : "Tethered", stalls ? "usb:001,009" : "usb:001,002"});
    return {};
  }
  CameraStatus Open(const CameraInfo&, std::unique_ptr<CameraDevice>& device) override {
    device = std::make_unique<Device>(this);
    return {};
  }
  void Shoot(const std::string& name, const std::string& data = "") {
    files["/store_00010001/" + name] = data.empty() ? "shot " + name : data;
    events.push_back({CameraEvent::Kind::FileAdded, "/store_00010001", name});
  }
  void Release() {
    std::lock_guard<std::mutex> lock(mutex);
    released = true;
    wake.notify_all();
  }
  const bool stalls;
  std::map<std::string, std::string> files;
  std::vector<CameraEvent> events;
  int listings = 0, deletes = 0;
  int failDeletes = 0;  // so many deletes fail before the camera takes them again
  std::string serial;
  std::mutex mutex;
  std::condition_variable wake;
  bool released = false;
};

// Two stations sharing the temp folder note what their cameras kept at the same moments: each
// merges its own entries into the list, and neither write may drop what the other just noted.
TEST_F(CameraRun, WhatTwoStationsNoteAsKeptAtOnceIsAllKept) {
  MakeFolder(temp);
  constexpr int kNotes = 60;
  pid_t writers[2];
  for (int w = 0; w < 2; ++w) {
    writers[w] = ::fork();
    if (writers[w] == 0) {
      bool ok = true;
      for (int i = 0; i < kNotes; ++i) {
        const CameraMoveRecord::Entry e{
            "/DCIM", std::to_string(w) + "_" + std::to_string(i) + ".JPG", 1, 1, dst + "/x.jpg", "", 0, 0};
        ok = NoteKeptOnCamera(temp, "Cam", "camera:x", {e}, nullptr) && ok;
      }
      ::_exit(ok ? 0 : 1);
    }
  }
  for (const pid_t writer : writers) {
    int status = -1;
    ::waitpid(writer, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  EXPECT_EQ(ReadKeptOnCamera(temp, "Cam", "camera:x").size(), 2u * kNotes);
}

TEST_F(CameraRun, ATetheredCameraIsListedOnceAndThenFollowedByItsEvents) {
  auto camera = std::make_shared<MemoryCamera>();
  camera->files["/store_00010001/ID.TXT"] = "PHOTOGRAPHERID=Bo\r\n";
  camera->Shoot("DSC_1.NEF");
  camera->events.clear();
  host.Values().m_cameras = std::make_shared<CameraPool>(camera);
  A().m_iType = kMoveFiles;
  A().m_strSourceFolder = "camera:usb:001,002";
  A().m_strFileSpec = "*.NEF";
  A().Run();
  const int listed = camera->listings;
  EXPECT_EQ(Arrived(), std::vector<std::string>{"DSC_1.NEF"});
  for (int shot = 2; shot <= 3; ++shot) {
    camera->Shoot("DSC_" + std::to_string(shot) + ".NEF");
    RunPass(A());
  }
  EXPECT_EQ(camera->listings, listed);  // the camera was not read whole again
  EXPECT_EQ(Arrived(), (std::vector<std::string>{"DSC_1.NEF", "DSC_2.NEF", "DSC_3.NEF"}));
  EXPECT_EQ(ReadFile(dst + "/DSC_3.NEF"), "shot DSC_3.NEF");
  EXPECT_EQ(camera->files.size(), 1u);  // the ID.TXT stays
  // A camera that takes no files gets no new ID.TXT, and says so once.
  EXPECT_EQ(host.LogLinesWith("ID.TXT not written to the camera"), 1);
  host.Values().m_cameras.reset();
}

// A delete that fails once is a passing error: the photo moves. One that keeps failing is a
// camera refusing deletes: the photo is copied once and stays on it.
TEST_F(CameraRun, ADeleteThatFailsOnceIsAskedAgainOneThatKeepsFailingKeepsThePhoto) {
  auto camera = std::make_shared<MemoryCamera>();
  camera->Shoot("DSC_1.NEF");
  camera->failDeletes = 1;
  host.Values().m_cameras = std::make_shared<CameraPool>(camera);
  A().m_iType = kMoveFiles;
  A().m_strSourceFolder = "camera:usb:001,002";
  A().Run();
  EXPECT_EQ(Arrived(), std::vector<std::string>{"DSC_1.NEF"});
  EXPECT_EQ(camera->files.count("/store_00010001/DSC_1.NEF"), 0u);
  EXPECT_EQ(host.LogLinesWith("FAILED: Delete on the camera"), 0);
  EXPECT_EQ(host.LogLinesWith("Moved file"), 1);

  camera->Shoot("DSC_2.NEF");
  camera->Shoot("DSC_3.NEF");
  camera->failDeletes = 1000;
  const int asked = camera->deletes;
  RunPass(A());
  EXPECT_EQ(camera->deletes - asked, 3) << "asked twice for the first photo only";
  RunPass(A());
  EXPECT_EQ(Arrived(), (std::vector<std::string>{"DSC_1.NEF", "DSC_2.NEF", "DSC_3.NEF"}));
  EXPECT_EQ(camera->files.count("/store_00010001/DSC_2.NEF"), 1u);
  EXPECT_EQ(host.LogLinesWith("FAILED: Delete on the camera"), 2);
  EXPECT_EQ(host.LogLinesWith("(it stays on the camera)"), 2);
  host.Values().m_cameras.reset();
}

// Another camera on the port of one whose move was cut short: its photos are not ours, and ours
// is not gone for being absent from it. The record waits, its copy held, until our camera is back.
TEST_F(CameraRun, AnotherCameraOnThePortIsNotTheOneWhoseMoveWasCutShort) {
  auto ours = std::make_shared<MemoryCamera>();
  ours->serial = "A100";
  ours->Shoot("DSC_1.NEF");
  const uint64_t size = ours->files.begin()->second.size();
  auto other = std::make_shared<MemoryCamera>();
  other->serial = "B200";
  other->Shoot("DSC_9.NEF");
  MakeFile(dst + "/DSC_1.NEF", ours->files.begin()->second, kShot);
  struct stat placed {};
  ASSERT_EQ(::stat((dst + "/DSC_1.NEF").c_str(), &placed), 0);
  CameraMoveRecord record;
  record.action = "Cam";
  record.camera = "camera:usb:001,002";
  record.serial = "A100";
  record.entries = {
      {"/store_00010001", "DSC_1.NEF", size, kShot, dst + "/DSC_1.NEF", "", uint64_t(placed.st_ino), size}};
  MakeFolder(temp);
  {
    CameraMoveJournal journal(temp);
    ASSERT_TRUE(journal.Write(record));
  }
  A().m_iType = kMoveFiles;
  A().m_strSourceFolder = "camera:usb:001,002";
  A().m_strFileSpec = "*.NEF";
  host.Values().m_cameras = std::make_shared<CameraPool>(other);
  A().MakeRun().RecoverInterruptedMoves();
  EXPECT_EQ(CountFiles(temp), 1) << "the record waits for its camera";
  EXPECT_TRUE(CopyHeld(dst + "/DSC_1.NEF"));
  EXPECT_EQ(host.LogLinesWith("Recovered file"), 0);

  host.Values().m_cameras = std::make_shared<CameraPool>(ours);
  auto next = std::make_unique<Action>(host);
  action.swap(next);
  SetUp();
  A().m_iType = kMoveFiles;
  A().m_strSourceFolder = "camera:usb:001,002";
  A().m_strFileSpec = "*.NEF";
  A().MakeRun().RecoverInterruptedMoves();
  A().Run();
  EXPECT_EQ(Arrived(), std::vector<std::string>{"DSC_1.NEF"});
  EXPECT_TRUE(ours->files.empty()) << "deleted on our camera once its copy was proven";
  EXPECT_EQ(CountFiles(temp), 0);
  host.Values().m_cameras.reset();
}

TEST_F(CameraRun, ACameraThatStopsAnsweringMidDownloadNeitherHangsNorLeavesAPartial) {
  auto camera = std::make_shared<MemoryCamera>(true);
  camera->Shoot("IMG_1.JPG", std::string(100000, 'x'));
  CameraLimits limits;
  limits.callMs = 300;
  host.Values().m_cameras = std::make_shared<CameraPool>(camera, limits);
  A().m_iType = kMoveFiles;
  A().m_strSourceFolder = "camera:usb:1,9";
  int dispatched = 0;
  host.onDispatch = [&] { ++dispatched; };
  const auto start = std::chrono::steady_clock::now();
  A().Run();
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_LT(took, std::chrono::seconds(3));
  EXPECT_GT(dispatched, 5);  // the window kept its events while it waited
  EXPECT_TRUE(Arrived().empty());
  EXPECT_EQ(camera->deletes, 0);
  EXPECT_EQ(host.LogLinesWith("Camera disconnected: Stalling on usb:001,009"), 1);
  camera->Release();
  host.Values().m_cameras.reset();
}

// A checked move from a camera: each download is hashed as it is written and read back from the
// disk. a.jpg reads back wrong once (downloaded again), b.jpg every time (it stays on the camera
// with one line), c.jpg is fine.
TEST_F(CameraRun, ACheckedDownloadThatReadsBackWrongIsFetchedOnceMoreThenStaysOnTheCamera) {
  for (const char* name : {"a.jpg", "b.jpg", "c.jpg"}) Shoot(name, std::string(5000, name[0]));
  A().m_iType = kMoveFiles;
  A().m_bVerifyCopies = 1;
  std::map<char, int> readBacks;
  SetReadBackHookForTest([&](const std::string& copy) {
    const std::string data = ReadFile(copy);
    if (data.empty()) return;
    EXPECT_TRUE(Exists(dcim + "/" + data[0] + ".jpg")) << "still on the camera while its copy is checked";
    if (data[0] == 'b' || (data[0] == 'a' && readBacks['a'] == 0)) {
      WriteFile(copy, std::string(4999, data[0]) + "x");
    }
    ++readBacks[data[0]];
  });
  A().Run();
  SetReadBackHookForTest({});
  EXPECT_EQ(readBacks, (std::map<char, int>{{'a', 2}, {'b', 2}, {'c', 1}}));
  EXPECT_EQ(Arrived(), (std::vector<std::string>{"a.jpg", "c.jpg"}));
  EXPECT_EQ(ReadFile(dst + "/a.jpg"), std::string(5000, 'a'));
  EXPECT_EQ(ReadFile(dcim + "/b.jpg"), std::string(5000, 'b'));
  EXPECT_EQ(CountFiles(dcim), 1);
  EXPECT_EQ(CountFiles(temp), 0);
  const std::string from = "camera:disk:" + cam + "/DCIM/100TEST/";
  EXPECT_TRUE(host.HasLogLine(A().GetDescription() + " Moved file from " + from + "a.jpg to " + dst +
                              "/a.jpg (checked)"));
  EXPECT_EQ(host.LogLinesWith(from + "b.jpg"), 1);
  EXPECT_TRUE(
      host.HasLogLine(A().GetDescription() + " Failed (CopyOrMoveFilesUsingShell): Move file from " + from +
                      "b.jpg to " + dst +
                      "/b.jpg: its copy read back from the disk differed twice; the photo stays at its "
                      "source"));
}

// A record naming a copy's hash: recovery deletes on the camera only when the copy in place reads
// back as recorded; a copy gone bad goes and the photo moves again.
TEST_F(CameraRun, RecoveryDeletesOnTheCameraOnlyWhenTheCopyReadsBackAsRecorded) {
  Shoot("a.jpg", "aaaa");
  Shoot("b.jpg", "bbbb");
  MakeFile(dst + "/a.jpg", "aaaa", kShot);
  MakeFile(dst + "/b.jpg", "bbbx", kShot);  // gone bad on the disk
  CameraMoveRecord::Entry a{"/DCIM/100TEST", "a.jpg", 4, kShot, dst + "/a.jpg", "", 0, 4};
  CameraMoveRecord::Entry b{"/DCIM/100TEST", "b.jpg", 4, kShot, dst + "/b.jpg", "", 0, 4};
  a.copyInode = uint64_t(test::StatOf(a.target).st_ino);
  b.copyInode = uint64_t(test::StatOf(b.target).st_ino);
  a.hash = HashBytes("aaaa", 4);
  b.hash = HashBytes("bbbb", 4);
  LeaveRecord({a, b});
  A().m_iType = kMoveFiles;
  A().m_bVerifyCopies = 1;
  A().Run();
  EXPECT_EQ(
      host.LogLinesWith(" FAILED: Recover file from camera:disk:" + cam + "/DCIM/100TEST/b.jpg to " + dst +
                        "/b.jpg: its copy read back from the disk differed; the photo stays on the camera"),
      1);
  EXPECT_EQ(Arrived(), (std::vector<std::string>{"a.jpg", "b.jpg"}));
  EXPECT_EQ(ReadFile(dst + "/a.jpg"), "aaaa");
  EXPECT_EQ(ReadFile(dst + "/b.jpg"), "bbbb") << "moved again, checked";
  EXPECT_EQ(CountFiles(dcim), 0);
  EXPECT_EQ(CountFiles(temp), 0);
}

TEST(CameraMoveRecordText, ReadsBackWhatItWroteAndRefusesBrokenRecords) {
  CameraMoveRecord record;
  record.action = "Cam\tera %";
  record.camera = "camera:usb:001,004";
  record.entries.push_back({"/DCIM/1\n00", "a\tb.jpg", 5, -3, "/out/a b.jpg", "/out/.t", 77, 5});
  record.together = true;
  record.volume = 99;
  record.device = 2049;
  const std::string text = FormatCameraMoveRecord(record);
  CameraMoveRecord back;
  ASSERT_TRUE(ParseCameraMoveRecord(text, back));
  EXPECT_EQ(back.volume, 99u);
  EXPECT_EQ(back.device, 2049u);
  EXPECT_EQ(back.action, record.action);
  EXPECT_TRUE(back.together);
  EXPECT_EQ(back.entries.at(0).folder, "/DCIM/1\n00");
  EXPECT_EQ(back.entries.at(0).name, "a\tb.jpg");
  EXPECT_EQ(back.entries.at(0).modTime, -3);
  EXPECT_EQ(back.entries.at(0).copyInode, 77u);
  EXPECT_FALSE(back.entries.at(0).hash.set) << "records of earlier versions name no hash";
  record.entries.at(0).hash = HashBytes("x", 1);
  ASSERT_TRUE(ParseCameraMoveRecord(FormatCameraMoveRecord(record), back));
  EXPECT_EQ(back.entries.at(0).hash, record.entries.at(0).hash);
  for (const std::string& broken : std::vector<std::string>{
           text.substr(0, text.size() - 1), text.substr(0, text.size() - 4), text + "entry\n", std::string(),
           "BriskoCameraMove 1\naction\tx\nend\n", "BriskoCameraMove 1\naction\t%4\ncamera\tc\nend\n",
           "BriskoCameraMove 1\naction\tx\ncamera\tc\nshots\t2\nend\n",
           "BriskoCameraMove 1\naction\tx\ncamera\tc\nshots\t1\nshots\t1\nend\n",
           "BriskoCameraMove 1\naction\tx\ncamera\tc\nvolume\t0\t0\nend\n",
           "BriskoCameraMove 1\naction\tx\ncamera\tc\nvolume\t1\nend\n",
           "BriskoCameraMove 1\naction\tx\ncamera\tc\nentry\t/\ta\tx\t1\t/t\t\t0\t1\nend\n",
           "BriskoCameraMove 1\naction\tx\ncamera\tc\nentry\t/\ta\t1\t1\t/t\t\t0\t1\tnot-a-hash\nend\n",
           "BriskoCameraMove 1\naction\tx\ncamera\tc\nentry\t/\ta\t1\t1\t/t\t\t0\t1\t\t\nend\n"}) {
    SCOPED_TRACE(broken);
    EXPECT_FALSE(ParseCameraMoveRecord(broken, back));
  }
}

}  // namespace
}  // namespace brisko
