// Move Files with BriskoExif by batch: the record, kills at every step, and the failures that
// must leave each photo exactly once.
#include "engine/records/tag_batch.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <memory>

#include "common/row_skips.h"
#include "engine/action/action.h"
#include "engine/engine_test_util.h"
#include "engine/fake_host.h"
#include "engine/in_out_test.h"
#include "engine/kill_harness.h"
#include "imagemeta/jpeg_exif_file.h"

namespace brisko {
namespace {

using namespace brisko::test;
namespace fs = std::filesystem;

const std::string kPhoto = std::string(BRISKO_TEST_DATA) + "/jpeg/recurser/Landscape_6.jpg";
const char* const kNames[] = {"a.jpg", "b.jpg", "c.jpg"};

TEST(TagBatchRecordText, RoundTripsAndRefusesWhatIsNotOne) {
  MoveBatchRecord r;
  r.action = "Tag\nit";
  r.entries.push_back({"/in/a.jpg", {1, 2, 3, 4}, "/out/a.jpg", {5, 6, 7, -8}, "/out/.brisko-tag-9-1.tmp"});
  const std::string text = FormatTagBatchRecord(r);
  MoveBatchRecord back;
  ASSERT_TRUE(ParseTagBatchRecord(text, back));
  EXPECT_EQ(FormatTagBatchRecord(back), text);
  MoveBatchRecord moved;
  EXPECT_FALSE(ParseMoveBatchRecord(text, moved)) << "a move batch never reads a tag batch";
  const std::string body = text.substr(text.find('\n'));
  for (const std::string& broken :
       {std::string(), "brisko-move-batch 1" + body, text.substr(0, text.size() - 4),
        "brisko-tag-batch 2" + body, text + "x\n", std::string(5 << 20, 'a')}) {
    EXPECT_FALSE(ParseTagBatchRecord(broken, back)) << broken.substr(0, 40);
  }
}

class TagBatchTest : public InOutTest {
 public:
  void SetUp() override {
    InOutTest::SetUp();
    temp = host.Dir() + "/temp";
    for (const char* name : kNames) MakeFile(src + "/" + name, ReadFile(kPhoto), 1'600'000'000);
  }
  void TearDown() override {
    MoveJournal::SetStepHookForTest(nullptr);
    SetRecordBoundForTest(0);
  }

  std::unique_ptr<Action> NewAction() {
    auto a = InOutAction();
    a->m_bAddOrUpdateBriskoExif = 1;
    return a;
  }
  // Every file in the destination tree: tagged photos only, nothing hidden; once all of them are
  // there (elsewhere), none is left at the source.
  void ExpectEachPhotoOnceTagged(size_t expected) {
    size_t photos = 0;
    for (const auto& e : fs::recursive_directory_iterator(dst)) {
      const std::string name = e.path().filename().string();
      // A run killed before its batch is recorded leaves its hidden copies (never a photo).
      if (IsFileLayerTempName(name)) continue;
      ASSERT_NE(name[0], '.') << "left behind: " << name;
      std::string comment;
      EXPECT_TRUE(ReadExifUserComment(e.path().string(), comment) && comment.rfind("BriskoExif:", 0) == 0)
          << name;
      ++photos;
    }
    EXPECT_EQ(photos, expected);
    EXPECT_TRUE(expected < std::size(kNames) || dst == src || CountFiles(src) == 0) << "left at the source";
    EXPECT_EQ(CountFiles(temp), 0) << "a record or a photo stranded in the temp folder";
  }

  std::string temp;
};

TEST_F(TagBatchTest, ARunKilledAtAnyStepIsFinishedOrRolledBackOnceByTheNextStation) {
  // Then with records that hold one photo each: the batch is split, each part recovers alone.
  int unsplit = 0;
  for (const size_t bound : {0, 500}) {
    SCOPED_TRACE(bound ? "split" : "one record");
    SetRecordBoundForTest(bound);
    const int steps = KillAtEveryStep(
        [&] {
          fs::remove_all(temp);
          EmptyFolder(dst);
          for (const char* name : kNames) MakeFile(src + "/" + name, ReadFile(kPhoto), 1'600'000'000);
        },
        [&] { NewAction()->Run(); },
        [&](const KillPoint&) {
          auto next = NewAction();
          next->MakeRun().RecoverInterruptedMoves();
          next->Run();
          ExpectEachPhotoOnceTagged(3);
        });
    EXPECT_GE(steps, 4) << "every step was tried";
    if (bound) {
      EXPECT_GT(steps, unsplit) << "the batch was not split";
    }
    unsplit = steps;
  }
}

TEST_F(TagBatchTest, FailuresLeaveEachPhotoOnceAndNothingHalfWrittenUnderAFinalName) {
  const std::string roomForOne = std::to_string(ReadFile(kPhoto).size() * 3 / 2);
  test::RowSkips skips;
  for (const bool full : {true, false}) {
    const char* what = full ? "destination full" : "destination read-only";
    SCOPED_TRACE(what);
    // The destination with room for one photo, or none at all.
    std::shared_ptr<void> held;
    if (full) {
      auto small = std::make_shared<SmallTmpfs>(dst, roomForOne.c_str());
      if (small->Ok()) held = small;
    } else {
      auto ro = std::make_shared<ReadOnlyBind>(dst);
      if (ro->Ok()) held = ro;
    }
    if (!held) {
      skips.Skip(what, "mounts need root");
      continue;
    }
    skips.Ran();
    NewAction()->Run();
    // A photo the destination refuses waits in the temp folder with its record, as it always has.
    size_t photos = CountFiles(src);
    for (const std::string& folder : {dst, temp}) {
      for (const auto& e : fs::directory_iterator(folder)) {
        const std::string name = e.path().filename().string();
        EXPECT_NE(name[0], '.') << "half-written file left: " << name;
        if (name.find(".brisko-") == std::string::npos) ++photos;
      }
    }
    EXPECT_EQ(photos, 3u) << "lost or doubled";
    EXPECT_LT(CountFiles(dst), 3);
    for (const auto& e : fs::directory_iterator(src))
      EXPECT_EQ(ReadFile(e.path().string()), ReadFile(kPhoto));
    held.reset();
    fs::remove_all(src);
    fs::remove_all(dst);
    fs::remove_all(temp);
    SetUp();
  }
  if (skips.NoneRan()) GTEST_SKIP() << skips.Why();
}

TEST_F(TagBatchTest, ASourceSavedAnewAfterItsCopyWasMadeStaysAndIsMovedByTheNextPass) {
  MoveJournal::SetStepHookForTest([&](const char* step) {
    if (std::string(step) == "tag batch placed")
      MakeFile(src + "/b.jpg", ReadFile(kPhoto) + "new", 1'700'000'000);
  });
  NewAction()->Run();
  MoveJournal::SetStepHookForTest(nullptr);
  EXPECT_EQ(ReadFile(src + "/b.jpg"), ReadFile(kPhoto) + "new");
  EXPECT_TRUE(host.HasLogLine(NewAction()->GetDescription() + " Not tagged: " + src +
                              "/b.jpg changed while its tagged copy was made"));
  ExpectEachPhotoOnceTagged(2);
  NewAction()->Run();
  ExpectEachPhotoOnceTagged(3);
}

TEST_F(TagBatchTest, AFolderMovedOntoItselfWithOverwriteKeepsEachPhotoOnceTagged) {
  dst = src;
  auto a = NewAction();
  a->m_bOverwriteExistingFiles = 1;
  a->Run();
  ExpectEachPhotoOnceTagged(3);
}

TEST_F(TagBatchTest, ARecordWhoseCardIsOutKeepsThePlacedCopyUntilTheCardIsBack) {
  // Killed once the copies are in place; then the card (the source folder) is taken out.
  ASSERT_TRUE(test::RunAndDieAt("tag batch placed", [this] { NewAction()->Run(); }));
  fs::rename(src, src + "-out");
  auto next = NewAction();
  next->MakeRun().RecoverInterruptedMoves();
  EXPECT_EQ(CountFiles(dst), 3) << "a placed copy may be the only one left";
  EXPECT_EQ(CountFiles(temp), 1) << "the record waits";
  fs::rename(src + "-out", src);
  next->MakeRun().RecoverInterruptedMoves();
  ExpectEachPhotoOnceTagged(3);
}

// The card pulled while recovery removes the sources: that proves nothing of them, so the record
// and its copies wait for the card as above.
TEST_F(TagBatchTest, ACardPulledWhileRecoveryRemovesTheSourcesKeepsTheRecord) {
  ASSERT_TRUE(test::RunAndDieAt("tag batch placed", [this] { NewAction()->Run(); }));
  MoveJournal::SetStepHookForTest([&](const char* step) {
    if (std::string(step) == "tag batch entry found" && fs::exists(src)) fs::rename(src, src + "-out");
  });
  auto next = NewAction();
  next->MakeRun().RecoverInterruptedMoves();
  MoveJournal::SetStepHookForTest(nullptr);
  EXPECT_EQ(CountFiles(temp), 1) << "the record waits";
  fs::rename(src + "-out", src);
  next->MakeRun().RecoverInterruptedMoves();
  RunPass(*next);
  ExpectEachPhotoOnceTagged(3);
}

// A card pulled between placing the tagged copies and removing their sources: the copies wait
// with the record, and the next action [card -> out, out -> archive] leaves them until the card
// is back; then each photo arrives once.
TEST_F(TagBatchTest, CopiesWaitingForTheirCardAreHeldBackFromTheNextAction) {
  const std::string archive = host.Dir() + "/archive";
  MakeFolder(archive);
  auto next = std::make_unique<Action>(host);
  next->m_strName = "Archive";
  next->m_strSourceFolder = dst;
  next->m_strDestFolder = archive;
  MoveJournal::SetStepHookForTest([&](const char* step) {
    if (std::string(step) == "tag batch placed") fs::rename(src, src + "-out");
  });
  auto tag = NewAction();
  RunPass(*tag);
  MoveJournal::SetStepHookForTest(nullptr);
  RunPass(*next);
  EXPECT_EQ(CountFiles(dst), 3) << "taken on while their card is out";
  EXPECT_EQ(CountFiles(archive), 0);
  fs::rename(src + "-out", src);
  for (int passes = 0; passes < 2; ++passes) {
    RunPass(*tag);
    RunPass(*next);
  }
  EXPECT_EQ(CountFiles(src), 0);
  EXPECT_EQ(CountFiles(archive), 3) << "lost or doubled";
  EXPECT_EQ(CountFiles(temp), 0);
}

// A source renamed while its tagged copy is placed is still that photo: it goes as the source
// would have, and no later pass moves it a second time.
TEST_F(TagBatchTest, ASourceRenamedDuringTheBatchIsNotMovedAgainUnderItsNewName) {
  MoveJournal::SetStepHookForTest([&](const char* step) {
    if (std::string(step) == "tag batch recorded") fs::rename(src + "/a.jpg", src + "/keep.jpg");
  });
  NewAction()->Run();
  MoveJournal::SetStepHookForTest(nullptr);
  EXPECT_TRUE(host.HasLogLine(NewAction()->GetDescription() + " Deleted file " + src +
                              "/keep.jpg: renamed from " + src + "/a.jpg"));
  NewAction()->Run();
  ExpectEachPhotoOnceTagged(3);
}

}  // namespace
}  // namespace brisko
