#include "app/station.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include "app/fake_station_host.h"
#include "common/temp_dir.h"
#include "engine/printing/paper_count.h"

namespace brisko {
namespace {

using test::FakeStationHost;

struct ActionSpec {
  std::string name;
  int schedule = kScheduleContinuous;
  int enabled = 1;
  int command = 0;
  unsigned hour = 0, minute = 0, interval = 60;
};

class AStation : public ::testing::Test {
 protected:
  void SetUp() override {
    station.Init(dir / "settings.db");
    station.Store().WriteProfileString("Settings", "m_TempPath", dir / "temp/");
    // Actions made before the settings are loaded default to it too, never /var/tmp.
    station.Values().m_TempPath = dir / "temp/";
    station.SetActionRunner([this](Action& a) {
      if (!a.EntryTest()) return false;
      runs.push_back(a.m_strName);
      if (onRun) onRun(a);
      return true;
    });
  }

  void Write(const std::vector<ActionSpec>& specs) {
    SettingsStore& s = station.Store();
    for (size_t i = 0; i < specs.size(); ++i) {
      std::string sec = ActionSectionName(int(i));
      s.WriteProfileString(sec, "m_strName", specs[i].name);
      s.WriteProfileInt(sec, "m_iScheduleType", specs[i].schedule);
      s.WriteProfileInt(sec, "m_bEnabled", specs[i].enabled);
      s.WriteProfileInt(sec, "m_iuCommandIndex", specs[i].command);
      s.WriteProfileInt(sec, "m_uiScheduleTime", int(specs[i].hour));
      s.WriteProfileInt(sec, "m_uiScheduleTimeMins", int(specs[i].minute));
      s.WriteProfileInt(sec, "m_uiRunInterval", int(specs[i].interval));
    }
    s.WriteProfileInt("Actions", "NumActions", int(specs.size()));
  }

  // Opens the window's loop and ticks through the countdown.
  void OpenAndCountDown() {
    station.Open();
    for (int i = 0; i < kStartupCountdown; ++i) station.OnLoopTimer();
  }

