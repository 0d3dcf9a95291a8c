// --plt-pack, --plt-info and --plt-unpack as users run them, on the shipped example album.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>

#include "common/program_runner.h"
#include "common/temp_dir.h"

namespace brisko {
namespace {

using Result = test::ProgramResult;

Result RunTool(const std::string& args) {
  return test::RunProgram("env -u DISPLAY -u WAYLAND_DISPLAY ", args);
}

const std::string kExample = std::string(BRISKO_TEST_DATA) + "/../../examples/date_frame/album.xml";

TEST(TheAlbumTools, PackTheExampleAndDescribeIt) {
  test::TempDir dir;
  ASSERT_EQ(RunTool("--plt-pack " + kExample + " " + dir / "ex.plt").rc, 0);
  const Result info = RunTool("--plt-info " + dir / "ex.plt");
  ASSERT_EQ(info.rc, 0) << info.out;
  for (const char* line :
       {"Album: Example: date frame\n", "Template 1: Date frame\n", "design size: 1800 x 1200\n",
        "holes: 1\n", "hole 1: x 150-1050, y 150-1050\n", "caption 1: type 1, hole 1,",
        "background: JPEG 1800 x 1200\n", "overlay: transparent 1800 x 1200\n"})
    EXPECT_NE(info.out.find(line), std::string::npos) << line << "\n" << info.out;

  ASSERT_EQ(RunTool("--plt-unpack " + dir / "ex.plt " + dir / "src").rc, 0);
  ASSERT_EQ(RunTool("--plt-pack " + dir / "src/album.xml " + dir / "again.plt").rc, 0);
  EXPECT_EQ(RunTool("--plt-info " + dir / "again.plt").out, info.out);
}

TEST(TheAlbumTools, FailuresExitOneWithTheReason) {
  test::TempDir dir;
  Result r = RunTool("--plt-info " + dir / "none.plt");
  EXPECT_EQ(r.rc, 1);
  EXPECT_NE(r.out.find("none.plt does not exist"), std::string::npos) << r.out;
  std::ofstream(dir / "old.plt", std::ios::binary).write("\x64\0\0\0\x0c\0\0\0\0\0\0\0\0\0\0\0", 16);
  r = RunTool("--plt-info " + dir / "old.plt");
  EXPECT_EQ(r.rc, 1);
  EXPECT_NE(r.out.find("is saved as version 100.  This application requires albums of version 101."),
            std::string::npos)
      << r.out;
  EXPECT_EQ(RunTool("--plt-pack " + dir / "none.xml " + dir / "x.plt").rc, 1);
}

}  // namespace
}  // namespace brisko
