// Handing files to an external program.
#include <gtest/gtest.h>

#include "engine/action/action.h"
#include "engine/engine_test_util.h"
#include "engine/fake_host.h"
#include "engine/settings/command_arguments.h"

namespace brisko {
namespace {

using namespace brisko::test;

TEST(ExternalCommandLine, QuotesProgramAndFileAndPlacesArguments) {
  FakeHost host;
  Action a(host);
  a.m_strExternalExeFilepath = "/tools/fix";
  struct Row {
    const char* args;
    int append;
    const char* expected;
  };
  const Row rows[] = {
      {"", 0, "\"/tools/fix\" \"/out/a.jpg\""},
      {"", 1, "\"/tools/fix\" \"/out/a.jpg\""},
      {"-q", 0, "\"/tools/fix\" -q \"/out/a.jpg\""},
      {"-q", 1, "\"/tools/fix\" \"/out/a.jpg\" -q"},
  };
  for (const Row& r : rows) {
    a.m_strExternalExeArgs = r.args;
    a.m_bAppendArgs = r.append;
    EXPECT_EQ(a.MakeRun().ExternalCommandLine("/out/a.jpg"), r.expected);
  }
}

TEST(CommandArguments, SplitLikeAShellWithoutExpansion) {
  struct Row {
    const char* text;
    std::vector<std::string> words;
  };
  const Row rows[] = {
      {"", {}},
      {"   ", {}},
      {"-q  -v\t-x", {"-q", "-v", "-x"}},
      {"'two words' \"and more\"", {"two words", "and more"}},
      {"a\\ b", {"a b"}},
      {"\"say \\\"hi\\\" \\n\"", {"say \"hi\" \\n"}},
      {"'$(rm -rf x)' $HOME `id` *", {"$(rm -rf x)", "$HOME", "`id`", "*"}},
      {"''", {""}},
      {"pre'mid'post", {"premidpost"}},
      {"'unterminated rest", {"unterminated rest"}},
      {"trailing\\", {"trailing"}},
  };
  for (const Row& r : rows) EXPECT_EQ(SplitCommandArguments(r.text), r.words) << r.text;
}

class ExternalAppTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The program writes each argument it got on its own line.
    script = host.Dir() + "/show args";
    out = host.Dir() + "/args.txt";
    MakeFile(script, "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done > '" + out + "'\n");
    ::chmod(script.c_str(), 0755);
    action = std::make_unique<Action>(host);
    action->m_bUseExternalExe = 1;
    action->m_strExternalExeFilepath = script;
  }
  FakeHost host;
  std::unique_ptr<Action> action;
  std::string script, out;
};

TEST_F(ExternalAppTest, TheFilePathIsOneArgumentAndNothingIsRun) {
  const std::string file = host.Dir() + "/$(touch pwned) a\"b c;`id`.jpg";
  action->m_strExternalExeArgs = "-q 'two words'";
  action->m_bUseExternalArgs = 0;  // the arguments go along anyway
  for (int append : {0, 1}) {
    action->m_bAppendArgs = append;
    action->MakeRun().RunExternalApplication(file);
    const std::string expected =
        append ? file + "\n-q\ntwo words\n" : std::string("-q\ntwo words\n") + file + "\n";
    EXPECT_EQ(ReadFile(out), expected);
    EXPECT_EQ(host.log.back(),
              "Applied executible " + action->MakeRun().ExternalCommandLine(file) + " to file " + file);
  }
  EXPECT_FALSE(Exists("pwned"));
  EXPECT_FALSE(Exists(host.Dir() + "/pwned"));
}

TEST_F(ExternalAppTest, DisabledOrMissingProgram) {
  action->m_strExternalExeFilepath.clear();
  action->MakeRun().RunExternalApplication("/x.jpg");
  action->m_strExternalExeFilepath = script;
  action->m_bUseExternalExe = 0;
  action->MakeRun().RunExternalApplication("/x.jpg");
  EXPECT_TRUE(host.log.empty());
  EXPECT_FALSE(Exists(out));
  action->m_bUseExternalExe = 1;
  action->m_strExternalExeFilepath = host.Dir() + "/no such program";
  action->MakeRun().RunExternalApplication("/x.jpg");
  EXPECT_EQ(host.log, (std::vector<std::string>{"Failed: Applied executible \"" + host.Dir() +
                                                    "/no such program\" \"/x.jpg\" to file /x.jpg",
                                                "  Reason: No such file or directory"}));
}

TEST_F(ExternalAppTest, CopiedAndMovedFilesAreHandedOverAtTheirDestination) {
  const std::string src = host.Dir() + "/in", dst = host.Dir() + "/out";
  MakeFile(src + "/a.jpg", "a", 1000);
  MakeFolder(dst);
  action->m_strName = "Fix";
  action->m_strSourceFolder = src;
  action->m_strDestFolder = dst;
  action->m_bRunPending = 1;
  action->m_iType = kCopyFiles;
  action->Run();
  EXPECT_EQ(ReadFile(out), dst + "/a.jpg\n");
  // The program runs before the copy is reported.
  ASSERT_GE(host.log.size(), 2u);
  EXPECT_EQ(host.log[host.log.size() - 2], "Applied executible " +
                                               action->MakeRun().ExternalCommandLine(dst + "/a.jpg") +
                                               " to file " + dst + "/a.jpg");
  EXPECT_EQ(host.log.back(), "Fix (Copy Files) Copied file " + src + "/a.jpg to " + dst + "/a.jpg");
}

