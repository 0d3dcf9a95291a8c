// The program as users start it: options, one-shot runs, the headless station and a second start.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include "common/jpeg_builder.h"
#include "common/program_runner.h"
#include "common/temp_dir.h"
#include "engine/action/action.h"
#include "imagemeta/jpeg_exif_file.h"
#include "support/settings_store.h"

namespace brisko {
namespace {

using test::ReadUntil;
using test::Spawn;
using Result = test::ProgramResult;

class TheProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    m_env = "env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM XDG_RUNTIME_DIR=" + m_dir.Path() +
            " XDG_STATE_HOME=" + m_dir.Path() + "/state BRISKO_STORE=" + Store() + " ";
  }
  std::string Store() const { return m_dir / "settings.db"; }

  Result Run(const std::string& args) { return RunWith(m_env, args); }
  Result RunWith(const std::string& env, const std::string& args) { return test::RunProgram(env, args); }

  // Actions as the editor would leave them: written through the store API; `more` adds settings.
  void WriteActions(const std::vector<std::pair<std::string, int>>& actions,
                    const std::function<void(SettingsStore&)>& more = nullptr) {
    SettingsStore s;
    ASSERT_TRUE(s.Open(Store()));
    s.WriteProfileString("Settings", "m_TempPath", m_dir / "temp/");
    for (size_t i = 0; i < actions.size(); ++i) {
      s.WriteProfileString(ActionSectionName(int(i)), "m_strName", actions[i].first);
      s.WriteProfileInt(ActionSectionName(int(i)), "m_iScheduleType", actions[i].second);
      s.WriteProfileString(ActionSectionName(int(i)), "m_strSourceFolder", m_dir / "in");
      s.WriteProfileString(ActionSectionName(int(i)), "m_strDestFolder", m_dir / "out");
      s.WriteProfileInt(ActionSectionName(int(i)), "m_iuCommandIndex", 0);
      // Loading takes the counters from the action sections, the last one winning.
      s.WriteProfileInt(ActionSectionName(int(i)), "m_iFileCounter", i + 1 == actions.size() ? 5 : 4);
    }
    s.WriteProfileInt("Actions", "NumActions", int(actions.size()));
    s.WriteProfileInt("Actions", "m_iFileCounter", 5);
    if (more) more(s);
  }
  static void LogToFile(SettingsStore& s, const std::string& folder) {
    s.WriteProfileInt("Logger", "m_bLogToFile", 1);
    s.WriteProfileString("Logger", "m_path", folder);
  }
  // A photo waiting in the actions' source folder.
  void PhotoWaiting(const std::string& bytes) {
    mkdir((m_dir / "in").c_str(), 0755);
    mkdir((m_dir / "out").c_str(), 0755);
    test::WriteFile(m_dir / "in/a.jpg", bytes);
  }

  // Starts `command` with its output on m_out.
  pid_t Start(const std::string& command) {
    m_seen.clear();
    return Spawn(command, m_out);
  }
  bool Saw(const std::string& text) { return ReadUntil(m_out, m_seen, text); }
  // Waits for the end of `pid`; true when it exited with 0.
  bool EndedCleanly(pid_t pid) {
    int status = 0;
    const bool ended = waitpid(pid, &status, 0) == pid;
    close(m_out);
    return ended && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }

  int StoredInt(const std::string& section, const std::string& entry) {
    SettingsStore s;
    s.Open(Store());
    return s.GetProfileInt(section, entry, -1);
  }

  test::TempDir m_dir;
  std::string m_env;
  int m_out = -1;
  std::string m_seen;  // the spawned station's output so far
};

// --help is run by the man page and user guide checks.
TEST_F(TheProgram, AnswersVersionAndBadOptions) {
  Result version = Run("--version");
  EXPECT_EQ(version.rc, 0);
  EXPECT_EQ(version.out, std::string("Brisko Event File Workflow ") + BRISKO_VERSION + "\n");
  Result bad = Run("--frobnicate");
  EXPECT_EQ(bad.rc, 2);
  EXPECT_NE(bad.out.find("unknown option '--frobnicate'"), std::string::npos) << bad.out;
}

