#include "support/file_ops.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>

#include "common/temp_dir.h"
#include "support/copy_batch.h"
#include "support/file_test_util.h"
#include "support/path_util.h"
#include "support/safe_output.h"

using namespace brisko;
using test::Names;
using test::ReadFile;
using test::StatOf;
using test::WriteFile;
using Strings = std::vector<std::string>;

namespace {

const char* kShm = "/dev/shm";

// Gives the errno for the `n`th call at `step` (1-based), nothing otherwise.
FileFaultHook FailNth(FileStep step, int n, int err) {
  auto count = std::make_shared<int>(0);
  return [=](FileStep s) { return (s == step && ++*count == n) ? err : 0; };
}

}  // namespace

// --- Causes -----------------------------------------------------------------------------------

TEST(AFileDeletion, reportsCauseAndSystemTextOfAFailure) {
  test::TempDir dir;
  FileFailure failure;
  EXPECT_FALSE(DeleteFile(dir / "missing.jpg", &failure));
  EXPECT_EQ(failure.err, ENOENT);
  EXPECT_EQ(failure.cause, 2);
  EXPECT_EQ(failure.text, std::strerror(ENOENT));

  WriteFile(dir / "x.jpg", "x");
  {
    test::Immutable frozen(dir.Path());
    if (frozen.Ok()) {
      EXPECT_FALSE(DeleteFile(dir / "x.jpg", &failure));
      EXPECT_EQ(failure.cause, 5);
      EXPECT_FALSE(failure.text.empty());
    }
  }
  EXPECT_TRUE(DeleteFile(dir / "x.jpg", &failure));
  EXPECT_FALSE(PathExists(dir / "x.jpg"));
}

// --- Status, attributes, times ----------------------------------------------------------------

TEST(AFileStatus, switchesReadOnlyAndKeepsTimesThatWereNotChanged) {
  test::TempDir dir;
  std::string f = dir / "x.jpg";
  WriteFile(f, "abc");
  chmod(f.c_str(), 0664);
  test::SetTimes(f, 1600000000, 123456789);

  FileInfo info;
  ASSERT_TRUE(GetFileStatus(f, info));
  EXPECT_EQ(info.modTime, 1600000000);
  EXPECT_EQ(info.size, 3u);
  EXPECT_FALSE(info.readOnly);
  EXPECT_FALSE(info.directory);

  info.readOnly = true;
  ASSERT_TRUE(SetFileStatus(f, info));
  EXPECT_EQ(StatOf(f).st_mode & 07777, 0444u);
  EXPECT_EQ(StatOf(f).st_mtim.tv_nsec, 123456789) << "an unchanged time keeps its fraction";

  info.readOnly = false;
  info.modTime = 1700000000;
  ASSERT_TRUE(SetFileStatus(f, info));
  EXPECT_EQ(StatOf(f).st_mode & 07777, 0644u) << "only the owner's write bit comes back";
  EXPECT_EQ(StatOf(f).st_mtim.tv_sec, 1700000000);
  EXPECT_EQ(StatOf(f).st_atim.tv_sec, 1600000000 - 100);

  ASSERT_TRUE(SetFileTimes(f, kKeepTime, 1500000000));
  EXPECT_EQ(StatOf(f).st_mtim.tv_sec, 1700000000);
  EXPECT_EQ(StatOf(f).st_atim.tv_sec, 1500000000);

  // "Everyone" goes only as far as the umask: a photo waiting in the temp folder must not
  // become writable by other accounts.
  const mode_t oldMask = umask(022);
  for (auto [mask, expected] : {std::pair<mode_t, mode_t>{022, 0644}, {002, 0664}, {077, 0600}, {0, 0666}}) {
    umask(mask);
    ASSERT_EQ(chmod(f.c_str(), 0400), 0);
    ASSERT_TRUE(GrantEveryoneAccess(f));
    EXPECT_EQ(StatOf(f).st_mode & 07777, expected) << std::oct << mask;
  }
  umask(oldMask);

  int err = 0;
  EXPECT_FALSE(GetFileStatus(dir / "missing", info, &err));
  EXPECT_EQ(err, ENOENT);
  EXPECT_FALSE(SetFileAttributes(dir / "missing", true, &err));
  EXPECT_FALSE(SetFileTimes(dir / "missing", 1, 1, &err));
  EXPECT_EQ(err, ENOENT);
}

