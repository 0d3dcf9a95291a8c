#include "app/failure_log.h"

#include <gtest/gtest.h>

namespace brisko {
namespace {

const std::string kFail =
    "Out (Move Files) Failed (CopyOrMoveFilesUsingShell): Move file from /in/a.jpg to /out/sub/a.jpg";
const std::string kReason = "  Reason: Not a directory: /out/sub";

// What one pass of the action writes for a photo that cannot move, as the log receives it.
std::vector<FailureLog::Line> Pass(FailureLog& log, std::time_t now, const std::vector<std::string>& lines) {
  std::vector<FailureLog::Line> out;
  log.BeginRun("Out (Move Files)");
  for (const std::string& l : lines) {
    for (auto& x : log.Filter(l, now)) out.push_back(x);
  }
  for (auto& x : log.Flush(now)) out.push_back(x);
  log.EndRun("Out (Move Files)");
  return out;
}

std::string Texts(const std::vector<FailureLog::Line>& lines) {
  std::string t;
  for (const auto& l : lines) t += l.text + (l.newFailure ? " [new]" : "") + "\n";
  return t;
}

TEST(FailureLog, StuckPhotoIsOneLineThenGrowingReminders) {
  FailureLog log;
  const std::time_t t0 = 1'700'000'000;
  std::string written;
  int newFailures = 0;
  // Ten minutes of passes a second apart.
  for (std::time_t t = t0; t < t0 + 600; ++t) {
    for (const auto& l : Pass(log, t, {kFail, kReason, "Out (Move Files) File left at /tmp/x.jpg"})) {
      written += l.text + "\n";
      newFailures += l.newFailure;
    }
  }
  EXPECT_EQ(newFailures, 1);
  // First failure with its reason and where the photo is, then reminders after 1 and 6 minutes.
  std::vector<std::string> lines;
  for (size_t at = 0, nl; (nl = written.find('\n', at)) != std::string::npos; at = nl + 1)
    lines.push_back(written.substr(at, nl - at));
  ASSERT_EQ(lines.size(), 5u) << written;
  EXPECT_EQ(lines[0], kFail);
  EXPECT_EQ(lines[1], kReason);
  EXPECT_EQ(lines[2], "Out (Move Files) File left at /tmp/x.jpg");
  EXPECT_EQ(lines[3].find("Out (Move Files) Still failing since "), 0u) << lines[3];
  EXPECT_NE(lines[3].find(" (61 tries): /in/a.jpg: Not a directory: /out/sub"), std::string::npos)
      << lines[3];
  EXPECT_NE(lines[4].find(" (361 tries): /in/a.jpg: "), std::string::npos) << lines[4];
  ASSERT_EQ(log.Failing().size(), 1u);
  EXPECT_EQ(log.Failing()[0].reason, "Not a directory: /out/sub");
  EXPECT_EQ(log.Failing()[0].since, t0);
  EXPECT_TRUE(log.IsFailing("/in/a.jpg"));  // its per-try file notes are dropped too
  EXPECT_FALSE(log.IsFailing("/in/b.jpg"));

  // A new reason is news; success ends it and is written as it is.
  EXPECT_EQ(Texts(Pass(log, t0 + 601, {kFail, "  Reason: Permission denied"})),
            kFail + "\n  Reason: Permission denied\n");
  const std::string moved = "Out (Move Files) Moved file from /in/a.jpg to /out/sub/a.jpg";
  EXPECT_EQ(Texts(Pass(log, t0 + 602, {moved})), moved + "\n");
  EXPECT_TRUE(log.Empty());
  EXPECT_EQ(Texts(Pass(log, t0 + 603, {kFail, kReason})), kFail + " [new]\n" + kReason + "\n");
}

TEST(FailureLog, OtherFilesActionsAndVanishedPhotos) {
  FailureLog log;
  const std::time_t t = 1'700'000'000;
  const std::string other = "Out (Move Files) FAILED: Copy file /in/b.jpg to /out/b.jpg";
  const std::string elsewhere = "Card (Copy Files) FAILED: Copy file /in/a.jpg to /x/a.jpg";
  const std::string noFile = "Out (Move Files) FAILED: No destination folder";
  EXPECT_EQ(Texts(Pass(log, t, {kFail, other, elsewhere, noFile, "plain line", "FAILED: Status page"})),
            kFail + " [new]\n" + other + " [new]\n" + elsewhere + " [new]\n" + noFile +
                " [new]\nplain line\n" + "FAILED: Status page [new]\n");
  EXPECT_EQ(Texts(Pass(log, t + 1, {kFail, other, noFile})), "");
  EXPECT_EQ(log.Failing().size(), 4u);
  // b.jpg was taken away: the run that no longer meets it ends it; the other action's stays.
  EXPECT_EQ(Texts(Pass(log, t + 2, {kFail, noFile})), "");
  EXPECT_EQ(log.Failing().size(), 3u);
  EXPECT_EQ(Texts(Pass(log, t + 3, {other})), other + " [new]\n");
  // An operator's name holding a type marker does not split the line there.
  EXPECT_EQ(SplitActionLine("A (Copy Files) B (Move Files) FAILED: x").description, "A (Copy Files)");
  EXPECT_EQ(SplitActionLine(" (Move Files) Moved file from a to b").body, "Moved file from a to b");
}

TEST(FailureLog, AProgramThatFailsCountsForItsActionUntilItWorksAgain) {
  // The program's lines name no action: they belong to the run in progress. Its photo has moved
  // on, so later runs do not meet the failure again; it lasts until the program works.
  FailureLog log;
  const std::time_t t = 1'700'000'000;
  const std::string running = "Out (Move Files)";
  const std::string cannot =
      "Failed: Applied executible \"/no/enhance\" \"/out/a (1).jpg\" to file /out/a (1).jpg";
  const std::string reason = "  Reason: No such file or directory";
  const std::string status =
      "Failed: Applied executible \"/bin/fix\" \"/out/b.jpg\" to file /out/b.jpg (exit status 3)";
  std::vector<FailureLog::Line> lines;
  log.BeginRun(running);
  for (const std::string& l : {cannot, reason, status})
    for (auto& x : log.Filter(l, t, running)) lines.push_back(x);
  for (auto& x : log.Flush(t)) lines.push_back(x);
  log.EndRun(running);
  EXPECT_EQ(Texts(lines), cannot + " [new]\n" + reason + "\n" + status + " [new]\n");
  EXPECT_EQ(Texts(Pass(log, t + 1, {})), "");
  std::vector<FailingItem> failing = log.Failing();
  ASSERT_EQ(failing.size(), 2u);
  EXPECT_EQ(failing[0].description, running);
  EXPECT_EQ(failing[0].file, "/out/a (1).jpg");
  EXPECT_EQ(failing[0].reason, "No such file or directory");
  EXPECT_EQ(failing[1].file, "/out/b.jpg");
  // Without a run in progress such a line is only written.
  FailureLog alone;
  EXPECT_EQ(Texts(alone.Filter(cannot, t)), cannot + " [new]\n");
  EXPECT_TRUE(alone.Failing().empty());
  // The program does its work again: its failures are over.
  log.BeginRun(running);
  log.Filter("Applied executible \"/bin/fix\" \"/out/c.jpg\" to file /out/c.jpg", t + 2, running);
  log.EndRun(running);
  EXPECT_TRUE(log.Failing().empty());
}

}  // namespace
}  // namespace brisko