// A mistyped --store never becomes a new empty store, and a wrong file is never taken for one.
TEST_F(TheProgram, NeverCreatesOrReplacesAStoreByMistake) {
  const std::string missing = m_dir / "typo.db", photo = m_dir / "photo.jpg", backup = m_dir / "b.xml";
  const std::string photoBytes = std::string("\xff\xd8\xff\xe0", 4) + std::string(3000, 'p');
  test::WriteFile(photo, photoBytes);
  struct Case {
    std::string args, message;
  };
  const Case cases[] = {
      {"--store " + missing + " --run-once", "No settings store at " + missing},
      {"--store " + missing + " --command 3", "No settings store at " + missing},
      {"--store " + missing + " --barcode P1", "No settings store at " + missing},
      {"--store " + missing + " --backup " + backup, "No settings store at " + missing},
      {"--store " + photo + " --run-once", photo + " is not a settings store"},
      {"--store " + photo + " --headless", photo + " is not a settings store"},
      {"--store " + photo + " --restore " + backup, photo + " is not a settings store"},
  };
  for (const Case& c : cases) {
    Result r = Run(c.args);
    EXPECT_EQ(r.rc, 1) << c.args << "\n" << r.out;
    EXPECT_NE(r.out.find(c.message), std::string::npos) << c.args << "\n" << r.out;
  }
  EXPECT_FALSE(std::filesystem::exists(missing));
  EXPECT_FALSE(std::filesystem::exists(missing + ".lock"));
  EXPECT_FALSE(std::filesystem::exists(backup));
  EXPECT_EQ(test::ReadFile(photo), photoBytes);
  size_t files = 0;
  for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator(m_dir.Path())) ++files;
  EXPECT_EQ(files, 1u) << "nothing moved aside or made beside the photo";

  // The long-running station may start a store, says so, and says how to add actions to it.
  const std::string fresh = m_dir / "new/folder/s.db";
  const pid_t pid = Start(m_env + BRISKO_BINARY + " --headless --store " + fresh);
  ASSERT_GT(pid, 0);
  const std::string created = "Created a new settings store at " + fresh + "\n";
  EXPECT_TRUE(
      Saw("No actions: the station runs nothing until some are added\n  Add or enable them in the "
          "window (Settings > Configure actions...), from a shell with brisko-workflow actions add, or "
          "restore a backup with --restore FILE\n"))
      << m_seen;
  EXPECT_EQ(m_seen.find(created), m_seen.rfind(created)) << "told once: " << m_seen;
  EXPECT_NE(m_seen.find(created), std::string::npos) << m_seen;
  kill(pid, SIGTERM);
  EXPECT_TRUE(EndedCleanly(pid)) << m_seen;
  EXPECT_EQ(SettingsStore::ProbeFile(fresh), SettingsStore::FileKind::Database);
}

