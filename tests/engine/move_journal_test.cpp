// Move records and the completion of moves that a crash cut short: a child process runs the move
// and dies at a chosen step; a fresh action then finishes it.
#include "engine/records/move_journal.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>

#include "engine/action/action.h"
#include "engine/engine_test_util.h"
#include "engine/fake_host.h"
#include "engine/in_out_test.h"
#include "engine/kill_harness.h"
#include "engine/records/recovery.h"
#include "engine/records/tag_batch.h"
#include "imagemeta/auto_rotate.h"
#include "imagemeta/jpeg_exif_file.h"
#include "support/file_ops.h"
#include "support/safe_output.h"

namespace brisko {
namespace {

using namespace brisko::test;

void AppendFile(const std::string& path, const std::string& data) {
  WriteFile(path, ReadFile(path) + data);
}
namespace fs = std::filesystem;

const std::string kSideways = std::string(BRISKO_TEST_DATA) + "/jpeg/recurser/Landscape_6.jpg";

// `text` with the first `from` in it replaced by `to`.
std::string Replaced(std::string text, const std::string& from, const std::string& to) {
  text.replace(text.find(from), from.size(), to);
  return text;
}

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

TEST(MoveRecordText, RoundTripsAndRefusesAnythingIncompleteOrMalformed) {
  MoveRecord r = SampleRecord();
  MoveRecord back;
  // The text names every field, so the same text read back means the same record.
  ASSERT_TRUE(ParseMoveRecord(FormatMoveRecord(r), back));
  EXPECT_EQ(FormatMoveRecord(back), FormatMoveRecord(r));
  r.step = MoveStep::Placing;
  r.target = "/srv/out/a_2.jpg";
  r.overwrite = true;
  ASSERT_TRUE(ParseMoveRecord(FormatMoveRecord(r), back));
  EXPECT_EQ(FormatMoveRecord(back), FormatMoveRecord(r));

  const std::string good = FormatMoveRecord(SampleRecord());
  const std::map<std::string, std::string> cases = {
      {"empty", ""},
      {"other header", Replaced(good, "brisko-move 1", "brisko-move 2")},
      {"cut before the end", good.substr(0, good.size() - 4)},
      {"last line unterminated", good.substr(0, good.size() - 1)},
      {"text after the end", good + "x\n"},
      {"missing key", Replaced(good, "overwrite=0\n", "")},
      {"duplicate key", Replaced(good, "overwrite=0\n", "overwrite=0\noverwrite=1\n")},
      {"unknown key", Replaced(good, "overwrite=0\n", "overwrite=0\ncolour=red\n")},
      {"line without =", Replaced(good, "overwrite=0\n", "overwrite\n")},
      {"unknown step", Replaced(good, "step=copying", "step=done")},
      {"bad escape", Replaced(good, "a=b\\\\c", "a=b\\qc")},
      {"escape at line end", Replaced(good, "d.jpg\nphoto", "d.jpg\\\nphoto")},
      {"relative source", Replaced(good, "source=/media", "source=media")},
      {"relative copy", Replaced(good, "copy=/var", "copy=var")},
      {"name with a folder", Replaced(good, "name=a.jpg", "name=../a.jpg")},
      {"name dot-dot", Replaced(good, "name=a.jpg", "name=..")},
      {"identity short", Replaced(good, ":-5", "")},
      {"identity not a number", Replaced(good, "2049:", "20x9:")},
      {"flag not 0 or 1", Replaced(good, "rename=1", "rename=yes")},
      {"placing without target", Replaced(good, "step=copying", "step=placing")},
      {"nul in a path", Replaced(good, "a.jpg\n", std::string("a\0.jpg\n", 7))},
      {"path too long", Replaced(good, "folder=/srv/out/", "folder=/" + std::string(5000, 'x'))},
      {"oversize", good + std::string(kMaxMoveRecordBytes, '\n')},
  };
  for (const auto& [what, text] : cases) EXPECT_FALSE(ParseMoveRecord(text, back)) << what;
}

MoveBatchRecord SampleBatch() {
  MoveBatchRecord r;
  r.action = "Card\nA";
  r.overwrite = true;
  r.entries.push_back({"/media/card/a=b\\c.jpg",
                       {1, 2, 3, -4},
                       "/srv/out/a.jpg",
                       {5, 6, 3, -4},
                       "/srv/out/.brisko-77-1.tmp"});
  r.entries.push_back(
      {"/media/card/b.jpg", {1, 9, 7, 8}, "/srv/out/x/b.jpg", {5, 10, 7, 8}, "/srv/out/x/.brisko-77-2.tmp"});
  // A checked copy names its hash; the other, as records of earlier versions, none.
  ContentHash::Parse("06b05ab6733a618578af5f94892f3950", r.entries[0].hash);
  return r;
}

TEST(MoveBatchRecordText, RoundTripsAndRefusesAnythingIncompleteMalformedOrUnsafe) {
  const std::string good = FormatMoveBatchRecord(SampleBatch());
  MoveBatchRecord back;
  ASSERT_TRUE(ParseMoveBatchRecord(good, back));
  EXPECT_EQ(FormatMoveBatchRecord(back), good);
  // The card a source was on goes with its identity; records without one still read.
  MoveBatchRecord onCard = SampleBatch();
  onCard.entries[0].sourceIdentity.volume = 0xFEDCBA9876543211ull;
  ASSERT_TRUE(ParseMoveBatchRecord(FormatMoveBatchRecord(onCard), back));
  EXPECT_EQ(back.entries[0].sourceIdentity, onCard.entries[0].sourceIdentity);
  EXPECT_EQ(back.entries[1].sourceIdentity.volume, 0u);
  EXPECT_EQ(back.entries[0].hash.Text(), "06b05ab6733a618578af5f94892f3950");
  EXPECT_FALSE(back.entries[1].hash.set);
  const std::string hashLine = "hash=06b05ab6733a618578af5f94892f3950\n";
  const std::string firstEntry =
      good.substr(good.find("source="), good.find("source=/media/card/b") - good.find("source="));
  const std::map<std::string, std::string> cases = {
      {"single-move header", Replaced(good, "brisko-move-batch 1", "brisko-move 1")},
      {"no entries", Replaced(good, good.substr(good.find("source=")), "end\n")},
      {"entry cut short", Replaced(good, "temp=/srv/out/x/.brisko-77-2.tmp\n", "")},
      {"keys out of order", Replaced(good, firstEntry, "identity=1:2:3:-4\n" + firstEntry)},
      {"relative source", Replaced(good, "source=/media/card/b", "source=media/card/b")},
      {"target is the source", Replaced(good, "target=/srv/out/a.jpg", "target=/media/card/a=b\\\\c.jpg")},
      {"temp not a hidden copy", Replaced(good, "/srv/out/.brisko-77-1.tmp", "/srv/out/a.jpg")},
      {"temp in another folder", Replaced(good, "/srv/out/.brisko-77-1.tmp", "/etc/.brisko-77-1.tmp")},
      {"identity not a number", Replaced(good, "1:9:7:8", "1:9:seven:8")},
      {"volume not a number", Replaced(good, "1:9:7:8", "1:9:7:8:card")},
      {"volume empty", Replaced(good, "1:9:7:8", "1:9:7:8:")},
      {"volume zero", Replaced(good, "1:9:7:8", "1:9:7:8:0")},
      {"more after the volume", Replaced(good, "1:9:7:8", "1:9:7:8:5:6")},
      {"hash not hex", Replaced(good, "f3950\n", "f395g\n")},
      {"hash short", Replaced(good, "f3950\n", "f395\n")},
      {"hash in capitals",
       Replaced(good, "06b05ab6733a618578af5f94892f3950", "06B05AB6733A618578AF5F94892F3950")},
      {"hash twice", Replaced(good, hashLine, hashLine + hashLine)},
      {"hash before its entry's end",
       Replaced(Replaced(good, hashLine, ""), "temp=/srv/out/.brisko", hashLine + "temp=/srv/out/.brisko")},
      {"hash after the action", Replaced(good, "overwrite=1\n", "overwrite=1\n" + hashLine)},
      {"text after the end", good + "end\n"},
      {"last line unterminated", good.substr(0, good.size() - 1)},
      {"oversize", good + std::string(kMaxMoveBatchRecordBytes, '\n')},
  };
  for (const auto& [what, text] : cases) {
    MoveBatchRecord r;
    EXPECT_FALSE(ParseMoveBatchRecord(text, r)) << what;
  }
}

class MoveRecoveryTest : public InOutTest {
 protected:
  void SetUp() override {
    InOutTest::SetUp();
    temp = host.Dir() + "/temp";
    MakeFolder(temp);
    action = NewAction();
  }
  void TearDown() override { MoveJournal::SetStepHookForTest(nullptr); }

