// A folder large enough that its statuses and in-use tests are read two at a time.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>

#include "engine/action/action.h"
#include "engine/engine_test_util.h"
#include "engine/fake_host.h"
#include "support/folder_enum.h"

namespace brisko {
namespace {

using namespace brisko::test;

TEST(LargeFolderTest, EveryFileIsListedInNameOrderAndOnlyTheHeldOnesStay) {
  FakeHost host;
  const std::string src = host.Dir() + "/in", dst = host.Dir() + "/out";
  MakeFolder(dst);
  const int count = 600;
  auto name = [](int i) {
    char text[32];
    std::snprintf(text, sizeof text, "IMG_%05d.jpg", i);
    return std::string(text);
  };
  for (int i = count - 1; i >= 0; --i) MakeFile(src + "/" + name(i), "x", 1'600'000'000);

  std::vector<FileInfo> entries;
  ASSERT_TRUE(ListFolder(src, "*", entries));
  ASSERT_EQ(entries.size(), size_t(count) + 2);
  EXPECT_EQ(entries[0].name, ".");
  for (int i = 0; i < count; ++i) {
    ASSERT_EQ(entries[size_t(i) + 2].name, name(i));
    ASSERT_EQ(entries[size_t(i) + 2].size, 1u);  // each entry's own status
  }

  // One held at each end of the two halves' split; their neighbours go.
  FileHolder first(src + "/" + name(0)), middle(src + "/" + name(count / 2)),
      last(src + "/" + name(count - 1));
  ASSERT_TRUE(first.Ok() && middle.Ok() && last.Ok());
  host.now = 1'700'000'000;
  Action action(host);
  action.m_strName = "T";
  action.m_strSourceFolder = src;
  action.m_strDestFolder = dst;
  action.m_bRunPending = 1;
  action.m_iType = kMoveFiles;
  action.Run();
  EXPECT_EQ(EntryNames(src, true), (std::set<std::string>{name(0), name(count / 2), name(count - 1)}));
  EXPECT_EQ(CountFiles(dst), count - 3);
  EXPECT_NE(host.LoggedText().find("File currently locked - " + src + "/" + name(count / 2)),
            std::string::npos);
}

}  // namespace
}  // namespace brisko
