// The whole way through: actions stored in the settings store, one --run-once of the program.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>

#include "engine/action.h"
#include "engine/engine_test_util.h"
#include "engine/fake_host.h"
#include "scheduler/id_txt.h"

namespace brisko {
namespace {

using namespace brisko::test;

TEST(RunOnceEndToEnd, StoredActionsMoveAndCopyFilesAndSaveTheCounters) {
  FakeHost host;
  const std::string card = host.Dir() + "/card", in = host.Dir() + "/in", out = host.Dir() + "/out",
                    archive = host.Dir() + "/archive";
  MakeFile(card + "/DCIM/100/IMG_1.jpg", "one", 1000);
  MakeFile(card + "/DCIM/100/IMG_2.jpg", "two", 1000);
  MakeFolder(in);
  MakeFolder(out);
  MakeFolder(archive);

  Action fromCard(host);
  fromCard.m_strName = "Card";
  fromCard.m_iType = kMoveFilesFromMedia;
  fromCard.m_strSourceFolder = card;
  fromCard.m_strDestFolder = in;
  fromCard.m_bCreateIDTxtFile = 1;
  fromCard.m_strFileSpec = "*.jpg";
  Action keep(host);
  keep.m_strName = "Archive";
  keep.m_iType = kCopySubfolders;
  keep.m_strSourceFolder = in;
  keep.m_strDestFolder = archive;
  host.Values().m_iBatchCounter = 7;
  fromCard.Save(0);
  keep.Save(1);
  host.Store().WriteProfileInt("Actions", "NumActions", 2);
  host.Store().WriteProfileString("Settings", "m_TempPath", host.Dir() + "/temp/");

  const std::string command = "env -u DISPLAY -u WAYLAND_DISPLAY XDG_RUNTIME_DIR=" + host.Dir() +
                              " XDG_STATE_HOME=" + host.Dir() + "/state " + BRISKO_BINARY + " --store '" +
                              host.Store().Path() + "' --run-once 2>&1";
  FILE* p = popen(command.c_str(), "r");
  ASSERT_NE(p, nullptr);
  std::string output;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) output.append(buf, n);
  const int status = pclose(p);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << output;

  EXPECT_EQ(ReadFile(in + "/IMG_1.jpg"), "one") << output;
  EXPECT_EQ(ReadFile(archive + "/IMG_2.jpg"), "two");
  EXPECT_FALSE(Exists(card + "/DCIM/100/IMG_1.jpg"));
  EXPECT_TRUE(Exists(card + "/DCIM/100")) << "the media's folders stay";
  EXPECT_NE(output.find("Card (Move Files from Media) Moving 2 file(s) from media"), std::string::npos)
      << output;
  const IdTxtEntries id = ParseIdTxt(ReadFile(card + "/ID.TXT"));
  EXPECT_EQ(id.batch.value_or(""), "2");
  EXPECT_EQ(host.Store().GetProfileInt("Actions", "m_iBatchCounter", 0), 9);
  EXPECT_EQ(host.Store().GetProfileInt("Actions", "m_iFileCounter", 0), 3);
}

}  // namespace
}  // namespace brisko