  test::TempDir dir;
  FakeStationHost host;
  Station station{host};
  std::vector<std::string> runs;
  std::function<void(Action&)> onRun;
};

TEST_F(AStation, CountsDownFiveTicksThenPassesOnTheSixth) {
  Write({{"A"}});
  station.Open();
  EXPECT_TRUE(host.loopOn);
  EXPECT_EQ(host.loopPeriod, 1000);
  for (int i = 0; i < 5; ++i) station.OnLoopTimer();
  EXPECT_EQ(host.log, (std::vector<std::string>{"Actions starting in 5s...", "Actions starting in 4s...",
                                                "Actions starting in 3s...", "Actions starting in 2s...",
                                                "Actions starting in 1s..."}));
  EXPECT_TRUE(runs.empty());
  bool timerDuringPass = true;
  onRun = [&](Action&) { timerDuringPass = host.loopOn; };
  station.OnLoopTimer();
  EXPECT_EQ(runs, std::vector<std::string>{"A"});
  EXPECT_FALSE(timerDuringPass);
  EXPECT_TRUE(host.loopOn);
  EXPECT_FALSE(station.Values().g_bActionsRunning);
}

TEST_F(AStation, ADamagedActionCountLoadsTheStoredActionsAndSaysSo) {
  Write({{"a"}, {"b"}});
  station.Store().WriteProfileInt("Actions", "NumActions", 0x7fffffff);
  station.LoadActions();
  ASSERT_EQ(station.Actions().size(), 2u);
  EXPECT_EQ(station.Actions()[1]->m_strName, "b");
  EXPECT_TRUE(host.Logged("NumActions 2147483647 is outside 0 to 1000; loading the stored actions"));
}

TEST_F(AStation, NeverNestsPasses) {
  Write({{"A"}, {"B"}});
  OpenAndCountDown();
  onRun = [&](Action&) { station.OnLoopTimer(); };  // a tick dispatched inside the run
  station.OnLoopTimer();
  EXPECT_EQ(runs, (std::vector<std::string>{"A", "B"}));
}

TEST_F(AStation, PassSkipsOnCommandAndWhatIsNotDue) {
  Write({{"cont"},
         {"cmd", kScheduleOnCommand},
         {"shut", kScheduleShutdown},
         {"bar", kScheduleBarcodeScan},
         {"time", kScheduleTime, 1, 0, 3, 0},
         {"start", kScheduleStartup},
         {"off", kScheduleContinuous, 0}});
  OpenAndCountDown();
  station.OnLoopTimer();
  EXPECT_EQ(runs, (std::vector<std::string>{"cont", "start"}));
  runs.clear();
  station.OnLoopTimer();
  EXPECT_EQ(runs, (std::vector<std::string>{"cont"}));  // Startup ran once
  station.LoadActions();                                // e.g. "Configure actions..." cancelled
  runs.clear();
  station.OnLoopTimer();
  EXPECT_EQ(runs, (std::vector<std::string>{"cont", "start"}));
}

TEST_F(AStation, RunsIntervalActionsAfterWholeMinutes) {
  Write({{"every hour", kScheduleInterval, 1, 0, 0, 0, 60}});
  OpenAndCountDown();
  const std::time_t start = host.now;
  station.OnLoopTimer();
  EXPECT_EQ(runs.size(), 1u);  // first time reached after loading
  host.now = start + 60 * 60 - 1;
  station.OnLoopTimer();
  EXPECT_EQ(runs.size(), 1u);
  host.now = start + 60 * 60;
  station.OnLoopTimer();
  EXPECT_EQ(runs.size(), 2u);
  station.RunOnce();  // Run Once follows the same rule
  EXPECT_EQ(runs.size(), 2u);
}

TEST_F(AStation, RunOnceLogsEachActionAndSkipsOnCommand) {
  Write({{"cont"}, {"cmd", kScheduleOnCommand}, {"shut", kScheduleShutdown}, {"start", kScheduleStartup}});
  station.Open();
  station.SetRunContinuously(false);
  EXPECT_FALSE(host.loopOn);
  host.log.clear();
  station.RunOnce();
  EXPECT_EQ(runs, (std::vector<std::string>{"cont", "start"}));
  const std::string banner(198, '-');
  EXPECT_EQ(host.log, (std::vector<std::string>{banner, "Running action: cont", banner,
                                                "Running action: shut", banner, "Running action: start"}));
}

TEST_F(AStation, RunsCommandsAndBarcodesByHand) {
  Write({{"c3", kScheduleOnCommand, 1, 2}, {"c4", kScheduleOnCommand, 0, 3}, {"scan", kScheduleBarcodeScan}});
  station.Store().WriteProfileString("CommandNames", "m_strCommandNamesArray_2", "Night copy");
  station.Open();
  host.log.clear();
  station.ExecuteCommand(2);
  EXPECT_EQ(runs, std::vector<std::string>{"c3"});
  EXPECT_TRUE(host.Logged("Executing Command: Night copy - Running action: c3"));
  EXPECT_TRUE(host.loopOn);
  station.ExecuteCommand(3);  // its only action is disabled
  EXPECT_EQ(runs.size(), 1u);

  station.OnBarcodeText(" 1P0042 ");
  EXPECT_EQ(runs.back(), "scan");
  EXPECT_EQ(host.summaries, std::vector<std::string>{"1. Person ID: P0042\n"});
  EXPECT_EQ(station.Actions()[2]->m_bRunPending, 0);
  station.OnBarcodeText("");  // an empty scan runs them too
  EXPECT_EQ(runs.size(), 3u);
  station.RunOnce();  // Barcode Scan actions are armed only for their own run
  EXPECT_EQ(runs.size(), 3u);
}

// A choice past the end of the list (shortened meanwhile) keeps the text chosen before.
TEST_F(AStation, KeepsTheOperatorTextOnAChoiceOutOfRange) {
  SettingsStore& s = station.Store();
  s.WriteProfileInt("OperatorSelectableStrings", "NumStrings", 2);
  s.WriteProfileString("OperatorSelectableStrings", "String_0", "Studio A");
  s.WriteProfileString("OperatorSelectableStrings", "String_1", "Studio B");
  station.Open();
  station.ChooseOperatorText(1);
  station.ChooseOperatorText(5);
  EXPECT_EQ(station.Values().m_strOperatorSelectedText, "Studio B");
}

// Time-of-day arming: local time rules, midnight and daylight saving changes.
class TimeArming : public AStation {
 protected:
  void SetUp() override {
    const char* tz = getenv("TZ");
    m_oldTz = tz ? tz : "";
    m_hadTz = tz != nullptr;
    AStation::SetUp();
  }
  void TearDown() override {
    if (m_hadTz)
      setenv("TZ", m_oldTz.c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }
  static std::time_t Local(int y, int mo, int d, int h, int mi, int s = 0) {
    std::tm tm{};
    tm.tm_year = y - 1900;
    tm.tm_mon = mo - 1;
    tm.tm_mday = d;
    tm.tm_hour = h;
    tm.tm_min = mi;
    tm.tm_sec = s;
    tm.tm_isdst = -1;
    return std::mktime(&tm);
  }
  // A UTC station at 9:00 whose first action runs daily at 10:00; returns that action's timer.
  unsigned OpenWithTenOClockAction(std::vector<ActionSpec> more = {}) {
    setenv("TZ", "UTC", 1);
    tzset();
    host.now = Local(2026, 6, 10, 9, 0);
    more.insert(more.begin(), {"t", kScheduleTime, 1, 0, 10, 0});
    Write(more);
    station.Open();
    return station.Actions()[0]->m_uiTimerId;
  }
  std::string m_oldTz;
  bool m_hadTz = false;
};

TEST_F(TimeArming, ArmsForTheNextMatchingLocalTime) {
  struct Row {
    const char* tz;
    std::time_t now;  // filled below, after TZ is set
    int y, mo, d, h, mi, s;
    unsigned hour, minute;
    int64_t delaySeconds;  // -1: not armed
  };
  std::vector<Row> rows = {
      {"UTC", 0, 2026, 6, 10, 9, 0, 0, 10, 30, 5400},                  // later today
      {"UTC", 0, 2026, 6, 10, 11, 0, 0, 10, 30, 23 * 3600 + 1800},     // past today: tomorrow
      {"UTC", 0, 2026, 6, 10, 10, 30, 0, 10, 30, 86400},               // this very second: tomorrow
      {"UTC", 0, 2026, 12, 31, 23, 59, 0, 0, 0, 60},                   // across the year's end
      {"Europe/Berlin", 0, 2026, 3, 28, 23, 30, 0, 0, 30, 3600},       // midnight before spring change
      {"Europe/Berlin", 0, 2026, 3, 29, 1, 0, 0, 4, 0, 2 * 3600},      // the lost hour
      {"Europe/Berlin", 0, 2026, 3, 28, 12, 0, 0, 12, 0, 23 * 3600},   // a 23-hour day
      {"Europe/Berlin", 0, 2026, 10, 25, 0, 0, 0, 5, 0, 6 * 3600},     // the repeated hour
      {"Europe/Berlin", 0, 2026, 10, 24, 12, 0, 0, 12, 0, 25 * 3600},  // a 25-hour day
      {"UTC", 0, 2026, 6, 10, 9, 0, 0, 0xFFFFFFFFu, 0xFFFFFFFFu, -1},  // editor held no time
      {"UTC", 0, 2026, 6, 10, 9, 0, 0, 24, 0, -1},
      {"UTC", 0, 2026, 6, 10, 9, 0, 0, 10, 60, -1},
  };
  for (const Row& row : rows) {
    setenv("TZ", row.tz, 1);
    tzset();
    host.now = Local(row.y, row.mo, row.d, row.h, row.mi, row.s);
    Write({{"t", kScheduleTime, 1, 0, row.hour, row.minute}});
    host.timers.clear();
    station.LoadActions();
    const Action& a = *station.Actions()[0];
    SCOPED_TRACE(std::string(row.tz) + " " + std::to_string(row.d) + " " + std::to_string(row.h) + ":" +
                 std::to_string(row.mi) + " -> " + std::to_string(row.hour) + ":" +
                 std::to_string(row.minute));
    EXPECT_EQ(a.m_bRunPending, 0);
    if (row.delaySeconds < 0) {
      EXPECT_TRUE(host.timers.empty());
      EXPECT_EQ(a.m_uiTimerHandle, 0u);
    } else {
      ASSERT_EQ(host.timers.count(a.m_uiTimerId), 1u);
      EXPECT_EQ(host.timers[a.m_uiTimerId], row.delaySeconds * 1000);
      EXPECT_NE(a.m_uiTimerHandle, 0u);
    }
  }
}

TEST_F(TimeArming, RunsWhenItsTimerFiresAndArmsForTheNextDay) {
  const unsigned id = OpenWithTenOClockAction({{"cont"}});
  station.SetRunContinuously(false);  // Time actions run whether or not the loop runs
  station.BeginPausingDialog();
  ASSERT_NE(id, unsigned(kRunLoopTimerId));
  bool runningDuringTimeRun = false;
  onRun = [&](Action&) { runningDuringTimeRun = station.Values().g_bActionsRunning; };
  host.now = Local(2026, 6, 10, 10, 0) - 1;  // a timer may fire a little early
  station.OnActionTimer(id);
  EXPECT_EQ(runs, std::vector<std::string>{"t"});
  EXPECT_TRUE(runningDuringTimeRun);
  EXPECT_EQ(host.timers[id], (86400 + 1) * 1000);  // tomorrow, not again in a second
  EXPECT_EQ(station.Actions()[0]->m_bRunPending, 0);
  station.OnActionTimer(9999);  // nobody's timer
  EXPECT_EQ(runs.size(), 1u);
}

TEST_F(TimeArming, WaitsWhenTheClockWasSetBackWhileArmed) {
  const unsigned id = OpenWithTenOClockAction();
  host.now = Local(2026, 6, 10, 9, 30);  // the timer fires, but the wall clock says 9:30
  station.OnActionTimer(id);
  EXPECT_TRUE(runs.empty());
  EXPECT_EQ(host.timers[id], 1800 * 1000);
  host.now = Local(2026, 6, 10, 10, 0);
  station.OnActionTimer(id);
  EXPECT_EQ(runs, std::vector<std::string>{"t"});
}

TEST_F(TimeArming, AReloadInsideATimeRunLeavesOneArmedTimer) {
  const unsigned oldId = OpenWithTenOClockAction();
  onRun = [&](Action&) { station.LoadActions(); };
  host.now = Local(2026, 6, 10, 10, 0);
  station.OnActionTimer(oldId);
  const unsigned newId = station.Actions()[0]->m_uiTimerId;
  EXPECT_NE(newId, oldId);
  ASSERT_EQ(host.timers.size(), 1u);
  EXPECT_EQ(host.timers.begin()->first, newId);
  EXPECT_EQ(host.timers[newId], 86400 * 1000);
}

TEST_F(AStation, WaitsForARunOnceBeforeTheExitSequence) {
  Write({{"A"}, {"B"}, {"S", kScheduleShutdown}});
  station.Open();
  station.SetRunContinuously(false);
  std::vector<std::string> seen;
  onRun = [&](Action& a) {
    if (a.m_strName != "A") return;
    station.RequestShutdown();
    EXPECT_TRUE(host.loopOn);  // a tick must come to handle it
    station.OnLoopTimer();     // dispatched inside the run
    station.OnLoopTimer();
  };
  station.RunOnce();
  EXPECT_EQ(runs, (std::vector<std::string>{"A", "B"}));  // Run Once finishes its actions
  EXPECT_EQ(host.exitDialogs, 0);
  EXPECT_EQ(
      std::count(host.log.begin(), host.log.end(), "Application shutdown waiting on actions to complete..."),
      2);
  station.OnLoopTimer();
  EXPECT_TRUE(host.Logged("Application entering shutdown actions..."));
  EXPECT_EQ(host.exitDialogs, 1);
  EXPECT_EQ(runs.back(), "S");
  EXPECT_TRUE(host.quit);
}

TEST_F(AStation, StopsAPassWhenShutdownIsRequested) {
  Write({{"A"}, {"B"}});
  OpenAndCountDown();
  onRun = [&](Action&) { station.RequestShutdown(); };
  station.OnLoopTimer();
  EXPECT_EQ(runs, std::vector<std::string>{"A"});
  EXPECT_TRUE(host.Logged("Shutdown requested"));
  host.choices = {ExitChoice::Cancel};
  station.OnLoopTimer();
  EXPECT_TRUE(host.Logged("Application entering shutdown actions..."));
  EXPECT_EQ(host.exitDialogs, 1);
  // Cancel: the station goes on as before, and a later request asks again.
  EXPECT_FALSE(station.ShutdownRequested());
  EXPECT_FALSE(station.ShutdownStarted());
  EXPECT_FALSE(host.quit);
  EXPECT_EQ(station.Actions().size(), 2u);
  onRun = nullptr;
  station.OnLoopTimer();
  EXPECT_EQ(runs.size(), 3u);
  station.RequestShutdown();
  station.OnLoopTimer();
  EXPECT_EQ(host.exitDialogs, 2);
  EXPECT_TRUE(host.quit);
}

// SIGTERM/SIGINT: nobody may be there to answer, so nothing asks; a signal that comes while
// the question is open answers it with Exit.
TEST_F(AStation, ExitsWithoutAskingOnAShutdownSignal) {
  for (bool whileAsking : {false, true}) {
    SCOPED_TRACE(whileAsking);
    FakeStationHost signalled;
    Station s(signalled);
    ASSERT_TRUE(s.Init(dir / (whileAsking ? "asking.db" : "signal.db")));
    s.Store().WriteProfileString("Action_0", "m_strName", "S");
    s.Store().WriteProfileInt("Action_0", "m_iScheduleType", kScheduleShutdown);
    s.Store().WriteProfileInt("Actions", "NumActions", 1);
    bool shutdownRan = false;
    s.SetActionRunner([&](Action&) { return shutdownRan = true; });
    s.Open();
    if (whileAsking) {
      signalled.choices = {ExitChoice::Cancel};
      signalled.onExitDialog = [&] { s.RequestShutdownWithoutAsking(); };
      s.RequestShutdown();
    } else {
      s.RequestShutdownWithoutAsking();
    }
    s.OnLoopTimer();
    EXPECT_EQ(signalled.exitDialogs, whileAsking ? 1 : 0);
    EXPECT_TRUE(shutdownRan);
    EXPECT_TRUE(signalled.quit);
  }
}

TEST_F(AStation, SavesActionsAndCountersAndRunsShutdownActionsAtExit) {
  Write({{"A"}, {"S", kScheduleShutdown}, {"S off", kScheduleShutdown, 0}});
  station.Open();
  station.Values().m_iFileCounter = 42;
  station.Values().m_iBatchCounter = 7;
  station.RequestShutdown();
  station.OnLoopTimer();
  EXPECT_EQ(runs, std::vector<std::string>{"S"});
  SettingsStore& s = station.Store();
  EXPECT_EQ(s.GetProfileInt("Actions", "NumActions", -1), 3);
  EXPECT_EQ(s.GetProfileInt("Actions", "m_iFileCounter", -1), 42);
  EXPECT_EQ(s.GetProfileInt("Actions", "m_iBatchCounter", -1), 7);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(s.GetProfileInt(ActionSectionName(i), "m_iFileCounter", -1), 42);
    EXPECT_EQ(s.GetProfileInt(ActionSectionName(i), "m_iBatchCounter", -1), 7);
  }
  EXPECT_TRUE(host.powerOffCommands.empty());
  EXPECT_TRUE(station.Actions().empty());
  EXPECT_FALSE(host.loopOn);
  EXPECT_TRUE(host.quit);
}

TEST_F(AStation, PowersOffThroughTheConfiguredCommand) {
  station.Store().WriteProfileString("Settings", "m_strPowerOffCommand", "/bin/true --not-run-here");
  station.Open();
  host.choices = {ExitChoice::ExitAndShutDown};
  station.RequestShutdown();
  station.OnLoopTimer();
  EXPECT_EQ(host.powerOffCommands, std::vector<std::string>{"/bin/true --not-run-here"});
  EXPECT_TRUE(host.quit);
}

TEST_F(AStation, SurvivesANestedReloadOfTheList) {
  Write({{"A"}, {"B"}, {"C"}});
  OpenAndCountDown();
  onRun = [&](Action& a) {
    if (a.m_strName != "A") return;
    station.LoadActions();          // "Configure actions..." cancelled inside the run
    a.m_strName = "A still alive";  // the running action must outlive the reload
  };
  station.OnLoopTimer();
  EXPECT_EQ(runs, std::vector<std::string>{"A"});  // the walk stops: the list changed
  EXPECT_EQ(station.Actions().size(), 3u);
  EXPECT_EQ(station.Actions()[0]->m_strName, "A");
  onRun = nullptr;
  station.OnLoopTimer();
  EXPECT_EQ(runs.size(), 4u);
}

TEST_F(AStation, NeverRunsAnActionInsideItsOwnRun) {
  Write({{"A"}, {"B"}});
  station.Open();
  station.SetRunContinuously(false);
  int depth = 0;
  onRun = [&](Action& a) {
    if (a.m_strName == "A" && depth++ == 0) station.RunOnce();  // Run Once pressed again
  };
  station.RunOnce();
  EXPECT_EQ(runs, (std::vector<std::string>{"A", "B", "B"}));
  EXPECT_FALSE(station.Values().g_bActionsRunning);
}

TEST_F(AStation, PausesForDialogsAndCountsDownAgain) {
  Write({{"A"}, {"B"}});
  OpenAndCountDown();
  onRun = [&](Action&) { station.BeginPausingDialog(); };
  station.OnLoopTimer();
  EXPECT_EQ(runs, std::vector<std::string>{"A"});
  onRun = nullptr;
  host.log.clear();
  station.OnLoopTimer();
  station.RunOnce();
  EXPECT_TRUE(host.log.empty());
  EXPECT_EQ(runs.size(), 1u);
  station.EndPausingDialog();
  station.OnLoopTimer();
  EXPECT_EQ(host.log, std::vector<std::string>{"Actions starting in 5s..."});
}

// Paper loaded without naming the printer needs exactly one print action's printer; a named
// printer gets its count, kept in the store, and the last count is offered again.
TEST_F(AStation, PaperLoadedNamesItsPrinterOrSaysWhyNot) {
  EXPECT_FALSE(station.PaperLoaded({"", 36}));
  EXPECT_EQ(host.log.back(), "Paper loaded: no Print Files action is enabled; name the printer");
  std::string answer;
  EXPECT_FALSE(station.PaperLoaded({"Selphy", 36}, &answer));
  EXPECT_EQ(answer, "Paper loaded: no printer Selphy here; no Print Files action is enabled");
  for (const char* queue : {"Selphy", "Office"}) {
    std::unique_ptr<Action> print = station.NewAction();
    print->m_iType = kPrintFiles;
    print->m_strName = queue;
    print->m_strPrintQueue = queue;
    station.AppendAction(std::move(print));
  }
  // A mistyped printer is refused with the names it could be; none is counted.
  EXPECT_FALSE(station.PaperLoaded({"Selpy", 36}, &answer));
  EXPECT_EQ(answer, "Paper loaded: no printer Selpy here (printers: Office, Selphy)");
  EXPECT_EQ(PaperCount(station.Store()).Left("Selpy"), -1);
  EXPECT_FALSE(station.PaperLoaded({"", 36}));
  EXPECT_EQ(host.log.back(), "Paper loaded: name the printer (Office, Selphy)");
  ASSERT_TRUE(station.PaperLoaded({"Selphy", 1}, &answer));
  EXPECT_EQ(answer, "Paper loaded on printer Selphy: 1 print left");
  ASSERT_TRUE(station.PaperLoaded({"Selphy", 36}));
  EXPECT_EQ(host.log.back(), "Paper loaded on printer Selphy: 36 prints left");
  ASSERT_TRUE(station.PaperLoaded({"Selphy", std::nullopt}));
  EXPECT_EQ(PaperCount(station.Store()).Left("Selphy"), 36);
  ASSERT_TRUE(station.PaperLoaded({"Selphy", -1}));
  EXPECT_EQ(host.log.back(), "Paper loaded on printer Selphy: prints are not counted");
  EXPECT_EQ(station.PaperPerLoad("Selphy"), 36);
}

}  // namespace
}  // namespace brisko
