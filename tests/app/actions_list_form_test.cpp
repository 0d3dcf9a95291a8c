#include "app/actions_list_form.h"

#include <gtest/gtest.h>

#include "app/fake_station_host.h"
#include "app/station.h"
#include "common/temp_dir.h"

namespace brisko {
namespace {

class TheActionsList : public ::testing::Test {
 protected:
  void SetUp() override {
    station.Init(dir / "settings.db");
    station.Store().WriteProfileString("Settings", "m_TempPath", dir / "temp/");
    SettingsStore& s = station.Store();
    const char* names[] = {"Card", "Print", "Tidy"};
    for (int i = 0; i < 3; ++i) {
      s.WriteProfileString(ActionSectionName(i), "m_strName", names[i]);
      s.WriteProfileInt(ActionSectionName(i), "m_iType", i == 2 ? kDeleteFiles : kMoveFiles);
      s.WriteProfileInt(ActionSectionName(i), "m_iScheduleType",
                        i == 1 ? kScheduleBarcodeScan : kScheduleContinuous);
      s.WriteProfileInt(ActionSectionName(i), "m_bEnabled", i == 2 ? 0 : 1);
    }
    s.WriteProfileInt("Actions", "NumActions", 3);
    station.LoadSettings();
  }

  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (const auto& a : station.Actions()) names.push_back(a->m_strName);
    return names;
  }
  std::vector<std::string> StoredNames() {
    std::vector<std::string> names;
    const int n = station.Store().GetProfileInt("Actions", "NumActions", 0);
    for (int i = 0; i < n; ++i)
      names.push_back(station.Store().GetProfileString(ActionSectionName(i), "m_strName", "?"));
    return names;
  }

