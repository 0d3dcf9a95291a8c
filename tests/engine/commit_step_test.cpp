// The one step every move ends with (place, remove the source, flush its folder, settle): its three
// outcomes when the card goes, comes back, or another card takes its place, and what other
// stations and actions see of a move that waits.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <set>

#include "common/mounts.h"
#include "common/temp_dir.h"
#include "engine/action/action.h"
#include "engine/engine_test_util.h"
#include "engine/in_out_test.h"
#include "engine/records/move_journal.h"
#include "engine/records/recovery.h"
#include "support/file_identity.h"
#include "support/file_ops.h"
#include "support/volume_identity.h"

namespace brisko {
namespace {

using namespace brisko::test;
namespace fs = std::filesystem;

const std::string kSideways = std::string(BRISKO_TEST_DATA) + "/jpeg/recurser/Landscape_6.jpg";

// Which card is in the reader, as the volume serial tells it (0: none known).
uint64_t g_card = 0;
std::string g_cardFolder;
uint64_t CardVolume(const std::string& path) {
  return path.rfind(g_cardFolder, 0) == 0 ? g_card : 0;
}

class CommitStepTest : public InOutTest {
 protected:
  void SetUp() override {
    InOutTest::SetUp();
    elsewhere = std::make_unique<SmallTmpfs>(host.Dir() + "/other", "64m");
    if (!elsewhere->Ok()) GTEST_SKIP() << "needs a tmpfs mount (root) for a second file system";
    dst = host.Dir() + "/other/out";
    MakeFolder(dst);
    temp = host.Values().m_TempPath;
    g_cardFolder = src;
    g_card = 1;
    SetVolumeIdForTest(CardVolume);
    action = Fresh();
  }
  void TearDown() override {
    SetSetAsideHookForTest(nullptr);
    SetFolderSyncFaultForTest(nullptr);
    SetVolumeIdForTest(nullptr);
    MoveJournal::SetStepHookForTest(nullptr);
    if (fs::exists(src + ".out") && !fs::exists(src)) fs::rename(src + ".out", src);
  }
  std::unique_ptr<Action> Fresh() {
    auto a = InOutAction();
    a->m_iType = kMoveFiles;
    a->m_bAutoRotateJPG = rotate;
    a->m_bAddOrUpdateBriskoExif = tag;
    a->m_bKeepShotsTogether = shots;
    return a;
  }
  // The card pulled (its folder gone from its mount point) and put back.
  void Pull() { fs::rename(src, src + ".out"); }
  void PutBack() { fs::rename(src + ".out", src); }
  // Pulls the card right after the first source is set aside for removal.
  void PullAtSetAside() {
    SetSetAsideHookForTest([this](const std::string&) {
      if (fs::exists(src)) Pull();
    });
  }
  // Every name in `names` once at the destination (any folder below it), nothing else there,
  // nothing at the source (no hidden file either) and nothing left in the temp folder.
  void ExpectEachOnce(std::vector<std::string> names) {
    std::vector<std::string> arrived;
    for (const auto& e : fs::recursive_directory_iterator(dst))
      if (e.is_regular_file()) arrived.push_back(e.path().filename().string());
    std::sort(arrived.begin(), arrived.end());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(arrived, names) << "lost, doubled or stranded";
    EXPECT_EQ(CountFiles(src), 0) << "left at the source";
    // (Where each shot went is remembered there for a while: not a photo.)
    EXPECT_EQ(CountFiles(temp) - Exists(temp + "/shot-names.brisko-shots"), 0) << "left in the temp folder";
  }
  int Lines(const std::string& text) const { return host.LogLinesWith(text); }