// --- Copy -------------------------------------------------------------------------------------

// Copy and move within one file system alike: Fail leaves both files, Rename numbers the name,
// Replace takes it; time and permissions come along, and no temporary file stays behind.
TEST(AFileCopyOrMove, obeysTheCollisionRuleKeepingTimeAndPermissions) {
  for (bool move : {false, true}) {
    SCOPED_TRACE(move ? "move" : "copy");
    test::TempDir dir;
    for (const char* name : {"a.jpg", "b.jpg", "c.jpg", "t.jpg"}) {
      WriteFile(dir / name, name);
      chmod((dir / name).c_str(), 0640);
      test::SetTimes(dir / name, 1600000000, 5000);
    }
    auto place = [&](const char* from, Collision collision, std::string* placed, int* err = nullptr) {
      return (move ? MoveFile : CopyFile)(dir / from, dir / "t.jpg", collision, placed, err);
    };
    int err = 0;
    std::string placed;
    EXPECT_FALSE(place("a.jpg", Collision::Fail, &placed, &err));
    EXPECT_EQ(err, EEXIST);
    EXPECT_EQ(ReadFile(dir / "a.jpg"), "a.jpg");
    EXPECT_EQ(ReadFile(dir / "t.jpg"), "t.jpg");

    ASSERT_TRUE(place("a.jpg", Collision::Rename, &placed));
    EXPECT_EQ(placed, dir / "t (2).jpg");
    ASSERT_TRUE(place("b.jpg", Collision::Rename, &placed));
    EXPECT_EQ(placed, dir / "t (3).jpg");
    ASSERT_TRUE(place("c.jpg", Collision::Replace, &placed));
    EXPECT_EQ(placed, dir / "t.jpg");
    for (const std::string& copy : {dir / "t.jpg", dir / "t (3).jpg"}) {
      EXPECT_EQ(ReadFile(copy), copy == dir / "t.jpg" ? "c.jpg" : "b.jpg");
      EXPECT_EQ(StatOf(copy).st_mtim.tv_sec, 1600000000);
      EXPECT_EQ(StatOf(copy).st_mtim.tv_nsec, 5000);
      EXPECT_EQ(StatOf(copy).st_mode & 07777, 0640u);
    }
    EXPECT_EQ(Names(dir.Path()).size(), move ? 3u : 6u);

    EXPECT_FALSE((move ? MoveFile : CopyFile)(dir / "missing", dir / "y", Collision::Replace, nullptr, &err));
    EXPECT_EQ(err, ENOENT);
  }
}

TEST(AFileCopy, failsForAFolderOrAMissingTargetFolder) {
  test::TempDir dir;
  WriteFile(dir / "x.jpg", "x");
  int err = 0;
  EXPECT_FALSE(CopyFile(dir.Path(), dir / "y", Collision::Replace, nullptr, &err));
  EXPECT_EQ(err, EISDIR);
  EXPECT_FALSE(CopyFile(dir / "x.jpg", dir / "no/such/folder/y", Collision::Replace, nullptr, &err));
  EXPECT_EQ(err, ENOENT);
}

TEST(AFileCopy, writesUnderATemporaryNameThatScansCanRecognise) {
  test::TempDir dir;
  WriteFile(dir / "x.jpg", "x");
  std::vector<std::string> seen;
  test::FaultGuard guard([&](FileStep step) {
    if (step == FileStep::Place) seen = Names(dir.Path());
    return 0;
  });
  ASSERT_TRUE(CopyFile(dir / "x.jpg", dir / "y.jpg", Collision::Fail));
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_TRUE(IsFileLayerTempName(seen[0])) << seen[0];
  // Rewritten files (ID.TXT, tagged photos) take ".<name>.brisko-XXXXXX".
  EXPECT_TRUE(IsFileLayerTempName(".IMG_0001.JPG.brisko-aZ09xy"));
  for (const char* finished : {"IMG_0001.JPG.brisko-aZ09xy", ".IMG.brisko-aZ09x", ".IMG.brisko-aZ0_xy",
                               ".brisko-abcdef", ".brisko-.tmp", "x.jpg", ".hidden.jpg"}) {
    EXPECT_FALSE(IsFileLayerTempName(finished)) << finished;
  }
}

