#pragma once
// A new file written under a hidden temporary name beside its destination and renamed into
// place only when complete and flushed; anything else removes the temporary file.
#include <cstddef>
#include <cstdint>
#include <string>

namespace brisko {

bool WriteAll(int fd, const void* data, size_t size);
// Copies everything from `offset` to the end of `src` onto the end of `dst`.
bool CopyRange(int src, uint64_t offset, int dst);
// Copies `length` bytes of `src` from `offset` onto the end of `dst`; false when `src` is shorter.
bool CopyBytes(int src, uint64_t offset, uint64_t length, int dst);

class SafeOutput {
 public:
  SafeOutput() = default;
  ~SafeOutput();
  SafeOutput(const SafeOutput&) = delete;
  SafeOutput& operator=(const SafeOutput&) = delete;

  bool Open(const std::string& destination);
  int Fd() const { return m_fd; }
  const std::string& TempPath() const { return m_temp; }
  // fsync, close, rename over the destination.
  bool Commit();

  // Test seam: fails the next commit's rename with this errno (0 = off).
  static void FailNextCommitForTest(int error);
  // Benchmark seam: skip the flush to disk to compare like with like against tools that don't.
  static void SetFlushToDiskForBenchmark(bool flush);

 private:
  int m_fd = -1;
  std::string m_temp;
  std::string m_destination;
};

}  // namespace brisko
