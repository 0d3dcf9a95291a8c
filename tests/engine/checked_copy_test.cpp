// Checked copies through the actions that copy: each copy read back from the disk and compared
// before it counts, a source removed only after that, and records whose recovery checks too.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <memory>

#include "common/mounts.h"
#include "engine/action/action.h"
#include "engine/base/run_support.h"
#include "engine/engine_test_util.h"
#include "engine/fake_host.h"
#include "engine/in_out_test.h"
#include "engine/kill_harness.h"
#include "engine/records/move_journal.h"
#include "support/content_hash.h"
#include "support/file_ops.h"

namespace brisko {
namespace {

using namespace brisko::test;
namespace fs = std::filesystem;

// One byte of the file changed and its times kept: what a disk that stored something else shows.
void FlipAByte(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(fd, 0) << path;
  struct stat st {};
  ::fstat(fd, &st);
  char c = 0;
  ASSERT_EQ(::pread(fd, &c, 1, 0), 1);
  c = static_cast<char>(c ^ 0x01);
  ASSERT_EQ(::pwrite(fd, &c, 1, 0), 1);
  const struct timespec times[2] = {st.st_atim, st.st_mtim};
  ::futimens(fd, times);
  ::fsync(fd);
  ::close(fd);
}

ContentHash HashOf(const std::string& data) {
  return HashBytes(data.data(), data.size());
}

class CheckedCopyTest : public InOutTest {
 protected:
  void SetUp() override {
    InOutTest::SetUp();
    temp = host.Dir() + "/temp";
    MakeFolder(temp);
  }
  void TearDown() override {
    SetReadBackHookForTest({});
    MoveJournal::SetStepHookForTest(nullptr);
  }
  std::unique_ptr<Action> Checked(int32_t type) {
    auto a = InOutAction();
    a->m_iType = type;
    a->m_bVerifyCopies = 1;
    if (type == kCopySubfolders || type == kMoveSubfolders) a->m_bIncludeSubFolders = 1;
    return a;
  }
  // The destination on another file system (a move there copies): a small tmpfs, else /dev/shm.
  void DestinationElsewhere() {
    other.reset();
    other = std::make_unique<SmallTmpfs>(host.Dir() + "/other", "64m");
    if (!other->Ok()) shm = std::make_unique<TempDir>("/dev/shm");
    dst = other->Ok() ? host.Dir() + "/other" : shm->Path();
  }
  // A batch record as a station leaves it when it dies after placing a copy.
  MoveBatchRecord::Entry Placed(const std::string& name, const std::string& data) {
    MakeFile(src + "/" + name, data, 1'600'000'000);
    MakeFile(dst + "/" + name, data, 1'600'000'000);
    MoveBatchRecord::Entry e;
    e.source = src + "/" + name;
    e.target = dst + "/" + name;
    e.temp = dst + "/.brisko-1-1.tmp";
    ReadFileIdentity(e.source, e.sourceIdentity);
    ReadFileIdentity(e.target, e.copyIdentity);
    return e;
  }
  int LinesFor(const std::string& path) const { return host.LogLinesWith(" " + path + " "); }

  std::string temp;
  std::unique_ptr<SmallTmpfs> other;
  std::unique_ptr<TempDir> shm;
};

// a.jpg reads back wrong once and is copied again; b.jpg reads back wrong every time and stays
// at its source with one line; c.jpg is fine. Each type's own log lines say "(checked)".
TEST_F(CheckedCopyTest, ACopyThatReadsBackWrongIsMadeOnceMoreThenThePhotoStaysWithOneLine) {
  struct Row {
    int32_t type;
    const char* rel;  // where the photos lie below the source
    bool moves;
    const char* failed;  // the start of b's line
    const char* done;    // a's line, "%s" source and target
  };
  const Row rows[] = {
      {kCopyFiles, "", false, "FAILED: Copy file ", "Copied file %s to %s (checked)"},
      {kCopySubfolders, "d/", false, "FAILED: Copy file ", "Copied file %s to %s (checked)"},
      {kMoveFiles, "", true, "Failed (CopyOrMoveFilesUsingShell): Move file from ",
       "Moved file from %s to %s (checked)"},
      {kMoveSubfolders, "d/", true, "FAILED: Copy file ", "Copied file %s to %s (checked)"},
  };
  DestinationElsewhere();
  const std::map<std::string, std::string> photos = {
      {"a.jpg", std::string(3 << 20, 'a')}, {"b.jpg", "photo-b"}, {"c.jpg", "photo-c"}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.type);
    fs::remove_all(src);
    for (const auto& e : fs::directory_iterator(dst)) fs::remove_all(e.path());
    host.log.clear();
    for (const auto& [name, data] : photos) MakeFile(src + "/" + row.rel + name, data, 1'600'000'000);
    std::map<std::string, int> readBacks;
    bool sourcesThere = true;
    SetReadBackHookForTest([&](const std::string& copy) {
      const std::string data = ReadFile(copy);
      for (const auto& [name, original] : photos) {
        if (data != original) continue;
        sourcesThere = sourcesThere && Exists(src + "/" + row.rel + name);
        if (name == "b.jpg" || (name == "a.jpg" && readBacks[name] == 0)) FlipAByte(copy);
        ++readBacks[name];
      }
    });
    action = Checked(row.type);
    RunPass(*action);
    SetReadBackHookForTest({});
    EXPECT_TRUE(sourcesThere) << "a source goes only after its copy read back right";
    EXPECT_EQ(readBacks, (std::map<std::string, int>{{"a.jpg", 2}, {"b.jpg", 2}, {"c.jpg", 1}}));
    const std::string from = src + "/" + row.rel, to = dst + "/" + row.rel;
    EXPECT_EQ(ReadFile(to + "a.jpg"), photos.at("a.jpg"));
    EXPECT_EQ(ReadFile(to + "c.jpg"), "photo-c");
    EXPECT_TRUE(host.HasLogLine(Line(FillIn(row.done, from + "a.jpg", to + "a.jpg"))));
    EXPECT_EQ(EntryNames(to), (std::set<std::string>{"a.jpg", "c.jpg"}))
        << "no copy of b, no hidden leftovers";
    EXPECT_EQ(ReadFile(from + "b.jpg"), "photo-b");
    EXPECT_EQ(LinesFor(from + "b.jpg"), 1);
    EXPECT_TRUE(host.HasLogLine(Line(std::string(row.failed) + from + "b.jpg to " + to + "b.jpg" +
                                     ": its copy read back from the disk differed twice; the photo stays at "
                                     "its source")));
    EXPECT_EQ(Exists(from + "a.jpg"), !row.moves);
    EXPECT_EQ(Exists(from + "c.jpg"), !row.moves);
    EXPECT_EQ(CountFiles(temp), 0) << "no record left";
  }
}

// A batch record names each copy's hash: recovery reads the copy in place back from the disk
// before it removes a source. Records of earlier versions (no hash) are finished as they were.
TEST_F(CheckedCopyTest, RecoveryRemovesASourceOnlyWhenItsCopyReadsBackAsRecorded) {
  struct Row {
    const char* what;
    bool hash;
    bool corrupt;
    bool sourceGone;
    bool arrives;  // the source goes and the copy stays
  };
  const Row rows[] = {
      {"hash, copy right", true, false, false, true},
      {"hash, copy differs", true, true, false, false},
      {"no hash (an earlier version's record)", false, false, false, true},
      {"hash, copy differs, source gone", true, true, true, true},
  };
  DestinationElsewhere();
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    fs::remove_all(src);
    EmptyFolder(temp);
    for (const auto& e : fs::directory_iterator(dst)) fs::remove_all(e.path());
    host.log.clear();
    MoveBatchRecord::Entry a = Placed("a.jpg", "photo-A");
    if (row.hash) a.hash = HashOf("photo-A");
    if (row.corrupt) FlipAByte(a.target);
    if (row.sourceGone) fs::remove(a.source);
    {
      MoveJournal journal(temp);
      ASSERT_TRUE(journal.Write(MoveBatchRecord{"T", false, {a}, false}));
    }
    action = InOutAction();
    action->MakeRun().RecoverInterruptedMoves();
    EXPECT_EQ(CountFiles(temp), 0) << "the record is finished";
    if (row.arrives) {
      EXPECT_FALSE(Exists(a.source));
      EXPECT_TRUE(Exists(a.target)) << "the last copy is never deleted";
    } else {
      EXPECT_EQ(ReadFile(a.source), "photo-A");
      EXPECT_FALSE(Exists(a.target)) << "the copy that differs goes";
      EXPECT_EQ(
          host.LogLinesWith(" FAILED: Recover file from " + a.source + " to " + a.target +
                            ": its copy read back from the disk differed; the photo stays at its source"),
          1);
    }
    EXPECT_EQ(host.LogLinesWith("differs from the photo as it was copied"),
              row.corrupt && row.sourceGone ? 1 : 0);
  }
}

// A station killed once its checked copies are placed: the next one checks them against the
// record. One copy went bad on the disk meanwhile: its photo stays and the next pass moves it.
TEST_F(CheckedCopyTest, ACheckedMoveCutShortIsFinishedByCheckingThePlacedCopies) {
  DestinationElsewhere();
  for (const char* name : {"a.jpg", "b.jpg", "c.jpg"})
    MakeFile(src + "/" + name, std::string(200000, name[0]), 1'600'000'000);
  action = Checked(kMoveFiles);
  ASSERT_TRUE(test::RunAndDieAt("batch placed", [this] { action->Run(); }));
  ASSERT_TRUE(Exists(dst + "/b.jpg"));
  FlipAByte(dst + "/b.jpg");

  action = Checked(kMoveFiles);  // the next station
  action->MakeRun().RecoverInterruptedMoves();
  EXPECT_EQ(host.LogLinesWith(") Recovered file from "), 2);
  EXPECT_EQ(ReadFile(src + "/b.jpg"), std::string(200000, 'b'));
  EXPECT_FALSE(Exists(dst + "/b.jpg"));
  RunPass(*action);
  EXPECT_TRUE(host.HasLogLine(Line("Moved file from " + src + "/b.jpg to " + dst + "/b.jpg (checked)")));
  EXPECT_EQ(CountFiles(src), 0);
  EXPECT_EQ(CountFiles(temp), 0);
  EXPECT_EQ(EntryNames(dst), (std::set<std::string>{"a.jpg", "b.jpg", "c.jpg"}));
  for (const char* name : {"a.jpg", "b.jpg", "c.jpg"})
    EXPECT_EQ(ReadFile(dst + "/" + name), std::string(200000, name[0]));
}

}  // namespace
}  // namespace brisko