  std::unique_ptr<Action> NewAction() {
    auto a = InOutAction();
    a->m_bAutoRotateJPG = rotate;
    a->m_bAddOrUpdateBriskoExif = tag;
    a->m_iType = type;
    return a;
  }
  // The next actions rotate and tag as asked; `action` is one of them.
  void Use(int rotating, int tagging) {
    rotate = rotating;
    tag = tagging;
    action = NewAction();
  }
  int RecoveredLines() const { return host.LogLinesWith(") Recovered file from "); }
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
  // Exactly `names` (sorted) arrived, each once and with no hidden copy beside them, and nothing
  // is left at the source or in the temp folder.
  void ExpectArrivedOnce(const std::vector<std::string>& names) {
    int leftovers = 0;
    std::vector<std::string> arrived;
    for (const std::string& path : Arrived(&leftovers)) arrived.push_back(fs::path(path).filename().string());
    std::sort(arrived.begin(), arrived.end());
    EXPECT_EQ(arrived, names) << "lost or doubled";
    EXPECT_EQ(leftovers, 0);
    EXPECT_EQ(CountFiles(src), 0);
    EXPECT_EQ(CountFiles(temp), 0);
  }

  // The destination on another file system: a small tmpfs, else a folder in /dev/shm.
  void DestinationElsewhere(const char* size = "64m") {
    other.reset();  // before the next mount at the same place
    other = std::make_unique<SmallTmpfs>(host.Dir() + "/other", size);
    if (!other->Ok()) shm = std::make_unique<TempDir>("/dev/shm");
    dst = other->Ok() ? host.Dir() + "/other" : shm->Path();
    action = NewAction();
  }
  // A batch record as a station leaves it when it dies after placing its copies.
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
  // A record as a station leaves it when it dies: written, then let go.
  template <typename Record>
  void Leave(const Record& record) {
    MoveJournal journal(temp);
    ASSERT_TRUE(journal.Write(record));
  }
  void LeaveBatch(std::vector<MoveBatchRecord::Entry> entries) {
    Leave(MoveBatchRecord{"T", false, std::move(entries), false});
  }
  // Empty source, destination and temp folders and log for the next row.
  void NextRow() {
    fs::remove_all(src);
    EmptyFolder(temp);
    std::error_code ec;  // a destination elsewhere may be gone with its mount
    for (const auto& e : fs::directory_iterator(dst, ec)) fs::remove_all(e.path());
    host.log.clear();
  }
  // A record of a photo copied into the temp folder on its way to the destination.
  MoveRecord TempCopyRecord(const std::string& name) {
    MoveRecord r;
    r.action = "T";
    r.source = src + "/" + name;
    r.photo = r.source;
    r.copy = temp + "/" + name;
    r.folder = dst + "/";
    r.name = name;
    return r;
  }

