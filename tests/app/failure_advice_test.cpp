#include "app/failure_advice.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "app/status_reporter.h"
#include "app/status_snapshot.h"
#include "common/temp_dir.h"

namespace brisko {
namespace {

TEST(FailureAdvice, SaysWhatToCheckLookingAtTheFolders) {
  test::TempDir dir;
  const std::string root = dir.Path();
  std::filesystem::create_directories(root + "/out");
  test::WriteFile(root + "/out/afile", "a file where a folder should be");
  const std::string move = "Failed (CopyOrMoveFilesUsingShell): Move file from /card/a.jpg to x";
  const std::string program =
      "Failed: Applied executible \"/usr/bin/enhance\" \"/out/a.jpg\" to file /out/a.jpg";
  struct Row {
    std::string failure, reason, file, advice;
  };
  const Row rows[] = {
      {move, "Not a directory: " + root + "/out/afile/sub", "/card/a.jpg",
       "The folder " + root + "/out/afile/sub cannot be made: afile is a file"},
      {move, "Not a directory: " + root + "/gone/sub", "/card/a.jpg",
       "The folder " + root + "/gone/sub cannot be made"},
      {move, "No such file or directory: /card/a.jpg", "/card/a.jpg",
       "The photo is no longer there: /card/a.jpg"},
      {move, "No such file or directory: /mnt/share", "/card/a.jpg",
       "The folder /mnt/share is not there: is its disk or share connected?"},
      {move, "Permission denied (destination folder is read-only)", "/card/a.jpg",
       "The destination folder cannot be written to: check its permissions or whether its disk is read-only"},
      {move, "No space left on device", "/card/a.jpg", "The destination disk is full"},
      {move, "Input/output error", "/card/a.jpg", "Input/output error"},
      {program, "No such file or directory", "/out/a.jpg",
       "The program /usr/bin/enhance cannot be started: No such file or directory"},
      {program + " (exit status 3)", program + " (exit status 3)", "/out/a.jpg",
       "The program /usr/bin/enhance ended with exit status 3"},
      {program + " (ended by signal 9)", program + " (ended by signal 9)", "/out/a.jpg",
       "The program /usr/bin/enhance was ended by signal 9"},
      {program + " (still running after its time limit of 30 s; ended)", "", "/out/a.jpg",
       "The program /usr/bin/enhance ran past its time limit and was ended"},
  };
  for (const Row& r : rows) {
    FailingItem item;
    item.failure = r.failure;
    item.reason = r.reason;
    item.file = r.file;
    EXPECT_EQ(FailureAdvice(item), r.advice) << r.reason;
  }
}

TEST(FailureAdvice, PlainLogLinesAndReasonsBelowTheirFailure) {
  EXPECT_EQ(PlainLogText("Out (Move Files) Failed (CopyOrMoveFilesUsingShell): Move file from a to b"),
            "Out (Move Files) Failed: Move file from a to b");
  // Only where the action's words begin: a file name may hold anything.
  const std::string named =
      "Out (Move Files) Moved file from /in/Failed (CopyOrMoveFilesUsingShell): x to /o";
  EXPECT_EQ(PlainLogText(named), named);
  EXPECT_TRUE(IsFollowUpLine("  Reason: Not a directory: /x"));
  EXPECT_FALSE(IsFollowUpLine("Reason: x"));

  // The board's newest-first log: the reason stands below its failure, the log file's order kept.
  StatusReporter reporter;
  const std::time_t t = 1'700'000'000;
  reporter.OnLogLine("Out (Move Files) Moved file from /in/z.jpg to /out/z.jpg", t);
  reporter.OnLogLine(
      "Out (Move Files) Failed (CopyOrMoveFilesUsingShell): Move file from /in/a.jpg to /o/a.jpg", t);
  reporter.OnLogLine("  Reason: Not a directory: /o", t);
  reporter.OnLogLine("  Reason: second", t);
  reporter.OnLogLine("Out (Move Files) Moved file from /in/b.jpg to /out/b.jpg", t);
  std::vector<std::string> shown;
  for (const StatusLogLine& l : reporter.Board().Copy().log) shown.push_back(l.text);
  EXPECT_EQ(shown, (std::vector<std::string>{"Out (Move Files) Moved file from /in/b.jpg to /out/b.jpg",
                                             "Out (Move Files) Failed: Move file from /in/a.jpg to /o/a.jpg",
                                             "  Reason: Not a directory: /o", "  Reason: second",
                                             "Out (Move Files) Moved file from /in/z.jpg to /out/z.jpg"}));
}

TEST(FailureAdvice, TheVerdictSaysThePhotosAreSafeWhichAndWhatToCheck) {
  StatusSnapshot s;
  s.state = StationState::RunningContinuously;
  const std::time_t since = 1'700'000'000;
  auto clockOf = [](std::time_t t) {
    std::tm tm{};
    localtime_r(&t, &tm);
    char text[8];
    std::strftime(text, sizeof text, "%H:%M", &tm);
    return std::string(text);
  };
  const std::string clock = clockOf(since);
  const std::string check = "The folder /srv/out/afile/sub cannot be made: afile is a file";
  s.failures.push_back({"Broken move",
                        "Not a directory: /srv/out/afile/sub",
                        "",
                        4,
                        9,
                        since,
                        {"a.jpg", "b.jpg", "c.jpg"},
                        check});
  s.failures.push_back({"Send", "No destination folder", "", 1, 1, since + 60, {}, ""});
  EXPECT_EQ(MakeVerdict(s, since).text,
            "Broken move: 4 photos wait since " + clock +
                ", safe where they are (a.jpg, b.jpg, c.jpg and 1 more). Check: " + check +
                "; Send: failing since " + clockOf(since + 60) + ". Check: No destination folder");
  s.failures.resize(1);
  s.failures[0].photos = 1;
  s.failures[0].files = {"stuck.jpg"};
  EXPECT_EQ(MakeVerdict(s, since).text,
            "Broken move: 1 photo waits since " + clock + ", safe where it is (stuck.jpg). Check: " + check);
}

}  // namespace
}  // namespace brisko
