#pragma once
// Checked copies: a copy's bytes hashed as they pass (XXH3-128) and compared with the copy as the
// disk gives it back, so a copy that only the page cache holds correctly never counts as safe.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace brisko {

struct ContentHash {
  uint64_t high = 0;
  uint64_t low = 0;
  bool set = false;
  bool operator==(const ContentHash& other) const {
    return set == other.set && high == other.high && low == other.low;
  }
  // 32 lower-case hex digits, as xxhsum -H2 prints them; "" when not set.
  std::string Text() const;
  // The form Text() writes; false for anything else.
  static bool Parse(std::string_view text, ContentHash& hash);
};

// Hashes bytes handed to it piece by piece (a download as it arrives).
class ContentHasher {
 public:
  ContentHasher();
  ~ContentHasher();
  ContentHasher(const ContentHasher&) = delete;
  ContentHasher& operator=(const ContentHasher&) = delete;
  void Update(const void* data, size_t size);
  ContentHash Digest() const;
  void Reset();

 private:
  struct State;
  std::unique_ptr<State> m_state;
};

// The hash of a buffer in one go.
ContentHash HashBytes(const void* data, size_t size);

// Copies everything from `in` (from its offset) to `out` through one buffer, hashing what was
// read on the way: the source is read once. `direct`: written with O_DIRECT where the file
// system takes it (straight to the disk, leaving the page cache alone; the tail that is no whole
// block through the cache), which is what a large copy that is read back anyway wants. 0 or
// errno.
int CopyDataHashed(int in, int out, ContentHash& hash, bool direct = false);

// Hashes the file at `path` as the disk holds it: read with O_DIRECT where the file system takes
// it, else after its cached pages are dropped (the caller flushed it, so they are clean and go).
// 0 or errno.
int HashFromDisk(const std::string& path, ContentHash& hash);

// Test seam: runs on a checked copy after its flush and before it is read back (a test flips a
// byte there to play a disk that kept something else).
void SetReadBackHookForTest(std::function<void(const std::string& copy)> hook);
void ReadBackHook(const std::string& copy);

}  // namespace brisko
