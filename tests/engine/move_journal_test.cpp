// Move records and the completion of moves that a crash cut short: a child process runs the move
// and dies at a chosen step; a fresh action then finishes it.
#include "engine/move_journal.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <memory>
#include <random>
#include <set>

#include "engine/action.h"
#include "engine/engine_test_util.h"
#include "engine/fake_host.h"
#include "imagemeta/auto_rotate.h"
#include "imagemeta/jpeg_exif_file.h"
#include "support/file_ops.h"

namespace brisko {
namespace {

using namespace brisko::test;
namespace fs = std::filesystem;

const std::string kSideways = std::string(BRISKO_TEST_DATA) + "/jpeg/recurser/Landscape_6.jpg";

MoveRecord SampleRecord() {
  MoveRecord r;
  r.action = "Event = \\ two\nlines";
  r.source = "/media/card/DCIM/a=b\\c\nd.jpg";
  r.photo = r.source;
  r.photoIdentity = {2049, 123456, 3000000, -5};
  r.copy = "/var/tmp/brisko_temp/a.jpg";
  r.scratch = "/var/tmp/brisko_temp/a_rotated.jpg";
  r.folder = "/srv/out/";
  r.name = "a.jpg";
  r.rename = true;
  return r;
}

TEST(MoveRecordText, RoundTripsAwkwardPaths) {
  MoveRecord r = SampleRecord();
  MoveRecord back;
  ASSERT_TRUE(ParseMoveRecord(FormatMoveRecord(r), back));
  EXPECT_EQ(FormatMoveRecord(back), FormatMoveRecord(r));
  EXPECT_EQ(back.source, r.source);
  EXPECT_EQ(back.photoIdentity, r.photoIdentity);
  r.step = MoveStep::Placing;
  r.target = "/srv/out/a_2.jpg";
  r.overwrite = true;
  ASSERT_TRUE(ParseMoveRecord(FormatMoveRecord(r), back));
  EXPECT_EQ(back.step, MoveStep::Placing);
  EXPECT_TRUE(back.overwrite);
}

TEST(MoveRecordText, RefusesAnythingIncompleteOrMalformed) {
  const std::string good = FormatMoveRecord(SampleRecord());
  auto replaced = [&](const std::string& from, const std::string& to) {
    std::string text = good;
    text.replace(text.find(from), from.size(), to);
    return text;
  };
  const std::map<std::string, std::string> cases = {
      {"empty", ""},
      {"other header", replaced("brisko-move 1", "brisko-move 2")},
      {"cut before the end", good.substr(0, good.size() - 4)},
      {"last line unterminated", good.substr(0, good.size() - 1)},
      {"text after the end", good + "x\n"},
      {"missing key", replaced("overwrite=0\n", "")},
      {"duplicate key", replaced("overwrite=0\n", "overwrite=0\noverwrite=1\n")},
      {"unknown key", replaced("overwrite=0\n", "overwrite=0\ncolour=red\n")},
      {"line without =", replaced("overwrite=0\n", "overwrite\n")},
      {"unknown step", replaced("step=copying", "step=done")},
      {"bad escape", replaced("a=b\\\\c", "a=b\\qc")},
      {"escape at line end", replaced("d.jpg\nphoto", "d.jpg\\\nphoto")},
      {"relative source", replaced("source=/media", "source=media")},
      {"relative copy", replaced("copy=/var", "copy=var")},
      {"name with a folder", replaced("name=a.jpg", "name=../a.jpg")},
      {"name dot-dot", replaced("name=a.jpg", "name=..")},
      {"identity short", replaced(":-5", "")},
      {"identity not a number", replaced("2049:", "20x9:")},
      {"flag not 0 or 1", replaced("rename=1", "rename=yes")},
      {"placing without target", replaced("step=copying", "step=placing")},
      {"nul in a path", replaced("a.jpg\n", std::string("a\0.jpg\n", 7))},
      {"path too long", replaced("folder=/srv/out/", "folder=/" + std::string(5000, 'x'))},
      {"oversize", good + std::string(kMaxMoveRecordBytes, '\n')},
  };
  for (const auto& [what, text] : cases) {
    MoveRecord r;
    EXPECT_FALSE(ParseMoveRecord(text, r)) << what;
  }
}

class MoveRecoveryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    src = host.Dir() + "/in";
    dst = host.Dir() + "/out";
    temp = host.Dir() + "/temp";
    MakeFolder(src);
    MakeFolder(dst);
    MakeFolder(temp);
    action = NewAction();
  }
  void TearDown() override { MoveJournal::SetStepHookForTest(nullptr); }