TEST_F(TheProgram, RunsOnceOverStoredActionsAndSaves) {
  WriteActions({{"Alpha", kScheduleContinuous}, {"Cmd", kScheduleOnCommand}, {"Bye", kScheduleShutdown}});
  Result r = Run("--store " + Store() + " --run-once");
  EXPECT_EQ(r.rc, 0) << r.out;
  EXPECT_NE(r.out.find("Running action: Alpha\n"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("Running action: Cmd"), std::string::npos) << r.out;
  EXPECT_EQ(StoredInt("Actions", "NumActions"), 3);
  EXPECT_EQ(StoredInt("Action_2", "m_iFileCounter"), 5);
}

TEST_F(TheProgram, RunsARequestOrSaysWhyNothingRan) {
  WriteActions({{"Cmd", kScheduleOnCommand}});
  struct Case {
    const char* args;
    const char* said;
  } cases[] = {
      {"--command 2", "No action runs on command 2\n"},
      {"--barcode X1", "No Barcode Scan action\n"},
      {"--command 1", "Executing Command: Command 1 - Running action: Cmd\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args);
    Result r = Run(c.args);
    EXPECT_EQ(r.rc, 0) << r.out;
    EXPECT_NE(r.out.find(c.said), std::string::npos) << r.out;
  }
}

TEST_F(TheProgram, RunsHeadlessTakesRequestsAndExitsCleanlyOnSigterm) {
  WriteActions({{"Alpha", kScheduleContinuous}, {"Cmd", kScheduleOnCommand}});
  const pid_t pid = Start(m_env + BRISKO_BINARY + " --headless");
  ASSERT_GT(pid, 0);
  ASSERT_TRUE(Saw("Actions starting in 5s...\n")) << m_seen;

  Result second = Run("");  // a second start finds the station and ends
  EXPECT_EQ(second.rc, 0) << second.out;
  EXPECT_NE(second.out.find("already running"), std::string::npos) << second.out;
  EXPECT_EQ(Run("--run-once").rc, 1);
  // The store decides, not the runtime folder: a start from cron, ssh or a container (another
  // folder, or one that does not exist) meets the same station.
  mkdir((m_dir / "other-run").c_str(), 0700);
  for (const std::string& runtime : {m_dir / "other-run", m_dir / "no-such-run"}) {
    const std::string other = m_env + "XDG_RUNTIME_DIR=" + runtime + " ";
    Result refused = RunWith(other, "--run-once");
    EXPECT_EQ(refused.rc, 1) << refused.out;
    EXPECT_NE(refused.out.find("already running"), std::string::npos) << refused.out;
    Result forwarded = RunWith(other, "--command 1");
    EXPECT_EQ(forwarded.rc, 0) << forwarded.out;
    EXPECT_TRUE(Saw("Executing Command: Command 1 - Running action: Cmd\n")) << m_seen;
    m_seen.clear();
  }
  Result cmd = Run("--command 1");
  EXPECT_EQ(cmd.rc, 0) << cmd.out;
  EXPECT_TRUE(Saw("Executing Command: Command 1 - Running action: Cmd\n")) << m_seen;

  kill(pid, SIGTERM);
  EXPECT_TRUE(Saw("Application entering shutdown actions...\n")) << m_seen;
  EXPECT_TRUE(EndedCleanly(pid)) << m_seen;
  EXPECT_NE(m_seen.find("Shutdown requested\n"), std::string::npos);
  EXPECT_EQ(StoredInt("Action_1", "m_iFileCounter"), 5);

  // A runtime folder that does not exist does not stop a start.
  Result alone = RunWith(m_env + "XDG_RUNTIME_DIR=" + m_dir / "no-such-run" + " ", "--run-once");
  EXPECT_EQ(alone.rc, 0) << alone.out;
}

// A station without a screen set up from the command line: the store directly while none runs,
// the running station over its socket, which then runs the new action.
TEST_F(TheProgram, SetsUpAHeadlessStationsActionsFromTheCommandLine) {
  const std::string in = m_dir / "card", out = m_dir / "sorted";
  mkdir(in.c_str(), 0755);
  mkdir(out.c_str(), 0755);
  Result list = Run("actions list");
  EXPECT_EQ(list.rc, 1) << list.out;
  EXPECT_NE(list.out.find("No settings store at"), std::string::npos) << list.out;
  Result added = Run("actions add 'Move Files' 'Sort' m_strSourceFolder=" + in + " m_strDestFolder=" + out);
  EXPECT_EQ(added.rc, 0) << added.out;
  EXPECT_NE(added.out.find("Added action 1: Sort (Move Files)"), std::string::npos) << added.out;
  Result refused = Run("actions set 1 m_iFileAgeUnits=9");
  EXPECT_EQ(refused.rc, 1);
  EXPECT_EQ(refused.out, "brisko-workflow: m_iFileAgeUnits takes a whole number from 0 to 3, not '9'\n");
  EXPECT_EQ(Run("actions frob").rc, 2);

  const pid_t pid = Start(m_env + BRISKO_BINARY + " --headless");
  ASSERT_GT(pid, 0);
  ASSERT_TRUE(Saw("Actions starting in 5s...\n")) << m_seen;
  Result set =
      Run("actions set 1 m_iType=3 m_strName='Cards in' m_bRenameFile=1 m_ComponentArray=3,14,4,2 "
          "m_StaticTextArray_0=Gala");
  EXPECT_EQ(set.rc, 0) << set.out;
  EXPECT_NE(set.out.find("Changed action 1: Cards in (Move Files from Media)\nThe running station takes"),
            std::string::npos)
      << set.out;
  Result listed = Run("actions list --store " + Store());
  EXPECT_EQ(listed.out,
            "1. Cards in (Move Files from Media), Continuous, enabled: " + in + " -> " + out + "\n");
  test::WriteFile(in + "/IMG_0001.JPG", "photo");
  ASSERT_TRUE(Saw("Moved file")) << m_seen;
  kill(pid, SIGTERM);
  EXPECT_TRUE(EndedCleanly(pid)) << m_seen;
  std::vector<std::string> placed;
  for (const auto& entry : std::filesystem::directory_iterator(out))
    placed.push_back(entry.path().filename());
  ASSERT_EQ(placed.size(), 1u) << m_seen;
  EXPECT_EQ(placed[0].rfind("Gala_0000", 0), 0u) << placed[0];
  EXPECT_EQ(placed[0].substr(placed[0].size() - 4), ".JPG");
  EXPECT_EQ(StoredInt("Action_0", "m_iType"), kMoveFilesFromMedia);
}

// A fresh machine: the first start on the default store copies any card's photos into
// ~/Pictures/Brisko/<date taken>/, upright, and the card keeps them. Later starts add nothing.
TEST_F(TheProgram, AFirstStartCopiesAnyCardIntoPicturesByDate) {
  const std::string home = m_dir / "home", root = m_dir / "media/ann", table = m_dir / "mountinfo";
  std::filesystem::create_directories(home);
  std::filesystem::create_directories(root);
  test::WriteFile(table, "");
  const std::string env =
      "env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM -u BRISKO_STORE HOME=" + home +
      " XDG_CONFIG_HOME=" + home + "/.config XDG_RUNTIME_DIR=" + m_dir.Path() +
      " XDG_STATE_HOME=" + m_dir / "state" + " BRISKO_CARD_ROOTS=" + root + " BRISKO_MOUNT_TABLE=" + table +
      " ";
  const pid_t pid = Start(env + BRISKO_BINARY + " --headless");
  ASSERT_GT(pid, 0);
  ASSERT_TRUE(Saw("Added the action \"Copy cards to Pictures\"")) << m_seen;
  ASSERT_TRUE(Saw("actions disable 1\n")) << m_seen;
  // The card goes in: a sideways photo taken on 1 May 2024.
  const std::string card = root + "/EOS_DIGITAL";
  std::filesystem::create_directories(card + "/DCIM/100CANON");
  test::TiffBuilder tiff('I');
  tiff.ifd0 = {tiff.Short(0x0112, 6), tiff.Ascii(0x0132, "2024:05:01 10:00:00")};
  tiff.exif = {tiff.Ascii(0x9003, "2024:05:01 10:00:00")};
  const test::Bytes photo = test::WithSegments(test::MakeJpeg(32, 16), {test::Segment(0xFFE1, tiff.Build())});
  test::Save(card + "/DCIM/100CANON/IMG_0001.JPG", photo);
  test::WriteFile(table, "40 1 8:17 / " + card + " rw shared:9 - vfat /dev/sdb1 rw\n");
  EXPECT_TRUE(Saw("Card EOS_DIGITAL (")) << m_seen;
  ASSERT_TRUE(Saw("Copied file " + card + "/DCIM/100CANON/IMG_0001.JPG to " + home +
                  "/Pictures/Brisko/2024-05-01/IMG_0001.JPG"))
      << m_seen;
  test::WriteFile(table, "");
  EXPECT_TRUE(Saw(") out\n")) << m_seen;
  kill(pid, SIGTERM);
  EXPECT_TRUE(EndedCleanly(pid)) << m_seen;
  EXPECT_EQ(m_seen.find(") in\n"), m_seen.rfind(") in\n")) << "said once: " << m_seen;
  EXPECT_EQ(test::Load(card + "/DCIM/100CANON/IMG_0001.JPG"), photo);
  EXPECT_FALSE(JpegNeedsRotation(home + "/Pictures/Brisko/2024-05-01/IMG_0001.JPG"));

  const pid_t again = Start(env + BRISKO_BINARY + " --headless");
  ASSERT_TRUE(Saw("Actions starting in 5s...")) << m_seen;
  kill(again, SIGTERM);
  EXPECT_TRUE(EndedCleanly(again)) << m_seen;
  EXPECT_EQ(m_seen.find("Added the action"), std::string::npos) << m_seen;
}

// A paper load names a printer a Print Files action uses, alone or handed to the running
// station, which says what it did.
TEST_F(TheProgram, PaperLoadedRefusesAnUnknownPrinterAndSaysWhatItDid) {
  WriteActions({{"Print", kScheduleOnCommand}}, [](SettingsStore& s) {
    s.WriteProfileInt(ActionSectionName(0), "m_iType", kPrintFiles);
    s.WriteProfileString(ActionSectionName(0), "m_strPrintQueue", "Selphy");
  });
  // No print system is asked for anything here.
  m_env += "CUPS_SERVER=" + m_dir / "no-cups.sock" + " ";
  const std::string unknown = "Paper loaded: no printer NoSuchQueue here (printers: Selphy)";
  Result refused = Run("--paper-loaded NoSuchQueue:5");
  EXPECT_NE(refused.rc, 0) << refused.out;
  EXPECT_NE(refused.out.find(unknown), std::string::npos) << refused.out;
  Result one = Run("--paper-loaded Selphy:1");
  EXPECT_EQ(one.rc, 0) << one.out;
  EXPECT_NE(one.out.find("Paper loaded on printer Selphy: 1 print left"), std::string::npos) << one.out;

  const pid_t pid = Start(m_env + BRISKO_BINARY + " --headless");
  ASSERT_GT(pid, 0);
  ASSERT_TRUE(Saw("Actions starting in 5s...\n")) << m_seen;
  Result handedRefused = Run("--paper-loaded NoSuchQueue:5");
  EXPECT_EQ(handedRefused.rc, 1) << handedRefused.out;
  EXPECT_EQ(handedRefused.out, unknown + "\n");
  Result handed = Run("--paper-loaded Selphy:2");
  EXPECT_EQ(handed.rc, 0) << handed.out;
  EXPECT_EQ(handed.out, "Paper loaded on printer Selphy: 2 prints left\n");
  kill(pid, SIGTERM);
  EXPECT_TRUE(EndedCleanly(pid)) << m_seen;
  EXPECT_EQ(StoredInt("Printers\\Selphy", "m_iPrintsLeft"), 2);
}

TEST_F(TheProgram, SigtermEndsAHeadlessStationWhileAnExternalProgramHangs) {
  // The program asks the station to stop, then never ends by itself.
  const std::string script = m_dir / "hang.sh", pidFile = m_dir / "hang.pid";
  test::WriteFile(script, "#!/bin/sh\necho $$ > '" + pidFile +
                              "'\nkill -TERM $PPID\nexec sleep 600 </dev/null >/dev/null 2>&1\n");
  chmod(script.c_str(), 0755);
  WriteActions({{"Hand over", kScheduleContinuous}}, [&](SettingsStore& s) {
    s.WriteProfileInt("Action_0", "m_iType", kCopyFiles);
    s.WriteProfileString("Action_0", "m_strFileSpec", "*");
    s.WriteProfileInt("Action_0", "m_bUseExternalExe", 1);
    s.WriteProfileString("Action_0", "m_strExternalExeFilepath", script);
  });
  PhotoWaiting("a");
  const pid_t pid = Start(m_env + BRISKO_BINARY + " --headless");
  ASSERT_GT(pid, 0);
  const bool ended = Saw("Application entering shutdown actions...\n");
  EXPECT_TRUE(ended) << m_seen;
  if (!ended) kill(pid, SIGKILL);
  EXPECT_TRUE(EndedCleanly(pid)) << m_seen;
  EXPECT_NE(m_seen.find("left running)\n"), std::string::npos) << m_seen;
  const std::string hung = test::ReadFile(pidFile);
  if (!hung.empty()) kill(std::stoi(hung), SIGKILL);
}

// Waits up to `seconds` for `path` to hold `text`.
bool WaitForFileText(const std::string& path, const std::string& text, int seconds) {
  for (int i = 0; i < seconds * 10; ++i) {
    if (test::ReadFile(path).find(text) != std::string::npos) return true;
    usleep(100'000);
  }
  return false;
}

std::string TodaysLog(const std::string& folder) {
  char day[16];
  std::time_t now = std::time(nullptr);
  std::tm tmv{};
  localtime_r(&now, &tmv);
  std::strftime(day, sizeof day, "%Y-%m-%d", &tmv);
  return folder + "/BriskoEventFileWorkflow_" + day + ".log";
}

// After kill -9 (or a power cut) the day's log still tells what happened before.
TEST_F(TheProgram, TheLogFileKeepsLinesOfAKilledStation) {
  WriteActions({{"Alpha", kScheduleContinuous}}, [&](SettingsStore& s) { LogToFile(s, m_dir / "logs/"); });
  const pid_t pid = Start(m_env + BRISKO_BINARY + " --headless");
  ASSERT_GT(pid, 0);
  EXPECT_TRUE(Saw("Actions starting in 4s...\n")) << m_seen;
  usleep(1'300'000);
  kill(pid, SIGKILL);
  EndedCleanly(pid);  // killed: only reaped
  const std::string log = test::ReadFile(TodaysLog(m_dir / "logs"));
  EXPECT_NE(log.find("|2|Actions starting in 5s...\r\n"), std::string::npos) << log;
  EXPECT_NE(log.find("|2|Actions starting in 4s...\r\n"), std::string::npos) << log;
}

// Logout, system shutdown, systemctl stop: the window exits as "Exit" does, without asking.
TEST_F(TheProgram, TheWindowExitsOnSigtermWithoutAsking) {
  WriteActions({{"Alpha", kScheduleContinuous}, {"Bye", kScheduleShutdown}}, [&](SettingsStore& s) {
    LogToFile(s, m_dir / "logs/");
    s.WriteProfileInt("Action_0", "m_bEnabled", 0);
    s.WriteProfileInt("Action_1", "m_iType", kCopyFiles);
    s.WriteProfileString("Action_1", "m_strFileSpec", "*");
  });
  PhotoWaiting("photo");
  const std::string env =
      "env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR=" + m_dir.Path() +
      " BRISKO_STORE=" + Store() + " ";
  const pid_t pid = Start(env + BRISKO_BINARY);
  ASSERT_GT(pid, 0);
  const std::string log = TodaysLog(m_dir / "logs");
  const bool up = WaitForFileText(log, "Actions starting in", 60);
  EXPECT_TRUE(up) << test::ReadFile(log);
  kill(pid, SIGTERM);
  int status = 0;
  bool ended = false;
  for (int i = 0; i < 600 && !ended; ++i) {
    ended = waitpid(pid, &status, WNOHANG) == pid;
    if (!ended) usleep(100'000);
  }
  if (!ended) {  // waiting on a dialog nobody answers
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
  Saw("\x01");  // whatever it printed, for the failure message
  close(m_out);
  ASSERT_TRUE(ended) << test::ReadFile(log) << m_seen;
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << m_seen;
  EXPECT_EQ(test::ReadFile(m_dir / "out/a.jpg"), "photo") << "the Shutdown action ran\n"
                                                          << test::ReadFile(log);
  EXPECT_EQ(StoredInt("Action_0", "m_iFileCounter"), 5) << "the counters were saved";
}

}  // namespace
}  // namespace brisko
