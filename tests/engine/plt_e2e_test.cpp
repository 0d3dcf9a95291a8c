// Create Image with PLT through `brisko-workflow --run-once`, and the --plt-render preview, on
// the example album and real camera JPEGs.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>

#include "common/hostile_inputs.h"
#include "common/program_runner.h"
#include "common/tools.h"
#include "engine/action/action.h"
#include "engine/engine_test_util.h"
#include "engine/fake_host.h"
#include "imaging/image_codec.h"
#include "layout/album_tools.h"

namespace brisko {
namespace {

using namespace brisko::test;
namespace fs = std::filesystem;

const std::string kCameras = std::string(BRISKO_TEST_DATA) + "/jpeg/drewnoakes/";
const std::string kExample = std::string(BRISKO_TEST_DATA) + "/../../examples/date_frame/album.xml";

// Processor time of the finished child processes: unlike the wall clock it does not depend on
// what else the machine is doing.
double ChildCpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_CHILDREN, &u);
  return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

int RunStation(const std::string& args, const std::string& home, std::string& output) {
  ProgramResult r = RunProgram(HeadlessEnv(home), args);
  output = std::move(r.out);
  return r.rc;
}

// The tags as exiftool prints them, numbers as numbers: "Make: NIKON\n..." in the order asked.
std::string Tags(const std::string& path, const std::string& tags) {
  const std::string out = CommandOutput("exiftool -n -q -q -s -f " + tags + " '" + path + "' 2>/dev/null");
  std::string compact;  // "Make                : NIKON" -> "Make: NIKON"
  for (size_t i = 0; i < out.size(); ++i) {
    if (out[i] == ' ' &&
        (compact.empty() || compact.back() == ' ' || (i + 1 < out.size() && out[i + 1] == ' ')))
      continue;
    if (out[i] == ':' && !compact.empty() && compact.back() == ' ') compact.pop_back();
    compact += out[i];
  }
  return compact;
}

TEST(PltEndToEnd, RunOnceComposesEveryCameraPhotoWithItsExif) {
  if (!HaveExiftool()) GTEST_SKIP() << "exiftool not installed";
  FakeHost host;
  const std::string in = host.Dir() + "/in", out = host.Dir() + "/out", album = host.Dir() + "/frame.plt";
  MakeFolder(in);
  MakeFolder(out);
  ASSERT_TRUE(PackAlbum(kExample, album, nullptr));
  const char* cameras[] = {"Nikon_E775.jpg", "Canon_PowerShot_A85.jpg", "Olympus_PEN_E-P3.jpg"};
  for (const char* name : cameras) fs::copy_file(kCameras + name, in + "/" + name);

  Action a(host);
  a.m_iType = kCreateImageWithPlt;
  a.m_strName = "Frame";
  a.m_strSourceFolder = in;
  a.m_strDestFolder = out;
  a.m_strFileSpec = "*.jpg";
  a.m_strBriskoPltFilepath = album;
  a.Save(0);
  host.Store().WriteProfileInt("Actions", "NumActions", 1);
  host.Store().WriteProfileString("Settings", "m_TempPath", host.Dir() + "/temp/");

  std::string output;
  ASSERT_EQ(RunStation("--store '" + host.Dir() + "/settings.db' --run-once", host.Dir(), output), 0)
      << output;
  for (const char* name : cameras) {
    const std::string made = out + "/" + name, photo = kCameras + name;
    ASSERT_TRUE(Exists(made)) << output;
    EXPECT_TRUE(Exists(in + "/" + name + ".done"));
    const std::string camera = Tags(photo, "-Make -Model -DateTimeOriginal");
    ASSERT_NE(camera.find("Make: "), std::string::npos) << camera;
    EXPECT_EQ(
        Tags(made, "-Make -Model -DateTimeOriginal -Orientation -ExifImageWidth -ExifImageHeight -ImageSize"),
        camera + "Orientation: 1\nExifImageWidth: 1800\nExifImageHeight: 1200\nImageSize: 1800 1200\n");
  }
}

TEST(PltEndToEnd, PreviewPrintsEachPictureAndLeavesThePhoto) {
  TempDir dir;
  ASSERT_TRUE(PackAlbum(kExample, dir / "frame.plt", nullptr));
  std::string output;
  ASSERT_EQ(
      RunStation("--plt-render '" + dir / "frame.plt' '" + kCameras + "Nikon_E775.jpg' '" + dir / "shown'",
                 dir.Path(), output),
      0)
      << output;
  EXPECT_EQ(output, dir / "shown/Nikon_E775.jpg\n");
  EXPECT_TRUE(Exists(dir / "shown/Nikon_E775.jpg"));
  EXPECT_TRUE(Exists(kCameras + "Nikon_E775.jpg"));
  EXPECT_EQ(
      RunStation("--plt-render '" + dir / "none.plt' '" + kCameras + "Nikon_E775.jpg' '" + dir / "shown'",
                 dir.Path(), output),
      1);
}

// A page at the 120 MP cap with an overlay of the same size would need far more than a render
// may hold: the template fails at once with the reason, and the process stays below 1 GB.
TEST(PltEndToEnd, AnAlbumAtTheCapsFailsQuicklyWithinTheMemoryBudget) {
  TempDir dir;
  std::vector<uint8_t> huge;
  {
    const Image solid(10954, 10954, 3, 200);
    ASSERT_TRUE(EncodeImage(solid, kFormatJpeg, huge, nullptr));
  }
  RawAlbum raw;
  RawTemplate t;
  t.background = raw.Add(kFormatJpeg, huge);
  t.overlay = raw.AddCompound(huge, huge);
  ASSERT_TRUE(raw.Write(dir / "caps.plt", RawDirectory({t})));
  Save(dir / "photo.jpg", MakeJpeg(600, 400));

  std::string output;
  const double start = ChildCpuSeconds();
  EXPECT_EQ(RunStation("--plt-render '" + dir / "caps.plt' '" + dir / "photo.jpg' '" + dir / "out'",
                       dir.Path(), output),
            1);
  EXPECT_LT(ChildCpuSeconds() - start, 10);
  EXPECT_NE(output.find("template 1 (T0) failed: the page with its overlay needs"), std::string::npos)
      << output;
  rusage usage{};
  ASSERT_EQ(getrusage(RUSAGE_CHILDREN, &usage), 0);
  EXPECT_LT(usage.ru_maxrss, 1024 * 1024) << "KB";

  EXPECT_EQ(RunStation("--plt-info '" + dir / "none.plt'", dir.Path(), output), 1);
  EXPECT_NE(output.find("none.plt does not exist"), std::string::npos) << output;
  WriteFile(dir / "album.xml", "<ALBUM><VERSION>1</VERSION></ALBUM>");
  EXPECT_EQ(RunStation("--plt-info '" + dir / "album.xml'", dir.Path(), output), 1);
  EXPECT_NE(output.find("use --plt-pack"), std::string::npos) << output;
}

}  // namespace
}  // namespace brisko
