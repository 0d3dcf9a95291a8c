// The prints-left counter: what the operator types, what the store keeps, what a run counts.
#include "engine/printing/paper_count.h"

#include <gtest/gtest.h>

#include "common/temp_dir.h"
#include "support/settings_store.h"

namespace brisko {
namespace {

TEST(APaperLoad, ReadsWhatTheOperatorTypes) {
  using L = PaperLoad;
  const std::vector<std::pair<std::string, std::optional<PaperLoad>>> rows = {
      {"36", L{"", 36}},
      {"0", L{"", 0}},
      {"off", L{"", -1}},
      {"Selphy", L{"Selphy", std::nullopt}},
      {"Selphy:18", L{"Selphy", 18}},
      {"Selphy:off", L{"Selphy", -1}},
      {"ipp:dnp:400", L{"ipp:dnp", 400}},  // the count follows the last colon
      {"100000", L{"", 100000}},
      {"", std::nullopt},
      {"100001", std::nullopt},
      {"Selphy:-1", std::nullopt},
      {"Selphy:", std::nullopt},
      {":5", std::nullopt},
      {"Sel phy:5", std::nullopt},
      {"a/b:5", std::nullopt},
      {"a\\b", std::nullopt},
      {std::string(128, 'q'), std::nullopt},
  };
  for (const auto& [text, want] : rows) {
    EXPECT_EQ(ParsePaperLoad(text), want) << text;
    if (want) {
      EXPECT_EQ(ParsePaperLoad(FormatPaperLoad(*want)), want);
    }
  }
}

TEST(APaperCount, CountsDownPerPageRemembersTheLoadAndSurvivesAReopen) {
  test::TempDir dir;
  SettingsStore store;
  ASSERT_TRUE(store.Open(dir / "s.db"));
  PaperCount paper(store);
  EXPECT_EQ(paper.Left("Selphy"), -1);  // never loaded: not counted, never blocks
  EXPECT_EQ(paper.Use("Selphy", 3), -1);
  EXPECT_EQ(paper.PerLoad("Selphy"), kFirstPrintsPerLoad);
  EXPECT_TRUE(paper.Load("Selphy", -1));

  ASSERT_TRUE(paper.Load("Selphy", 5));
  EXPECT_EQ(paper.Use("Selphy", 2), 3);
  EXPECT_EQ(paper.Use("Selphy", 4), 0);  // never below nothing
  EXPECT_EQ(paper.Left("DNP"), -1);      // per queue

  SettingsStore again;
  ASSERT_TRUE(again.Open(dir / "s.db"));
  PaperCount reopened(again);
  EXPECT_EQ(reopened.Left("Selphy"), 0);
  EXPECT_EQ(reopened.PerLoad("Selphy"), 5);
  ASSERT_TRUE(reopened.Load("Selphy", -1));  // counting stopped; the last load is still offered
  EXPECT_EQ(reopened.Left("Selphy"), -1);
  EXPECT_EQ(reopened.PerLoad("Selphy"), 5);
  EXPECT_FALSE(reopened.Load("a\\b", 5));
}

}  // namespace
}  // namespace brisko
