// A headless station with a camera source (Directory Browse over a folder), as users run it.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "common/program_runner.h"
#include "common/temp_dir.h"
#include "engine/action/action.h"
#include "engine/records/camera_move_record.h"
#include "support/settings_store.h"

namespace brisko {
namespace {

namespace fs = std::filesystem;
using test::ReadUntil;

TEST(ACameraStation, TakesANewShotWithinSecondsAndSaysWhenTheCameraComesAndGoes) {
  test::TempDir dir;
  const std::string cam = dir / "cam", out = dir / "out";
  fs::create_directories(cam + "/DCIM/100TEST");
  fs::create_directories(out);
  const std::string deep = dir / "deep";
  fs::create_directories(deep + "/DCIM/100DEEP");
  std::ofstream(deep + "/DCIM/100DEEP/IMG_0001.JPG") << "x";
  {
    SettingsStore s;
    ASSERT_TRUE(s.Open(dir / "settings.db"));
    s.WriteProfileString("Settings", "m_TempPath", dir / "temp/");
    const std::string a = ActionSectionName(0);
    s.WriteProfileString(a, "m_strName", "Tether");
    s.WriteProfileInt(a, "m_iType", kMoveFiles);
    s.WriteProfileInt(a, "m_iScheduleType", kScheduleContinuous);
    s.WriteProfileString(a, "m_strSourceFolder", "camera:disk:" + cam);
    s.WriteProfileString(a, "m_strDestFolder", out);
    s.WriteProfileInt(a, "m_bIncludeSubFolders", 1);
    // A camera that keeps its shots in subfolders the action does not look into, and one that
    // is not there: each said once.
    const std::string b = ActionSectionName(1), c = ActionSectionName(2);
    s.WriteProfileString(b, "m_strName", "Deep");
    s.WriteProfileString(b, "m_strSourceFolder", "camera:disk:" + deep);
    s.WriteProfileString(b, "m_strDestFolder", out);
    s.WriteProfileString(c, "m_strName", "Nowhere");
    s.WriteProfileString(c, "m_strSourceFolder", "camera:disk:" + dir.Path() + "/none");
    s.WriteProfileString(c, "m_strDestFolder", out);
    for (const std::string& x : {b, c}) {
      s.WriteProfileInt(x, "m_iType", kCopyFiles);
      s.WriteProfileInt(x, "m_iScheduleType", kScheduleContinuous);
    }
    s.WriteProfileInt("Actions", "NumActions", 3);
  }
  int fd = -1;
  const pid_t pid = test::Spawn(
      test::HeadlessEnv(dir.Path()) + BRISKO_BINARY + " --headless --store " + dir / "settings.db", fd);
  ASSERT_GT(pid, 0);
  std::string seen;
  EXPECT_TRUE(ReadUntil(fd, seen, "Camera connected: Directory Browse on disk:" + cam)) << seen;

  // A shot lands on the camera while the station runs.
  {
    std::ofstream(cam + "/DCIM/100TEST/.new") << std::string(100000, 'n');
    fs::rename(cam + "/DCIM/100TEST/.new", cam + "/DCIM/100TEST/IMG_0042.JPG");
  }
  const auto shot = std::chrono::steady_clock::now();
  EXPECT_TRUE(ReadUntil(fd, seen, "Moved file from camera:disk:" + cam + "/DCIM/100TEST/IMG_0042.JPG"))
      << seen;
  EXPECT_LT(std::chrono::steady_clock::now() - shot, std::chrono::seconds(5));
  EXPECT_EQ(fs::file_size(out + "/IMG_0042.JPG"), 100000u);
  EXPECT_FALSE(fs::exists(cam + "/DCIM/100TEST/IMG_0042.JPG"));

  // Taken away: said once, not every pass.
  fs::rename(cam, cam + "-away");
  EXPECT_TRUE(ReadUntil(fd, seen, "Camera disconnected: Directory Browse on disk:" + cam)) << seen;
  sleep(3);
  kill(pid, SIGTERM);
  ReadUntil(fd, seen, "\x01never");
  int status = 0;
  waitpid(pid, &status, 0);
  close(fd);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << seen;
  auto count = [&seen](const std::string& text) {
    size_t said = 0;
    for (size_t at = seen.find(text); at != std::string::npos; at = seen.find(text, at + 1)) ++said;
    return said;
  };
  EXPECT_EQ(count("Camera disconnected"), 1u) << seen;
  EXPECT_EQ(
      count("Deep (Copy Files) No photos taken: the camera keeps its photos in subfolders and the action "
            "does not include subfolders"),
      1u)
      << seen;
  EXPECT_EQ(count("Camera not found: camera:disk:" + dir.Path() + "/none (no such folder)"), 1u) << seen;
}

// A camera move record left by an action that no longer exists is finished by the station
// itself: the photo whose copy is in place is deleted on the camera, and nothing else moves.
TEST(ACameraStation, FinishesTheCameraMoveOfAnActionThatIsGone) {
  test::TempDir dir;
  const std::string cam = dir / "cam", out = dir / "out", temp = dir / "temp";
  fs::create_directories(cam + "/DCIM/100TEST");
  fs::create_directories(out);
  fs::create_directories(temp);
  std::ofstream(cam + "/DCIM/100TEST/IMG_0001.JPG") << "photo";
  std::ofstream(cam + "/DCIM/100TEST/IMG_0002.JPG") << "other";
  fs::copy_file(cam + "/DCIM/100TEST/IMG_0001.JPG", out + "/IMG_0001.JPG");
  struct stat photo {
  }, copy{};
  ASSERT_EQ(::stat((cam + "/DCIM/100TEST/IMG_0001.JPG").c_str(), &photo), 0);
  ASSERT_EQ(::stat((out + "/IMG_0001.JPG").c_str(), &copy), 0);
  CameraMoveRecord record;
  record.action = "Deleted since";
  record.camera = "camera:disk:" + cam;
  record.entries.push_back({"/DCIM/100TEST", "IMG_0001.JPG", uint64_t(photo.st_size), int64_t(photo.st_mtime),
                            out + "/IMG_0001.JPG", "", uint64_t(copy.st_ino), uint64_t(copy.st_size)});
  {
    CameraMoveJournal journal(temp);
    ASSERT_TRUE(journal.Write(record));
  }
  {
    SettingsStore s;
    ASSERT_TRUE(s.Open(dir / "settings.db"));
    s.WriteProfileString("Settings", "m_TempPath", temp + "/");
    s.WriteProfileInt("Actions", "NumActions", 0);
  }
  std::string output;
  ASSERT_EQ(test::RunStationOnce(dir / "settings.db", dir.Path(), output), 0) << output;
  EXPECT_FALSE(fs::exists(cam + "/DCIM/100TEST/IMG_0001.JPG"));
  EXPECT_TRUE(fs::exists(cam + "/DCIM/100TEST/IMG_0002.JPG"));
  EXPECT_TRUE(fs::exists(out + "/IMG_0001.JPG"));
  EXPECT_TRUE(fs::is_empty(temp)) << "the record stays";
}

}  // namespace
}  // namespace brisko