TEST_F(ExternalAppTest, AFailingProgramIsLoggedAsAFailureWithItsStatus) {
  struct Row {
    const char* body;
    std::string ending;
  };
  const Row rows[] = {
      {"exit 0", ""}, {"exit 3", " (exit status 3)"}, {"kill -KILL $$", " (ended by signal 9)"}};
  for (const Row& r : rows) {
    MakeFile(script, std::string("#!/bin/sh\n") + r.body + "\n");
    action->MakeRun().RunExternalApplication("/x.jpg");
    const std::string applied =
        "Applied executible " + action->MakeRun().ExternalCommandLine("/x.jpg") + " to file /x.jpg";
    EXPECT_EQ(host.log.back(), r.ending.empty() ? applied : "Failed: " + applied + r.ending);
  }
}

TEST_F(ExternalAppTest, AHangingProgramKeepsEventsFlowingUntilTheOperatorStopsWaiting) {
  // The program records its process id and never ends by itself.
  const std::string pidFile = host.Dir() + "/pid";
  MakeFile(script, "#!/bin/sh\necho $$ > '" + pidFile + "'\nexec sleep 600\n");
  int dispatched = 0;
  host.onDispatch = [&] {
    ++dispatched;
    EXPECT_GT(host.Values().g_nShellOperationDepth, 0) << "no action may start meanwhile";
    // The operator asks to exit once the program is seen running.
    if (!ReadFile(pidFile).empty()) host.stopWaiting = true;
  };
  action->MakeRun().RunExternalApplication("/x.jpg");
  EXPECT_GT(dispatched, 0);
  EXPECT_EQ(host.Values().g_nShellOperationDepth, 0);
  const pid_t pid = std::stoi(ReadFile(pidFile));
  EXPECT_EQ(host.log.back(), "Failed: Applied executible " + action->MakeRun().ExternalCommandLine("/x.jpg") +
                                 " to file /x.jpg (stopped waiting; process " + std::to_string(pid) +
                                 " left running)");
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
  // With the exit asked for, no further program is started.
  std::filesystem::remove(pidFile);
  action->MakeRun().RunExternalApplication("/y.jpg");
  EXPECT_FALSE(Exists(pidFile));
  EXPECT_EQ(host.log.back().rfind("Failed: Applied executible", 0), 0u);
}

// Says what it waits for, to whom, and ends a program that outlives its time limit.
class WaitWatchingHost : public FakeHost {
 public:
  void OnProgramWait(const ProgramWait* wait) override {
    waits.push_back(wait ? wait->program + " | " + wait->file + " | " + wait->action : "over");
  }
  std::vector<std::string> waits;
};

TEST(ExternalAppLimit, AProgramPastItsTimeLimitIsEndedWithOneLine) {
  WaitWatchingHost host;
  const std::string script = host.Dir() + "/enhance", pidFile = host.Dir() + "/pid";
  MakeFile(script, "#!/bin/sh\necho $$ > '" + pidFile + "'\nexec sleep 600\n");
  ::chmod(script.c_str(), 0755);
  Action action(host);
  action.m_strName = "Send";
  action.m_bUseExternalExe = 1;
  action.m_strExternalExeFilepath = script;
  action.m_iExternalExeTimeLimit = 30;
  // The clock moves on a minute each time it is read once the program has started.
  host.now = 1'700'000'000;
  host.onDispatch = [&] {
    if (!ReadFile(pidFile).empty()) host.now += 60;
  };
  action.MakeRun().RunExternalApplication("/out/IMG_0042.JPG");
  ASSERT_FALSE(ReadFile(pidFile).empty());
  const pid_t pid = std::stoi(ReadFile(pidFile));
  EXPECT_NE(::kill(pid, 0), 0) << "the program still runs";
  EXPECT_EQ(host.log,
            std::vector<std::string>{"Failed: Applied executible " +
                                     action.MakeRun().ExternalCommandLine("/out/IMG_0042.JPG") +
                                     " to file /out/IMG_0042.JPG (still running after its time limit"
                                     " of 30 s; ended)"});
  EXPECT_EQ(host.waits,
            (std::vector<std::string>{script + " | /out/IMG_0042.JPG | " + action.GetDescription(), "over"}));
  // No limit (the default): the wait lasts as long as the program does.
  action.m_iExternalExeTimeLimit = 0;
  MakeFile(script, "#!/bin/sh\nexit 0\n");
  action.MakeRun().RunExternalApplication("/out/b.jpg");
  EXPECT_EQ(host.log.back(), "Applied executible " + action.MakeRun().ExternalCommandLine("/out/b.jpg") +
                                 " to file /out/b.jpg");
  EXPECT_EQ(Action(host).m_iExternalExeTimeLimit, 0);
}

}  // namespace
}  // namespace brisko