// Scans recognise the temporary name of a rewritten file, however long its name.
TEST(ASafeOutput, writesFilesWhoseNamesUseAllTheFileSystemAllows) {
  test::TempDir dir;
  const std::string longName = std::string(251, 'n') + ".jpg";  // 255 bytes
  SafeOutput out;
  ASSERT_TRUE(out.Open(dir / longName));
  const std::string temp = SplitPath(out.TempPath()).name + SplitPath(out.TempPath()).extension;
  EXPECT_LE(temp.size(), 255u);
  EXPECT_TRUE(IsFileLayerTempName(temp)) << temp;
  ASSERT_TRUE(WriteAll(out.Fd(), "data", 4));
  ASSERT_TRUE(out.Commit());
  EXPECT_EQ(ReadFile(dir / longName), "data");
}

TEST(AFileCopy, thatFailsAtAnyStepLeavesTheOldTargetAndNoTemporaryFile) {
  test::TempDir dir;
  std::string src = dir / "x.jpg";
  WriteFile(src, std::string(3 << 20, 'p'));  // several chunks
  std::string dst = dir / "out.jpg";
  const std::pair<FileStep, int> faults[] = {{FileStep::Write, ENOSPC},
                                             {FileStep::Sync, EIO},
                                             {FileStep::Place, EACCES},
                                             {FileStep::SyncFolder, EIO}};
  for (auto [step, code] : faults) {
    for (Collision collision : {Collision::Replace, Collision::Rename}) {
      WriteFile(dst, "old");
      test::FaultGuard guard(FailNth(step, step == FileStep::Write ? 2 : 1, code));
      int err = 0;
      EXPECT_FALSE(CopyFile(src, dst, collision, nullptr, &err));
      EXPECT_EQ(err, code);
      bool replaced = step == FileStep::SyncFolder && collision == Collision::Replace;
      EXPECT_EQ(ReadFile(dst).size(), replaced ? ReadFile(src).size() : 3u) << "complete, old or new";
      EXPECT_EQ(Names(dir.Path()), (Strings{"out.jpg", "x.jpg"}));
    }
  }
}

// --- Move -------------------------------------------------------------------------------------

TEST(AFileMove, outOfAFolderThatForbidsDeletionFailsAndKeepsTheFile) {
  test::TempDir dir;
  WriteFile(dir / "t.jpg", "t");
  test::Immutable frozen(dir.Path());
  if (!frozen.Ok()) GTEST_SKIP() << "no immutable flag on this file system";
  int err = 0;
  EXPECT_FALSE(MoveFile(dir / "t.jpg", dir / "u.jpg", Collision::Rename, nullptr, &err));
  EXPECT_EQ(FileCauseFromErrno(err), 5);
  EXPECT_EQ(ReadFile(dir / "t.jpg"), "t");
}

class ACrossFileSystemMove : public ::testing::Test {
 protected:
  void SetUp() override {
    if (m_src.Path().empty() || !test::OnDifferentFileSystems(m_src.Path(), m_dst.Path()))
      GTEST_SKIP() << "/dev/shm and the temp folder are one file system here";
    m_file = m_src / "x.jpg";
    WriteFile(m_file, "photo");
    chmod(m_file.c_str(), 0604);
    test::SetTimes(m_file, 1600000000, 777);
  }
  test::TempDir m_src{kShm};
  test::TempDir m_dst;
  std::string m_file;
};

