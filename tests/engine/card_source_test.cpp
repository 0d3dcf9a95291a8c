// "card:": the cards the desktop mounted, found by the mount table, and read only in DCIM.
#include "engine/base/card_source.h"

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "common/jpeg_builder.h"
#include "engine/action/action.h"
#include "engine/fake_host.h"
#include "imagemeta/jpeg_exif_file.h"
#include "support/file_ops.h"

namespace brisko {
namespace {

// One mountinfo line for a mount at `point` (already escaped as the kernel writes it).
std::string MountLine(int id, const std::string& point, const std::string& fs = "vfat") {
  return std::to_string(id) + " 1 8:" + std::to_string(id) + " / " + point + " rw,nosuid,nodev shared:1 - " +
         fs + " /dev/sdb1 rw\n";
}

TEST(AMountTable, ReadsItsLinesAndPassesOverBrokenOnes) {
  const std::string text = MountLine(33, "/media/ann/NIKON\\040D850") +
                           "34 1 8:2 / /media/ann/X rw - ext4 /dev/sdc1 rw\n"  // no optional fields
                           "35 1 8:3 / relative rw - ext4 /dev/x rw\n"         // not a path
                           "36 1 8:4 / /media/ann/Y rw ext4 /dev/x rw\n"       // no separator
                           "37 1\n"
                           "\n"
                           "38 1 8:5 / /media/ann/Z rw shared:2 master:3 -\n";  // nothing after it
  const std::vector<MountEntry> entries = ParseMountInfo(text);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].mountPoint, "/media/ann/NIKON D850");
  EXPECT_EQ(entries[0].device, "8:33");
  EXPECT_EQ(entries[0].mountId, "33");
  EXPECT_EQ(entries[0].fsType, "vfat");
  EXPECT_EQ(entries[1].mountPoint, "/media/ann/X");
  EXPECT_EQ(entries[1].source, "/dev/sdc1");
  // Bounded however much arrives.
  std::string many;
  for (int i = 0; i < int(kMaxMountEntries) + 50; ++i) many += MountLine(i, "/m/" + std::to_string(i));
  EXPECT_EQ(ParseMountInfo(many).size(), kMaxMountEntries);
  EXPECT_TRUE(ParseMountInfo(std::string(100000, '\\')).empty());
}

class Cards : public ::testing::Test {
 protected:
  void SetUp() override {
    places.roots = {Root(), host.Dir() + "/run/media/ann"};
    places.mountTable = host.Dir() + "/mountinfo";
    host.Values().m_cardPlaces = places;
    std::filesystem::create_directories(Root());
    std::filesystem::create_directories(host.Dir() + "/out");
  }
  std::string Root() const { return host.Dir() + "/media/ann"; }
  // A volume at `name` under the root; `mounted` puts it into the mount table.
  std::string Volume(const std::string& name, const std::string& dcim, bool mounted = true,
                     const std::string& root = "") {
    const std::string at = (root.empty() ? Root() : root) + "/" + name;
    std::filesystem::create_directories(dcim.empty() ? at : at + "/" + dcim + "/100CANON");
    if (mounted) {
      std::string escaped;
      for (char c : at) escaped += c == ' ' ? std::string("\\040") : std::string(1, c);
      m_table += MountLine(int(m_table.size() % 200), escaped);
      test::WriteFile(places.mountTable, m_table);
    }
    return at;
  }

  test::FakeHost host;
  CardPlaces places;
  std::string m_table;
};

