// Copies made durable together: placing, collisions, and failures that must leave nothing behind.
#include "support/copy_batch.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "common/temp_dir.h"
#include "support/file_test_util.h"
#include "support/path_util.h"

using namespace brisko;
using test::Names;
using test::ReadFile;
using test::WriteFile;
using Strings = std::vector<std::string>;

TEST(ACopyBatch, placesEveryFileOnlyAtCommitWithItsTimeAndCollisionRule) {
  test::TempDir dir;
  WriteFile(dir / "a.jpg", "a");
  test::SetTimes(dir / "a.jpg", 1'600'000'000, 5);
  WriteFile(dir / "b.jpg", "b");
  mkdir((dir / "out").c_str(), 0755);
  WriteFile(dir / "out/taken.jpg", "old");
  WriteFile(dir / "out/kept.jpg", "old");
  CopyBatch batch;
  batch.Add(dir / "a.jpg", dir / "out/a.jpg", Collision::Fail);
  batch.Add(dir / "b.jpg", dir / "out/taken.jpg", Collision::Rename);
  batch.Add(dir / "b.jpg", dir / "out/kept.jpg", Collision::Fail);
  batch.Add(dir / "missing.jpg", dir / "out/m.jpg", Collision::Replace);
  EXPECT_FALSE(PathExists(dir / "out/a.jpg")) << "nothing under a final name before the flush";
  EXPECT_FALSE(PathExists(CollisionName(dir / "out/taken.jpg", 2)));
  batch.Commit();
  const auto& e = batch.Entries();
  ASSERT_EQ(e.size(), 4u);
  EXPECT_EQ(e[0].placed, dir / "out/a.jpg");
  EXPECT_EQ(test::StatOf(e[0].placed).st_mtim.tv_sec, 1'600'000'000);
  EXPECT_EQ(e[1].placed, CollisionName(dir / "out/taken.jpg", 2));
  EXPECT_EQ(e[2].err, EEXIST);
  EXPECT_EQ(e[3].err, ENOENT);
  EXPECT_EQ(ReadFile(dir / "out/kept.jpg"), "old");
  EXPECT_EQ(ReadFile(e[1].placed), "b");
  EXPECT_EQ(Names(dir / "out").size(), 4u) << "no hidden copies left";
}

TEST(ACopyBatch, givesANameTakenAfterItWasFoundFreeTheTimeTestItWouldHaveHad) {
  // The source is 1,600,000,000 s and 5 ns old; what is under its name by the rename, if anything.
  struct Row {
    bool arrives;
    time_t targetTime;
    bool replaced;
  } rows[] = {{false, 0, true},
              {true, 1'599'999'999, true},
              {true, 1'600'000'000, false},  // whole seconds, as the Copy Files rule compares
              {true, 1'600'000'100, false}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.targetTime);
    test::TempDir dir;
    WriteFile(dir / "a.jpg", "new");
    test::SetTimes(dir / "a.jpg", 1'600'000'000, 5);
    mkdir((dir / "out").c_str(), 0755);
    CopyBatch batch;
    batch.AddIfNewer(dir / "a.jpg", dir / "out/a.jpg");
    if (row.arrives) {
      WriteFile(dir / "out/a.jpg", "there");
      test::SetTimes(dir / "out/a.jpg", row.targetTime, 0);
    }
    batch.Commit();
    const CopyBatch::Entry& e = batch.Entries()[0];
    EXPECT_EQ(e.err, 0);
    EXPECT_EQ(e.upToDate, !row.replaced);
    EXPECT_EQ(e.placed, row.replaced ? dir / "out/a.jpg" : std::string());
    EXPECT_EQ(ReadFile(dir / "out/a.jpg"), row.replaced ? "new" : "there");
    if (!row.replaced) {
      EXPECT_EQ(e.targetStatus.modTime, row.targetTime);
    }
    EXPECT_EQ(Names(dir / "out"), Strings{"a.jpg"}) << "no hidden copy left";
  }
}

TEST(ACopyBatch, makesATargetFolderRemovedMeanwhileAgainOnlyWhenAsked) {
  for (bool makes : {false, true}) {
    SCOPED_TRACE(makes);
    test::TempDir dir;
    WriteFile(dir / "a.jpg", "a");
    WriteFile(dir / "b.jpg", "b");
    mkdir((dir / "out").c_str(), 0755);
    CopyBatch batch;
    batch.SetMakesFolders(makes);
    batch.Add(dir / "a.jpg", dir / "out/a.jpg", Collision::Fail);
    std::filesystem::remove_all(dir / "out");  // with the hidden copy of a.jpg
    batch.Add(dir / "b.jpg", dir / "out/b.jpg", Collision::Fail);
    if (makes) {
      EXPECT_EQ(batch.Entries()[1].device, test::StatOf(dir / "out").st_dev);
    }
    batch.Commit();
    const auto& e = batch.Entries();
    EXPECT_EQ(e[0].err, ENOENT) << "its copy went with the folder";
    EXPECT_TRUE(e[0].placed.empty());
    EXPECT_EQ(e[1].err, makes ? 0 : ENOENT);
    if (makes) {
      EXPECT_EQ(ReadFile(dir / "out/b.jpg"), "b");
      EXPECT_EQ(Names(dir / "out"), Strings{"b.jpg"});
    }
  }
}

TEST(ACopyBatch, thatFailsToReachTheDiskPlacesNothing) {
  for (FileStep step : {FileStep::Write, FileStep::Sync, FileStep::Place, FileStep::SyncFolder}) {
    SCOPED_TRACE(static_cast<int>(step));
    test::TempDir dir;
    WriteFile(dir / "a.jpg", "a");
    WriteFile(dir / "b.jpg", "b");
    mkdir((dir / "out").c_str(), 0755);
    test::FaultGuard fault([step](FileStep s) { return s == step ? EIO : 0; });
    CopyBatch batch;
    batch.Add(dir / "a.jpg", dir / "out/a.jpg", Collision::Rename);
    batch.Add(dir / "b.jpg", dir / "out/b.jpg", Collision::Rename);
    batch.Commit();
    for (const CopyBatch::Entry& entry : batch.Entries()) {
      EXPECT_EQ(entry.err, EIO);
      EXPECT_TRUE(entry.placed.empty());
    }
    EXPECT_TRUE(Names(dir / "out").empty());
  }
}

TEST(ACopyBatch, dropsUncommittedCopiesAndIsBounded) {
  test::TempDir dir;
  WriteFile(dir / "a.jpg", "a");
  mkdir((dir / "out").c_str(), 0755);
  {
    CopyBatch batch(true);  // moving: the smaller bound
    for (size_t i = 0; i + 1 < CopyBatch::kMaxFiles; ++i)
      batch.Add(dir / "a.jpg", dir / ("out/" + std::to_string(i)), Collision::Fail);
    EXPECT_FALSE(batch.Full());
    batch.Add(dir / "a.jpg", dir / "out/last", Collision::Fail);
    EXPECT_TRUE(batch.Full());
  }
  EXPECT_TRUE(Names(dir / "out").empty());
}

TEST(ACopyBatch, ontoAFullFileSystemFailsThatFileAndPlacesTheOthers) {
  test::TempDir dir;
  test::SmallTmpfs full(dir / "small");
  if (!full.Ok()) GTEST_SKIP() << "cannot mount a tmpfs here; the fault seam covers disk full";
  WriteFile(dir / "big.jpg", std::string(1 << 20, 'b'));
  WriteFile(dir / "small.jpg", "s");
  CopyBatch batch;
  batch.Add(dir / "big.jpg", full.Path() + "/big.jpg", Collision::Fail);
  batch.Add(dir / "small.jpg", full.Path() + "/small.jpg", Collision::Fail);
  batch.Commit();
  EXPECT_EQ(batch.Entries()[0].err, ENOSPC);
  EXPECT_EQ(batch.Entries()[1].err, 0);
  EXPECT_EQ(Names(full.Path()), Strings{"small.jpg"});
}

TEST(ACopyBatch, thatTestsItsSourcesLeavesOneBeingWrittenAndCopiesTheRest) {
  test::TempDir dir;
  WriteFile(dir / "busy.jpg", "being written");
  WriteFile(dir / "free.jpg", std::string(CopyBatch::kEarlyWriteBackBytes, 'f'));  // the large-file way
  mkdir((dir / "out").c_str(), 0755);
  const int writer = open((dir / "busy.jpg").c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(writer, 0);
  flock(writer, LOCK_EX);
  CopyBatch batch;
  EXPECT_TRUE(batch.Add(dir / "busy.jpg", dir / "out/busy.jpg", Collision::Fail, true).inUse);
  EXPECT_FALSE(batch.Add(dir / "free.jpg", dir / "out/free.jpg", Collision::Fail, true).inUse);
  batch.Commit();
  close(writer);
  EXPECT_EQ(batch.Entries()[0].err, EBUSY);
  EXPECT_EQ(batch.Entries()[1].err, 0);
  EXPECT_EQ(Names(dir / "out"), Strings{"free.jpg"});
}
