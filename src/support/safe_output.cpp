#include "support/safe_output.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <vector>

namespace brisko {

namespace {
int g_failNextCommit = 0;
bool g_flushToDisk = true;

mode_t CreationMode() {
  mode_t mask = umask(0);
  umask(mask);
  return 0666 & ~mask;
}
}  // namespace

bool WriteAll(int fd, const void* data, size_t size) {
  const auto* p = static_cast<const uint8_t*>(data);
  while (size > 0) {
    ssize_t n = write(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool CopyRange(int src, uint64_t offset, int dst) {
  struct stat st {};
  if (fstat(src, &st) != 0 || static_cast<uint64_t>(st.st_size) < offset) return false;
  return CopyBytes(src, offset, static_cast<uint64_t>(st.st_size) - offset, dst);
}

bool CopyBytes(int src, uint64_t offset, uint64_t length, int dst) {
  loff_t in = static_cast<loff_t>(offset);
  uint64_t left = length;
  // copy_file_range lets the kernel (or the file system) do the copy; plain reads are the fallback.
  while (left > 0) {
    ssize_t n = copy_file_range(src, &in, dst, nullptr, left, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    left -= static_cast<uint64_t>(n);
  }
  std::vector<uint8_t> buf;
  while (left > 0) {
    if (buf.empty()) buf.resize(1 << 16);
    ssize_t n = pread(src, buf.data(), std::min<uint64_t>(left, buf.size()), in);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    if (!WriteAll(dst, buf.data(), static_cast<size_t>(n))) return false;
    in += n;
    left -= static_cast<uint64_t>(n);
  }
  return true;
}

SafeOutput::~SafeOutput() {
  if (!m_temp.empty()) unlink(m_temp.c_str());
  if (m_fd >= 0) close(m_fd);
}

bool SafeOutput::Open(const std::string& destination) {
  m_destination = destination;
  size_t slash = destination.find_last_of('/');
  std::string dir = slash == std::string::npos ? std::string() : destination.substr(0, slash + 1);
  std::string name = slash == std::string::npos ? destination : destination.substr(slash + 1);
  // The temporary name must fit the file system's 255 bytes even for the longest names.
  constexpr size_t kMaxName = 255, kDecoration = 1 + 14;  // "." and ".brisko-XXXXXX"
  if (name.size() > kMaxName - kDecoration) name.resize(kMaxName - kDecoration);
  std::string tmpl = dir + "." + name + ".brisko-XXXXXX";
  m_fd = mkostemp(tmpl.data(), O_CLOEXEC);
  if (m_fd < 0) return false;
  m_temp = tmpl;
  fchmod(m_fd, CreationMode());
  // Held until the rename: a sweep after a crash tells a dead writer's file by the free lock.
  flock(m_fd, LOCK_EX | LOCK_NB);
  return true;
}

bool SafeOutput::Commit() {
  if (m_fd < 0) return false;
  // The caller may delete the source next: the new file must be on disk before it takes the name.
  if (g_flushToDisk && fdatasync(m_fd) != 0) return false;
  if (g_failNextCommit != 0) {
    errno = g_failNextCommit;
    g_failNextCommit = 0;
    return false;
  }
  // Renamed while still open, so its lock covers it up to its final name.
  if (rename(m_temp.c_str(), m_destination.c_str()) != 0) return false;
  m_temp.clear();
  // Flushed already: a late close error would not make the file in place any less whole.
  close(m_fd);
  m_fd = -1;
  // The new name itself must survive a power cut before a source is deleted.
  if (g_flushToDisk) {
    size_t slash = m_destination.find_last_of('/');
    std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : m_destination.substr(0, slash));
    int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
      fsync(dfd);
      close(dfd);
    }
  }
  return true;
}

void SafeOutput::FailNextCommitForTest(int error) {
  g_failNextCommit = error;
}
void SafeOutput::SetFlushToDiskForBenchmark(bool flush) {
  g_flushToDisk = flush;
}

}  // namespace brisko
