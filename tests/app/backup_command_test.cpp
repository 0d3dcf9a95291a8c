// --backup and --restore as users run them: a station's configuration moved to a fresh store.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>

#include "common/program_runner.h"
#include "common/temp_dir.h"
#include "support/settings_store.h"

namespace brisko {
namespace {

using Result = test::ProgramResult;

class TheBackupOptions : public ::testing::Test {
 protected:
  Result Run(const std::string& args) {
    return test::RunProgram("env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM XDG_RUNTIME_DIR=" +
                                dir.Path() + " XDG_STATE_HOME=" + dir.Path() + "/state ",
                            args);
  }

  static void Dump(SettingsStore& s, const std::string& path, std::vector<std::string>& out) {
    out.push_back("K " + path);
    for (const RegValue& v : s.EnumValues(path))
      out.push_back(v.name + " " + std::to_string(v.type) + " " + v.data);
    for (const std::string& k : s.EnumSubKeys(path)) Dump(s, path + "\\" + k, out);
  }
  std::vector<std::string> Dump(const std::string& storePath) {
    SettingsStore s;
    EXPECT_TRUE(s.Open(storePath));
    std::vector<std::string> out;
    Dump(s, "HKEY_LOCAL_MACHINE", out);
    return out;
  }

  test::TempDir dir;
};

}  // namespace

TEST_F(TheBackupOptions, MoveAStationsConfigurationToAFreshStore) {
  {
    SettingsStore s;
    ASSERT_TRUE(s.Open(dir / "a.db"));
    s.WriteProfileString("Settings", "ps", "pw");
    s.WriteProfileInt("Actions", "NumActions", 1);
    s.WriteProfileString("Action_0", "m_strName", "Cards \"A\" & <B>\nline");
    s.WriteProfileString("Action_0", "m_strSourceFolder", dir / "in \xc3\xa9");
    s.WriteProfileInt("Action_0", "m_iType", 8);
    s.WriteProfileString("Action_0", "m_strPrintQueue", "Selphy");
    s.WriteProfileInt("Action_0", "m_iPrintCopies", 0);
  }
  const std::string file = dir / "station.BriskoWorkflowBackup";
  const Result backup = Run("--store " + dir / "a.db" + " --backup " + file);
  ASSERT_EQ(backup.rc, 0) << backup.out;

  const Result restore = Run("--store " + dir / "b.db" + " --restore " + file);
  ASSERT_EQ(restore.rc, 0) << restore.out;
  EXPECT_NE(restore.out.find("Settings restored successfully."), std::string::npos) << restore.out;
  EXPECT_LT(restore.out.find("Created a new settings store at " + dir / "b.db"),
            restore.out.find("Settings restored successfully."))
      << restore.out;
  // The fresh store already holds the logger defaults of its start, so compare without order.
  std::vector<std::string> a = Dump(dir / "a.db"), b = Dump(dir / "b.db");
  std::sort(a.begin(), a.end());
  std::sort(b.begin(), b.end());
  EXPECT_EQ(b, a);
}

TEST_F(TheBackupOptions, FailWithTheirMessageAndExitCodeOne) {
  {
    SettingsStore a;
    ASSERT_TRUE(a.Open(dir / "a.db"));
  }
  const Result backup =
      Run("--store " + dir / "a.db" + " --backup " + dir / "no/folder/x.BriskoWorkflowBackup");
  EXPECT_EQ(backup.rc, 1);
  EXPECT_NE(backup.out.find("Error backing up settings"), std::string::npos) << backup.out;

  test::WriteFile(dir / "cut.BriskoWorkflowBackup", "<k name=\"HKEY_LOCAL_MACHINE\"><k name=\"S\">");
  const Result restore = Run("--store " + dir / "b.db" + " --restore " + dir / "cut.BriskoWorkflowBackup");
  EXPECT_EQ(restore.rc, 1);
  EXPECT_NE(restore.out.find("Parse error in line 1 : (Unexpected end of file)"), std::string::npos)
      << restore.out;
  EXPECT_NE(restore.out.find("Error restoring settings"), std::string::npos) << restore.out;
  SettingsStore b;
  ASSERT_TRUE(b.Open(dir / "b.db"));
  EXPECT_FALSE(b.KeyExists("HKEY_LOCAL_MACHINE\\S"));  // a refused file writes nothing
}

}  // namespace brisko