TEST_F(ACrossFileSystemMove, copiesKeepingTimeAndPermissionsThenDeletesTheSource) {
  WriteFile(m_dst / "x.jpg", "other");
  std::string placed;
  ASSERT_TRUE(MoveFile(m_file, m_dst / "x.jpg", Collision::Rename, &placed));
  EXPECT_EQ(placed, m_dst / "x (2).jpg");
  EXPECT_EQ(ReadFile(placed), "photo");
  EXPECT_EQ(ReadFile(m_dst / "x.jpg"), "other");
  EXPECT_EQ(StatOf(placed).st_mtim.tv_sec, 1600000000);
  EXPECT_EQ(StatOf(placed).st_mtim.tv_nsec, 777);
  EXPECT_EQ(StatOf(placed).st_mode & 07777, 0604u);
  EXPECT_FALSE(PathExists(m_file));
  EXPECT_EQ(Names(m_dst.Path()), (Strings{"x (2).jpg", "x.jpg"}));

  // Back again, replacing.
  ASSERT_TRUE(MoveFile(m_dst / "x.jpg", m_src / "y.jpg", Collision::Replace, &placed));
  EXPECT_EQ(ReadFile(m_src / "y.jpg"), "other");
  int err = 0;
  WriteFile(m_src / "z.jpg", "z");
  EXPECT_FALSE(MoveFile(m_src / "z.jpg", m_dst / "x (2).jpg", Collision::Fail, nullptr, &err));
  EXPECT_EQ(err, EEXIST);
  EXPECT_EQ(ReadFile(m_src / "z.jpg"), "z");
}

TEST_F(ACrossFileSystemMove, thatFailsAtAnyStepLeavesTheSourceAndNothingUnderTheFinalName) {
  const std::pair<FileStep, int> faults[] = {{FileStep::Write, ENOSPC},
                                             {FileStep::Sync, EIO},
                                             {FileStep::Place, EACCES},
                                             {FileStep::SyncFolder, EIO},
                                             {FileStep::DeleteSource, EPERM}};
  for (auto [step, code] : faults) {
    test::FaultGuard guard(FailNth(step, 1, code));
    int err = 0;
    std::string placed = "unset";
    EXPECT_FALSE(MoveFile(m_file, m_dst / "x.jpg", Collision::Rename, &placed, &err));
    EXPECT_EQ(err, code);
    EXPECT_EQ(placed, "unset");
    EXPECT_EQ(ReadFile(m_file), "photo");
    EXPECT_TRUE(Names(m_dst.Path()).empty()) << static_cast<int>(step);
  }
}

// A source that cannot be deleted fails the move and stays; its copy is taken back, unless it
// replaced a file: taking it back then would leave neither the replaced file nor its successor.
TEST_F(ACrossFileSystemMove, fromAFolderThatForbidsDeletionKeepsTheSource) {
  for (Collision collision : {Collision::Rename, Collision::Replace}) {
    const bool replaces = collision == Collision::Replace;
    if (replaces) WriteFile(m_dst / "x.jpg", "older");
    test::Immutable frozen(m_src.Path());
    if (!frozen.Ok()) GTEST_SKIP() << "no immutable flag on this file system";
    int err = 0;
    EXPECT_FALSE(MoveFile(m_file, m_dst / "x.jpg", collision, nullptr, &err));
    EXPECT_EQ(err, EPERM);
    EXPECT_EQ(ReadFile(m_file), "photo");
    EXPECT_EQ(Names(m_dst.Path()), replaces ? Strings{"x.jpg"} : Strings{});
    if (replaces) {
      EXPECT_EQ(ReadFile(m_dst / "x.jpg"), "photo");
    }
  }
}

TEST_F(ACrossFileSystemMove, leavesASourceThatChangedAfterItWasCopied) {
  // Written to in place, or saved over by a tool that renames its new file onto the name.
  for (bool inPlace : {true, false}) {
    WriteFile(m_file, "photo");
    test::FaultGuard guard([&](FileStep step) {
      if (step != FileStep::DeleteSource) return 0;
      FILE* f = std::fopen((inPlace ? m_file : m_file + ".new").c_str(), inPlace ? "a" : "w");
      std::fputs(inPlace ? " edited" : "photo edited", f);
      std::fclose(f);
      if (!inPlace) rename((m_file + ".new").c_str(), m_file.c_str());
      return 0;
    });
    int err = 0;
    EXPECT_FALSE(MoveFile(m_file, m_dst / "x.jpg", Collision::Rename, nullptr, &err));
    EXPECT_EQ(err, EBUSY);
    EXPECT_EQ(ReadFile(m_file), "photo edited");
    EXPECT_TRUE(Names(m_dst.Path()).empty());
  }
}