  std::string temp;
  int rotate = 0, tag = 0;
  int32_t type = kMoveFiles;
  std::unique_ptr<SmallTmpfs> other;
  std::unique_ptr<TempDir> shm;
};

TEST_F(MoveRecoveryTest, AMoveStoppedAfterAnyStepIsFinishedOnceByTheNextStation) {
  struct Row {
    int rotate, tag;
  };
  for (Row row : {Row{1, 0}, Row{0, 1}, Row{1, 1}}) {
    SCOPED_TRACE(testing::Message() << "rotate " << row.rotate << " tag " << row.tag);
    const int steps = KillAtEveryStep(
        [&] {
          NextRow();
          MakeFile(src + "/a.jpg", ReadFile(kSideways), 1'600'000'000);
          Use(row.rotate, row.tag);
        },
        [&] { action->Run(); },
        [&](const KillPoint& died) {
          const bool sourceGone = !Exists(src + "/a.jpg");
          action = NewAction();  // the next station
          action->MakeRun().RecoverInterruptedMoves();
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
          } else if (row.rotate) {
            // (Tagging alone goes by batch, whose record also finishes a move killed after placing.)
            EXPECT_EQ(RecoveredLines(), 0);
          }
        });
    EXPECT_GE(steps, row.rotate && row.tag ? 8 : row.rotate ? 5 : 4) << "every step was tried";
  }
}

TEST_F(MoveRecoveryTest, RecordsThatCannotBeCompletedAreLoggedAndTouchNothingOutsideTheTempFolder) {
  const std::string outside = host.Dir() + "/outside.jpg";
  MakeFile(outside, "not ours");
  MoveRecord r = TempCopyRecord("gone.jpg");  // its copy never made
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

  action->MakeRun().RecoverInterruptedMoves();
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

TEST_F(MoveRecoveryTest, MovesAcrossFileSystemsArriveOnceEachInBatchesAndLeaveNoRecord) {
  DestinationElsewhere();
  const int files = 70;  // more than one batch
  for (int i = 0; i < files; ++i)
    MakeFile(src + "/p" + std::to_string(i) + ".jpg", std::to_string(i), 1'600'000'000);
  const std::string big(300000, 'p');  // a photo of a real size arrives whole
  MakeFile(src + "/p0.jpg", big, 1'600'000'000);
  MakeFile(dst + "/p1.jpg", "there before");
  // A time before 1970 with a fraction (a camera with a lost clock) is still the time it was read with.
  const struct timespec early[2] = {{-100, 500'000'000}, {-100, 500'000'000}};
  ::utimensat(AT_FDCWD, (src + "/p2.jpg").c_str(), early, 0);
  action->Run();
  EXPECT_EQ(CountFiles(src), 0);
  EXPECT_EQ(CountFiles(dst), files + 1) << "no hidden copies left";
  EXPECT_EQ(CountFiles(temp), 0) << "no batch record left";
  EXPECT_EQ(ReadFile(dst + "/p1.jpg"), "there before");
  EXPECT_EQ(ReadFile(dst + "/p1_2.jpg"), "1");
  EXPECT_TRUE(host.HasLogLine(Line("Moved file from " + src + "/p1.jpg to " + dst + "/p1_2.jpg")));
  EXPECT_EQ(ReadFile(dst + "/p0.jpg"), big);
  EXPECT_EQ(ModTime(dst + "/p69.jpg"), 1'600'000'000);
  EXPECT_EQ(host.LogLinesWith(") Moved file from "), files);
}

// One file of a batch fails; the others arrive, and the failed one stays where it was, once.
TEST_F(MoveRecoveryTest, AFileThatFailsInABatchStaysAtItsSourceAndTheOthersArrive) {
  struct Row {
    const char* what;
    FileStep step;  // when this step comes for b ...
    int err;        // ... it fails with this (0: only `act` runs)
    bool bIsBig;    // b does not fit the 1 MB destination
    std::function<void()> act;
    std::string bArrivesAs;  // "" when b stays
  };
  const Row rows[] = {
      {"disk full", FileStep::Write, 0, true, nullptr, ""},
      {"source written to after its copy", FileStep::DeleteSource, 0, false,
       [this] { AppendFile(src + "/b.jpg", "more"); }, ""},
      {"source cannot be deleted", FileStep::DeleteSource, EACCES, false, nullptr, ""},
      {"name taken just before the rename", FileStep::Place, 0, false,
       [this] { WriteFile(dst + "/b.jpg", "other"); }, "b (2).jpg"},
      // Its copy is then the only one left.
      {"source gone before its delete", FileStep::DeleteSource, 0, false,
       [this] { fs::remove(src + "/b.jpg"); }, "b.jpg"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    NextRow();
    DestinationElsewhere("1m");
    MakeFile(src + "/a.jpg", "a", 1'600'000'000);
    MakeFile(src + "/b.jpg", row.bIsBig ? std::string(2 << 20, 'b') : "b", 1'600'000'000);
    MakeFile(src + "/c.jpg", "c", 1'600'000'000);
    if (row.bIsBig && !other->Ok()) continue;  // no small file system to fill
    const std::string bBefore = ReadFile(src + "/b.jpg");
    // The files are taken in name order; the hook knows only the step, so b is its second.
    const int bAt = 2;
    int seen = 0;
    SetFileFaultHook([&](FileStep step) {
      if (step != row.step || ++seen != bAt) return 0;
      if (row.act) row.act();
      return row.err;
    });
    action->Run();
    SetFileFaultHook(nullptr);
    EXPECT_EQ(ReadFile(dst + "/a.jpg"), "a");
    EXPECT_EQ(ReadFile(dst + "/c.jpg"), "c");
    EXPECT_FALSE(Exists(src + "/a.jpg"));
    if (row.bArrivesAs.empty()) {
      EXPECT_TRUE(Exists(src + "/b.jpg"));
      if (!row.act) {
        EXPECT_EQ(ReadFile(src + "/b.jpg"), bBefore);
      }
      EXPECT_EQ(CountFiles(dst), 2) << "no copy of b, whole or partial";
      EXPECT_TRUE(host.HasLogLine(
          Line("Failed (CopyOrMoveFilesUsingShell): Move file from " + src + "/b.jpg to " + dst + "/b.jpg")));
    } else {
      EXPECT_FALSE(Exists(src + "/b.jpg"));
      EXPECT_EQ(ReadFile(dst + "/b.jpg"), row.bArrivesAs == "b.jpg" ? "b" : "other");
      EXPECT_EQ(ReadFile(dst + "/" + row.bArrivesAs), "b");
      EXPECT_TRUE(
          host.HasLogLine(Line("Moved file from " + src + "/b.jpg to " + dst + "/" + row.bArrivesAs)));
    }
    EXPECT_EQ(CountFiles(temp), 0);
  }
}

// A station dies in the middle of a batch; the next one leaves every photo at the destination
// exactly once, and nothing at the source, in the temp folder or hidden at the destination.
TEST_F(MoveRecoveryTest, ABatchCutShortIsFinishedWithoutDoublingAnything) {
  struct Row {
    const char* step;  // the station dies there ...
    int nth;           // ... the nth time
    int recovered;     // files the next station reports as recovered
  };
  const Row rows[] = {
      {"batch recorded", 1, 0},   // nothing placed
      {"file place", 2, 1},       // between two renames
      {"batch placed", 1, 3},     // no source removed
      {"sources removed", 1, 3},  // the record left
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.step);
    NextRow();
    DestinationElsewhere();
    for (const char* name : {"a.jpg", "b.jpg", "c.jpg"}) MakeFile(src + "/" + name, name, 1'600'000'000);
    ASSERT_TRUE(test::RunAndDieAt(
        row.step, [this] { action->Run(); }, row.nth));

    action = NewAction();  // the next station
    action->MakeRun().RecoverInterruptedMoves();
    EXPECT_EQ(RecoveredLines(), row.recovered);
    action->Run();
    ExpectArrivedOnce({"a.jpg", "b.jpg", "c.jpg"});
    for (const char* name : {"a.jpg", "b.jpg", "c.jpg"}) EXPECT_EQ(ReadFile(dst + "/" + name), name);
  }
}

// What a batch record finds decides; a source goes only when its bytes are in place elsewhere.
// Its last check comes right before the delete: a card photo changed while recovery compared its
// bytes (`meanwhile`) is a new version and stays; one gone by then leaves its copy, the only one.
TEST_F(MoveRecoveryTest, ABatchRecordRemovesASourceOnlyWhenItsCopyIsInPlace) {
  struct Row {
    const char* what;
    std::function<void(MoveBatchRecord::Entry&)> after;
    std::string arrivedAs;  // "" when the source must stay
    std::function<void()> meanwhile;
  };
  const Row rows[] = {
      {"copy in place", nullptr, "a.jpg", {}},
      {"copy in place under a collision name",
       [this](MoveBatchRecord::Entry&) {
         fs::rename(dst + "/a.jpg", dst + "/a (2).jpg");
         WriteFile(dst + "/a.jpg", "someone else's");
       },
       "a (2).jpg",
       {}},
      {"copy never placed", [this](MoveBatchRecord::Entry&) { fs::remove(dst + "/a.jpg"); }, "", {}},
      {"other bytes under the target, same size and time",
       [this](MoveBatchRecord::Entry&) {
         WriteFile(dst + "/a.jpg", "photo-B");
         SetModTime(dst + "/a.jpg", 1'600'000'000);
       },
       "",
       {}},
      {"source written to since",
       [this](MoveBatchRecord::Entry&) { AppendFile(src + "/a.jpg", "!"); },
       "",
       {}},
      {"target is the source itself",
       [this](MoveBatchRecord::Entry& e) {
         fs::remove(dst + "/a.jpg");
         e.target = src + "/./a.jpg";
         e.temp = src + "/./.brisko-1-1.tmp";
       },
       "",
       {}},
      {"written to while compared", nullptr, "", [this] { AppendFile(src + "/a.jpg", "!"); }},
      {"saved over with the same size and time while compared", nullptr, "",
       [this] {
         MakeFile(src + "/new.jpg", "photo-a", 1'600'000'000);
         fs::rename(src + "/new.jpg", src + "/a.jpg");
       }},
      {"touched while compared", nullptr, "", [this] { SetModTime(src + "/a.jpg", 1'600'000'100); }},
      {"taken away while compared", nullptr, "a.jpg", [this] { fs::remove(src + "/a.jpg"); }},
      // A station killed between setting the source aside and deleting it.
      {"set aside",
       [this](MoveBatchRecord::Entry&) { fs::rename(src + "/a.jpg", SetAsideName(src + "/a.jpg")); },
       "a.jpg",
       {}},
      {"set aside, a new version under its name",
       [this](MoveBatchRecord::Entry&) {
         MakeFile(src + "/a.jpg", "new version", 1'600'000'500);
         fs::rename(src + "/a.jpg", SetAsideName(src + "/a.jpg"));
       },
       "",
       {}},
  };
  DestinationElsewhere();
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    NextRow();
    MoveBatchRecord::Entry a = Placed("a.jpg", "photo-A");
    if (row.after) row.after(a);
    LeaveBatch({a});
    MoveJournal::SetStepHookForTest([&](const char* step) {
      if (row.meanwhile && std::string(step) == "batch entry compared") row.meanwhile();
    });
    action->MakeRun().RecoverInterruptedMoves();
    MoveJournal::SetStepHookForTest(nullptr);
    EXPECT_EQ(CountFiles(temp), 0);
    EXPECT_FALSE(Exists(SetAsideName(src + "/a.jpg")));
    if (row.arrivedAs.empty()) {
      EXPECT_TRUE(Exists(src + "/a.jpg"));
      EXPECT_EQ(RecoveredLines(), 0);
    } else {
      EXPECT_FALSE(Exists(src + "/a.jpg"));
      EXPECT_EQ(ReadFile(dst + "/" + row.arrivedAs), "photo-A");
      EXPECT_EQ(RecoveredLines(), 1);
      EXPECT_TRUE(
          host.HasLogLine(Line("Recovered file from " + src + "/a.jpg to " + dst + "/" + row.arrivedAs)));
    }
    if (!row.meanwhile) continue;
    EXPECT_EQ(ReadFile(dst + "/a.jpg"), "photo-A") << "the placed copy stays";
    if (row.arrivedAs.empty()) {
      EXPECT_TRUE(host.HasLogLine(
          Line("Left file " + src + "/a.jpg: changed since its copy " + dst + "/a.jpg was made")));
    }
  }
}

// A card taken out while recovery removes a photo from it proves nothing about the photo: the
// record waits for the card with the copy held back from other actions, and the photo leaves the
// card once it is back, arriving once.
TEST_F(MoveRecoveryTest, ACardTakenOutDuringARecoveredRemovalWaitsForTheCard) {
  DestinationElsewhere();
  LeaveBatch({Placed("a.jpg", "photo-A")});
  SetSetAsideHookForTest([this](const std::string&) { fs::rename(src, src + ".out"); });
  action->MakeRun().RecoverInterruptedMoves();
  SetSetAsideHookForTest(nullptr);
  EXPECT_EQ(RecoveredLines(), 0);
  EXPECT_TRUE(HeldForWaitingMove(dst + "/a.jpg")) << "a downstream action would move it on";
  fs::rename(src + ".out", src);
  action->MakeRun().RecoverInterruptedMoves();
  EXPECT_EQ(RecoveredLines(), 1);
  ExpectArrivedOnce({"a.jpg"});
  EXPECT_EQ(ReadFile(dst + "/a.jpg"), "photo-A");
  EXPECT_FALSE(HeldForWaitingMove(dst + "/a.jpg"));
}

// Two stations share the temp folder. While station A (a child process, paused
// at each step of its move in turn) holds its move record, station B's recovery, for any owner
// or for an action of the same name, leaves everything as it is; A then finishes, and every
// photo arrives exactly once.
TEST_F(MoveRecoveryTest, ARecordOfALiveStationIsNotTakenByAnotherStationSharingTheTempFolder) {
  struct Row {
    int rotate, tag;
    const char* pauseAt;
  };
  const Row rows[] = {
      {0, 0, "batch recorded"},     {0, 0, "batch placed"},
      {1, 0, "copy recorded"},      {1, 0, "source removed"},
      {0, 1, "tag batch recorded"}, {0, 1, "tag batch placed"},
      {1, 1, "placing recorded"},   {1, 1, "placed"},
  };
  auto snapshot = [this] {
    std::map<std::string, std::string> files;
    for (const std::string& folder : {src, dst, temp}) {
      for (const auto& e : fs::recursive_directory_iterator(folder)) {
        if (e.is_regular_file()) files[e.path().string()] = ReadFile(e.path().string());
      }
    }
    return files;
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << "rotate " << row.rotate << " tag " << row.tag << " at "
                                    << row.pauseAt);
    NextRow();
    DestinationElsewhere();
    const std::string data = ReadFile(kSideways);
    for (const char* name : {"a.jpg", "b.jpg", "c.jpg"}) MakeFile(src + "/" + name, data, 1'600'000'000);
    Use(row.rotate, row.tag);
    PausedChild stationA(row.pauseAt, [this] { action->Run(); });
    if (!stationA.Paused()) {
      ADD_FAILURE() << "station A never reached the step";
      continue;
    }
    const auto before = snapshot();
    // Station B: another store (its orphans pass) and one with an action of the same name.
    MoveRecovery any;
    any.anyOwner = true;
    std::vector<std::string> lines;
    any.log = [&](const std::string& text) { lines.push_back(text); };
    EXPECT_EQ(RecoverMoves(temp, any), 0);
    NewAction()->MakeRun().RecoverInterruptedMoves();
    EXPECT_EQ(snapshot(), before) << "station B touched station A's move";
    EXPECT_EQ(lines, std::vector<std::string>{});
    EXPECT_EQ(RecoveredLines(), 0);
    EXPECT_TRUE(stationA.Resume());

    ExpectArrivedOnce({"a.jpg", "b.jpg", "c.jpg"});
  }
}

// The ways a card goes out and comes back: its folder goes with it (the desktop removes the
// mount point), or its mount point stays behind, empty, on another file system.
struct CardWay {
  const char* what;
  bool mountPoint;
};
const CardWay kCardWays[] = {{"folder gone", false}, {"empty mount point left", true}};

// The card: the source folder, a mount of a file system of its own where `mountPoint`.
class Card {
 public:
  Card(const std::string& src, const std::string& scratch, bool mountPoint)
      : m_src(src), m_away(scratch + "/card-away"), m_fsPath(scratch + "/cardfs"), m_mountPoint(mountPoint) {
    fs::remove_all(m_away);
    EmptyFolder(src);
    if (!mountPoint) {
      m_ok = true;
      return;
    }
    m_fs = std::make_unique<SmallTmpfs>(m_fsPath, "8m");
    m_ok = m_fs->Ok() && ::mount(m_fsPath.c_str(), src.c_str(), nullptr, MS_BIND, nullptr) == 0;
  }
  ~Card() {
    if (m_mountPoint && m_ok && m_in) ::umount2(m_src.c_str(), MNT_DETACH);
  }
  bool Ok() const { return m_ok; }
  void Out() {
    m_in = false;
    if (m_mountPoint) {
      ::umount2(m_src.c_str(), MNT_DETACH);
    } else {
      fs::rename(m_src, m_away);
    }
  }
  void In() {
    m_in = true;
    if (m_mountPoint) {
      ::mount(m_fsPath.c_str(), m_src.c_str(), nullptr, MS_BIND, nullptr);
    } else {
      fs::rename(m_away, m_src);
    }
  }

 private:
  std::string m_src, m_away, m_fsPath;
  bool m_mountPoint;
  bool m_ok = false;
  bool m_in = true;
  std::unique_ptr<SmallTmpfs> m_fs;
};

// A station restarted without the card finds a move cut short between making its copies and
// removing the card's files: a batch with its copies placed, or a single photo whose rotated or
// tagged copy waits in the temp folder. The missing card proves nothing: the record stays and the
// copies are held back from other actions; once the card is back a later pass finishes the move,
// each photo arriving once.
TEST_F(MoveRecoveryTest, AMoveWhoseCardIsOutWaitsForTheCardAndArrivesOnceWhenItIsBack) {
  struct Row {
    int rotate, tag;  // neither: a batch across file systems
  };
  int cases = 0;
  for (const CardWay& way : kCardWays) {
    for (Row row : {Row{0, 0}, Row{0, 1}, Row{1, 0}, Row{1, 1}}) {
      const bool batch = !row.rotate && !row.tag;
      SCOPED_TRACE(testing::Message() << way.what << " rotate " << row.rotate << " tag " << row.tag);
      dst = host.Dir() + "/out";
      NextRow();
      if (batch) DestinationElsewhere();
      Card card(src, host.Dir(), way.mountPoint);
      if (!card.Ok()) continue;  // no mounts here
      Use(row.rotate, row.tag);
      std::vector<std::string> photos = {"a.jpg"};
      if (batch) {
        LeaveBatch({Placed("a.jpg", "photo-A"), Placed("b.jpg", "photo-B")});
        photos.push_back("b.jpg");
      } else {
        MakeFile(src + "/a.jpg", ReadFile(kSideways), 1'600'000'000);
        // Dies once a copy of the card's photo is complete and before the photo is removed.
        const KillPoint died = RunAndDieWhere(
            [](const std::string& step, int) { return step == "copy made" || step == "file delete source"; },
            [this] { action->Run(); }, true);
        // A rename within one file system has no such moment; a tag step after the rotation
        // finds the photo in the temp folder already.
        if (!died || !Exists(src + "/a.jpg")) continue;
        ++cases;
      }
      card.Out();
      action = NewAction();  // the next station, started without the card
      action->MakeRun().RecoverInterruptedMoves();
      action->Run();  // and a later pass, the card still out
      // Another action takes the destination's photos on, but not a copy whose move waits.
      const std::string next = host.Dir() + "/next";
      EmptyFolder(next);
      Action sort(host);
      sort.m_strName = "Sort";
      sort.m_strSourceFolder = dst;
      sort.m_strDestFolder = next;
      RunPass(sort);
      EXPECT_EQ(CountFiles(next), 0) << "held while their moves wait";
      EXPECT_EQ(RecoveredLines(), 0);
      if (batch) {
        EXPECT_EQ(CountFiles(temp), 1) << "the record stays";
      } else {
        EXPECT_EQ(CountFiles(dst), 0) << "placed while the card was out";
      }
      EXPECT_TRUE(
          host.HasLogLine(Line("Waiting for folder " + src + "/ to finish the move of " + src + "/a.jpg")));
      card.In();
      action->Run();  // the card is back
      ExpectArrivedOnce(photos);
      if (batch) {
        EXPECT_EQ(RecoveredLines(), 2);
        EXPECT_EQ(ReadFile(dst + "/a.jpg"), "photo-A");
      } else {
        bool landscape = false;
        EXPECT_TRUE(IsJpegLandscape(dst + "/a.jpg", landscape) && landscape == (row.rotate != 0));
        std::string comment;
        EXPECT_EQ(ReadExifUserComment(dst + "/a.jpg", comment) && comment.rfind("BriskoExif:", 0) == 0,
                  row.tag != 0);
      }
      RunPass(sort);
      EXPECT_EQ(CountFiles(next), int(photos.size()));
    }
  }
  EXPECT_GE(cases, 1);
}

// On vfat and exfat a file gets a new inode number when the card is put back
// (or the file leaves the cache); there a photo is told by its size and time alone. Elsewhere a
// new inode number under the name is another file (saved over the photo).
TEST_F(MoveRecoveryTest, ACardThatRenumbersItsFilesIsToldBySizeAndTime) {
  struct Row {
    const char* what;
    long fileSystem;
    std::vector<std::string> arrived;
  };
  const Row rows[] = {
      {"vfat", 0x4d44, {"a.jpg"}},
      {"exfat", 0x2011BAB0, {"a.jpg"}},
      {"a file system that keeps inode numbers", 0, {"a.jpg", "a_2.jpg"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    NextRow();
    MakeFile(src + "/a.jpg", ReadFile(kSideways), 1'600'000'000);
    MakeFile(temp + "/a.jpg", ReadFile(kSideways), 1'600'000'000);  // the copy, made before the crash
    MoveRecord r = TempCopyRecord("a.jpg");
    ASSERT_TRUE(ReadFileIdentity(r.photo, r.photoIdentity));
    r.photoIdentity.inode += 1;  // as the card numbered it before it was put back
    r.photoIdentity.device += 1;
    Leave(r);  // as after a crash
    SetFileSystemTypeForTest(row.fileSystem);
    action = NewAction();
    action->MakeRun().RecoverInterruptedMoves();
    action->Run();
    SetFileSystemTypeForTest(0);
    ExpectArrivedOnce(row.arrived);
  }
}

// The guide's promise: a photo left in the temp folder by a move that could not place it is
// placed by the station itself at a later pass, once the cause is gone; nobody copies by hand.
TEST_F(MoveRecoveryTest, APhotoLeftInTheTempFolderIsPlacedAtALaterPassOnceTheDestinationTakesIt) {
  Use(0, 1);
  MakeFile(src + "/a.jpg", ReadFile(kSideways), 1'600'000'000);
  {
    ReadOnlyBind closed(dst);
    if (!closed.Ok()) GTEST_SKIP() << "cannot bind-mount here";
    action->Run();
  }
  ASSERT_TRUE(host.HasLogLine(Line("File left at " + temp + "/a.jpg")));
  EXPECT_EQ(CountFiles(dst), 0);
  action->Run();
  EXPECT_TRUE(host.HasLogLine(Line("Recovered file from " + src + "/a.jpg to " + dst + "/a.jpg")));
  ExpectArrivedOnce({"a.jpg"});
}

TEST_F(MoveRecoveryTest, TheRecordOfAHiddenPhotoIsNotPassedOverAsAHalfWrittenFile) {
  DestinationElsewhere();
  LeaveBatch({Placed(".a.jpg", "photo")});
  action->MakeRun().RecoverInterruptedMoves();
  EXPECT_FALSE(Exists(src + "/.a.jpg"));
  EXPECT_EQ(CountFiles(temp), 0);
}

TEST_F(MoveRecoveryTest, StartClearsHalfWrittenTemporaryFilesOnly) {
  // Ages, not a sweep at age 0: a file's time may run a moment ahead of time().
  const std::time_t old = std::time(nullptr) - 7200;
  for (const char* name : {".a.jpg.brisko-Ab12Cd", ".brisko-77-3.tmp", "ExifRotatorTemp_1700000000.jpg_temp"})
    MakeFile(temp + "/" + name, "half", old);
  MakeFile(temp + "/.b.jpg.brisko-Ef34Gh", "half");  // a station sharing the folder may be writing it now
  MakeFile(temp + "/kept.jpg", "photo", old);
  SweepTempLeftovers(temp);
  EXPECT_EQ(EntryNames(temp, true), (std::set<std::string>{".b.jpg.brisko-Ef34Gh", "kept.jpg"}));
}

// Hidden files and scratch a killed writer left go as soon as it is gone, in the temp folder and
// below a destination; those of a live writer, and those a record names, stay.
TEST_F(MoveRecoveryTest, DeadWritersLeftoversAreSweptAtOnceAndTheRestStays) {
  const pid_t dead = fork();
  if (dead == 0) _exit(0);
  waitpid(dead, nullptr, 0);
  const std::string d = std::to_string(dead), live = std::to_string(getpid());
  const std::string deep = dst + "/event/day";
  MakeFolder(deep);
  for (const std::string& name :
       {".brisko-" + d + "-cam1.tmp", ".brisko-tag-" + d + "-2.tmp", ".brisko-" + d + "-3.tmp"})
    MakeFile(deep + "/" + name, "dead");
  MakeFile(deep + "/.brisko-" + live + "-tag4.tmp", "live");
  MakeFile(dst + "/.brisko-" + d + "-tag5.tmp", "named");  // the only copy, by its record
  MakeFile(temp + "/ExifRotatorTemp_1700000000.jpg_temp", "scratch");
  MakeFile(temp + "/ExifRotatorTemp_1700000001.jpg_temp", "in use");
  const int inUse = ::open((temp + "/ExifRotatorTemp_1700000001.jpg_temp").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_EQ(flock(inUse, LOCK_EX), 0);
  // Half-written temporaries named without a process: a dead writer's goes, a live one's stays,
  // and outside the temp folder (ID.TXT beside the photos) none is judged by its lock.
  MakeFile(temp + "/.b.jpg.brisko-AbC123", "killed mid-write");
  MakeFile(deep + "/.ID.TXT.brisko-AbC124", "not in the temp folder");
  SafeOutput writing;
  ASSERT_TRUE(writing.Open(temp + "/c.jpg"));
  MoveBatchRecord record;
  record.action = "T";
  record.entries.push_back(Placed("b.jpg", "photo"));
  record.entries.back().temp = dst + "/.brisko-" + d + "-tag5.tmp";
  int fd = -1;
  {
    std::string path;
    fd = WriteRecordFile(temp + "/", "b.jpg", kTagBatchSuffix, FormatTagBatchRecord(record), path, nullptr,
                         nullptr);
    ASSERT_GE(fd, 0);
  }
  EXPECT_EQ(SweepDeadLeftovers(temp, temp, false), 2);
  EXPECT_EQ(SweepDeadLeftovers(temp, dst, true), 3);
  EXPECT_EQ(CountFiles(deep), 2);
  EXPECT_FALSE(Exists(temp + "/.b.jpg.brisko-AbC123"));
  ASSERT_TRUE(WriteAll(writing.Fd(), "photo", 5));
  EXPECT_TRUE(writing.Commit()) << "a live writer's temporary was swept";
  EXPECT_TRUE(Exists(dst + "/.brisko-" + d + "-tag5.tmp"));
  EXPECT_TRUE(Exists(temp + "/ExifRotatorTemp_1700000001.jpg_temp"));
  for (const char* notOne : {".brisko-.tmp", ".brisko--1.tmp", ".brisko-12.tmp", ".brisko-tag-x-1.tmp",
                             "brisko-12-1.tmp", ".brisko-12-1.tm", ".brisko-99999999999999999999-1.tmp"})
    EXPECT_EQ(HiddenTempWriter(notOne), 0) << notOne;
  EXPECT_EQ(HiddenTempWriter(HiddenTempName("", "cam")), getpid());
  ::close(inUse);
  ::close(fd);
}

// Kills a station running moves again and again at random moments, with rotation and tagging
// (through the temp folder) and plain (in batches); afterwards every photo is at the destination
// exactly once, whole, and nothing is left over. BRISKO_SOAK_PHOTOS and BRISKO_SOAK_KILLS make it
// longer.
TEST_F(MoveRecoveryTest, RepeatedKillsLoseBreakStrandAndDoubleNothing) {
  const int basePhotos =
      std::getenv("BRISKO_SOAK_PHOTOS") ? std::atoi(std::getenv("BRISKO_SOAK_PHOTOS")) : 24;
  const int kills = std::getenv("BRISKO_SOAK_KILLS") ? std::atoi(std::getenv("BRISKO_SOAK_KILLS")) : 12;
  const std::string data = ReadFile(kSideways);
  struct Variant {
    int steps;  // rotate and tag
    int scale;  // plain moves are quick: more photos, and each kill waits for the station to
                // take a few more of them first, so that kills land inside batches
  };
  for (Variant v : {Variant{1, 1}, Variant{0, 16}}) {
    const int steps = v.steps;
    const int photos = v.scale * basePhotos;
    SCOPED_TRACE(steps ? "rotated and tagged" : "plain");
    fs::remove_all(src);
    fs::remove_all(temp);
    SmallTmpfs other(host.Dir() + "/other" + std::to_string(steps), "256m");
    dst = other.Ok() ? host.Dir() + "/other" + std::to_string(steps) : host.Dir() + "/out";
    for (int i = 0; i < photos; ++i) MakeFile(src + "/p" + std::to_string(i) + ".jpg", data, 1'600'000'000);
    rotate = tag = steps;
    std::mt19937 random(20261207);
    int killed = 0;
    for (int k = 0; k < kills; ++k) {
      pid_t pid = fork();
      if (pid == 0) {
        auto station = NewAction();
        station->MakeRun().RecoverInterruptedMoves();
        while (CountFiles(src) > 0) station->Run();
        _exit(0);
      }
      ASSERT_GT(pid, 0);
      if (v.scale > 1) {
        const int until = CountFiles(src) - std::uniform_int_distribution<int>(0, 24)(random);
        while (CountFiles(src) > until && waitpid(pid, nullptr, WNOHANG) == 0) usleep(500);
        usleep(std::uniform_int_distribution<useconds_t>(0, 10000)(random));
      } else {
        usleep(std::uniform_int_distribution<useconds_t>(1000, 60000)(random));
      }
      killed += kill(pid, SIGKILL) == 0;
      waitpid(pid, nullptr, 0);
    }
    SweepTempLeftovers(temp, 0);
    action = NewAction();
    action->MakeRun().RecoverInterruptedMoves();
    for (int pass = 0; pass < 3 && CountFiles(src) > 0; ++pass) action->Run();

    std::set<std::string> names;
    int leftovers = 0;
    for (const std::string& path : Arrived(&leftovers)) {
      names.insert(fs::path(path).filename().string());  // a second copy would be "p<n>_2.jpg"
      if (!steps) {
        EXPECT_EQ(ReadFile(path), data) << "broken " << path;
        continue;
      }
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
    RecordProperty(steps ? "kills" : "kills_plain", killed);
    RecordProperty(steps ? "hidden_leftovers_at_destination" : "hidden_leftovers_at_destination_plain",
                   leftovers);
  }
}

// Move Subfolders copies every photo, then deletes the sources. A station killed anywhere in
// between leaves each photo once after the next pass, whatever happened meanwhile.
TEST_F(MoveRecoveryTest, AMoveOfSubfoldersCutShortIsFinishedWithoutDoublingAnything) {
  struct Row {
    const char* what;
    bool saveAnew, cardOut;  // while the station is down, with c.jpg not yet deleted
    std::set<std::string> arrived;
  };
  const std::set<std::string> once = {"a.jpg", "b.jpg", "c.jpg"};
  const Row rows[] = {
      {"nothing", false, false, once},
      {"a source saved anew", true, false, {"a.jpg", "b.jpg", "c.jpg", "c_2.jpg"}},
      {"the card out at the restart", false, true, once},
  };
  type = kMoveSubfolders;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    std::optional<Card> card;
    KillAtEveryStep(
        [&] {
          NextRow();
          card.emplace(src, host.Dir(), false);
          for (const char* name : {"a.jpg", "b.jpg", "c.jpg"})
            MakeFile(src + "/s/" + name, name, 1'600'000'000);
          action = NewAction();
        },
        [&] { action->Run(); },
        [&](const KillPoint& died) {
          if (!died) return;
          const bool meanwhile = died.index >= 2 && Exists(src + "/s/c.jpg");
          if (meanwhile && row.saveAnew) AppendFile(src + "/s/c.jpg", "!");
          if (meanwhile && row.cardOut) card->Out();
          action = NewAction();  // the next station
          action->Run();
          if (meanwhile && row.cardOut) {
            EXPECT_EQ(CountFiles(temp), 1) << "the record waits for the card";
            card->In();
            action->Run();
          }
          action->Run();  // a later pass finds nothing left to do
          EXPECT_EQ(EntryNames(dst + "/s"), meanwhile ? row.arrived : once) << "lost or doubled";
          EXPECT_EQ(ReadFile(dst + "/s/c.jpg"), "c.jpg");
          EXPECT_FALSE(Exists(src + "/s")) << "the emptied folder goes";
          EXPECT_EQ(CountFiles(temp), 0);
        });
  }
}

// A source renamed between its copy and its delete is still its photo: the record stays, the
// renamed file goes as the source would have, and no later pass moves it again under its new
// name. Renamed over another photo of the batch, that photo is the operator's loss.
TEST_F(MoveRecoveryTest, ASourceRenamedBeforeItsDeleteIsNotMovedAgainUnderItsNewName) {
  struct Row {
    const char* what;
    int32_t type;
    const char* step;      // b.jpg is renamed there ...
    std::string from, to;  // ... to this name
    std::set<std::string> arrived;
  };
  const Row rows[] = {
      {"over another photo of a batch", kMoveFiles, "batch placed", src, src + "/a.jpg", {"b.jpg"}},
      {"a subfolder's photo",
       kMoveSubfolders,
       "copied source deleted",
       src + "/s",
       src + "/s/X.jpg",
       {"a.jpg", "b.jpg"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    NextRow();
    DestinationElsewhere();
    type = row.type;
    action = NewAction();
    for (const char* name : {"a.jpg", "b.jpg"}) MakeFile(row.from + "/" + name, name, 1'600'000'000);
    MoveJournal::SetStepHookForTest([&](const char* step) {
      if (std::string(step) == row.step && Exists(row.from + "/b.jpg"))
        fs::rename(row.from + "/b.jpg", row.to);
    });
    action->Run();
    MoveJournal::SetStepHookForTest(nullptr);
    action->Run();
    const std::string folder = dst + row.from.substr(src.size());
    EXPECT_EQ(EntryNames(folder), row.arrived) << "lost or doubled";
    EXPECT_EQ(ReadFile(folder + "/b.jpg"), "b.jpg");
    EXPECT_TRUE(host.HasLogLine(Line("Deleted file " + row.to + ": renamed from " + row.from + "/b.jpg")));
    EXPECT_EQ(CountFiles(src), 0);
    EXPECT_EQ(CountFiles(temp), 0);
  }
}

// A source renamed while the station was down, after its copy was placed: the renamed file is
// the photo and goes; a file that only looks like it (other bytes, or written to) stays.
TEST_F(MoveRecoveryTest, ASourceRenamedWhileTheStationWasDownIsNotMovedTwice) {
  struct Row {
    const char* what;
    long fileSystem;
    std::string name;  // where a.jpg, or a file like it, is now
    bool writtenTo;
    bool otherBytes;
    bool taken;  // the file under `name` is a.jpg renamed, and goes
  };
  const Row rows[] = {
      {"renamed", 0, "X.jpg", false, false, true},
      {"renamed on a card that renumbers its files", 0x4d44, "X.jpg", false, false, true},
      {"renamed over another photo of the batch", 0, "b.jpg", false, false, true},
      {"renamed and written to", 0, "X.jpg", true, false, false},
      {"gone, another file of its size and time on a renumbering card", 0x4d44, "X.jpg", false, true, false},
      {"renamed to a name the action does not take", 0, "X.jpg.lnk", false, false, false},
      {"renamed, the record finished by a station that does not know the action", 0, "X.jpg.lnk", false,
       false, true},
  };
  DestinationElsewhere();
  action->m_strFileSpec = "*.jpg";
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    NextRow();
    LeaveBatch({Placed("a.jpg", "photo-A"), Placed("b.jpg", "photo-B")});
    const std::string now = src + "/" + row.name;
    fs::rename(src + "/a.jpg", now);
    if (row.writtenTo) AppendFile(now, "!");
    if (row.otherBytes) MakeFile(now, "photo-X", 1'600'000'000);
    const std::string bytes = ReadFile(now);
    SetFileSystemTypeForTest(row.fileSystem);
    if (row.taken && row.name == "X.jpg.lnk") {
      MoveRecovery orphans;
      orphans.anyOwner = true;
      orphans.log = [this](const std::string& text) { host.AddToLog(text); };
      RecoverMoves(temp, orphans);
    } else {
      action->MakeRun().RecoverInterruptedMoves();
    }
    SetFileSystemTypeForTest(0);
    EXPECT_EQ(host.HasLogLine("Deleted file " + now + ": renamed from " + src + "/a.jpg") ||
                  host.HasLogLine(Line("Deleted file " + now + ": renamed from " + src + "/a.jpg")),
              row.taken);
    action->Run();
    const bool takenOn = !row.taken && row.name == "X.jpg";  // by the pass, as a photo of its own
    if (!row.taken) {
      EXPECT_EQ(ReadFile(takenOn ? dst + "/X.jpg" : now), bytes) << "never deleted";
    }
    if (!row.taken && !takenOn) fs::remove(now);  // the one file left at the source
    std::vector<std::string> once = {"a.jpg", "b.jpg"};
    if (takenOn) once.insert(once.begin(), "X.jpg");
    ExpectArrivedOnce(once);
  }
}

// The single-photo path: a photo renamed while its tagged copy waited in the temp folder is
// moved once, under its new name.
TEST_F(MoveRecoveryTest, APhotoRenamedWhileItsTaggedCopyWaitedIsMovedOnce) {
  // Killed with the tagged copy under its hidden name (dropped: the photo moves as renamed), or
  // with the copy in place (kept: the renamed source goes).
  for (auto [dieAt, arrives] : {std::pair{2, "X.jpg"}, std::pair{3, "a.jpg"}}) {
    SCOPED_TRACE(dieAt);
    NextRow();
    Use(0, 1);
    MakeFile(src + "/a.jpg", ReadFile(kSideways), 1'600'000'000);
    ASSERT_TRUE(RunAndDieAtStep(dieAt, [this] { action->Run(); }));
    fs::rename(src + "/a.jpg", src + "/X.jpg");
    action = NewAction();
    action->Run();
    ExpectArrivedOnce({arrives});
  }
}

}  // namespace
}  // namespace brisko
