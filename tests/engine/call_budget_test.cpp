// The system calls a Copy Files, Copy Subfolders or Move Files pass makes per file, counted by strace around
// a child run of this test program: the difference between a pass over many files and one over few, so that
// start-up costs drop out. A change that adds a call per file fails here.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "engine/action/action.h"
#include "engine/engine_test_util.h"
#include "engine/fake_host.h"

extern char** environ;

namespace brisko {
namespace {

using namespace brisko::test;

constexpr const char* kChildVariable = "BRISKO_CALL_BUDGET_CHILD";  // "<type> <folder> <files>"

// The child: one pass of the action over a fresh hot folder.
TEST(CallBudgetChild, OnePass) {
  const char* job = std::getenv(kChildVariable);
  if (!job) GTEST_SKIP() << "run by CallBudget only";
  std::istringstream in(job);
  int type = 0, files = 0;
  std::string folder;
  in >> type >> folder >> files;
  FakeHost host;
  Action action(host);
  action.m_strName = "budget";
  action.m_iType = type;
  action.m_strSourceFolder = folder + "/hot/";
  action.m_strDestFolder = folder + "/out/";
  action.m_strFileSpec = "*.jpg";
  RunPass(action);
  EXPECT_EQ(CountFiles(folder + "/out"), files);
}

// All calls of one child pass over `files` files, or -1 when strace is not there.
long CallsOfPass(int type, const std::string& folder, int files) {
  MakeFolder(folder + "/out");
  // Copy Subfolders as on its first pass: a subfolder whose copy the pass makes.
  const std::string in = folder + (type == kCopySubfolders ? "/hot/d0/" : "/hot/");
  for (int i = 0; i < files; ++i) MakeFile(in + std::to_string(i) + ".jpg", std::string(4096, 'p'), 1);
  const std::string summary = folder + "/strace.txt";
  const std::string job =
      std::string(kChildVariable) + "=" + std::to_string(type) + " " + folder + " " + std::to_string(files);
  const std::string self = "/proc/" + std::to_string(getpid()) + "/exe";
  std::vector<std::string> args = {"strace", "-f", "-c", "-o", summary, "env", job,
                                   // LeakSanitizer cannot work under a tracer.
                                   "ASAN_OPTIONS=detect_leaks=0", self,
                                   "--gtest_filter=CallBudgetChild.OnePass"};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  const int spawned = posix_spawnp(&pid, "strace", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  int status = 0;
  if (spawned != 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
    return -1;
  // The last line: "100.00 seconds usecs/call calls [errors] total".
  std::ifstream text(summary);
  std::string line, last;
  while (std::getline(text, line))
    if (line.find("total") != std::string::npos) last = line;
  std::istringstream fields(last);
  double percent = 0, seconds = 0;
  long perCall = 0, calls = -1;
  fields >> percent >> seconds >> perCall >> calls;
  return calls;
}

TEST(CallBudget, PerCopiedOrMovedFileStaysWithinItsBudget) {
  if (std::system("strace -V >/dev/null 2>&1") != 0) GTEST_SKIP() << "strace is not installed";
  struct Row {
    int type;
    double budget;  // calls per file
  } rows[] = {{kCopyFiles, 13.5}, {kCopySubfolders, 13.5}, {kMoveFiles, 5.5}};
  FakeHost host;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.type);
    const long few = CallsOfPass(row.type, host.Dir() + "/few-" + std::to_string(row.type), 20);
    const long many = CallsOfPass(row.type, host.Dir() + "/many-" + std::to_string(row.type), 220);
    ASSERT_GT(few, 0) << "the child pass failed under strace";
    ASSERT_GT(many, 0);
    const double perFile = static_cast<double>(many - few) / 200;
    EXPECT_LE(perFile, row.budget);
    std::printf("type %d: %.2f calls per file\n", row.type, perFile);
  }
}

}  // namespace
}  // namespace brisko
