// Shots through a real run: a card of RAW+JPEG shots with sidecars for every RAW kind at hand,
// kills at every step of the shots record, and a partner that arrives after its shot moved.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <set>

#include "common/jpeg_builder.h"
#include "common/temp_dir.h"
#include "engine/action/action.h"
#include "engine/engine_test_util.h"
#include "engine/fake_host.h"
#include "engine/kill_harness.h"
#include "engine/records/recovery.h"
#include "engine/shots/shot_names.h"
#include "rawmeta/raw_metadata.h"
#include "rawmeta/xmp_sidecar.h"
#include "support/file_ops.h"

namespace brisko {
namespace {

using namespace brisko::test;
namespace fs = std::filesystem;

const std::string kRaw = std::string(BRISKO_TEST_DATA) + "/raw/";

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

// name -> folder, for every file below `root` (hidden leftovers of a killed run aside).
std::map<std::string, std::string> Files(const std::string& root) {
  std::map<std::string, std::string> files;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    const std::string name = e.path().filename().string();
    if (e.is_regular_file() && !IsFileLayerTempName(name)) files[name] = e.path().parent_path().string();
  }
  return files;
}

std::string Base(const std::string& name) {
  return name.substr(0, name.find('.'));
}

class ShotMoveTest : public ::testing::Test {
 public:
  void TearDown() override { MoveJournal::SetStepHookForTest(nullptr); }
  std::unique_ptr<Action> NewAction(const std::string& src, const std::string& dst,
                                    int32_t type = kMoveFilesFromMedia) {
    auto a = std::make_unique<Action>(host);
    a->m_strName = "Shots";
    a->m_iType = type;
    a->m_strSourceFolder = src;
    a->m_strDestFolder = dst;
    a->m_bRunPending = 1;
    a->m_bKeepShotsTogether = 1;
    a->m_bRenameFile = 1;
    // EXIF date, "_", counter, extension.
    for (unsigned id : {35u, 14u, 4u, 2u}) a->m_RenameTemplate.AddComponent(id);
    return a;
  }
  // The JPEG of a shot whose RAW (of a Nikon) comes later, moved as 000008.JPG.
  std::unique_ptr<Action> MoveTheJpegOfAShot(const std::string& src, const std::string& dst) {
    MakeFolder(src);
    MakeFolder(dst);
    RawMetadata meta;
    EXPECT_TRUE(ReadRawMetadata(kRaw + "nikon_d70_nef_1.nef", meta));
    Save(src + "/DSC_0001.JPG", JpegTaken(meta.dateTimeOriginal));
    auto a = NewAction(src, dst, kMoveFiles);
    a->m_RenameTemplate = NameTemplate(TemplateKind::kRename);
    a->m_RenameTemplate.AddComponent(4);
    a->m_RenameTemplate.AddComponent(2);
    host.Values().m_iFileCounter = 7;
    EXPECT_TRUE(a->Run());
    EXPECT_TRUE(Exists(dst + "/000008.JPG"));
    return a;
  }
  FakeHost host;
};

TEST_F(ShotMoveTest, ACardOfShotsArrivesAsShotsWithOneNameEachForEveryRawKind) {
  int kinds = 0;
  for (const auto& entry : fs::directory_iterator(kRaw)) {
    const std::string raw = entry.path().string();
    if (!IsRawOrHeifPath(raw)) continue;
    RawMetadata meta;
    std::time_t taken = 0;
    if (!ReadRawMetadata(raw, meta) || !RawCaptureTime(meta, taken)) continue;  // no date to name by
    ++kinds;
    const std::string ext = Upper(entry.path().extension().string());
    SCOPED_TRACE(raw);
    char day[16];
    std::strftime(day, sizeof day, "%Y-%m-%d", std::localtime(&taken));
    const std::string src = host.Dir() + "/card" + ext + "/DCIM/100CANON";
    const std::string dst = host.Dir() + "/archive" + ext;
    MakeFolder(dst);
    const std::string bytes = ReadFile(raw);
    const Bytes jpeg = JpegTaken(meta.dateTimeOriginal);
    for (int i = 1; i <= 50; ++i) {
      char base[16];
      std::snprintf(base, sizeof base, "IMG_%04d", i);
      const std::string stem = src + "/" + base;
      MakeFile(stem + ext, bytes, 1'600'000'000);
      // Every third shot has no JPEG, and every fifth JPEG no date taken: their names come
      // from the RAW's own date.
      if (i % 3 != 0) Save(stem + ".JPG", i % 5 == 0 ? MakeJpeg(16, 16) : jpeg);
      MakeFile(stem + (i % 2 ? ".xmp" : ext + ".xmp"), "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"/>");
    }
    auto action = NewAction(host.Dir() + "/card" + ext, dst);
    const int counter = host.Values().m_iFileCounter;
    EXPECT_TRUE(action->Run());
    EXPECT_EQ(host.Values().m_iFileCounter, counter + 50) << "one counter value per shot";
    EXPECT_EQ(CountFiles(src), 0);
    std::map<std::string, std::set<std::string>> shots;  // base -> what follows it
    for (const auto& [name, folder] : Files(dst)) {
      EXPECT_EQ(folder, dst) << name;
      shots[Base(name)].insert(name.substr(Base(name).size()));
    }
    ASSERT_EQ(shots.size(), 50u);
    for (const auto& [base, files] : shots) {
      EXPECT_EQ(base.substr(0, 10), day) << base;
      const std::set<std::string> expected =
          files.count(".JPG")
              ? std::set<std::string>{".JPG", ext, files.count(".xmp") ? ".xmp" : ext + ".xmp"}
              : std::set<std::string>{ext, files.count(".xmp") ? ".xmp" : ext + ".xmp"};
      EXPECT_EQ(files, expected) << base;
    }
  }
  EXPECT_GE(kinds, 8) << "the RAW kinds with a date";
}

// After a kill at any step of the shots record, the next start's recovery leaves every shot
// whole: all at the card or all in place under one name. Once on one file system (renames), once
// across two (copies).
TEST_F(ShotMoveTest, AKillAtAnyStepLeavesEveryShotWholeAtItsSourceOrInPlace) {
  const bool otherFileSystem = fs::exists("/dev/shm");
  for (bool across : {false, true}) {
    if (across && !otherFileSystem) continue;
    SCOPED_TRACE(across ? "across file systems" : "one file system");
    const std::string src = host.Dir() + "/card";
    const TempDir shm(across ? "/dev/shm" : host.Dir().c_str());
    const std::string dst = shm.Path() + "/out";
    const std::string jpeg = ReadFile(std::string(BRISKO_TEST_DATA) + "/jpeg/recurser/Landscape_6.jpg");
    const std::string raw = ReadFile(kRaw + "canon_eos350d_cr2_1.cr2");
    auto arrange = [&] {
      fs::remove_all(src);
      fs::remove_all(dst);
      fs::remove_all(host.Values().m_TempPath);
      MakeFolder(dst);
      for (const char* base : {"A", "B", "C"}) {
        MakeFile(src + "/" + base + ".JPG", jpeg, 1'600'000'000);
        MakeFile(src + "/" + base + ".CR2", raw, 1'600'000'000);
        MakeFile(src + "/" + base + ".xmp", "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"/>", 1'600'000'000);
      }
    };
    auto make = [&] {
      auto a = NewAction(src, dst, kMoveFiles);
      a->m_bAddOrUpdateBriskoExif = 1;  // the JPEG goes as a tagged copy, the others as they are
      a->m_RenameTemplate = NameTemplate(TemplateKind::kRename);
      a->m_RenameTemplate.AddComponent(4);
      return a;
    };
    auto wholeShots = [&](const char* when) {
      std::map<std::string, std::set<std::string>> at;  // source base or new base -> folders
      for (const auto& [name, folder] : Files(src)) at["src:" + Base(name)].insert(folder);
      for (const auto& [name, folder] : Files(dst)) at[Base(name)].insert(folder);
      size_t files = Files(src).size() + Files(dst).size();
      EXPECT_EQ(files, 9u) << when << ": a file lost or doubled";
      std::map<std::string, int> count;
      for (const auto& [name, folder] : Files(src)) ++count["src:" + Base(name)];
      for (const auto& [name, folder] : Files(dst)) ++count[Base(name)];
      for (const auto& [base, n] : count) EXPECT_EQ(n, 3) << when << ": shot " << base << " split";
    };
    const int steps = KillAtEveryStep(
        arrange, [&] { make()->Run(); },
        [&](const KillPoint& died) {
          if (!died) return wholeShots("after the run");
          make()->MakeRun().RecoverInterruptedMoves();
          wholeShots("after recovery");
          make()->Run();
          EXPECT_EQ(CountFiles(src), 0);
          EXPECT_EQ(Files(dst).size(), 9u);
        });
    EXPECT_GE(steps, 5);

    // The card pulled once the shots are placed: their copies wait in place, held back from
    // every action, and with the card back each shot is finished once, whole.
    if (!across) continue;
    arrange();
    MoveJournal::SetStepHookForTest([&](const char* step) {
      if (std::string(step) == "shots placed") fs::rename(src, src + ".pulled");
    });
    make()->Run();
    MoveJournal::SetStepHookForTest(nullptr);
    EXPECT_EQ(Files(dst).size(), 9u);
    for (const auto& [name, folder] : Files(dst)) EXPECT_TRUE(CopyHeld(folder + "/" + name)) << name;
    fs::rename(src + ".pulled", src);
    make()->MakeRun().RecoverInterruptedMoves();
    make()->Run();
    EXPECT_EQ(CountFiles(src), 0);
    wholeShots("card pulled, then back");
  }
}

TEST_F(ShotMoveTest, ALatePartnerTakesItsShotsNameAndAnotherCamerasPhotoDoesNot) {
  const std::string src = host.Dir() + "/hot", dst = host.Dir() + "/out";
  const std::string raw = ReadFile(kRaw + "nikon_d70_nef_1.nef");
  auto a = MoveTheJpegOfAShot(src, dst);
  // The RAW arrives a moment later: same name, same folder, no new number.
  MakeFile(src + "/DSC_0001.NEF", raw);
  MakeFile(src + "/DSC_0001.NEF.xmp", "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"/>");
  ASSERT_TRUE(a->Run());
  EXPECT_TRUE(Exists(dst + "/000008.NEF"));
  EXPECT_TRUE(Exists(dst + "/000008.NEF.xmp"));
  EXPECT_EQ(host.Values().m_iFileCounter, 8);
  // A second DSC_0001.JPG (another camera, another time) is a shot of its own.
  Save(src + "/DSC_0001.JPG", JpegTaken("2001:02:03 04:05:06"));
  ASSERT_TRUE(a->Run());
  EXPECT_TRUE(Exists(dst + "/000009.JPG"));
  // Past the time kept, a newcomer is no partner either.
  MakeFile(src + "/DSC_0001.NEF", raw);
  host.now = std::time(nullptr) + kShotNamesKeepSeconds + 1;
  ASSERT_TRUE(a->Run());
  EXPECT_TRUE(Exists(dst + "/000010.NEF"));
}

// A late partner whose move did not happen (a crash once its shot's names were noted, then its
// card pulled between placing and removing: the move waits for the card) still takes its
// shot's name in the end.
TEST_F(ShotMoveTest, ALatePartnerStillJoinsItsShotAfterACrashOrAFailedMove) {
  if (!fs::exists("/dev/shm")) GTEST_SKIP() << "no second file system at /dev/shm";
  const std::string src = host.Dir() + "/card";
  const TempDir shm("/dev/shm");
  const std::string dst = shm.Path() + "/out";
  auto a = MoveTheJpegOfAShot(src, dst);
  MakeFile(src + "/DSC_0001.NEF", ReadFile(kRaw + "nikon_d70_nef_1.nef"));
  const KillPoint died = RunAndDieWhere(
      [](const std::string& step, int) { return step == "shot names noted"; }, [&] { a->Run(); });
  ASSERT_TRUE(died);
  EXPECT_FALSE(Exists(dst + "/000008.NEF"));
  MoveJournal::SetStepHookForTest([&](const char* step) {
    if (std::string(step) == "shots placed") fs::rename(src, src + ".pulled");
  });
  a->Run();
  MoveJournal::SetStepHookForTest(nullptr);
  // Its copy waits in place for the card, held back from every action.
  EXPECT_TRUE(CopyHeld(dst + "/000008.NEF"));
  fs::rename(src + ".pulled", src);
  ASSERT_TRUE(a->Run());
  EXPECT_TRUE(Exists(dst + "/000008.NEF"));
  EXPECT_EQ(CountFiles(src), 0);
}

// A shot's name stays its own while its late partners may come: another shot of that name takes
// a suffix even once the first one's files have moved on from the folder, and the partner joins
// the shot of its date.
TEST_F(ShotMoveTest, AShotsNameStaysHeldForItsLatePartners) {
  const std::string src = host.Dir() + "/hot", dst = host.Dir() + "/out";
  MakeFolder(src);
  MakeFolder(dst);
  RawMetadata meta;
  ASSERT_TRUE(ReadRawMetadata(kRaw + "canon_eos350d_cr2_1.cr2", meta));
  auto a = NewAction(src, dst, kMoveFiles);
  a->m_bRenameFile = 0;
  Save(src + "/IMG_0004.JPG", JpegTaken(meta.dateTimeOriginal));
  ASSERT_TRUE(a->Run());
  fs::rename(dst + "/IMG_0004.JPG", host.Dir() + "/on.JPG");      // taken on by the next action
  Save(src + "/IMG_0004.JPG", JpegTaken("2001:02:03 04:05:06"));  // another camera's
  ASSERT_TRUE(a->Run());
  EXPECT_TRUE(Exists(dst + "/IMG_0004_2.JPG"));
  MakeFile(src + "/IMG_0004.CR2", ReadFile(kRaw + "canon_eos350d_cr2_1.cr2"));
  ASSERT_TRUE(a->Run());
  EXPECT_TRUE(Exists(dst + "/IMG_0004.CR2"));
}

// The selection counts shots: a shot waits while any selected file of it is young; "leave at
// least" holds back whole shots; a sidecar the filespec does not name comes along; the
// orientation filter reads the JPEG, not the RAW (a portrait JPEG beside a landscape RAW here).
TEST_F(ShotMoveTest, SelectionTakesWholeShotsOnly) {
  const std::string src = host.Dir() + "/hot", dst = host.Dir() + "/out";
  MakeFolder(dst);
  const Bytes portraitJpeg = MakeJpeg(16, 32);
  const std::string portrait(portraitJpeg.begin(), portraitJpeg.end());
  const std::time_t now = std::time(nullptr);
  struct Row {
    const char* what;
    int age, leave;
    std::vector<std::pair<std::string, std::time_t>> files;  // name, age in seconds
    std::set<std::string> moved;                             // names taken away from the folder
  } rows[] = {
      {"a young RAW holds its JPEG back", 60, 0, {{"A.JPG", 3600}, {"A.NEF", 5}, {"B.JPG", 3600}}, {"B.JPG"}},
      {"leave at least one shot",
       0,
       1,
       {{"A.JPG", 300}, {"A.NEF", 300}, {"B.JPG", 200}, {"B.NEF", 200}, {"C.JPG", 100}, {"C.NEF", 100}},
       {"A.JPG", "A.NEF", "B.JPG", "B.NEF"}},
      {"a sidecar comes along",
       0,
       0,
       {{"A.JPG", 100}, {"A.NEF", 100}, {"A.xmp", 100}, {"Z.txt", 100}},
       {"A.JPG", "A.NEF", "A.xmp"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    fs::remove_all(src);
    for (const auto& [name, age] : row.files) {
      const std::string path = src + "/" + name;
      MakeFile(path, name.ends_with(".JPG") ? portrait : ReadFile(kRaw + "nikon_d70_nef_1.nef"), now - age);
    }
    auto a = NewAction(src, dst, kMoveFiles);
    a->m_bRenameFile = 0;
    a->m_strFileSpec = "*.jpg|*.nef";
    a->m_iFileAge = row.age;
    a->m_iFileAgeUnits = kAgeSeconds;
    a->m_iLeaveMinFilecount = row.leave;
    a->m_bSelectByOrientation = 1;
    a->m_bSelectLandscape = 0;
    a->Run();
    std::set<std::string> moved;
    for (const auto& [name, age] : row.files)
      if (!Exists(src + "/" + name)) moved.insert(name);
    EXPECT_EQ(moved, row.moved);
    EmptyFolder(dst);
  }
}

// "*.jpg" on a RAW+JPEG card: a JPEG takes its whole shot's date (its own first, else its RAW's)
// and the shot's sidecars, while the RAW and what names it stay. A RAW still being written holds
// its JPEG back; a RAW listed before its JPEG lends its date once the JPEG comes, and one that
// comes after its JPEG has moved stays with its sidecar, spending no number.
TEST_F(ShotMoveTest, JpegsAloneTakeTheirShotsDateAndSidecars) {
  const std::string src = host.Dir() + "/hot", dst = host.Dir() + "/out";
  MakeFolder(src);
  MakeFolder(dst);
  const std::string raw = ReadFile(kRaw + "nikon_d70_nef_1.nef");
  RawMetadata meta;
  ASSERT_TRUE(ReadRawMetadata(kRaw + "nikon_d70_nef_1.nef", meta));
  ASSERT_EQ(meta.dateTimeOriginal.substr(0, 10), "2004:06:09");
  const Bytes dateless = MakeJpeg(16, 16), dated = JpegTaken("2001:02:03 04:05:06");
  const std::time_t now = std::time(nullptr);
  const std::string old = "old", young = "young";
  auto put = [&](const std::string& name, const std::string& data, const std::string& age) {
    MakeFile(src + "/" + name, data, age == young ? now - 5 : now - 3600);
  };
  const std::string xmp = "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"/>";
  put("DSC_0001.JPG", std::string(dateless.begin(), dateless.end()), old);
  put("DSC_0001.NEF", raw, old);
  put("DSC_0001.xmp", xmp, old);
  put("DSC_0001.THM", "thumbnail", old);
  put("DSC_0001.NEF.xmp", xmp, old);
  put("DSC_0002.JPG", std::string(dated.begin(), dated.end()), old);
  put("DSC_0002.NEF", raw, old);
  put("DSC_0003.JPG", std::string(dateless.begin(), dateless.end()), old);
  put("DSC_0003.NEF", raw, young);
  put("DSC_0004.NEF", raw, old);                                            // its JPEG comes in the next pass
  put("DSC_0005.JPG", std::string(dateless.begin(), dateless.end()), old);  // its RAW comes later
  auto a = NewAction(src, dst, kMoveFiles);
  a->m_strFileSpec = "*.jpg";
  a->m_iFileAge = 60;
  a->m_iFileAgeUnits = kAgeSeconds;
  host.now = now;
  host.Values().m_iFileCounter = 7;
  ASSERT_TRUE(a->Run());
  EXPECT_EQ(EntryNames(dst, true),
            (std::set<std::string>{"2004-06-09_000008.JPG", "2004-06-09_000008.xmp", "2004-06-09_000008.THM",
                                   "2001-02-03_000009.JPG", "_000010.JPG"}));
  EXPECT_EQ(EntryNames(src, true), (std::set<std::string>{"DSC_0001.NEF", "DSC_0001.NEF.xmp", "DSC_0002.NEF",
                                                          "DSC_0003.JPG", "DSC_0003.NEF", "DSC_0004.NEF"}));
  EmptyFolder(dst);

  put("DSC_0004.JPG", std::string(dateless.begin(), dateless.end()), old);
  put("DSC_0005.NEF", raw, old);
  put("DSC_0005.xmp", xmp, old);
  host.now = now + 120;  // DSC_0003.NEF is written by now
  ASSERT_TRUE(a->Run());
  EXPECT_EQ(EntryNames(dst, true), (std::set<std::string>{"2004-06-09_000011.JPG", "2004-06-09_000012.JPG"}));
  EXPECT_EQ(EntryNames(src, true),
            (std::set<std::string>{"DSC_0001.NEF", "DSC_0001.NEF.xmp", "DSC_0002.NEF", "DSC_0003.NEF",
                                   "DSC_0004.NEF", "DSC_0005.NEF", "DSC_0005.xmp"}));
  EXPECT_EQ(host.Values().m_iFileCounter, 12);
}

TEST(ShotNamesText, RoundTripsAndRefusesWhatIsNotOne) {
  ShotNames::Entry e{"/in/", "img_1", 1'600'000'000, "/out/2024/", "000008", 1'700'000'000, ".jpg|.nef"};
  const std::string text = ShotNames::Format({e, e});
  std::vector<ShotNames::Entry> back;
  ASSERT_TRUE(ShotNames::Parse(text, back));
  EXPECT_EQ(ShotNames::Format(back), text);
  const std::string header = text.substr(0, text.find('\n') + 1);
  for (const std::string& broken :
       {std::string(), text.substr(0, text.size() - 4), header + "/in/\timg_1\tx\t/out/\tb\t1\t\nend\n",
        header + "/in/\timg_1\t1\t/out/\t../x\t1\t\nend\n",
        header + "/in/\timg_1\t1\trelative/\tb\t1\t\nend\n", text + "more\n", std::string(2 << 20, 'a')}) {
    EXPECT_FALSE(ShotNames::Parse(broken, back)) << broken.substr(0, 60);
  }
}

// Two actions or stations sharing the temp folder note their shots through lists read at their
// own moments: each keeps what the other noted, so a late partner of either finds its shot.
TEST(ShotNamesText, ListsReadAtOnceByTwoWritersKeepEachOthersShots) {
  TempDir temp;
  const int64_t now = 1'700'000'000;
  ShotNames first(temp.Path()), second(temp.Path());
  first.Remember({"/card/", "img_1", 0, "/out/", "IMG_1", 0, ".jpg"}, now);
  ASSERT_TRUE(first.Save(now));
  second.Remember({"/hot/", "img_2", 0, "/arch/", "IMG_2", 0, ".jpg"}, now);
  ASSERT_TRUE(second.Save(now));
  // The second settles a shot of its own that never moved: only that one goes.
  second.Remember({"/hot/", "img_3", 0, "/arch/", "IMG_3", 0, ".jpg"}, now);
  second.Confirm({"/hot/", "img_3", 0, "/arch/", "IMG_3", 0, ""}, {});
  ASSERT_TRUE(second.Save(now));
  first.Confirm({"/card/", "img_1", 0, "/out/", "IMG_1", 0, ""}, {".jpg"});
  ASSERT_TRUE(first.Save(now));
  const ShotNames after(temp.Path());
  EXPECT_NE(after.Find("/card/", "img_1", 0, {".cr2"}, now), nullptr);
  EXPECT_NE(after.Find("/hot/", "img_2", 0, {".cr2"}, now), nullptr) << "lost by the other's save";
  EXPECT_EQ(after.Find("/hot/", "img_3", 0, {".cr2"}, now), nullptr);
  EXPECT_TRUE(after.Reserved("/arch/", "img_2", now));
  // Expired entries go whoever saves.
  ShotNames later(temp.Path());
  later.Remember({"/card/", "img_9", 0, "/out/", "IMG_9", 0, ".jpg"}, now + kShotNamesKeepSeconds + 1);
  ASSERT_TRUE(later.Save(now + kShotNamesKeepSeconds + 1));
  const ShotNames last(temp.Path());
  EXPECT_EQ(last.Find("/hot/", "img_2", 0, {".cr2"}, now + kShotNamesKeepSeconds + 1), nullptr);
  EXPECT_NE(last.Find("/card/", "img_9", 0, {".cr2"}, now + kShotNamesKeepSeconds + 1), nullptr);
}

}  // namespace
}  // namespace brisko
