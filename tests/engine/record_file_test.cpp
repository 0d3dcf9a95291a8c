// The record mechanism every kind of record shares: its durable write, its claim and its bound.
#include "engine/base/record_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "common/temp_dir.h"

namespace brisko {
namespace {

using namespace brisko::test;
namespace fs = std::filesystem;

constexpr const char* kSuffix = ".brisko-move";
constexpr const char* kChildVariable = "BRISKO_RECORD_WRITE_CHILD";  // the folder to write in

// The child: a record written, then replaced.
TEST(RecordWriteChild, WritesAndReplaces) {
  const char* folder = std::getenv(kChildVariable);
  if (!folder) GTEST_SKIP() << "run by RecordFile only";
  HeldRecord record(folder, kSuffix, 4096);
  ASSERT_TRUE(record.Write("first\n", "a.jpg"));
  ASSERT_TRUE(record.Write("second\n", "a.jpg"));
}

// Under its name a record is always whole after a power cut: its bytes are flushed before the
// rename, and the folder after it.
TEST(RecordFile, IsFlushedBeforeItTakesItsNameAndItsFolderAfter) {
  if (std::system("strace -V >/dev/null 2>&1") != 0) GTEST_SKIP() << "strace is not installed";
  TempDir dir;
  const std::string trace = dir.Path() + "/trace.txt";
  const std::string command = "strace -f -qq -e trace=fsync,fdatasync,rename,renameat,renameat2 -o " + trace +
                              " env " + kChildVariable + "=" + dir.Path() +
                              "/ ASAN_OPTIONS=detect_leaks=0 /proc/" + std::to_string(getpid()) +
                              "/exe --gtest_filter=RecordWriteChild.* >/dev/null 2>&1";
  ASSERT_EQ(std::system(command.c_str()), 0);
  std::ifstream in(trace);
  int renames = 0;
  bool dataFlushed = false, folderOwed = false;
  for (std::string line; std::getline(in, line);) {
    if (line.find("sync(") != std::string::npos) {
      if (folderOwed) {
        folderOwed = false;  // the first flush after a rename is the folder's
      } else {
        dataFlushed = true;
      }
    } else if (line.find("rename") != std::string::npos && line.find(kSuffix) != std::string::npos) {
      ++renames;
      EXPECT_TRUE(dataFlushed) << "renamed unflushed: " << line;
      EXPECT_FALSE(folderOwed) << "the folder was not flushed after the rename before";
      dataFlushed = false;
      folderOwed = true;
    }
  }
  EXPECT_EQ(renames, 2);
  EXPECT_FALSE(folderOwed) << "the folder was not flushed after the last rename";
}

// A record replaced by its writer's next step, or removed with its finished move, between the
// claim's open and its lock is not claimed: the file locked is not the record under the name.
TEST(RecordFile, AClaimTakesOnlyTheRecordStillUnderItsName) {
  TempDir dir;
  const std::string path = dir.Path() + "/a.jpg" + kSuffix;
  const std::function<void()> meanwhile[] = {
      [&] { WriteFile(path + ".new", "next step\n"), fs::rename(path + ".new", path); },
      [&] { fs::remove(path); },
      nullptr,
  };
  for (const auto& act : meanwhile) {
    WriteFile(path, "record\n");
    SetClaimHookForTest([&](const std::string&) {
      if (act) act();
    });
    const int fd = ClaimRecordFile(path);
    SetClaimHookForTest(nullptr);
    EXPECT_EQ(fd >= 0, !act);
    if (fd >= 0) ::close(fd);
  }
}

// A file larger than its kind's bound is not read, whatever it is, and a record at the bound is.
TEST(RecordFile, IsReadOnlyWithinItsBound) {
  TempDir dir;
  const std::string folder = dir.Path() + "/";
  WriteFile(folder + "a" + kSuffix, std::string(100, 'r'));
  for (const size_t bound : {size_t{99}, size_t{100}}) {
    std::string text;
    EXPECT_EQ(ReadRecordFile(folder + "a" + kSuffix, bound, text), bound == 100);
    int handed = 0;
    RecoverRecords(folder, kSuffix, bound, [&](HeldRecord& record, const std::string* read) {
      EXPECT_EQ(read != nullptr, bound == 100);
      EXPECT_TRUE(record.Active());
      return ++handed;
    });
    EXPECT_EQ(handed, 1);
  }
}

}  // namespace
}  // namespace brisko