  std::unique_ptr<SmallTmpfs> elsewhere;
  std::string temp;
  int rotate = 0, tag = 0, shots = 0;
};

// A card pulled after a source was set aside and before it was deleted: the photo is neither
// lost nor left hidden on the card. The move waits with its copy held, and finishes once when
// the card is back, whichever way the photo went.
TEST_F(CommitStepTest, ACardPulledBetweenSetAsideAndDeleteWaitsAndFinishesOnce) {
  struct Row {
    const char* what;
    int rotate, tag, shots;
    bool tempElsewhere;  // the temp folder on the destination's file system
    std::vector<std::string> names;
  };
  const Row rows[] = {
      {"plain batch", 0, 0, 0, false, {"a.jpg", "b.jpg"}},
      {"rotated", 1, 0, 0, true, {"a.jpg"}},
      {"tagged alone through the temp folder", 1, 1, 0, true, {"a.jpg"}},
      {"RAW+JPEG shot", 0, 0, 1, false, {"a.cr2", "a.jpg"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    fs::remove_all(src);
    MakeFolder(src);
    EmptyFolder(dst);
    EmptyFolder(temp);
    host.log.clear();
    if (row.tempElsewhere) host.Values().m_TempPath = host.Dir() + "/other/temp/";
    temp = host.Values().m_TempPath;
    MakeFolder(temp);
    rotate = row.rotate;
    tag = row.tag;
    shots = row.shots;
    for (const std::string& name : row.names)
      MakeFile(src + "/" + name, name.ends_with(".jpg") ? ReadFile(kSideways) : "raw " + name, 1'600'000'000);
    action = Fresh();
    PullAtSetAside();
    RunPass(*action);
    SetSetAsideHookForTest(nullptr);
    ASSERT_FALSE(fs::exists(src)) << "the card was pulled";
    EXPECT_EQ(Lines("Failed"), 0) << "a move that waits is no failure";
    EXPECT_GE(CountFiles(temp), 1) << "its record waits";
    // While the card is out nothing is decided, pass after pass.
    action->MakeRun().RecoverInterruptedMoves();
    RunPass(*action);
    EXPECT_EQ(Lines("Recovered file"), 0);
    PutBack();
    action = Fresh();
    action->MakeRun().RecoverInterruptedMoves();
    RunPass(*action);
    ExpectEachOnce(row.names);
    host.Values().m_TempPath = host.Dir() + "/temp/";
  }
}

// A card whose folder cannot be flushed after its sources were deleted (pulled: EIO) may come
// back as it was last flushed, the photos still on it: the moves wait with their copies held until
// the card is seen again, and each photo arrives once whichever way the card comes back.
TEST_F(CommitStepTest, AFailedFlushOfTheCardFolderKeepsTheRecord) {
  struct Row {
    const char* what;
    int rotate, tag;
    bool tempElsewhere;
  };
  const Row rows[] = {
      {"copy batch", 0, 0, false},
      {"tag batch", 0, 1, false},
      {"rotated alone through the temp folder", 1, 0, true},
  };
  SetFileSystemTypeForTest(0x4d44);  // a FAT card: a photo is its size and time, whatever its inode
  for (const Row& row : rows) {
    for (bool restored : {false, true}) {
      SCOPED_TRACE(testing::Message() << row.what << (restored ? ", card back as last flushed" : ""));
      fs::remove_all(src);
      MakeFolder(src);
      EmptyFolder(dst);
      host.log.clear();
      host.Values().m_TempPath = row.tempElsewhere ? host.Dir() + "/other/temp/" : host.Dir() + "/temp/";
      temp = host.Values().m_TempPath;
      MakeFolder(temp);
      EmptyFolder(temp);
      rotate = row.rotate;
      tag = row.tag;
      const std::vector<std::string> names =
          row.rotate ? std::vector<std::string>{"a.jpg"} : std::vector<std::string>{"a.jpg", "b.jpg"};
      for (const std::string& name : names) MakeFile(src + "/" + name, ReadFile(kSideways), 1'600'000'000);
      SetFolderSyncFaultForTest([this](const std::string& folder) { return folder == src + "/" ? EIO : 0; });
      action = Fresh();
      RunPass(*action);
      SetFolderSyncFaultForTest(nullptr);
      EXPECT_GE(CountFiles(temp), 1) << "the record stays";
      if (!row.rotate) {
        EXPECT_TRUE(CopyHeld(dst + "/a.jpg")) << "no action takes a copy on yet";
      }
      if (restored) {
        for (const std::string& name : names) MakeFile(src + "/" + name, ReadFile(kSideways), 1'600'000'000);
      }
      action = Fresh();
      action->MakeRun().RecoverInterruptedMoves();
      RunPass(*action);
      ExpectEachOnce(names);
      EXPECT_FALSE(CopyHeld(dst + "/a.jpg"));
    }
  }
  SetFileSystemTypeForTest(0);
  host.Values().m_TempPath = host.Dir() + "/temp/";
}

// Every card one camera formats has the same label and mounts at the same path. While a move of
// the first card waits, a second card in its place (other photos, the same folder names) is
// another source: its photos are new photos, the first card's record waits for that card.
TEST_F(CommitStepTest, AnotherCardWithTheSameLabelIsNotTakenForTheFirst) {
  for (const char* name : {"IMG_0001.JPG", "IMG_0002.JPG"})
    MakeFile(src + "/" + name, "first card " + std::string(name));
  PullAtSetAside();
  RunPass(*action);
  SetSetAsideHookForTest(nullptr);
  ASSERT_GE(CountFiles(temp), 1);
  // The second card, under the same path.
  g_card = 2;
  MakeFolder(src);
  MakeFile(src + "/IMG_0001.JPG", "second card");
  action = Fresh();
  action->MakeRun().RecoverInterruptedMoves();
  EXPECT_EQ(Lines("Recovered file"), 0) << "nothing of the first card is decided on the second";
  EXPECT_GE(CountFiles(temp), 1) << "the first card's record waits";
  RunPass(*action);
  EXPECT_EQ(CountFiles(src), 0) << "its photo is a new photo, moved";
  // The first card comes back.
  fs::remove_all(src);
  PutBack();
  g_card = 1;
  action = Fresh();
  action->MakeRun().RecoverInterruptedMoves();
  RunPass(*action);
  std::multiset<std::string> arrived;
  for (const auto& e : fs::directory_iterator(dst)) arrived.insert(ReadFile(e.path().string()));
  EXPECT_EQ(arrived,
            (std::multiset<std::string>{"first card IMG_0001.JPG", "first card IMG_0002.JPG", "second card"}))
      << "each photo of both cards once";
  EXPECT_EQ(CountFiles(src), 0);
  EXPECT_EQ(CountFiles(temp), 0);
}

// Another card put in while a batch is placed, with the same folders and other photos: the first
// card's photos are not gone for that. Their moves wait for their card, and a card back as last
// flushed, while the station finishes them, gives no photo twice.
TEST_F(CommitStepTest, AnotherCardMidBatchOrAFailedFlushInRecoveryNeverCountsAPhotoGone) {
  MakeFile(src + "/a.jpg", "photo A", 1'600'000'000);
  std::unique_ptr<SmallTmpfs> other;
  MoveJournal::SetStepHookForTest([&](const char* step) {
    if (std::string(step) != "batch placed") return;
    Pull();
    other = std::make_unique<SmallTmpfs>(src, "1m");  // the other card, at the same place
    MakeFile(src + "/b.jpg", "photo B", 1'600'000'000);
  });
  RunPass(*action);
  MoveJournal::SetStepHookForTest(nullptr);
  ASSERT_TRUE(other && other->Ok());
  EXPECT_GE(CountFiles(temp), 1) << "the first card's move waits";
  EXPECT_TRUE(CopyHeld(dst + "/a.jpg"));
  other.reset();
  fs::remove_all(src);
  PutBack();
  // The first card is back, but its folder cannot be flushed: nothing is settled yet, and the
  // card then comes back as it was last flushed, the photo still on it.
  SetFileSystemTypeForTest(0x4d44);
  SetFolderSyncFaultForTest([this](const std::string& folder) { return folder == src + "/" ? EIO : 0; });
  action = Fresh();
  action->MakeRun().RecoverInterruptedMoves();
  SetFolderSyncFaultForTest(nullptr);
  EXPECT_EQ(Lines("Recovered file"), 0) << "not before the removal is on the card";
  MakeFile(src + "/a.jpg", "photo A", 1'600'000'000);
  action = Fresh();
  action->MakeRun().RecoverInterruptedMoves();
  RunPass(*action);
  SetFileSystemTypeForTest(0);
  EXPECT_EQ(ReadFile(dst + "/a.jpg"), "photo A");
  ExpectEachOnce({"a.jpg"});
}

// A copy held for a waiting move is the file, however a downstream action names its folder:
// through a symbolic link or with a doubled "/", it is held all the same, and the station that
// only reads the record (another one sharing the temp folder) holds it too.
TEST_F(CommitStepTest, AHeldCopyIsHeldWhateverPathNamesIt) {
  MakeFile(src + "/a.jpg", "photo");
  PullAtSetAside();
  RunPass(*action);
  SetSetAsideHookForTest(nullptr);
  const std::string link = host.Dir() + "/link";
  fs::create_directory_symlink(dst, link);
  ReleaseHeldMissing(temp, {});  // as a second station: only the record on disk
  ASSERT_TRUE(AnyCopyHeld(temp));
  for (const std::string& path : {dst + "/a.jpg", link + "/a.jpg", dst + "//a.jpg", link + "/./a.jpg"})
    EXPECT_TRUE(CopyHeld(path)) << path;
  EXPECT_FALSE(CopyHeld(dst + "/b.jpg"));
  // A downstream action through the link leaves it until the card is back.
  auto downstream = InOutAction("Down");
  downstream->m_iType = kMoveFiles;
  downstream->m_strSourceFolder = link;
  downstream->m_strDestFolder = host.Dir() + "/archive";
  MakeFolder(host.Dir() + "/archive");
  RunPass(*downstream);
  EXPECT_TRUE(Exists(dst + "/a.jpg"));
  EXPECT_EQ(CountFiles(host.Dir() + "/archive"), 0);
  PutBack();
  action->MakeRun().RecoverInterruptedMoves();
  ExpectEachOnce({"a.jpg"});
}

// A photo whose recorded move waits (the record claimed that moment by another station reading
// it, so this station's recovery passes it by) stays at its source for that record to finish: a
// pass does not take it up again, and the photo arrives once.
TEST_F(CommitStepTest, APhotoWhoseRecordedMoveWaitsIsNotTakenAgain) {
  MakeFile(src + "/a.jpg", "the photo", 1'600'000'000);
  MakeFile(dst + "/a.jpg", "the photo", 1'600'000'000);
  MoveBatchRecord record;
  record.action = action->m_strName;
  MoveBatchRecord::Entry e;
  e.source = src + "/a.jpg";
  e.target = dst + "/a.jpg";
  e.temp = dst + "/.brisko-1-batch1.tmp";  // placed already: renamed to the target
  ASSERT_TRUE(ReadFileIdentity(e.source, e.sourceIdentity));
  ASSERT_TRUE(ReadFileIdentity(e.target, e.copyIdentity));
  record.entries.push_back(e);
  {
    MoveJournal claimed(temp);  // held, as by a station reading it
    ASSERT_TRUE(claimed.Write(record));
    action->MakeRun().RecoverInterruptedMoves();
    RunPass(*action);
    EXPECT_TRUE(Exists(src + "/a.jpg")) << "taken up again while its record waits";
    EXPECT_EQ(CountFiles(dst), 1);
    // Another file under its name is another photo: that one moves.
    MakeFile(src + "/b.jpg", "another", 1'600'000'000);
    RunPass(*action);
    EXPECT_FALSE(Exists(src + "/b.jpg"));
    fs::remove(dst + "/b.jpg");
  }
  action->MakeRun().RecoverInterruptedMoves();
  ExpectEachOnce({"a.jpg"});
}

// The photo set aside in the temp folder while it was placed on another file system: recovery of
// the placing step settles it, so no hidden copy stays in the temp folder for good.
TEST_F(CommitStepTest, APhotoSetAsideInTheTempFolderWhilePlacedIsSettled) {
  MoveRecord r;
  r.step = MoveStep::Placing;
  r.action = "T";
  r.source = src + "/P01.jpg";
  r.photo = temp + "P01.jpg";
  r.folder = dst + "/";
  r.name = "P01.jpg";
  r.target = dst + "/P01.jpg";
  {
    MoveJournal journal(temp);
    ASSERT_TRUE(journal.Write(r));
  }
  MakeFile(SetAsideName(r.photo), "the photo");
  MakeFile(r.target, "the photo");
  action->MakeRun().RecoverInterruptedMoves();
  EXPECT_FALSE(Exists(SetAsideName(r.photo)));
  EXPECT_EQ(Lines("Recovered file from " + r.source + " to " + r.target), 1);
  ExpectEachOnce({"P01.jpg"});
  // Placed nowhere yet: the photo goes back under its name and is placed once.
  {
    MoveJournal journal(temp);
    ASSERT_TRUE(journal.Write(r));
  }
  fs::remove(r.target);
  MakeFile(SetAsideName(r.photo), "the photo");
  action->MakeRun().RecoverInterruptedMoves();
  EXPECT_EQ(ReadFile(r.target), "the photo");
  ExpectEachOnce({"P01.jpg"});
}

// A folder whose files may not be removed (a write-protected card, a folder this user may not
// write) under Move Subfolders: the photos stay where they are, and no pass leaves a copy.
TEST_F(CommitStepTest, MoveSubfoldersFromAFolderThatRefusesDeletesCopiesNothingForGood) {
  MakeFolder(src + "/sub");
  MakeFile(src + "/sub/a.jpg", "photo");
  action->m_iType = kMoveSubfolders;
  const int dir = ::open((src + "/sub").c_str(), O_RDONLY | O_DIRECTORY);
  int flags = 0;
  bool locked = false;
  if (::geteuid() == 0) {
    locked = ::ioctl(dir, FS_IOC_GETFLAGS, &flags) == 0 &&
             ::ioctl(dir, FS_IOC_SETFLAGS, &(flags |= FS_IMMUTABLE_FL)) == 0;
  } else {
    locked = ::chmod((src + "/sub").c_str(), 0555) == 0;
  }
  if (!locked) {
    ::close(dir);
    GTEST_SKIP() << "cannot make a folder refuse deletes here";
  }
  for (int pass = 0; pass < 3; ++pass) {
    action->m_bRunPending = 1;
    RunPass(*action);
  }
  if (::geteuid() == 0) {
    flags &= ~FS_IMMUTABLE_FL;
    ::ioctl(dir, FS_IOC_SETFLAGS, &flags);
  } else {
    ::chmod((src + "/sub").c_str(), 0755);
  }
  ::close(dir);
  EXPECT_EQ(ReadFile(src + "/sub/a.jpg"), "photo");
  EXPECT_EQ(CountFiles(dst), 0) << "a copy per pass";
  EXPECT_GE(Lines("FAILED: Deleted file " + src + "/sub/a.jpg"), 1);
}

}  // namespace
}  // namespace brisko
