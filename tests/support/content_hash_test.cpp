// Checked copies: hashes as xxhsum gives them, read-backs from the disk, and a copy made again
// after its read-back differed.
#include "support/content_hash.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "common/temp_dir.h"
#include "support/copy_batch.h"
#include "support/file_test_util.h"

using namespace brisko;
using test::ReadFile;
using test::WriteFile;

namespace {

// A disk that kept something else: one byte of the file changed, its times as they were (as
// the file system would show a copy that went wrong below it).
void FlipAByte(const std::string& path) {
  const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  struct stat st {};
  fstat(fd, &st);
  char c = 0;
  ASSERT_EQ(pread(fd, &c, 1, st.st_size / 2), 1);
  c = static_cast<char>(c ^ 0x20);
  ASSERT_EQ(pwrite(fd, &c, 1, st.st_size / 2), 1);
  const struct timespec times[2] = {st.st_atim, st.st_mtim};
  futimens(fd, times);
  fsync(fd);
  close(fd);
}

class ReadBackGuard {
 public:
  explicit ReadBackGuard(std::function<void(const std::string&)> hook) {
    SetReadBackHookForTest(std::move(hook));
  }
  ~ReadBackGuard() { SetReadBackHookForTest({}); }
};

}  // namespace

TEST(AContentHash, isXxh3Of128BitsAsXxhsumPrintsItAndReadsBackOnlyThatForm) {
  EXPECT_EQ(HashBytes("", 0).Text(), "99aa06d3014798d86001c324468d497f");
  EXPECT_EQ(HashBytes("abc", 3).Text(), "06b05ab6733a618578af5f94892f3950");
  ContentHash back;
  ASSERT_TRUE(ContentHash::Parse("06b05ab6733a618578af5f94892f3950", back));
  EXPECT_EQ(back, HashBytes("abc", 3));
  EXPECT_EQ(ContentHash{}.Text(), "") << "no hash, no text";
  for (const char* bad : {"", "06b05ab6733a618578af5f94892f395", "06b05ab6733a618578af5f94892f39500",
                          "06B05AB6733A618578AF5F94892F3950", "06b05ab6733a618578af5f94892f395g",
                          " 6b05ab6733a618578af5f94892f3950"}) {
    EXPECT_FALSE(ContentHash::Parse(bad, back)) << bad;
  }
}

TEST(AContentHash, isTheSameInPiecesAsWholeAndFromTheDiskWhereverTheFileLies) {
  std::string data(5 * 1024 * 1024 + 123, '\0');  // more than one read, not a block multiple
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 131 + i / 4096);
  const ContentHash whole = HashBytes(data.data(), data.size());
  ContentHasher pieces;
  for (size_t at = 0; at < data.size(); at += 70001)
    pieces.Update(data.data() + at, std::min<size_t>(70001, data.size() - at));
  EXPECT_EQ(pieces.Digest(), whole);

  // On disk (O_DIRECT) and on tmpfs (which may refuse it: the page-cache fallback).
  std::vector<std::unique_ptr<test::TempDir>> dirs;
  dirs.push_back(std::make_unique<test::TempDir>());
  if (access("/dev/shm", W_OK) == 0) dirs.push_back(std::make_unique<test::TempDir>("/dev/shm"));
  for (const auto& dir : dirs) {
    SCOPED_TRACE(dir->Path());
    WriteFile(*dir / "p.jpg", data);
    ContentHash back;
    ASSERT_EQ(HashFromDisk(*dir / "p.jpg", back), 0);
    EXPECT_EQ(back, whole);
    WriteFile(*dir / "empty.jpg", "");
    ASSERT_EQ(HashFromDisk(*dir / "empty.jpg", back), 0);
    EXPECT_EQ(back, HashBytes("", 0));
    EXPECT_EQ(HashFromDisk(*dir / "missing.jpg", back), ENOENT);
    // Copied straight to the disk, its tail (no whole block) through the cache: the same bytes.
    for (bool direct : {true, false}) {
      const int in = open((*dir / "p.jpg").c_str(), O_RDONLY | O_CLOEXEC);
      const int out = open((*dir / "copy.jpg").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
      ContentHash copied;
      EXPECT_EQ(CopyDataHashed(in, out, copied, direct), 0);
      EXPECT_EQ(fcntl(out, F_GETFL) & O_DIRECT, 0) << "left as it was opened";
      close(in);
      close(out);
      EXPECT_EQ(copied, whole);
      EXPECT_TRUE(ReadFile(*dir / "copy.jpg") == data);
    }
  }
}

// A copy made again is made of the photo that was copied the first time: a source saved anew
// meanwhile fails as changed, and a failure of the second copy's own flush leaves nothing.
TEST(ACheckedCopyBatch, copiesOnlyTheSamePhotoAgainAndLeavesNothingWhenThatFails) {
  test::TempDir dir;
  WriteFile(dir / "a.jpg", "photo-a");
  WriteFile(dir / "b.jpg", "photo-b");
  mkdir((dir / "out").c_str(), 0755);
  ReadBackGuard guard([&](const std::string& copy) {
    const std::string data = ReadFile(copy);
    if (data == "photo-a") WriteFile(dir / "a.jpg", "photo-a, saved again");
    FlipAByte(copy);
  });
  int syncs = 0;
  test::FaultGuard fault([&](FileStep s) { return s == FileStep::Sync && ++syncs > 1 ? EIO : 0; });
  CopyBatch batch;
  batch.SetCheck(true);
  batch.Add(dir / "a.jpg", dir / "out/a.jpg", Collision::Rename);
  batch.Add(dir / "b.jpg", dir / "out/b.jpg", Collision::Rename);
  batch.Commit();
  EXPECT_EQ(batch.Entries()[0].err, EBUSY);
  EXPECT_EQ(batch.Entries()[1].err, EIO);
  EXPECT_FALSE(batch.Entries()[1].checkFailed) << "a failed flush is not a copy that differs";
  EXPECT_TRUE(test::Names(dir / "out").empty());
}
