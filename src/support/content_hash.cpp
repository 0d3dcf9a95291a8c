#include "support/content_hash.h"

#include <fcntl.h>
#include <unistd.h>
#include <xxhash.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "support/file_ops_internal.h"

namespace brisko {

namespace {

std::function<void(const std::string&)>& Hook() {
  static std::function<void(const std::string&)> hook;
  return hook;
}

ContentHash FromXxh(XXH128_hash_t h) {
  return ContentHash{h.high64, h.low64, true};
}

struct FreeDeleter {
  void operator()(char* p) const { std::free(p); }
};

// One buffer per thread, kept: a fresh multi-megabyte allocation is a fresh mapping, and its
// page faults would cost more than the hashing.
char* ThreadBuffer(size_t size) {
  thread_local std::unique_ptr<char, FreeDeleter> buffer;
  thread_local size_t have = 0;
  if (have < size) {
    buffer.reset(static_cast<char*>(std::aligned_alloc(4096, size)));
    have = buffer ? size : 0;
  }
  return buffer.get();
}

// Large reads for the read-back: a photo is usually one or two of them. A multiple of every
// logical block size, as O_DIRECT wants.
constexpr size_t kReadBackChunk = size_t{4} << 20;
// Copies through the page cache go in smaller pieces; direct ones in large ones, as each write
// waits for the disk.
constexpr size_t kCopyChunk(bool direct) {
  return direct ? kReadBackChunk : size_t{1} << 20;
}
// A multiple of every logical block size O_DIRECT may ask for.
constexpr size_t kDirectBlock = 4096;

// 0, errno, or -1 when O_DIRECT reads are refused (some FUSE and network file systems accept the
// open and refuse the read).
int HashOpen(int fd, bool direct, ContentHash& hash) {
  char* buffer = ThreadBuffer(kReadBackChunk);
  if (!buffer) return ENOMEM;
  ContentHasher hasher;
  while (true) {
    const ssize_t n = read(fd, buffer, kReadBackChunk);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (direct && errno == EINVAL) return -1;
      return errno;
    }
    if (n == 0) break;
    hasher.Update(buffer, static_cast<size_t>(n));
  }
  hash = hasher.Digest();
  return 0;
}

}  // namespace

std::string ContentHash::Text() const {
  if (!set) return {};
  char text[33];
  std::snprintf(text, sizeof text, "%016llx%016llx", static_cast<unsigned long long>(high),
                static_cast<unsigned long long>(low));
  return text;
}

bool ContentHash::Parse(std::string_view text, ContentHash& hash) {
  if (text.size() != 32) return false;
  uint64_t parts[2] = {0, 0};
  for (size_t i = 0; i < 32; ++i) {
    const char c = text[i];
    int v = 0;
    if (c >= '0' && c <= '9') {
      v = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      v = c - 'a' + 10;
    } else {
      return false;
    }
    parts[i / 16] = parts[i / 16] << 4 | static_cast<uint64_t>(v);
  }
  hash = ContentHash{parts[0], parts[1], true};
  return true;
}

struct ContentHasher::State {
  XXH3_state_t* state = nullptr;
};

ContentHasher::ContentHasher() : m_state(std::make_unique<State>()) {
  m_state->state = XXH3_createState();
  Reset();
}

ContentHasher::~ContentHasher() {
  XXH3_freeState(m_state->state);
}

void ContentHasher::Reset() {
  if (m_state->state) XXH3_128bits_reset(m_state->state);
}

void ContentHasher::Update(const void* data, size_t size) {
  if (m_state->state && size > 0) XXH3_128bits_update(m_state->state, data, size);
}

ContentHash ContentHasher::Digest() const {
  // Without a state (out of memory) the digest is of nothing, and no check can pass with it.
  if (!m_state->state) return ContentHash{};
  return FromXxh(XXH3_128bits_digest(m_state->state));
}

ContentHash HashBytes(const void* data, size_t size) {
  return FromXxh(XXH3_128bits(data, size));
}

int CopyDataHashed(int in, int out, ContentHash& hash, bool direct) {
  char* buffer = ThreadBuffer(kReadBackChunk);
  if (!buffer) return ENOMEM;
  const int flags = fcntl(out, F_GETFL);
  direct = direct && flags >= 0 && fcntl(out, F_SETFL, flags | O_DIRECT) == 0;
  // Back to the page cache: for a tail that is no whole block, or a file system that takes the
  // open flag and refuses the writes.
  auto buffered = [&] {
    if (direct) fcntl(out, F_SETFL, flags);
    direct = false;
  };
  ContentHasher hasher;
  bool end = false;
  while (!end) {
    // A whole chunk where the file has one, so that direct writes stay block-aligned.
    size_t have = 0;
    while (have < kCopyChunk(direct)) {
      const ssize_t n = read(in, buffer + have, kCopyChunk(direct) - have);
      if (n < 0) {
        if (errno == EINTR) continue;
        const int e = errno;
        buffered();
        return e;
      }
      if (n == 0) {
        end = true;
        break;
      }
      have += static_cast<size_t>(n);
    }
    hasher.Update(buffer, have);
    size_t done = 0;
    if (direct) {
      const size_t whole = have & ~(kDirectBlock - 1);
      while (done < whole) {
        const ssize_t n = write(out, buffer + done, whole - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EINVAL) break;  // refused after all: the rest through the cache
        if (n < 0) {
          const int e = errno;
          buffered();
          return e;
        }
        done += static_cast<size_t>(n);
        if (done % kDirectBlock != 0) break;
      }
      if (done < have) buffered();
    }
    if (int e = file_ops_detail::WriteAll(out, buffer + done, have - done)) return e;
  }
  buffered();
  hash = hasher.Digest();
  return hash.set ? 0 : ENOMEM;
}

int HashFromDisk(const std::string& path, ContentHash& hash) {
  ReadBackHook(path);
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_DIRECT);
  if (fd >= 0) {
    const int e = HashOpen(fd, true, hash);
    close(fd);
    if (e >= 0) return e;
  } else if (errno != EINVAL) {
    return errno;
  }
  fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return errno;
  // Clean pages go; a page still dirty would stay, which is why callers flush first.
  posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
  const int e = HashOpen(fd, false, hash);
  close(fd);
  return e;
}

void SetReadBackHookForTest(std::function<void(const std::string& copy)> hook) {
  Hook() = std::move(hook);
}

void ReadBackHook(const std::string& copy) {
  if (Hook()) Hook()(copy);
}

}  // namespace brisko