// A source that another program took away before its delete leaves the copy as the
// only one; it stays, and the move counts as done.
TEST_F(ACrossFileSystemMove, keepsItsCopyWhenTheSourceIsGoneBeforeItsDelete) {
  test::FaultGuard guard([&](FileStep step) {
    if (step == FileStep::DeleteSource) unlink(m_file.c_str());
    return 0;
  });
  std::string placed;
  EXPECT_TRUE(MoveFile(m_file, m_dst / "x.jpg", Collision::Rename, &placed));
  EXPECT_EQ(placed, m_dst / "x.jpg");
  EXPECT_EQ(ReadFile(m_dst / "x.jpg"), "photo");
}

TEST_F(ACrossFileSystemMove, offWriteProtectedMediaCopiesNothing) {
  test::ReadOnlyBind card(m_src.Path(), m_dst / "card");
  if (!card.Ok()) GTEST_SKIP() << "cannot bind-mount here";
  CreateFolder(m_dst / "out");
  int err = 0;
  EXPECT_FALSE(MoveFile(m_dst / "card/x.jpg", m_dst / "out/x.jpg", Collision::Rename, nullptr, &err));
  EXPECT_EQ(err, EROFS);
  EXPECT_TRUE(Names(m_dst / "out").empty());
  EXPECT_EQ(ReadFile(m_file), "photo");
  FileFailure failure;
  EXPECT_FALSE(DeleteFile(m_dst / "card/x.jpg", &failure));
  EXPECT_EQ(failure.cause, 5);
}

// --- Folders ----------------------------------------------------------------------------------

TEST(AFolderPath, createsAllMissingParentsAndRefusesNonFolders) {
  test::TempDir dir;
  WriteFile(dir / "file", "x");
  struct Row {
    std::string path;
    bool ok;
    int err;
  };
  const Row rows[] = {
      {dir.Path(), true, 0},
      {dir / "a/b/c", true, 0},
      {dir / "a/b/c", true, 0},
      {dir / "a/d\\/", true, 0},
      {dir / "e//f/", true, 0},
      {dir / "file", false, ENOTDIR},
      {dir / "file/sub", false, ENOTDIR},
      {"", true, 0},
  };
  for (const Row& row : rows) {
    int err = 0;
    EXPECT_EQ(CreateFolderPath(row.path, &err), row.ok) << row.path;
    EXPECT_EQ(err, row.err) << row.path;
  }
  FileInfo info;
  for (const char* made : {"a/b/c", "a/d", "e/f"}) {
    ASSERT_TRUE(GetFileStatus(dir / made, info)) << made;
    EXPECT_TRUE(info.directory) << made;
  }
  test::Immutable frozen(dir.Path());
  if (frozen.Ok()) {
    int err = 0;
    EXPECT_FALSE(CreateFolderPath(dir / "g/h", &err));
    EXPECT_EQ(err, EPERM);
    EXPECT_FALSE(CreateFolder(dir / "g", &err));
    EXPECT_EQ(err, EPERM);
  }
}

TEST(AFolderRemoval, tellsWhyItFailed) {
  test::TempDir dir;
  CreateFolder(dir / "empty");
  CreateFolder(dir / "full");
  CreateFolder(dir / "kept");
  WriteFile(dir / "full/x", "x");
  WriteFile(dir / "file", "x");
  EXPECT_EQ(RemoveFolder(dir / "empty"), RemoveFolderOutcome::Removed);
  EXPECT_EQ(RemoveFolder(dir / "empty"), RemoveFolderOutcome::DoesNotExist);
  EXPECT_EQ(RemoveFolder(dir / "full"), RemoveFolderOutcome::NotEmpty);
  int err = 0;
  EXPECT_EQ(RemoveFolder(dir / "file", &err), RemoveFolderOutcome::Other);
  EXPECT_EQ(err, ENOTDIR);
  test::Immutable frozen(dir.Path());
  if (frozen.Ok()) {
    EXPECT_EQ(RemoveFolder(dir / "kept"), RemoveFolderOutcome::AccessDenied);
  }
}

// --- Lock test --------------------------------------------------------------------------------

