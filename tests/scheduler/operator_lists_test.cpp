#include "scheduler/operator_lists.h"

#include <gtest/gtest.h>

#include "common/temp_dir.h"
#include "support/settings_store.h"

using namespace brisko;

namespace {
struct ListsFixture : ::testing::Test {
  void SetUp() override { ASSERT_TRUE(store.Open(dir / "settings.db")); }
  test::TempDir dir;
  SettingsStore store;
};
}  // namespace

TEST(AnOperatorTextBox, showsOneLinePerTextAndDropsBlankLinesButNotBlanks) {
  EXPECT_EQ(OperatorTextForm::ToBoxText({"a", " b"}), "a\r\n b\r\n");
  EXPECT_EQ(OperatorTextForm::ToBoxText({}), "");
  const std::pair<const char*, std::vector<std::string>> rows[] = {
      {"one\r\n\r\ntwo\r\n", {"one", "two"}},
      {"  lead\ntrail  \r\r\n\n", {"  lead", "trail  "}},
      {"\r\n\r\n", {}},
      {"", {}},
      {" ", {" "}},
      {"a\rb", {"a", "b"}},
  };
  for (const auto& [text, strings] : rows) EXPECT_EQ(OperatorTextForm::FromBoxText(text), strings) << text;
}

TEST_F(ListsFixture, operatorStringsShrinkByCountAndLeaveOldValuesUnread) {
  SaveOperatorSelectableStrings(store, {"a", "b", "c"});
  SaveOperatorSelectableStrings(store, {"x"});
  EXPECT_EQ(store.GetProfileInt("OperatorSelectableStrings", "NumStrings", -1), 1);
  EXPECT_EQ(store.GetProfileString("OperatorSelectableStrings", "String_2", "gone"), "c");
  EXPECT_EQ(LoadOperatorSelectableStrings(store), std::vector<std::string>{"x"});
  // Empty stored texts (written by other tools or a restore) are skipped on loading.
  store.WriteProfileInt("OperatorSelectableStrings", "NumStrings", 3);
  store.WriteProfileString("OperatorSelectableStrings", std::string("String_1"), std::string());
  EXPECT_EQ(LoadOperatorSelectableStrings(store), (std::vector<std::string>{"x", "c"}));
  // A damaged count reads only as far as the limit.
  store.WriteProfileInt("OperatorSelectableStrings", "NumStrings", 0x7fffffff);
  EXPECT_EQ(LoadOperatorSelectableStrings(store), (std::vector<std::string>{"x", "c"}));
}

TEST_F(ListsFixture, commandNamesDefaultOnlyWhenMissingAndKeepEmptyNames) {
  CommandNameArray names = LoadCommandNames(store);
  EXPECT_EQ(names[0], "Command 1");
  EXPECT_EQ(names[19], "Command 20");
  CommandNamesForm form(names);
  form.Box(0) = "";
  form.Box(4) = " Print all ";
  SaveCommandNames(store, form.Accept());
  CommandNameArray back = LoadCommandNames(store);
  EXPECT_EQ(back[0], "");
  EXPECT_EQ(back[4], " Print all ");
  EXPECT_EQ(back[1], "Command 2");
  EXPECT_EQ(store.GetProfileString("CommandNames", "m_strCommandNamesArray_19", "missing"), "Command 20");
}

TEST(AnOperatorTextChoice, selectsTheFirstEntryAndEmptiesOnlyWhenAsked) {
  std::string selected = "old";
  EXPECT_EQ(FillOperatorTextChoice({"Studio A", "Studio B"}, selected, false), 0);
  EXPECT_EQ(selected, "Studio A");
  EXPECT_EQ(FillOperatorTextChoice({}, selected, false), -1);  // loading with no strings
  EXPECT_EQ(selected, "Studio A");
  EXPECT_EQ(FillOperatorTextChoice({}, selected, true), -1);  // after "Configure actions..."
  EXPECT_EQ(selected, "");
}
