#include "support/logger.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "common/temp_dir.h"
#include "support/settings_store.h"

using namespace brisko;

namespace {

std::time_t LocalTime(int y, int mo, int d, int h, int mi, int s) {
  std::tm t{};
  t.tm_year = y - 1900;
  t.tm_mon = mo - 1;
  t.tm_mday = d;
  t.tm_hour = h;
  t.tm_min = mi;
  t.tm_sec = s;
  t.tm_isdst = -1;
  return std::mktime(&t);
}

class ALogger : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(store.Open(dir / "s.db"));
    logger.SetClock([this] { return now; });
    logger.SetErrorCallback(
        [this](const std::string& c, const std::string& t) { errors.push_back(c + ":" + t); });
  }
  test::TempDir dir;
  SettingsStore store;
  Logger logger{&store};
  std::time_t now = LocalTime(2008, 12, 15, 4, 59, 36);
  std::vector<std::string> errors;
};

}  // namespace

TEST_F(ALogger, normalisesTheFolderToOneTrailingSeparatorAndStoresItsSettings) {
  logger.Configure(dir.Path() + "/logs\\/\\//", 3, 1);
  EXPECT_EQ(logger.GetPath(), dir.Path() + "/logs/");
  EXPECT_EQ(store.GetProfileString("Logger", "m_path", ""), dir.Path() + "/logs/");
  EXPECT_EQ(store.GetProfileInt("Logger", "m_severityToLog", 0), 3);
  EXPECT_EQ(store.GetProfileInt("Logger", "m_bLogToFile", 0), 1);
  logger.Configure("", 1, 0);
  EXPECT_EQ(logger.GetPath(), "/");
  Logger again(&store);
  again.Init();
  EXPECT_EQ(again.GetPath(), "/");
  EXPECT_EQ(again.GetSeverity(), 1);
}

TEST_F(ALogger, dropsLinesBelowTheLevelAndEverythingWhenOff) {
  logger.Configure(dir / "logs", 3, 1);
  logger.Log(1, "debug");
  logger.Log(2, "info");
  logger.Log(3, "warn");
  logger.Log(5, "fatal");
  logger.Flush();
  std::string text = test::ReadFile(dir / "logs/BriskoEventFileWorkflow_2008-12-15.log");
  EXPECT_EQ(text.find("info"), std::string::npos);
  EXPECT_NE(text.find("|3|warn"), std::string::npos);
  EXPECT_NE(text.find("|5|fatal"), std::string::npos);

  logger.Configure(dir / "off", 1, 0);
  logger.Log(5, "nothing");
  logger.Flush();
  EXPECT_EQ(logger.PendingSize(), 0u);
  EXPECT_FALSE(std::filesystem::exists(dir / "off"));
}

TEST_F(ALogger, writesInBlocksAndPutsLinesFlushedAfterMidnightInTheNewDay) {
  logger.Configure(dir / "logs", 1, 1);
  logger.Log(2, "before midnight");
  EXPECT_FALSE(std::filesystem::exists(dir / "logs"));  // nothing written for a short line
  now = LocalTime(2008, 12, 16, 0, 0, 5);
  logger.Flush();
  EXPECT_TRUE(std::filesystem::exists(dir / "logs/BriskoEventFileWorkflow_2008-12-16.log"));
  for (int i = 0; i < 100; ++i) logger.Log(2, std::string(50, 'x'));
  EXPECT_LT(logger.PendingSize(), 4100u);  // flushed when past 4000 characters
}

TEST_F(ALogger, keepsLinesPendingAndReportsOncePerFailureWhenTheFolderCannotBeMade) {
  test::WriteFile(dir / "blocker", "a file where the folder should be");
  logger.Configure(dir / "blocker/logs", 1, 1);
  logger.Log(2, "kept");
  // A long run keeps logging into the failure: one report, and memory stays bounded.
  for (int i = 0; i < 3000; ++i) logger.Log(2, std::string(1000, 'x'));
  logger.Flush();
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0], "Cannot create log file folder:" + dir.Path() + "/blocker/logs/");
  EXPECT_GT(logger.PendingSize(), 0u);
  EXPECT_LE(logger.PendingSize(), size_t{1} << 20);
  logger.Configure(dir / "logs", 1, 1);
  logger.Log(2, "kept");
  logger.Flush();
  EXPECT_NE(test::ReadFile(dir / "logs/BriskoEventFileWorkflow_2008-12-15.log").find("kept"),
            std::string::npos);
  // Once writing worked again, a new failure is reported again.
  logger.Configure(dir / "blocker/logs", 1, 1);
  logger.Log(2, "again");
  logger.Flush();
  EXPECT_EQ(errors.size(), 2u);
}

TEST_F(ALogger, appendsLinesInTheDailyFileFormatAndFlushesWhenDestroyed) {
  std::filesystem::create_directories(dir / "logs");
  test::WriteFile(dir / "logs/BriskoEventFileWorkflow_2008-12-15.log", "old\r\n");
  {
    Logger scoped(&store);
    scoped.SetClock([this] { return now; });
    scoped.Configure(dir / "logs", 1, 1);
    scoped.Log(2, "Shutdown requested");
    scoped.Log(4, "IMG_1.JPG", "FAILED to move");
  }
  EXPECT_EQ(test::ReadFile(dir / "logs/BriskoEventFileWorkflow_2008-12-15.log"),
            "old\r\n2008-12-15|04:59:36|2|Shutdown requested\r\n2008-12-15|04:59:36|4|IMG_1.JPG - FAILED to "
            "move\r\n");
}

// A crash must not take the record of what happened with it: lines wait at most a second,
// failures not at all, and syncs to disk stay a few seconds apart.
TEST_F(ALogger, writesWithinASecondFailuresAtOnceAndSyncsAtMostEveryFewSeconds) {
  int64_t ticks = 1'000'000;
  logger.SetTicks([&] { return ticks; });
  logger.Configure(dir / "logs", 1, 1);
  const std::string file = dir / "logs/BriskoEventFileWorkflow_2008-12-15.log";
  auto written = [&](const std::string& text) {
    return test::ReadFile(file).find(text) != std::string::npos;
  };

  logger.Log(2, "Running action: A");
  ticks += 400;
  logger.Tick();
  EXPECT_FALSE(written("Running action: A")) << "a young line waits for more";
  ticks += 700;
  logger.Tick();
  EXPECT_TRUE(written("Running action: A"));
  EXPECT_EQ(logger.SyncCount(), 1);

  struct Case {
    int level;
    std::string text;
    bool atOnce;
  } cases[] = {
      {2, "Moved file from /a to /b", false},
      {2, "Failed (CopyOrMoveFilesUsingShell): Move file from /a to /b", true},
      {2, "  Reason: Permission denied", true},
      {2, "FAILED: Copy file /a to /b", true},
      {4, "IMG_1.JPG - cannot read", true},
  };
  for (const Case& c : cases) {
    ticks += 10;
    logger.Log(c.level, c.text);
    EXPECT_EQ(written(c.text), c.atOnce) << c.text;
  }
  EXPECT_EQ(logger.SyncCount(), 1) << "not one sync per failure";
  ticks += Logger::kSyncPeriodMs;
  logger.Tick();
  EXPECT_TRUE(written("Moved file from /a to /b"));
  EXPECT_EQ(logger.SyncCount(), 2);
  logger.Tick();
  EXPECT_EQ(logger.SyncCount(), 2) << "nothing new to sync";
}