// Leases and flocks count open file descriptions, not processes: a file opened here stands for one
// another program holds.
TEST(ALockTest, failsWhileTheFileIsOpenElsewhere) {
  test::TempDir dir;
  std::string f = dir / "x.jpg";
  WriteFile(f, "x");
  EXPECT_TRUE(CanOpenExclusively(f));
  struct Row {
    int flags;
    bool lock;
  };
  for (Row row : {Row{O_RDONLY, false}, Row{O_RDWR, false}, Row{O_RDONLY, true}}) {
    const int holder = open(f.c_str(), row.flags | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    if (row.lock) {
      ASSERT_EQ(flock(holder, LOCK_EX), 0);
    }
    int err = 0;
    EXPECT_FALSE(CanOpenExclusively(f, &err)) << row.flags << row.lock;
    EXPECT_EQ(err, EBUSY);
    close(holder);
    EXPECT_TRUE(CanOpenExclusively(f));
  }
  EXPECT_EQ(ReadFile(f), "x");
}

TEST(ALockTest, treatsMissingFilesAndNonFilesAsLocked) {
  test::TempDir dir;
  int err = 0;
  EXPECT_FALSE(CanOpenExclusively(dir / "missing", &err));
  EXPECT_EQ(err, ENOENT);
  ASSERT_EQ(mkfifo((dir / "pipe").c_str(), 0600), 0);
  EXPECT_FALSE(CanOpenExclusively(dir / "pipe", &err));  // must not block either
  EXPECT_EQ(err, EINVAL);
  EXPECT_FALSE(CanOpenExclusively(dir.Path(), &err));
}

TEST(ALockTest, withoutTheRightToLeaseStillSeesAnExclusiveLock) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to switch to another user";
  test::TempDir dir(kShm);  // reachable for another user, unlike a private TMPDIR
  chmod(dir.Path().c_str(), 0777);
  std::string f = dir / "x.jpg";
  WriteFile(f, "x");
  chmod(f.c_str(), 0666);
  // Runs the lock test as another user, who may not take a lease on root's file.
  auto testAsOther = [&] {
    pid_t pid = fork();
    if (pid == 0) {
      if (setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
      _exit(CanOpenExclusively(f) ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 3;
  };
  EXPECT_EQ(testAsOther(), 0);
  const int holder = open(f.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_EQ(flock(holder, LOCK_EX), 0);
  EXPECT_EQ(testAsOther(), 1);
  close(holder);
  EXPECT_EQ(testAsOther(), 0);
}

// A new version saved over a source's name while the source is checked and removed must
// survive; a set-aside file that is not the copied one goes back, never over another file.
TEST(ASourceRemoval, deletesOnlyTheCheckedFileAndPutsBackAnyOther) {
  struct Case {
    bool copied;            // the check finds the copied file
    const char* savedOver;  // written over the name during the check, or nullptr
    int err;
    Strings names;
    const char* atName;
  };
  const Case cases[] = {
      {true, nullptr, 0, {}, nullptr},
      {true, "new", 0, {"x.jpg"}, "new"},
      {false, nullptr, EBUSY, {"x.jpg"}, "old"},
      {false, "new", EBUSY, {"x (2).jpg", "x.jpg"}, "new"},
  };
  for (const Case& c : cases) {
    test::TempDir dir;
    const std::string path = dir / "x.jpg";
    WriteFile(path, "old");
    const int err = RemoveSourceIfUnchanged(path, [&](const std::string& at) {
      EXPECT_EQ(ReadFile(at), "old");
      if (c.savedOver) {
        WriteFile(dir / "tmp", c.savedOver);
        rename((dir / "tmp").c_str(), path.c_str());
      }
      return c.copied;
    });
    EXPECT_EQ(err, c.err);
    EXPECT_EQ(Names(dir.Path()), c.names);
    if (c.atName) {
      EXPECT_EQ(ReadFile(path), c.atName);
    }
    if (!c.copied && c.savedOver) {
      EXPECT_EQ(ReadFile(dir / "x (2).jpg"), "old");
    }
  }
}

TEST(ASourceRemoval, cutShortIsFinishedOrPutBackByTheNextPass) {
  for (bool copied : {true, false}) {
    test::TempDir dir;
    const std::string path = dir / "x.jpg";
    WriteFile(SetAsideName(path), "old");
    EXPECT_EQ(SetAsideName(path), dir / ".x.jpg.brisko-gone");
    EXPECT_TRUE(IsSetAsideName(".x.jpg.brisko-gone"));
    EXPECT_FALSE(IsFileLayerTempName(".x.jpg.brisko-gone"));  // the temp sweep leaves it
    EXPECT_TRUE(SettleSetAside(path, [&](const std::string&) { return copied; }));
    EXPECT_EQ(Names(dir.Path()), copied ? Strings{} : Strings{"x.jpg"});
    EXPECT_FALSE(SettleSetAside(path, [](const std::string&) { return true; }));
  }
}

// The three answers of a source's removal: removed; kept under its name (the copy goes back);
// out of reach when its folder went with the card, before or after it was set aside.
TEST(ASourceRemoval, tellsKeptFromOutOfReach) {
  struct Case {
    const char* what;
    std::function<void(const std::string& folder)> meanwhile;  // after it is set aside
    bool folderGoneBefore;
    SourceRemoval outcome;
  };
  const Case cases[] = {
      {"removed", nullptr, false, SourceRemoval::Removed},
      {"card pulled before", nullptr, true, SourceRemoval::OutOfReach},
      {"card pulled once set aside",
       [](const std::string& folder) { rename(folder.c_str(), (folder + ".out").c_str()); }, false,
       SourceRemoval::OutOfReach},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    test::TempDir dir;
    const std::string card = dir / "card";
    mkdir(card.c_str(), 0755);
    const std::string path = card + "/x.jpg";
    WriteFile(path, "photo");
    if (c.folderGoneBefore) rename(card.c_str(), (card + ".out").c_str());
    SetSetAsideHookForTest([&](const std::string&) {
      if (c.meanwhile) c.meanwhile(card);
    });
    int err = -1;
    EXPECT_EQ(RemoveSource(
                  path, [](const std::string&) { return true; }, err),
              c.outcome);
    SetSetAsideHookForTest(nullptr);
    EXPECT_EQ(err == 0, c.outcome == SourceRemoval::Removed);
    // Nothing is lost: out of reach, the photo is on the card (under its name or set aside).
    if (c.outcome == SourceRemoval::OutOfReach) {
      EXPECT_TRUE(PathExists(card + ".out/x.jpg") || PathExists(SetAsideName(card + ".out/x.jpg")));
    }
  }
  // Gone from a folder that is there: the caller decides; refused: kept.
  test::TempDir dir;
  int err = 0;
  EXPECT_EQ(RemoveSource(
                dir / "none.jpg", [](const std::string&) { return true; }, err),
            SourceRemoval::Kept);
  EXPECT_EQ(err, ENOENT);
}

// Two stations moving from one folder: the one that holds a photo's claim moves it, the other
// leaves it, and a photo taken away meanwhile is claimed by nobody.
TEST_F(ACrossFileSystemMove, ofAPhotoAnotherStationClaimedLeavesItToThatStation) {
  const int other = open(m_file.c_str(), O_RDONLY);
  ASSERT_EQ(ClaimSource(other, m_file), 0);
  int err = 0;
  EXPECT_FALSE(MoveFile(m_file, m_dst / "x.jpg", Collision::Rename, nullptr, &err));
  EXPECT_EQ(err, EBUSY);
  EXPECT_TRUE(Names(m_dst.Path()).empty()) << "no copy made";
  EXPECT_EQ(ReadFile(m_file), "photo");
  {
    CopyBatch batch(true);
    EXPECT_TRUE(batch.Add(m_file, m_dst / "x.jpg", Collision::Rename).inUse);
  }
  EXPECT_EQ(ClaimSourceAt(m_file, &err), nullptr);
  EXPECT_EQ(err, EBUSY);
  close(other);
  // Claimed, then taken away under the claim: the path no longer names the claimed file.
  const int held = open(m_file.c_str(), O_RDONLY);
  unlink(m_file.c_str());
  WriteFile(m_file, "new photo");
  EXPECT_EQ(ClaimSource(held, m_file), EBUSY);
  close(held);
  std::shared_ptr<void> claim = ClaimSourceAt(m_file, &err);
  ASSERT_NE(claim, nullptr);
  EXPECT_EQ(ClaimSourceAt(m_file, &err), nullptr) << "one claim at a time";
  claim.reset();
  EXPECT_TRUE(MoveFile(m_file, m_dst / "x.jpg", Collision::Rename));
  EXPECT_EQ(ReadFile(m_dst / "x.jpg"), "new photo");
}