  std::unique_ptr<Action> NewAction() {
    auto a = std::make_unique<Action>(host);
    a->m_strName = "T";
    a->m_strSourceFolder = src;
    a->m_strDestFolder = dst;
    a->m_bRunPending = 1;
    a->m_bAutoRotateJPG = rotate;
    a->m_bAddOrUpdateBriskoExif = tag;
    return a;
  }
  std::string Line(const std::string& text) { return action->GetDescription() + " " + text; }
  int RecoveredLines() const {
    int n = 0;
    for (const std::string& l : host.log) n += l.find(") Recovered file from ") != std::string::npos;
    return n;
  }
  // The photos at the destination. A copy across file systems killed midway leaves its hidden
  // temporary file there (never a photo; see README); those are only counted.
  std::vector<std::string> Arrived(int* leftovers = nullptr) {
    std::vector<std::string> files;
    for (const auto& e : fs::recursive_directory_iterator(dst)) {
      if (!e.is_regular_file()) continue;
      if (IsFileLayerTempName(e.path().filename().string())) {
        if (leftovers) ++*leftovers;
        continue;
      }
      files.push_back(e.path().string());
    }
    return files;
  }
  // Runs the current action in a child that dies (as with SIGKILL: no cleanup) at its
  // `stopAt`-th journaled step. True when it died there, false when the move finished first.
  bool RunAndDieAt(int stopAt) {
    pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
      int steps = 0;
      MoveJournal::SetStepHookForTest([&](const char*) {
        if (++steps == stopAt) _exit(3);
      });
      action->Run();
      _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status));
    return WIFEXITED(status) && WEXITSTATUS(status) == 3;
  }

  FakeHost host;
  std::string src, dst, temp;
  int rotate = 0, tag = 0;
  std::unique_ptr<Action> action;
};

