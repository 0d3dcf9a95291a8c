// Shots by table: grouping, leader, sidecars, the members' new names and the shared suffix.
#include "engine/shots/shots.h"

#include <gtest/gtest.h>

#include <set>

namespace brisko {
namespace {

std::string Describe(const Shot& shot) {
  std::string text;
  for (size_t i = 0; i < shot.members.size(); ++i) {
    text += (i == shot.leader ? "*" : "") + shot.members[i].name;
    for (const std::string& s : shot.members[i].sidecars) text += "+" + s;
    text += " ";
  }
  return text;
}

TEST(Shots, GroupingLeaderAndSidecars) {
  const struct {
    std::vector<std::string> names;
    std::vector<std::string> shots;
  } cases[] = {
      {{"IMG_0001.CR2", "img_0001.JPG", "IMG_0001.HEIC", "IMG_0002.jpg"},
       {"IMG_0001.CR2 *img_0001.JPG IMG_0001.HEIC ", "*IMG_0002.jpg "}},
      {{"IMG_0003.HEIC", "IMG_0003.NEF"}, {"IMG_0003.HEIC *IMG_0003.NEF "}},
      {{"A.xmp", "A.CR2.xmp", "A.THM", "A.CR2", "A.JPG", "A.jpg.xmp"},
       {"A.CR2+A.xmp+A.CR2.xmp+A.THM *A.JPG+A.jpg.xmp "}},
      {{"B.HIF", "B.xmp"}, {"*B.HIF+B.xmp "}},
      {{"C.NEF.xmp", "D.xmp"}, {"*C.NEF.xmp ", "*D.xmp "}},  // nothing they belong to is here
      {{"E.JPG", "e.jpeg", "E.tif"}, {"*E.JPG e.jpeg E.tif "}},
  };
  for (const auto& c : cases) {
    std::vector<std::string> got;
    for (const Shot& s : GroupShots(c.names)) got.push_back(Describe(s));
    EXPECT_EQ(got, c.shots);
  }
}

TEST(Shots, SelectedMembersBringTheirSidecars) {
  const Shot shot = GroupShots({"A.CR2", "A.JPG", "A.CR2.xmp", "A.JPG.xmp"})[0];
  auto jpgOnly = [](const std::string& n) { return n.ends_with(".JPG"); };
  EXPECT_EQ(SelectedFiles(shot, jpgOnly), (std::vector<std::string>{"A.JPG", "A.JPG.xmp"}));
  auto all = [](const std::string&) { return true; };
  EXPECT_EQ(SelectedFiles(shot, all).size(), 4u);
  // "*.jpg" on a RAW+JPEG card: the shot's own sidecars come with its JPEG; the RAW's own stays.
  const Shot card = GroupShots({"B.CR2", "B.JPG", "B.xmp", "B.THM", "B.CR2.xmp"})[0];
  EXPECT_EQ(SelectedFiles(card, jpgOnly), (std::vector<std::string>{"B.xmp", "B.THM", "B.JPG"}));
  EXPECT_TRUE(SelectedFiles(card, [](const std::string&) { return false; }).empty());
}

TEST(Shots, MembersShareTheNewBaseAndOneSuffix) {
  const Shot shot = GroupShots({"IMG_7.CR2", "IMG_7.jpg", "IMG_7.xmp", "IMG_7.CR2.xmp"})[0];
  const std::vector<std::string> files = SelectedFiles(shot, [](const std::string&) { return true; });
  std::vector<std::string> renamed;
  for (const std::string& f : files) renamed.push_back(MemberNewName(shot, f, "Gala_0012"));
  EXPECT_EQ(renamed, (std::vector<std::string>{"Gala_0012.CR2", "Gala_0012.xmp", "Gala_0012.CR2.xmp",
                                               "Gala_0012.jpg"}));
  // Only the RAW's name is taken: every member moves to "_2"; then "_2" of the sidecar is taken too.
  std::set<std::string> taken = {"Gala_0012.CR2"};
  auto isTaken = [&](const std::string& n) { return taken.count(n) > 0; };
  bool ok = false;
  EXPECT_EQ(SharedCollisionSuffix(shot, files, "Gala_0012", isTaken, ok), "_2");
  EXPECT_TRUE(ok);
  taken.insert("Gala_0012_2.xmp");
  EXPECT_EQ(SharedCollisionSuffix(shot, files, "Gala_0012", isTaken, ok), "_3");
  EXPECT_EQ(SharedCollisionSuffix(shot, files, "Free", isTaken, ok), "");
  SharedCollisionSuffix(
      shot, files, "X", [](const std::string&) { return true; }, ok, 5);
  EXPECT_FALSE(ok);
}

TEST(Shots, AgeCountsTheWholeShot) {
  EXPECT_TRUE(ShotOldEnough({100, 200}, 1000, 800));
  EXPECT_FALSE(ShotOldEnough({100, 900}, 1000, 800));  // the JPEG is old enough, the RAW is not yet
  EXPECT_EQ(ShotTime({100, 900, 300}), 900);
}

}  // namespace
}  // namespace brisko
