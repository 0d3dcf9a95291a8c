#include "support/shell_file_op.h"

#include <gtest/gtest.h>

#include "common/temp_dir.h"
#include "support/file_test_util.h"

using namespace brisko;
using test::Names;
using test::ReadFile;
using test::WriteFile;
using Strings = std::vector<std::string>;

TEST(AShellFileOperation, movesEveryPairGoingOnAfterAFailure) {
  test::TempDir src, dst;
  WriteFile(src / "a.jpg", "a");
  WriteFile(src / "c.jpg", "c");
  int calls = 0;
  ShellFileOpRequest request;
  request.sources = {src / "a.jpg", src / "b.jpg", src / "c.jpg"};
  request.targets = {dst / "a.jpg", dst / "b.jpg", dst / "renamed.jpg"};
  request.betweenFiles = [&] { ++calls; };
  std::vector<ShellFileOpOutcome> outcomes;
  EXPECT_FALSE(RunShellFileOperation(request, &outcomes));
  EXPECT_EQ(calls, 3);
  ASSERT_EQ(outcomes.size(), 3u);
  EXPECT_EQ(outcomes[0].err, 0);
  EXPECT_EQ(outcomes[0].target, dst / "a.jpg");
  EXPECT_EQ(outcomes[1].err, ENOENT);
  EXPECT_EQ(outcomes[1].target, "");
  EXPECT_EQ(outcomes[2].target, dst / "renamed.jpg");
  EXPECT_TRUE(Names(src.Path()).empty());
  EXPECT_EQ(Names(dst.Path()), (Strings{"a.jpg", "renamed.jpg"}));

  request.sources = {dst / "a.jpg"};
  request.targets = {src / "a.jpg"};
  EXPECT_TRUE(RunShellFileOperation(request));
}

TEST(AShellFileOperation, renamesOnCollisionOrOverwritesForBothCopyAndMove) {
  for (ShellFileOpKind kind : {ShellFileOpKind::Copy, ShellFileOpKind::Move}) {
    for (bool overwrite : {false, true}) {
      test::TempDir src, dst;
      WriteFile(src / "x.jpg", "new");
      WriteFile(dst / "x.jpg", "old");
      ShellFileOpRequest request{kind, {src / "x.jpg"}, {dst / "x.jpg"}, overwrite, {}};
      std::vector<ShellFileOpOutcome> outcomes;
      ASSERT_TRUE(RunShellFileOperation(request, &outcomes));
      if (overwrite) {
        EXPECT_EQ(outcomes[0].target, dst / "x.jpg");
        EXPECT_EQ(Names(dst.Path()), (Strings{"x.jpg"}));
        EXPECT_EQ(ReadFile(dst / "x.jpg"), "new");
      } else {
        EXPECT_EQ(outcomes[0].target, dst / "x (2).jpg");
        EXPECT_EQ(ReadFile(dst / "x.jpg"), "old");
        EXPECT_EQ(ReadFile(dst / "x (2).jpg"), "new");
      }
      EXPECT_EQ(Names(src.Path()).size(), kind == ShellFileOpKind::Copy ? 1u : 0u);
    }
  }
}

// Across file systems the operation is the file layer's move, proved by its own tests.
TEST(AShellFileOperation, withListsOfDifferentLengthsDoesNothing) {
  test::TempDir dir;
  WriteFile(dir / "a.jpg", "a");
  ShellFileOpRequest request{ShellFileOpKind::Move, {dir / "a.jpg"}, {}, false, {}};
  std::vector<ShellFileOpOutcome> outcomes;
  EXPECT_FALSE(RunShellFileOperation(request, &outcomes));
  ASSERT_EQ(outcomes.size(), 1u);
  EXPECT_EQ(outcomes[0].err, EINVAL);
  EXPECT_EQ(Names(dir.Path()), (Strings{"a.jpg"}));
}
