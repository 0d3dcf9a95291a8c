// "actions ..." on a station: the list edited from the command line, and never under a run.
#include "app/action_commands.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "app/fake_station_host.h"
#include "app/station.h"
#include "common/temp_dir.h"

namespace brisko {
namespace {

class ActionsFromTheCommandLine : public ::testing::Test {
 protected:
  void SetUp() override {
    station.Init(dir / "settings.db");
    station.Store().WriteProfileString("Settings", "m_TempPath", dir / "temp/");
    for (const char* folder : {"in", "out", "other"}) mkdir((dir / folder).c_str(), 0755);
    station.LoadSettings();
  }

  ActionsReply Run(std::vector<std::string> args, bool running = false) {
    return RunActionsCommand(station, args, running);
  }
  // Adds a Copy Files action from in/ to out/ named `name`.
  void AddCopy(const std::string& name) {
    ASSERT_EQ(
        Run({"add", "Copy Files", name, "m_strSourceFolder=" + dir / "in", "m_strDestFolder=" + dir / "out"})
            .exitCode,
        0);
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
};

TEST_F(ActionsFromTheCommandLine, ArgumentsAreCheckedForTheirShapeFirst) {
  const std::vector<std::pair<std::vector<std::string>, bool>> rows = {
      {{"list"}, true},
      {{"list", "1"}, false},
      {{"show"}, false},
      {{"show", "0"}, false},
      {{"show", "x"}, false},
      {{"add", "1"}, false},
      {{"add", "1", "Name"}, true},
      {{"add", "1", "Name", "novalue"}, false},
      {{"set", "2"}, false},
      {{"set", "2", "m_bEnabled=1"}, true},
      {{"move", "1"}, false},
      {{"move", "1", "3"}, true},
      {{"remove", "1", "2"}, false},
      {{"rename", "1"}, false},
      {{}, false},
  };
  for (const auto& [args, ok] : rows) {
    std::string line;
    for (const auto& a : args) line += a + " ";
    EXPECT_EQ(CheckActionsArguments(args).empty(), ok) << line;
  }
}

TEST_F(ActionsFromTheCommandLine, AddsListsChangesMovesAndRemovesAndSavesEachTime) {
  EXPECT_EQ(Run({"list"}).out, "No actions\n");
  AddCopy("Cards");
  AddCopy("Backup");
  EXPECT_EQ(StoredNames(), (std::vector<std::string>{"Cards", "Backup"}));
  const ActionsReply list = Run({"list"});
  EXPECT_EQ(list.out, "1. Cards (Copy Files), Continuous, enabled: " + dir / "in" + " -> " + dir / "out" +
                          "\n2. Backup (Copy Files), Continuous, enabled: " + dir / "in" + " -> " +
                          dir / "out" + "\n");
  // A new action keeps shots together, as one added in the window.
  EXPECT_EQ(station.Actions()[0]->m_bKeepShotsTogether, 1);

  ActionsReply set = Run({"set", "2", "m_strDestFolder=" + dir / "other", "m_strName=Spare"});
  EXPECT_EQ(set.exitCode, 0) << set.err;
  EXPECT_EQ(set.out, "Changed action 2: Spare (Copy Files)\n");
  EXPECT_EQ(station.Store().GetProfileString(ActionSectionName(1), "m_strDestFolder", ""), dir / "other");

  EXPECT_EQ(Run({"disable", "1"}).exitCode, 0);
  EXPECT_EQ(station.Store().GetProfileInt(ActionSectionName(0), "m_bEnabled", 1), 0);
  EXPECT_EQ(Run({"move", "2", "1"}).out, "Moved action 1: Spare (Copy Files)\n");
  EXPECT_EQ(StoredNames(), (std::vector<std::string>{"Spare", "Cards"}));
  EXPECT_EQ(Run({"remove", "1"}).out, "Removed action 1: Spare (Copy Files)\n");
  EXPECT_EQ(StoredNames(), (std::vector<std::string>{"Cards"}));
  EXPECT_FALSE(station.Store().SectionExists(ActionSectionName(1)));

  const ActionsReply show = Run({"show", "1"});
  EXPECT_NE(show.out.find("Action 1: Cards (Copy Files)\nm_iType=2\n    what the action does"),
            std::string::npos);
  EXPECT_NE(show.out.find("\nm_bEnabled=0\n"), std::string::npos);
}

TEST_F(ActionsFromTheCommandLine, ARefusalSaysWhyAndChangesNothing) {
  AddCopy("Cards");
  struct Row {
    std::vector<std::string> args;
    int code;
    std::string err;
  };
  const std::vector<Row> rows = {
      {{"show", "3"}, 1, "no action 3: the station has 1 action(s) (1 to 1)\n"},
      {{"set", "1", "m_strSourceFolder=" + dir / "missing"},
       1,
       "Source folder is invalid.  Please confirm you have read/write capability.\n"},
      {{"set", "1", "m_strName=Other", "m_iScheduleType=9"},
       1,
       "m_iScheduleType takes a whole number from 0 to 6, not '9'\n"},
      {{"move", "1", "2"}, 1, "no action 2: the station has 1 action(s) (1 to 1)\n"},
      {{"add", "Copy Files", "Twin"}, 1, "The source and destination folders must be different\n"},
      {{"add", "1", "x", "m_bFoo=1"}, 1, "no action field is named m_bFoo ('actions show N' lists them)\n"},
      {{"set", "1"}, 2, ""},
  };
  for (const Row& row : rows) {
    const ActionsReply reply = Run(row.args);
    EXPECT_EQ(reply.exitCode, row.code) << row.args[0];
    if (!row.err.empty()) {
      EXPECT_EQ(reply.err, row.err);
    }
    EXPECT_EQ(reply.out, "");
  }
  EXPECT_EQ(StoredNames(), (std::vector<std::string>{"Cards"}));
  EXPECT_EQ(station.Actions()[0]->m_strName, "Cards");
  EXPECT_EQ(station.Actions()[0]->m_strSourceFolder, dir / "in");

  station.BeginEditingActions();
  EXPECT_NE(Run({"disable", "1"}).err.find("being edited in the window"), std::string::npos);
  EXPECT_EQ(Run({"list"}).exitCode, 0);
  station.EndEditingActions();
}

// An edit that arrives while its action runs (a request handled between two files) leaves the
// running pass as it began; the list holds the edit for the next pass.
TEST_F(ActionsFromTheCommandLine, AnEditDuringItsRunTakesEffectAtTheNextPass) {
  AddCopy("Cards");
  std::vector<std::string> destinationsSeen;
  ActionsReply midRun;
  station.SetActionRunner([&](Action& action) {
    destinationsSeen.push_back(action.m_strDestFolder);
    if (destinationsSeen.size() == 1) midRun = Run({"set", "1", "m_strDestFolder=" + dir / "other"}, true);
    destinationsSeen.push_back(action.m_strDestFolder);
    return true;
  });
  station.Open();
  for (int tick = 0; tick <= kStartupCountdown; ++tick) station.OnLoopTimer();
  ASSERT_EQ(midRun.exitCode, 0) << midRun.err;
  EXPECT_NE(midRun.out.find("from the action's next pass on"), std::string::npos);
  EXPECT_TRUE(host.Logged("Changed action 1: Cards (Copy Files) (from the command line)"));
  EXPECT_EQ(station.Actions()[0]->m_strDestFolder, dir / "other");
  station.OnLoopTimer();
  EXPECT_EQ(destinationsSeen,
            (std::vector<std::string>{dir / "out", dir / "out", dir / "other", dir / "other"}));
  EXPECT_EQ(station.Store().GetProfileString(ActionSectionName(0), "m_strDestFolder", ""), dir / "other");
}

}  // namespace
}  // namespace brisko