TEST_F(MoveRecoveryTest, AMoveStoppedAfterAnyStepIsFinishedOnceByTheNextStation) {
  struct Row {
    int rotate, tag;
  };
  for (Row row : {Row{1, 0}, Row{0, 1}, Row{1, 1}}) {
    for (int stopAt = 1;; ++stopAt) {
      SCOPED_TRACE(testing::Message() << "rotate " << row.rotate << " tag " << row.tag << " stop " << stopAt);
      fs::remove_all(src);
      fs::remove_all(dst);
      fs::remove_all(temp);
      MakeFolder(dst);
      MakeFile(src + "/a.jpg", ReadFile(kSideways), 1'600'000'000);
      rotate = row.rotate;
      tag = row.tag;
      action = NewAction();
      host.log.clear();
      const bool died = RunAndDieAt(stopAt);
      const bool sourceGone = !Exists(src + "/a.jpg");

      action = NewAction();  // the next station
      action->RecoverInterruptedMoves();
      action->Run();
      const std::vector<std::string> arrived = Arrived();
      ASSERT_EQ(arrived.size(), 1u) << "lost or doubled";
      EXPECT_FALSE(Exists(src + "/a.jpg"));
      EXPECT_EQ(CountFiles(temp), 0) << "stranded in the temp folder";
      bool landscape = false;
      ASSERT_TRUE(IsJpegLandscape(arrived[0], landscape)) << "broken";
      if (row.tag) {
        std::string comment;
        EXPECT_TRUE(ReadExifUserComment(arrived[0], comment) && comment.rfind("BriskoExif:", 0) == 0);
      }
      if (died && sourceGone) {
        EXPECT_EQ(RecoveredLines(), 1);
        EXPECT_TRUE(host.HasLogLine(Line("Recovered file from " + src + "/a.jpg to " + arrived[0])));
      } else {
        EXPECT_EQ(RecoveredLines(), 0);
      }
      if (!died) {
        EXPECT_GE(stopAt, row.rotate && row.tag ? 9 : 6) << "every step was tried";
        break;
      }
    }
  }
}

TEST_F(MoveRecoveryTest, RecordsThatCannotBeCompletedAreLoggedAndTouchNothingOutsideTheTempFolder) {
  const std::string outside = host.Dir() + "/outside.jpg";
  MakeFile(outside, "not ours");
  MoveRecord r;
  r.action = "T";
  r.source = src + "/gone.jpg";
  r.photo = r.source;
  r.copy = temp + "/gone.jpg";  // never made
  r.folder = dst + "/";
  r.name = "gone.jpg";
  std::string evilPath;
  {
    MoveJournal lost(temp);
    ASSERT_TRUE(lost.Write(r));
    r.source = src + "/evil.jpg";
    r.photo = r.source;
    r.copy = outside;
    MoveJournal evil(temp);
    ASSERT_TRUE(evil.Write(r));
    evilPath = evil.Path();
  }  // as after a crash: the records stay, nobody works on them

  action->RecoverInterruptedMoves();
  EXPECT_TRUE(host.HasLogLine(
      Line("FAILED: Recover file from " + src + "/gone.jpg: copy " + temp + "/gone.jpg missing or damaged")));
  EXPECT_EQ(ReadFile(outside), "not ours");
  EXPECT_TRUE(Exists(evilPath)) << "kept for the operator";
  MoveRecovery any;
  any.anyOwner = true;
  std::vector<std::string> lines;
  any.log = [&](const std::string& text) { lines.push_back(text); };
  RecoverMoves(temp, any);
  RecoverMoves(temp, any);
  EXPECT_EQ(lines, std::vector<std::string>{"FAILED: Unreadable move record " + evilPath}) << "once";
  EXPECT_EQ(ReadFile(outside), "not ours");
  EXPECT_EQ(CountFiles(dst), 0);
}

TEST_F(MoveRecoveryTest, ANewFileUnderTheSourceNameIsNotMistakenForThePhoto) {
  // The photo left for the temp folder; a new card brought a different file of the same name.
  MakeFile(temp + "/a.jpg", ReadFile(kSideways));
  MakeFile(src + "/a.jpg", "\xFF\xD8 new card");
  MoveRecord r;
  r.action = "T";
  r.source = src + "/a.jpg";
  r.photo = r.source;
  r.photoIdentity = {1, 2, 3, 4};  // what the old file was
  r.copy = temp + "/a.jpg";
  r.folder = dst + "/";
  r.name = "a.jpg";
  {
    MoveJournal journal(temp);
    ASSERT_TRUE(journal.Write(r));
  }
  action->Run();
  EXPECT_EQ(ReadFile(dst + "/a.jpg"), ReadFile(kSideways));
  EXPECT_EQ(ReadFile(dst + "/a_2.jpg"), "\xFF\xD8 new card");
  EXPECT_EQ(CountFiles(temp), 0);
}

TEST_F(MoveRecoveryTest, StartClearsHalfWrittenTemporaryFilesOnly) {
  for (const char* name : {".a.jpg.brisko-Ab12Cd", ".brisko-77-3.tmp", "ExifRotatorTemp_1700000000.jpg_temp"})
    MakeFile(temp + "/" + name, "half");
  MakeFile(temp + "/kept.jpg", "photo");
  SweepTempLeftovers(temp);  // a station sharing the folder may be writing them right now
  EXPECT_EQ(CountFiles(temp), 4);
  SweepTempLeftovers(temp, 0);
  EXPECT_EQ(CountFiles(temp), 1);
  EXPECT_TRUE(Exists(temp + "/kept.jpg"));
}

// Kills a station running moves with rotation and tagging again and again at random moments;
// afterwards every photo is at the destination exactly once, whole, and nothing is left over.
// BRISKO_SOAK_PHOTOS and BRISKO_SOAK_KILLS make it longer.
TEST_F(MoveRecoveryTest, RepeatedKillsLoseBreakStrandAndDoubleNothing) {
  const int photos = std::getenv("BRISKO_SOAK_PHOTOS") ? std::atoi(std::getenv("BRISKO_SOAK_PHOTOS")) : 24;
  const int kills = std::getenv("BRISKO_SOAK_KILLS") ? std::atoi(std::getenv("BRISKO_SOAK_KILLS")) : 12;
  SmallTmpfs other(host.Dir() + "/other", "256m");
  if (other.Ok()) dst = host.Dir() + "/other";  // the destination on another file system
  const std::string data = ReadFile(kSideways);
  for (int i = 0; i < photos; ++i) MakeFile(src + "/p" + std::to_string(i) + ".jpg", data, 1'600'000'000);
  rotate = tag = 1;
  std::mt19937 random(20261207);
  int killed = 0;
  for (int k = 0; k < kills; ++k) {
    pid_t pid = fork();
    if (pid == 0) {
      auto station = NewAction();
      station->RecoverInterruptedMoves();
      while (CountFiles(src) > 0) station->Run();
      _exit(0);
    }
    ASSERT_GT(pid, 0);
    usleep(std::uniform_int_distribution<useconds_t>(1000, 60000)(random));
    killed += kill(pid, SIGKILL) == 0;
    waitpid(pid, nullptr, 0);
  }
  SweepTempLeftovers(temp, 0);
  action = NewAction();
  action->RecoverInterruptedMoves();
  for (int pass = 0; pass < 3 && CountFiles(src) > 0; ++pass) action->Run();

  std::set<std::string> names;
  int leftovers = 0;
  for (const std::string& path : Arrived(&leftovers)) {
    names.insert(fs::path(path).filename().string());  // a second copy would be "p<n>_2.jpg"
    bool landscape = false;
    std::string comment;
    EXPECT_TRUE(IsJpegLandscape(path, landscape) && landscape) << "broken or not turned " << path;
    EXPECT_TRUE(ReadExifUserComment(path, comment) && comment.rfind("BriskoExif:", 0) == 0) << path;
  }
  std::set<std::string> expected;
  for (int i = 0; i < photos; ++i) expected.insert("p" + std::to_string(i) + ".jpg");
  EXPECT_EQ(names, expected) << "lost or doubled";
  EXPECT_EQ(static_cast<int>(Arrived().size()), photos);
  EXPECT_EQ(CountFiles(src), 0);
  EXPECT_EQ(CountFiles(temp), 0) << "stranded";
  RecordProperty("kills", killed);
  RecordProperty("hidden_leftovers_at_destination", leftovers);
}

}  // namespace
}  // namespace brisko