TEST_F(Cards, OnlyMountedVolumesUnderTheRootsWithADcimFolder) {
  const std::string eos = Volume("EOS_DIGITAL", "DCIM");
  const std::string nikon = Volume("NIKON D850", "dcim");
  Volume("BACKUP", "");                                    // a backup disk: no DCIM
  Volume("LEFT_BEHIND", "DCIM", false);                    // its mount point, after the card went
  Volume("ELSEWHERE", "DCIM", true, host.Dir() + "/mnt");  // mounted, not where the desktop mounts cards
  Volume("EOS_DIGITAL/inner", "DCIM");                     // below a card, not a card
  const std::vector<CardVolume> cards = FindCards(places);
  ASSERT_EQ(cards.size(), 2u);
  EXPECT_EQ(cards[0].label, "EOS_DIGITAL");
  EXPECT_EQ(cards[0].folder, eos + "/DCIM");
  EXPECT_EQ(cards[1].label, "NIKON D850");
  EXPECT_EQ(cards[1].folder, nikon + "/dcim");
  EXPECT_GT(cards[0].totalBytes, 0u);
  EXPECT_EQ(CardLine(CardVolume{"EOS_DIGITAL", "", "", "", "", 31'914'983'424}, true),
            "Card EOS_DIGITAL (31.9 GB) in");
  EXPECT_EQ(CardLine(CardVolume{"SMALL", "", "", "", "", 15'000'000}, false), "Card SMALL (15.0 MB) out");
  for (const char* text : {"card:", "CARD:", " card: "}) EXPECT_TRUE(IsCardSourceText(text)) << text;
  for (const char* text : {"card", "card:x", "/media/card:", "camera:"})
    EXPECT_FALSE(IsCardSourceText(text)) << text;
}

// Each card is its own source: both are copied, only from DCIM, and the action's stored source
// stays "card:" throughout (a save during the pass keeps it so).
TEST_F(Cards, ACopyTakesEveryCardsDcimFolderAndNothingElse) {
  const std::string eos = Volume("EOS_DIGITAL", "DCIM");
  const std::string nikon = Volume("NIKON D850", "DCIM");
  const std::string backup = Volume("BACKUP", "");
  test::WriteFile(eos + "/DCIM/100CANON/IMG_0001.JPG", "eos photo");
  std::filesystem::create_directories(eos + "/MISC");
  test::WriteFile(eos + "/MISC/notes.txt", "not a photo folder");
  test::WriteFile(nikon + "/DCIM/100CANON/DSC_0001.JPG", "nikon photo");
  test::WriteFile(backup + "/IMG_9999.JPG", "backup");
  Action action(host);
  action.m_strName = "Cards";
  action.m_iType = kCopyFiles;
  action.m_strSourceFolder = "card:";
  action.m_strDestFolder = host.Dir() + "/out/";
  action.m_strFileSpec = "*";
  action.m_bIncludeSubFolders = 1;
  action.m_bEnabled = action.m_bRunPending = 1;
  std::vector<std::string> sourcesSeen;
  host.onProgress = [&] { sourcesSeen.push_back(action.m_strSourceFolder); };
  ASSERT_TRUE(action.Run());
  EXPECT_EQ(test::ReadFile(host.Dir() + "/out/IMG_0001.JPG"), "eos photo");
  EXPECT_EQ(test::ReadFile(host.Dir() + "/out/DSC_0001.JPG"), "nikon photo");
  EXPECT_FALSE(std::filesystem::exists(host.Dir() + "/out/notes.txt"));
  EXPECT_FALSE(std::filesystem::exists(host.Dir() + "/out/IMG_9999.JPG"));
  EXPECT_TRUE(std::filesystem::exists(eos + "/DCIM/100CANON/IMG_0001.JPG"));
  ASSERT_FALSE(sourcesSeen.empty());
  for (const std::string& seen : sourcesSeen) EXPECT_EQ(seen, "card:");
  // No card in: nothing to do, and no failure.
  places.roots = {host.Dir() + "/nowhere"};
  host.Values().m_cardPlaces = places;
  action.m_bRunPending = 1;
  EXPECT_TRUE(action.Run());
}

// A copy turned upright keeps the card's photo as it was, and its time, so the next pass finds it
// up to date.
TEST_F(Cards, ACopyIsTurnedUprightAndTheCardKeepsTheOriginal) {
  const std::string eos = Volume("EOS_DIGITAL", "DCIM");
  test::TiffBuilder tiff('I');
  tiff.ifd0 = {tiff.Short(0x0112, 6)};
  const test::Bytes sideways =
      test::WithSegments(test::MakeJpeg(32, 16), {test::Segment(0xFFE1, tiff.Build())});
  const std::string photo = eos + "/DCIM/100CANON/IMG_0002.JPG";
  test::Save(photo, sideways);
  Action action(host);
  action.m_strName = "Cards";
  action.m_iType = kCopyFiles;
  action.m_strSourceFolder = "card:";
  action.m_strDestFolder = host.Dir() + "/out/";
  action.m_strFileSpec = "*.jpg";
  action.m_bIncludeSubFolders = action.m_bAutoRotateJPG = 1;
  action.m_bEnabled = action.m_bRunPending = 1;
  ASSERT_TRUE(action.Run());
  const std::string copy = host.Dir() + "/out/IMG_0002.JPG";
  EXPECT_EQ(test::Load(photo), sideways);
  ASSERT_TRUE(std::filesystem::exists(copy));
  EXPECT_FALSE(JpegNeedsRotation(copy));
  FileInfo a, b;
  ASSERT_TRUE(GetFileStatus(photo, a) && GetFileStatus(copy, b));
  EXPECT_EQ(a.modTime, b.modTime);
  const int copiedLines = host.LogLinesWith("Copied file");
  action.m_bRunPending = 1;
  ASSERT_TRUE(action.Run());
  EXPECT_EQ(host.LogLinesWith("Copied file"), copiedLines);
  for (const auto& entry : std::filesystem::directory_iterator(host.Dir() + "/out"))
    EXPECT_EQ(entry.path().filename().string()[0] == '.', false) << entry.path();
}

// A real volume, where root may mount one: found by the kernel's own mount table.
TEST_F(Cards, ALoopMountedCardIsFoundInTheRealMountTable) {
  if (geteuid() != 0 || std::system("command -v mkfs.ext4 >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "needs root and mkfs.ext4 to mount a card image";
  const std::string image = host.Dir() + "/card.img", at = Root() + "/EOS_DIGITAL";
  std::filesystem::create_directories(at);
  const std::string make = "truncate -s 8M '" + image + "' && mkfs.ext4 -q -F '" + image +
                           "' && mount -o loop '" + image + "' '" + at + "' 2>/dev/null";
  if (std::system(make.c_str()) != 0) GTEST_SKIP() << "this machine cannot loop-mount";
  std::filesystem::create_directories(at + "/DCIM/100CANON");
  CardPlaces real;
  real.roots = {Root()};
  const std::vector<CardVolume> cards = FindCards(real);
  ::umount2(at.c_str(), MNT_DETACH);
  ASSERT_EQ(cards.size(), 1u);
  EXPECT_EQ(cards[0].folder, at + "/DCIM");
  EXPECT_GT(cards[0].totalBytes, 4'000'000u);
  EXPECT_LT(cards[0].totalBytes, 9'000'000u);
  EXPECT_TRUE(FindCards(real).empty()) << "taken out";
}

}  // namespace
}  // namespace brisko
