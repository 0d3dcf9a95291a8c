// The whole way through: actions stored in the settings store, one --run-once of the program,
// real folder trees with real camera files.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>

#include "common/jpeg_builder.h"
#include "common/program_runner.h"
#include "common/row_skips.h"
#include "common/tools.h"
#include "engine/action/action.h"
#include "engine/engine_test_util.h"
#include "engine/fake_host.h"
#include "scheduler/id_txt.h"

namespace brisko {
namespace {

using namespace brisko::test;
namespace fs = std::filesystem;

const std::string kJpegs = std::string(BRISKO_TEST_DATA) + "/jpeg/";

// Stores `a` as the station's only action, its temp folder in the test folder, and runs the
// program once; what it printed.
std::string RunOnceWith(FakeHost& host, Action& a) {
  a.Save(0);
  host.Store().WriteProfileInt("Actions", "NumActions", 1);
  host.Store().WriteProfileString("Settings", "m_TempPath", host.Dir() + "/temp/");
  std::string output;
  EXPECT_EQ(RunStationOnce(host.Store().Path(), host.Dir(), output), 0) << output;
  return output;
}

// What every action here is first: a name, a type, its two folders and its file pattern.
struct ActionRow {
  const char* name;
  int type;
  std::string source, dest;
  const char* fileSpec = "*.*";
};
void Describe(Action& a, const ActionRow& row) {
  a.m_strName = row.name;
  a.m_iType = row.type;
  a.m_strSourceFolder = row.source;
  a.m_strDestFolder = row.dest;
  a.m_strFileSpec = row.fileSpec;
}

// Subfolders by EXIF date and event id, names from the photographer id and the file counter.
void SortByDateAndEventAndNameByPhotographer(Action& a) {
  a.m_bCreateNewSubfolder = 1;
  a.m_iCreateNewSubfolderFrequency = kUseTemplate;
  a.m_SubfolderTemplate.Clear();
  for (unsigned id : {31u /* EXIF date */, 27u /* separator */, 12u /* event id */}) {
    EXPECT_TRUE(a.m_SubfolderTemplate.AddComponent(id));
  }
  a.m_bRenameFile = 1;
  a.m_RenameTemplate.Clear();
  for (unsigned id : {16u /* photographer id */, 14u /* _ */, 4u /* file counter */, 2u /* .ext */}) {
    EXPECT_TRUE(a.m_RenameTemplate.AddComponent(id));
  }
}

// One tag as exiftool prints its value alone.
std::string ExiftoolTag(const std::string& path, const std::string& tag) {
  std::string out = CommandOutput("exiftool -q -q -s3 -" + tag + " '" + path + "' 2>/dev/null");
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

// The entropy-coded picture of a JPEG: everything from the first start-of-scan marker on,
// found by walking the header segments (a thumbnail inside APP1 holds markers of its own).
std::string JpegScanData(const std::string& jpeg) {
  size_t i = 2;
  while (i + 4 <= jpeg.size() && static_cast<unsigned char>(jpeg[i]) == 0xFF) {
    const unsigned char marker = static_cast<unsigned char>(jpeg[i + 1]);
    if (marker == 0xFF) {
      ++i;
      continue;
    }
    if (marker == 0xDA) return jpeg.substr(i);
    i += 2 + ((static_cast<unsigned char>(jpeg[i + 2]) << 8) | static_cast<unsigned char>(jpeg[i + 3]));
  }
  return "";
}

void CopyCameraFile(const std::string& name, const std::string& to) {
  fs::create_directories(fs::path(to).parent_path());
  fs::copy_file(kJpegs + name, to);
}

// A small synthetic photo with a capture date (IFD0 DateTime) and, when given, a GPS position.
void MakePhoto(const std::string& path, const std::string& dateTime, const double* lat = nullptr,
               const double* lon = nullptr) {
  TiffBuilder t('I');
  t.ifd0 = {t.Ascii(0x010F, "TestCam"), t.Ascii(0x0132, dateTime)};
  if (lat && lon) {
    auto dms = [](double v) -> std::vector<std::pair<uint32_t, uint32_t>> {
      v = std::fabs(v);
      const double deg = std::floor(v), min = std::floor((v - deg) * 60.0);
      const double sec = ((v - deg) * 60.0 - min) * 60.0;
      return {{uint32_t(deg), 1}, {uint32_t(min), 1}, {uint32_t(std::lround(sec * 10000)), 10000}};
    };
    t.gps = {t.Ascii(1, *lat < 0 ? "S" : "N"), t.Rationals(2, dms(*lat)), t.Ascii(3, *lon < 0 ? "W" : "E"),
             t.Rationals(4, dms(*lon))};
  }
  fs::create_directories(fs::path(path).parent_path());
  Save(path, WithSegments(MakeJpeg(32, 24), {Segment(0xFFE1, t.Build())}));
}

// Sorted by capture date and event, renamed by photographer and counter, and stamped with
// the BriskoExif block.
TEST(RunOnceEndToEnd, MoveSortsByExifDateAndEventRenamesAndWritesTheBlock) {
  FakeHost host;
  const std::string card = host.Dir() + "/card", dest = host.Dir() + "/dest";
  // DateTime 2000:08:04 and 2004:06:29; the Nikon file carries a camera user comment.
  CopyCameraFile("drewnoakes/FujiFilm_FinePix40i.jpg", card + "/DCIM/100/FUJI0001.jpg");
  CopyCameraFile("drewnoakes/Nikon_E775.jpg", card + "/DCIM/100/DSCN0002.jpg");
  MakePhoto(card + "/DCIM/101/SYN0003.jpg", "2000:08:04 23:59:59");
  WriteFile(card + "/ID.TXT", "PHOTOGRAPHERID=P7\r\nEVENTID=Gala\r\nCARDID=C9\r\nBATCHID=3\r\n");
  MakeFolder(dest);
  host.Values().m_iFileCounter = 41;  // the counters are saved with the action, where loading takes them
  host.Values().m_iBatchCounter = 7;
  host.Store().WriteProfileInt("Actions", "m_iBatchID", 10);

  Action a(host);
  Describe(a, {"Sort", kMoveFilesFromMedia, card, dest, "*.jpg"});
  SortByDateAndEventAndNameByPhotographer(a);
  a.m_bAddOrUpdateBriskoExif = 1;
  a.m_BriskoExifCustomActionFieldsMap = {{"Client", "Acme"}};
  const std::string output = RunOnceWith(host, a);

  // Counters 42 to 44 in the order the card was read; the name's folder follows its own date.
  const std::string early = dest + "/2000-08-04/Gala", late = dest + "/2004-06-29/Gala";
  const std::set<std::string> earlyNames = EntryNames(early, true), lateNames = EntryNames(late, true);
  ASSERT_EQ(earlyNames.size(), 2u) << output;
  ASSERT_EQ(lateNames.size(), 1u) << output;
  std::set<std::string> all = earlyNames;
  all.insert(lateNames.begin(), lateNames.end());
  EXPECT_EQ(all, (std::set<std::string>{"P7_000042.jpg", "P7_000043.jpg", "P7_000044.jpg"}));
  EXPECT_EQ(CountFiles(dest), 3);
  EXPECT_EQ(CountFiles(card), 1) << "only the ID.TXT stays on the card";
  EXPECT_EQ(
      ReadFile(card + "/ID.TXT"),
      "PHOTOGRAPHERID=P7\r\nEVENTID=Gala\r\nCARDID=C9\r\nUSERID1=\r\nUSERID2=\r\nUSERID3=\r\nBATCHID=11\r\n");
  EXPECT_TRUE(Exists(card + "/DCIM/101")) << "the card's folders stay";
  EXPECT_EQ(host.Store().GetProfileInt("Actions", "m_iFileCounter", 0), 44);
  EXPECT_EQ(host.Store().GetProfileInt("Actions", "m_iBatchCounter", 0), 8);
  EXPECT_TRUE(EntryNames(host.Dir() + "/temp", true).empty()) << "nothing left behind in the temp folder";

  // The picture itself is untouched; only the metadata changed.
  const std::string nikon = late + "/" + *lateNames.begin();
  EXPECT_EQ(JpegScanData(ReadFile(nikon)), JpegScanData(ReadFile(kJpegs + "drewnoakes/Nikon_E775.jpg")));

  if (!HaveExiftool()) GTEST_SKIP() << "exiftool is not installed";
  const std::string common = "m_strIDFilepath=" + card + "/ID.TXT|m_strPhotoGrapherID=P7|m_strEventID=Gala|" +
                             "m_strCardID=C9|m_iBatchID=3|";
  EXPECT_EQ(ExiftoolTag(nikon, "UserComment"),
            "BriskoExif:" + common + "m_origFilename=DSCN0002.jpg|m_origFilepath=" + card +
                "/DCIM/100/DSCN0002.jpg|m_BriskoExifOrigUserComments=" +
                ExiftoolTag(kJpegs + "drewnoakes/Nikon_E775.jpg", "UserComment") + "|Client=Acme|");
  EXPECT_EQ(ExiftoolTag(nikon, "ModifyDate"), "2004:06:29 15:29:33");
  std::set<std::string> earlyOrigins;
  for (const std::string& name : earlyNames) {
    const std::string comment = ExiftoolTag(early + "/" + name, "UserComment");
    EXPECT_EQ(comment.rfind("BriskoExif:" + common + "m_origFilename=", 0), 0u) << comment;
    EXPECT_NE(comment.find("|Client=Acme|"), std::string::npos) << comment;
    const size_t at = comment.find("m_origFilename=") + 15;
    earlyOrigins.insert(comment.substr(at, comment.find('|', at) - at));
  }
  EXPECT_EQ(earlyOrigins, (std::set<std::string>{"FUJI0001.jpg", "SYN0003.jpg"}));
}

// A folder of real and synthetic geotagged photos; only those the areas allow move.
TEST(RunOnceEndToEnd, GpsAreasKeepOnlyThePhotosOfTheirArea) {
  // The real files: Rome (41.853,12.489), Bohemia (50.300,14.820), Victoria (-38.405,144.189),
  // Florida (26.587,-80.054) and a camera file without GPS.
  const char* const realFiles[] = {"drewnoakes/Apple_iPhone_4.jpg", "exifr/IMG_20180725_163423-tiny.jpg",
                                   "goexif-dsoprea/gps-2000-scaled.jpg", "goexif-dsoprea/gps.jpg",
                                   "drewnoakes/Sony_Cybershot_3.jpg"};
  struct Synthetic {
    const char* name;
    double lat, lon;
  } synthetic[] = {{"rome_north.jpg", 41.880, 12.489},   // 3 km north of the Rome photo
                   {"ROME_EAST.JPEG", 41.853, 12.520},   // 2.6 km east, other extension
                   {"naples.jpg", 40.852, 14.268},       // 190 km away
                   {"rome_south.png", 41.853, 12.489}};  // inside, but not a JPEG name
  auto area = [](bool include, bool square, const char* a, const char* b, int radius) {
    SpatialArea s;
    s.m_bInclude = include;
    s.m_bSquare = square;
    s.m_strDesc = include ? "in" : "out";
    s.m_iRadius = radius;
    if (square) {
      s.m_LLTopLeft.Parse(a);
      s.m_LLBottomRight.Parse(b);
    } else {
      s.m_LLCenter.Parse(a);
    }
    return s;
  };
  struct Case {
    const char* what;
    std::vector<SpatialArea> areas;
    std::set<std::string> moved;
  } cases[] = {
      {"a 10 km circle around Rome",
       {area(true, false, "41.86N,12.49E", "", 10000)},
       {"Apple_iPhone_4.jpg", "rome_north.jpg", "ROME_EAST.JPEG"}},
      {"central Europe with Rome cut out",
       {area(true, true, "55,5", "38,20", 0), area(false, false, "41.86,12.49", "", 10000)},
       {"IMG_20180725_163423-tiny.jpg", "naples.jpg"}},
      {"the southern and western hemisphere",
       {area(true, true, "0,-180", "-90,180", 0), area(true, true, "90,-180", "-90,0", 0)},
       {"gps-2000-scaled.jpg", "gps.jpg"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FakeHost host;
    const std::string in = host.Dir() + "/in", dest = host.Dir() + "/dest";
    std::set<std::string> everything;
    for (const char* f : realFiles) {
      const std::string name = fs::path(f).filename().string();
      CopyCameraFile(f, in + "/" + name);
      everything.insert(name);
    }
    for (const Synthetic& s : synthetic) {
      MakePhoto(in + "/" + s.name, "2026:12:06 10:00:00", &s.lat, &s.lon);
      everything.insert(s.name);
    }
    MakeFolder(dest);

    Action a(host);
    Describe(a, {"Geo", kMoveFiles, in, dest});
    for (const SpatialArea& s : c.areas) a.m_SpatialAreaList.Add(s);
    const std::string output = RunOnceWith(host, a);

    EXPECT_EQ(EntryNames(dest, true), c.moved) << output;
    std::set<std::string> stayed;
    for (const std::string& name : everything) {
      if (!c.moved.count(name)) stayed.insert(name);
    }
    EXPECT_EQ(EntryNames(in, true), stayed);
    if (c.moved.count("Apple_iPhone_4.jpg")) {
      EXPECT_EQ(ReadFile(dest + "/Apple_iPhone_4.jpg"), ReadFile(kJpegs + "drewnoakes/Apple_iPhone_4.jpg"));
    }
  }
}

// The worst a card brings: ID.TXT values that try to leave the destination or make folders,
// files that cannot carry the block, a photo that must be turned, and the card on another
// file system. Every file arrives whole inside the destination and nothing stays in temp.
TEST(RunOnceEndToEnd, HostileCardValuesAndDamagedFilesStillArriveWholeInsideTheDestination) {
  FakeHost host;
  TempDir shm("/dev/shm");
  ASSERT_FALSE(shm.Path().empty());
  // The destination lies deep enough in this test's own folder that a name climbing out of it
  // would still land there.
  const std::string card = shm.Path() + "/card", dest = host.Dir() + "/x/y/dest";
  const std::string escape = fs::path(host.Dir()).filename().string() + "-escaped";
  struct File {
    const char* source;  // nullptr: the text below
    const char* text;
  } files[] = {
      {"drewnoakes/Sony_Cybershot_3.jpg", nullptr},       // orientation 6, 2001-11-27
      {"pillow/sugarshack_bad_mpo_header.jpg", nullptr},  // a second picture after EOI
      {"broken/pillow__truncated_jpeg.jpg", nullptr},
      {"broken/goexif-rwcarlsen__samples__2006-11-11-19-17-56-sep-2006-11-11-19-17-56a.jpg", nullptr},
      {nullptr, "not a jpeg at all"},
      {nullptr, ""}};
  std::vector<std::string> originals;
  int n = 0;
  for (const File& f : files) {
    const std::string path = card + "/DCIM/" + std::to_string(++n) + ".jpg";
    if (f.source) {
      CopyCameraFile(f.source, path);
    } else {
      MakeFile(path, f.text);
    }
    originals.push_back(ReadFile(path));
  }
  WriteFile(card + "/ID.TXT", "PHOTOGRAPHERID=a/b\r\nEVENTID=../../" + escape + "\r\nBATCHID=3\r\n");
  MakeFolder(dest);

  Action a(host);
  Describe(a, {"Card", kMoveFilesFromMedia, card, dest, "*.jpg"});
  SortByDateAndEventAndNameByPhotographer(a);
  a.m_bAddOrUpdateBriskoExif = 1;
  a.m_bAutoRotateJPG = 1;
  a.m_bAutoRotateUseSubfolder = 1;
  const std::string output = RunOnceWith(host, a);

  // Relative path -> content of everything that arrived.
  std::map<std::string, std::string> arrived;
  for (const auto& e : fs::recursive_directory_iterator(dest)) {
    if (e.is_regular_file()) arrived[fs::relative(e.path(), dest).string()] = ReadFile(e.path().string());
  }
  ASSERT_EQ(arrived.size(), originals.size()) << output;
  std::set<std::string> folders;
  for (const auto& [rel, data] : arrived) {
    folders.insert(fs::path(rel).parent_path().string());
    EXPECT_EQ(fs::path(rel).filename().string().rfind("ab_", 0), 0u) << rel;
  }
  // Files without a readable date still get the event folder, never a path from the root.
  EXPECT_EQ(folders,
            (std::set<std::string>{escape, "2001-11-27/" + escape + "/Rotated", "2014-03-02/" + escape}));
  for (const std::string& outside :
       {host.Dir() + "/x/y/" + escape, host.Dir() + "/x/" + escape, host.Dir() + "/" + escape}) {
    EXPECT_FALSE(Exists(outside)) << outside;
  }
  // Files that cannot take the block arrive unchanged; the MPO keeps its second picture.
  for (size_t i = 2; i < originals.size(); ++i) {
    bool found = false;
    for (const auto& [rel, data] : arrived) found = found || data == originals[i];
    EXPECT_TRUE(found) << "file " << i + 1 << " arrived changed or not at all";
  }
  const std::string mpoTail = originals[1].substr(originals[1].size() - 60191);
  bool mpoWhole = false;
  for (const auto& [rel, data] : arrived) {
    mpoWhole = mpoWhole || (rel.rfind("2014-03-02/", 0) == 0 && data.size() > mpoTail.size() &&
                            data.compare(data.size() - mpoTail.size(), mpoTail.size(), mpoTail) == 0);
  }
  EXPECT_TRUE(mpoWhole);
  EXPECT_EQ(CountFiles(card), 1) << "only the ID.TXT stays on the card";
  EXPECT_TRUE(EntryNames(host.Dir() + "/temp", true).empty()) << "nothing left behind in the temp folder";

  if (!HaveExiftool()) GTEST_SKIP() << "exiftool is not installed";
  for (const auto& [rel, data] : arrived) {
    if (rel.find("/Rotated") == std::string::npos) continue;
    const std::string path = dest + "/" + rel;
    EXPECT_EQ(ExiftoolTag(path, "Orientation#"), "1");
    EXPECT_EQ(ExiftoolTag(path, "UserComment")
                  .rfind("BriskoExif:m_strIDFilepath=" + card +
                             "/ID.TXT|m_strPhotoGrapherID=a/b|m_strEventID=../../" + escape +
                             "|m_iBatchID=3|m_origFilename=1.jpg|",
                         0),
              0u);
  }
}

// Every failure says why on the line after it, in words the operator can act on.
TEST(RunOnceEndToEnd, AFailedMoveSaysWhyOnTheLineAfter) {
  struct Case {
    const char* what;
    bool readOnly;  // else the destination is missing
    int briskoExif;
    const char* reason;  // "@" stands for the missing folder
  } cases[] = {
      {"missing destination", false, 0, "\n  Reason: No such file or directory: @\n"},
      {"read-only destination", true, 0,
       "\n  Reason: Read-only file system (destination folder is read-only)\n"},
      {"photo left in the temp folder", true, 1,
       "\n  Reason: Read-only file system (destination folder is read-only)\nIn (Move Files) File left at "},
  };
  RowSkips skips;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FakeHost host;
    const std::string in = host.Dir() + "/in", media = host.Dir() + "/media";
    const std::string dest = c.readOnly ? host.Dir() + "/out" : media + "/card/out";
    CopyCameraFile("drewnoakes/FujiFilm_FinePix40i.jpg", in + "/a.jpg");
    MakeFolder(host.Dir() + "/out");
    ReadOnlyBind ro(host.Dir() + "/out");
    if (c.readOnly && !ro.Ok()) {
      skips.Skip(c.what, "cannot make a read-only bind mount here");
      continue;
    }
    skips.Ran();
    Action a(host);
    Describe(a, {"In", kMoveFiles, in, dest});
    a.m_bAddOrUpdateBriskoExif = c.briskoExif;
    const std::string output = RunOnceWith(host, a);
    std::string reason = c.reason;
    if (size_t at = reason.find('@'); at != std::string::npos) reason.replace(at, 1, media);
    EXPECT_NE(output.find("In (Move Files) Failed (CopyOrMoveFilesUsingShell): Move file from " + in +
                          "/a.jpg to " + dest + "/a.jpg" + reason),
              std::string::npos)
        << output;
  }
  if (skips.NoneRan()) GTEST_SKIP() << skips.Why();
}

// Files that cannot be read as JPEG photos move on untagged and unrotated, and the log says why.
TEST(RunOnceEndToEnd, FilesThatAreNoJpegSayWhyTheyWereNotTaggedOrRotated) {
  FakeHost host;
  const std::string in = host.Dir() + "/in", out = host.Dir() + "/out";
  MakeFile(in + "/notes.jpg", "shopping list\n", 1000);
  const std::string photo = ReadFile(kJpegs + "recurser/Landscape_6.jpg");
  const std::string cut = photo.substr(0, photo.size() * 6 / 10);  // ends inside the picture data
  MakeFile(in + "/cut.jpg", cut, 1000);
  MakeFolder(out);
  Action a(host);
  Describe(a, {"In", kMoveFiles, in, out});
  a.m_bAutoRotateJPG = 1;
  a.m_bAddOrUpdateBriskoExif = 1;
  const std::string output = RunOnceWith(host, a);
  EXPECT_EQ(ReadFile(out + "/notes.jpg"), "shopping list\n") << output;
  EXPECT_EQ(ReadFile(out + "/cut.jpg"), cut);
  for (const std::string& line :
       {"In (Move Files) Not rotated: not a JPEG file (no JPEG start marker): " + in + "/notes.jpg\n",
        "In (Move Files) Not tagged: not a JPEG file (no JPEG start marker): " + in + "/notes.jpg\n",
        "In (Move Files) Not rotated: its JPEG data is damaged or cut short: " + in + "/cut.jpg\n",
        "In (Move Files) Not tagged: its JPEG data is damaged or cut short: " + in + "/cut.jpg\n"}) {
    EXPECT_NE(output.find(line), std::string::npos) << line << output;
  }
}

// A write-protected card is said once, not on every pass, and said again when it comes back.
TEST(RunOnceEndToEnd, AWriteProtectedCardIsSaidOncePerCard) {
  FakeHost host;
  const std::string card = host.Dir() + "/card", in = host.Dir() + "/in";
  CopyCameraFile("drewnoakes/FujiFilm_FinePix40i.jpg", card + "/DCIM/100FUJI/DSCF0001.jpg");
  MakeFolder(in);
  Action a(host);
  Describe(a, {"Card", kMoveFilesFromMedia, card, in, "*.jpg"});
  const std::string said =
      "Card (Move Files from Media) Write-protected media: " + card +
      "\n  Reason: Read-only file system; its files are left there, not moved (unlock the "
      "card or mount it read-write, or copy them with a Copy Files action)\n";
  const std::string firstLine = said.substr(0, said.find('\n'));
  {
    ReadOnlyBind ro(card);
    if (!ro.Ok()) GTEST_SKIP() << "cannot make a read-only bind mount here";
    const std::string output = RunOnceWith(host, a);
    EXPECT_NE(output.find(said), std::string::npos) << output;
    EXPECT_TRUE(Exists(card + "/DCIM/100FUJI/DSCF0001.jpg"));

    // In one station, pass after pass: said once while the card stays in.
    a.m_bRunPending = 1;
    for (int pass = 0; pass < 3; ++pass) a.Run();
    EXPECT_EQ(std::count(host.log.begin(), host.log.end(), firstLine), 1);
  }
  fs::rename(card, card + ".out");  // the card is taken out
  a.Run();
  fs::rename(card + ".out", card);
  ReadOnlyBind again(card);
  ASSERT_TRUE(again.Ok());
  a.Run();
  EXPECT_EQ(std::count(host.log.begin(), host.log.end(), firstLine), 2);
}

}  // namespace
}  // namespace brisko