  test::TempDir dir;
  test::FakeStationHost host;
  Station station{host};
  ActionsListForm form{station};
};

TEST_F(TheActionsList, MovesTheSelectionWithTheActionAndStopsAtTheEnds) {
  struct Row {
    int select;
    bool up;
    bool changed;
    int selectionAfter;
    std::vector<std::string> order;
  };
  const std::vector<Row> rows = {
      {0, true, false, 0, {"Card", "Print", "Tidy"}},   {2, false, false, 2, {"Card", "Print", "Tidy"}},
      {1, true, true, 0, {"Print", "Card", "Tidy"}},    {1, false, true, 2, {"Card", "Tidy", "Print"}},
      {-1, true, false, -1, {"Card", "Print", "Tidy"}}, {-1, false, false, -1, {"Card", "Print", "Tidy"}},
  };
  for (const Row& row : rows) {
    station.LoadActions();
    form.Select(row.select);
    EXPECT_EQ(row.up ? form.MoveUp() : form.MoveDown(), row.changed) << row.select << row.up;
    EXPECT_EQ(form.Selection(), row.selectionAfter) << row.select << row.up;
    EXPECT_EQ(Names(), row.order) << row.select << row.up;
  }
}

TEST_F(TheActionsList, ClonesAreDisabledWhateverTheirSource) {
  for (int source : {0, 2}) {  // enabled, disabled
    station.LoadActions();
    station.Actions()[size_t(source)]->m_strFileSpec = "*.jpg|*.cr2";
    form.Select(source);
    ASSERT_TRUE(form.Clone());
    const Action& copy = *station.Actions().back();
    EXPECT_EQ(copy.m_strName, "Copy of " + station.Actions()[size_t(source)]->m_strName);
    EXPECT_EQ(copy.m_bEnabled, 0);
    EXPECT_EQ(copy.m_strFileSpec, "*.jpg|*.cr2");
    EXPECT_EQ(copy.m_bRunPending, 1);  // armed like any Continuous action
    EXPECT_EQ(form.Selection(), source);
  }
}

TEST_F(TheActionsList, AsksOnceBeforeDeletingAndNoKeepsListAndStore) {
  std::vector<std::string> questions;
  bool answer = false;
  auto ask = [&](const std::string& q) {
    questions.push_back(q);
    return answer;
  };
  form.Select(1);
  EXPECT_FALSE(form.Delete(ask));
  EXPECT_EQ(questions,
            std::vector<std::string>{"Are you sure you want to delete the following action:\n 'Print'"});
  EXPECT_EQ(Names(), (std::vector<std::string>{"Card", "Print", "Tidy"}));
  answer = true;
  EXPECT_TRUE(form.Delete(ask));
  EXPECT_EQ(Names(), (std::vector<std::string>{"Card", "Tidy"}));
  EXPECT_EQ(form.Selection(), 1);
  EXPECT_EQ(StoredNames(), (std::vector<std::string>{"Card", "Print", "Tidy"}));  // until OK
  EXPECT_TRUE(form.Delete(ask));
  EXPECT_EQ(form.Selection(), -1);  // the last row went
  EXPECT_FALSE(form.Delete(ask));
  EXPECT_EQ(questions.size(), 3u);
}

TEST_F(TheActionsList, AddsOnlyWhatTheEditorAccepted) {
  EXPECT_FALSE(form.Add([](Action& a) {
    a.m_strName = "Dropped";
    return false;
  }));
  EXPECT_EQ(station.Actions().size(), 3u);
  EXPECT_TRUE(form.Add([](Action& a) {
    EXPECT_EQ(a.m_strFileSpec, "*.*");  // starts from the defaults
    EXPECT_EQ(a.m_bKeepShotsTogether, 1);  // on for an action made in the editor (off when loaded without it)
    a.m_strName = "Archive";
    a.m_iScheduleType = kScheduleOnCommand;
    a.m_iuCommandIndex = 4;
    return true;
  }));
  ASSERT_EQ(station.Actions().size(), 4u);
  EXPECT_EQ(station.Actions().back()->m_strName, "Archive");
  EXPECT_EQ(station.Actions().back()->m_bRunPending, 1);
  EXPECT_TRUE(station.IsCommandEnabled(4));
  form.Select(-1);
  EXPECT_FALSE(form.Edit([](Action&) { return true; }));
}

TEST_F(TheActionsList, OkSavesInListOrderAndCancelReloads) {
  form.Select(2);
  form.MoveUp();
  form.Select(0);
  form.Delete([](const std::string&) { return true; });
  form.Reject();
  EXPECT_EQ(Names(), (std::vector<std::string>{"Card", "Print", "Tidy"}));

  form.Select(2);
  form.MoveUp();
  form.Select(0);
  form.Delete([](const std::string&) { return true; });
  station.Store().WriteProfileInt("OperatorSelectableStrings", "NumStrings", 1);
  station.Store().WriteProfileString("OperatorSelectableStrings", "String_0", "Hall B");
  form.Accept();
  EXPECT_EQ(StoredNames(), (std::vector<std::string>{"Tidy", "Print"}));
  EXPECT_FALSE(station.Store().SectionExists(ActionSectionName(2)));
  EXPECT_EQ(station.Values().m_strOperatorSelectedText, "Hall B");
}

TEST_F(TheActionsList, WritesTheEnableFlagsAtOnce) {
  form.SetEnableBarcodeEntry(true);
  form.SetEnableOperatorSelectedText(true);
  EXPECT_EQ(station.Store().GetProfileInt("Settings", "m_bEnableBarcodeEntry", 0), 1);
  EXPECT_EQ(station.Store().GetProfileInt("Settings", "m_bEnableOperatorSelectedText", 0), 1);
  form.Reject();  // Cancel keeps them
  EXPECT_TRUE(form.EnableBarcodeEntry());
  form.SetEnableBarcodeEntry(false);
  EXPECT_EQ(station.Store().GetProfileInt("Settings", "m_bEnableBarcodeEntry", 1), 0);
  EXPECT_FALSE(station.EnableBarcodeEntry());
}

// A Time action due while its list is being edited runs when the editor closes, not before.
TEST_F(TheActionsList, HoldsBackTimeActionsWhileTheListIsEdited) {
  std::vector<std::string> runs;
  station.SetActionRunner([&](Action& a) {
    runs.push_back(a.m_strName);
    return true;
  });
  ASSERT_TRUE(form.Add([](Action& a) {
    a.m_strName = "Noon";
    a.m_iScheduleType = kScheduleTime;
    a.m_uiScheduleTime = 12;
    return true;
  }));
  const unsigned id = station.Actions().back()->m_uiTimerId;
  ASSERT_EQ(host.timers.count(id), 1u);
  station.BeginEditingActions();
  host.now += 2 * 24 * 3600;  // well past its time
  station.OnActionTimer(id);
  EXPECT_TRUE(runs.empty());
  EXPECT_EQ(host.timers.count(id), 0u);
  station.EndEditingActions();
  EXPECT_EQ(runs, std::vector<std::string>{"Noon"});
  EXPECT_EQ(host.timers.count(id), 1u);  // armed for the next day

  // Dropped meanwhile (Cancel reloads): nothing runs.
  station.BeginEditingActions();
  host.now += 2 * 24 * 3600;
  station.OnActionTimer(id);
  form.Reject();
  station.EndEditingActions();
  EXPECT_EQ(runs.size(), 1u);
}

}  // namespace
}  // namespace brisko
