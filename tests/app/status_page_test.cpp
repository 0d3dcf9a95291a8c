#include "app/status_page.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "app/command_line.h"
#include "app/fake_station_host.h"
#include "app/station.h"
#include "app/status_reporter.h"
#include "common/temp_dir.h"

namespace brisko {
namespace {

TEST(StatusPageOption, ReadsAddressAndPort) {
  struct Row {
    std::string text;
    bool ok;
    std::string address;  // "-" when left as it was
    int port;
  } rows[] = {
      {"8642", true, "-", 8642},
      {"0", true, "-", 0},
      {"0.0.0.0:80", true, "0.0.0.0", 80},
      {"[::1]:9000", true, "::1", 9000},
      {"10.0.0.5:65535", true, "10.0.0.5", 65535},
      {"65536", false, "", 0},
      {"-1", false, "", 0},
      {"", false, "", 0},
      {":8642", false, "", 0},
      {"host.example:80", false, "", 0},
      {"::1:80", false, "", 0},
      {"[::1]", false, "", 0},
      {"127.0.0.1:", false, "", 0},
      {"80x", false, "", 0},
      {"[1.2.3.4]:80", false, "", 0},
  };
  for (const Row& r : rows) {
    std::string address = "-";
    int port = -5;
    EXPECT_EQ(ParseStatusPageOption(r.text, address, port), r.ok) << r.text;
    if (!r.ok) continue;
    EXPECT_EQ(address, r.address) << r.text;
    EXPECT_EQ(port, r.port) << r.text;
  }
  CommandLine cl = ParseCommandLine({"--headless", "--status-page", "127.0.0.2:0"});
  EXPECT_EQ(cl.error, "");
  EXPECT_EQ(cl.statusPageAddress, "127.0.0.2");
  EXPECT_EQ(cl.statusPagePort, 0);
  EXPECT_NE(ParseCommandLine({"--status-page=x"}).error.find("--status-page needs"), std::string::npos);
}

TEST(StatusPageOption, LoopbackAddresses) {
  for (const char* a : {"127.0.0.1", "127.0.0.2", "127.255.255.254", "::1", "::ffff:127.0.0.1"})
    EXPECT_TRUE(IsLoopbackAddress(a)) << a;
  for (const char* a :
       {"0.0.0.0", "::", "10.0.0.1", "128.0.0.1", "localhost", "", "::ffff:10.0.0.1", "1.127.0.0"})
    EXPECT_FALSE(IsLoopbackAddress(a)) << a;
}

TEST(StatusPageSettings, CheckedBeforeTheyAreKept) {
  const std::string key = MakeStatusPageKey();
  struct Row {
    StatusPageConfig config;
    std::string starts;  // "" when accepted
  } rows[] = {
      {{false, "nonsense", -3, ""}, ""},
      {{true, "127.0.0.1", 8642, ""}, ""},
      {{true, "::1", 0, ""}, ""},
      {{true, "0.0.0.0", 8642, key}, ""},
      {{true, "0.0.0.0", 8642, ""}, "The status page needs a key"},
      {{true, "station.local", 8642, key}, "The status page address must be"},
      {{true, "127.0.0.1", 70000, ""}, "The status page port must be"},
  };
  for (const Row& r : rows) {
    const std::string message = CheckStatusPageConfig(r.config);
    EXPECT_EQ(message.substr(0, r.starts.size()), r.starts) << r.config.address;
    EXPECT_EQ(message.empty(), r.starts.empty()) << r.config.address;
  }
}

TEST(StatusPageKey, RandomHexKeys) {
  const std::string a = MakeStatusPageKey(), b = MakeStatusPageKey();
  EXPECT_TRUE(IsValidStatusPageKey(a));
  EXPECT_NE(a, b);
  for (const char* bad : {"", "abc", "0123456789abcdef0123456789abcdeg", "0123456789abcdef0123456789abcdef0"})
    EXPECT_FALSE(IsValidStatusPageKey(bad)) << bad;
}

TEST(StatusLog, ClassifiesActionLines) {
  struct Row {
    const char* line;
    LogLineKind kind;
  } rows[] = {
      {"Out (Move Files) Moved file from /a/x.jpg to /b/x.jpg", LogLineKind::Moved},
      {"Out (Copy Files) Copied file /a/x.jpg to /b/x.jpg", LogLineKind::Copied},
      {"Old (Delete Files) Deleted file /a/x.jpg", LogLineKind::Deleted},
      {"Old (Delete Files) FAILED: Deleted file /a/x.jpg", LogLineKind::Failure},
      {"Up (Move Files) Rotated /a/x.jpg", LogLineKind::Rotated},
      {"Pics (Create Image with PLT) Created file from PLT file /a/x.jpg to /b/y.jpg",
       LogLineKind::PictureMade},
      {"Pics (Create Image with PLT) Failed: create file from PLT file a to b", LogLineKind::Failure},
      {"Failed to shut down the computer with: x", LogLineKind::Failure},
      // The operator's name may look like anything; the type in brackets decides.
      {"Moved file from (Copy Files) Copied file a to b", LogLineKind::Copied},
      {"FAILED (Move Files) Moved file from a to b", LogLineKind::Moved},
      {"Running action: Out", LogLineKind::Other},
      {"Out (Move Files) Moving 3 file(s) from media", LogLineKind::Other},
      {"Booth (Print Files) Printed file /a/x (2 copies).jpg (3 copies on Selphy), moved to /b/x.jpg",
       LogLineKind::Printed},
      {"Booth (Print Files) FAILED: Move printed file /a/x.jpg to /b/x.jpg: gone", LogLineKind::Failure},
  };
  for (const Row& r : rows) EXPECT_EQ(ClassifyLogLine(r.line), r.kind) << r.line;
  EXPECT_EQ(PrintedCopies(rows[12].line), 3);
  EXPECT_EQ(
      PrintedCopies(
          "B (Print Files) Printed file /a/x.jpg (1 copy on Q); it was gone before it could be moved on"),
      1);
  EXPECT_EQ(PrintedCopies("B (Print Files) Printed file /a/x.jpg"), 1);
}

TEST(StatusLog, KeepsNewestLinesAndCountsPerDay) {
  StatusReporter reporter;
  const std::time_t day1 = 1'700'000'000;
  reporter.OnLogLine("A (Move Files) Moved file from a to b", day1);
  reporter.OnLogLine("A (Copy Files) Copied file e to f (checked)", day1);
  reporter.OnLogLine("A (Move Files) FAILED: Copy file c to d", day1);
  reporter.OnLogLine("P (Print Files) Printed file a.jpg (4 copies on Selphy), moved to b.jpg", day1);
  reporter.CountTagged(day1);
  reporter.CountRotated(day1);
  StatusSnapshot s = reporter.Board().Copy();
  EXPECT_EQ(s.today.moved, 1);
  EXPECT_EQ(s.today.copied, 1);
  EXPECT_EQ(s.today.checked, 1);
  EXPECT_EQ(s.today.failures, 1);
  EXPECT_EQ(s.today.pagesPrinted, 4);
  EXPECT_EQ(s.today.tagged, 1);
  EXPECT_EQ(s.today.rotated, 1);
  ASSERT_EQ(s.log.size(), 4u);
  EXPECT_TRUE(s.log[1].failed);
  EXPECT_FALSE(s.log[2].failed);
  for (int i = 0; i < 250; ++i) reporter.OnLogLine("line " + std::to_string(i), day1 + 86400);
  s = reporter.Board().Copy();
  EXPECT_EQ(s.log.size(), kStatusLogLines);
  EXPECT_EQ(s.log.front().text, "line 249");
  EXPECT_EQ(s.log.back().text, "line 50");
  EXPECT_EQ(s.today.moved, 0);  // a new day
  EXPECT_EQ(s.today.failures, 0);
  EXPECT_TRUE(IsLowSpace(1'999'999'999, 1'000'000'000'000));
  EXPECT_TRUE(IsLowSpace(4'000'000'000, 100'000'000'000));
  EXPECT_FALSE(IsLowSpace(6'000'000'000, 100'000'000'000));
}

// The printers reach the board only when they changed: the page is not redrawn every second.
TEST(StatusPrinters, BoardChangesOnlyWithThePrinters) {
  StatusReporter reporter;
  PrinterSnapshot printer;
  printer.queue = "Selphy";
  printer.state = "idle";
  reporter.OnPrinters({printer});
  const uint64_t generation = reporter.Board().Generation();
  reporter.OnPrinters({printer});
  EXPECT_EQ(reporter.Board().Generation(), generation);
  printer.problems = DescribeReasons({"media-empty"});
  reporter.OnPrinters({printer});
  EXPECT_GT(reporter.Board().Generation(), generation);
  EXPECT_EQ(reporter.Board().Copy().printers.at(0).problems.at(0).text, "paper out (media-empty)");
}

// A page that records how it was started, in place of the HTTP server.
struct FakePage : StatusPageServer {
  explicit FakePage(std::string url) : url(std::move(url)) {}
  std::string Url() const override { return url; }
  std::string url;
};

class StationPage : public ::testing::Test {
 protected:
  void SetUp() override { station.Init(dir / "settings.db"); }
  // Opens the station with the fake page; `port` as given on the command line.
  void Open(std::optional<int> port = std::nullopt) {
    StatusPageOptions o;
    o.port = port;
    o.starter = [this](const StatusPageConfig& c, const StatusBoard&, std::string*) {
      starts.push_back(c);
      return std::make_unique<FakePage>("http://" + c.address + ":" + std::to_string(c.port) + "/");
    };
    station.SetStatusPageOptions(o);
    station.Open();
  }
  test::TempDir dir;
  test::FakeStationHost host;
  Station station{host};
  std::vector<StatusPageConfig> starts;
};

TEST_F(StationPage, OffByDefault) {
  Open();
  EXPECT_TRUE(starts.empty());
  EXPECT_EQ(station.StatusPageUrl(), "");
  EXPECT_EQ(station.Store().GetProfileString("Settings", "m_strStatusPageKey", "none"), "none");
}

TEST_F(StationPage, CommandLineTurnsItOnForOneRun) {
  Open(0);
  ASSERT_EQ(starts.size(), 1u);
  EXPECT_EQ(starts[0].address, "127.0.0.1");
  EXPECT_EQ(starts[0].port, 0);
  EXPECT_TRUE(host.Logged("Status page at http://127.0.0.1:0/"));
  // The key is made once and kept; the override itself is not stored.
  EXPECT_EQ(station.Store().GetProfileString("Settings", "m_strStatusPageKey", ""), starts[0].key);
  EXPECT_TRUE(IsValidStatusPageKey(starts[0].key));
  EXPECT_EQ(station.Store().GetProfileInt("Settings", "m_bStatusPage", 0), 0);
}

TEST_F(StationPage, SettingsAreStoredAndRestartThePage) {
  Open();
  StatusPageConfig c{true, "0.0.0.0", 9001, MakeStatusPageKey()};
  std::string error;
  EXPECT_TRUE(station.ApplyStatusPageSettings(c, &error));
  ASSERT_EQ(starts.size(), 1u);
  EXPECT_EQ(starts[0].key, c.key);
  EXPECT_EQ(station.StatusPageUrl(), "http://0.0.0.0:9001/");
  const StatusPageConfig stored = LoadStatusPageConfig(station.Store());
  EXPECT_TRUE(stored.enabled);
  EXPECT_EQ(stored.address, "0.0.0.0");
  EXPECT_EQ(stored.port, 9001);
  EXPECT_EQ(stored.key, c.key);
  c.enabled = false;
  EXPECT_TRUE(station.ApplyStatusPageSettings(c, &error));
  EXPECT_EQ(station.StatusPageUrl(), "");
}

TEST_F(StationPage, StateFollowsTheStation) {
  Open();
  auto state = [&] { return station.Status().Board().Copy().state; };
  EXPECT_EQ(state(), StationState::RunningContinuously);
  station.SetProgress(1, 4, "Out (Move Files)", "Moving files");
  EXPECT_EQ(state(), StationState::Running);
  EXPECT_EQ(station.Status().Board().Copy().action, "Out (Move Files)");
  station.SetRunContinuously(false);
  EXPECT_EQ(state(), StationState::Paused);
  station.RequestShutdown();
  EXPECT_EQ(state(), StationState::Exiting);
  station.AddToLog("Out (Copy Files) Copied file a to b");
  EXPECT_EQ(station.Status().Board().Copy().today.copied, 1);
}

// A run held up by a program that does not end: the board names the program, its photo and the
// photos waiting behind it; a program that fails counts against its action after the run.
TEST_F(StationPage, ABoardNamesWhatARunWaitsForAndThePhotosHeldUp) {
  Open(0);
  const std::string card = dir / "card", out = dir / "out";
  std::filesystem::create_directories(card);
  for (const char* name :
       {"IMG_0047.JPG", "IMG_0043.JPG", "IMG_0045.JPG", "IMG_0044.JPG", "IMG_0046.JPG", "notes.txt"})
    test::WriteFile(card + "/" + name, "x");
  auto add = [&](const char* name, const std::string& source) {
    std::unique_ptr<Action> a = station.NewAction();
    a->m_strName = name;
    a->m_iType = kMoveFiles;
    a->m_strSourceFolder = source;
    a->m_strDestFolder = out;
    a->m_strFileSpec = "*.jpg";
    a->m_bRunPending = 1;
    station.AppendAction(std::move(a));
  };
  add("Send", dir / "send");
  add("Card", card);
  StatusSnapshot during;
  bool once = true;
  station.SetActionRunner([&](Action& a) {
    if (a.m_strName != "Send" || !once) return true;
    once = false;
    const ProgramWait wait{"/usr/bin/enhance", out + "/IMG_0042.JPG", a.GetDescription(), 0};
    station.OnProgramWait(&wait);
    host.now += kStuckSeconds + 10;
    station.DispatchPendingEvents();
    during = station.Status().Board().Copy();
    station.OnProgramWait(nullptr);
    station.AddToLog("Failed: Applied executible \"/usr/bin/enhance\" \"" + out + "/IMG_0042.JPG\" to file " +
                     out + "/IMG_0042.JPG (exit status 2)");
    return true;
  });
  station.RunOnce();
  EXPECT_EQ(during.busy.action, "Send (Move Files)");
  EXPECT_EQ(during.busy.heldUpCount, 5);
  EXPECT_EQ(during.busy.heldUp, (std::vector<std::string>{"IMG_0043.JPG", "IMG_0044.JPG", "IMG_0045.JPG"}));
  const StatusVerdict stuck = MakeVerdict(during, host.now);
  EXPECT_EQ(stuck.level, VerdictLevel::Stuck);
  EXPECT_NE(stuck.text.find(" for /usr/bin/enhance on IMG_0042.JPG (Send) - 5 photos held up: IMG_0043.JPG, "
                            "IMG_0044.JPG, IMG_0045.JPG and 2 more"),
            std::string::npos)
      << stuck.text;
  // The run is over: nothing busy, and the program's failure is the action's, pass after pass.
  for (int tick = 0; tick < kStartupCountdown + 3; ++tick) station.OnLoopTimer();
  const StatusSnapshot after = station.Status().Board().Copy();
  EXPECT_TRUE(after.busy.action.empty());
  ASSERT_EQ(after.failures.size(), 1u);
  EXPECT_EQ(after.failures[0].action, "Send");
  EXPECT_EQ(MakeVerdict(after, host.now).level, VerdictLevel::Failing);
}

}  // namespace
}  // namespace brisko
