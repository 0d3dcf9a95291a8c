#pragma once
// What file_ops.cpp and copy_batch.cpp share; no other file includes it.
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>

#include "support/file_ops.h"

namespace brisko::file_ops_detail {

// The errno the test seam plants at `step`, else 0.
int Fault(FileStep step);
// Writes all of `data`, through interrupted and short writes: 0, or the error.
int WriteAll(int fd, const char* data, size_t size);

class Fd {
 public:
  explicit Fd(int fd = -1) : m_fd(fd) {}
  ~Fd() {
    if (m_fd >= 0) close(m_fd);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int Get() const { return m_fd; }
  int Release() { return std::exchange(m_fd, -1); }
  // Closes now and reports the error close gives (network file systems report late).
  int Close() {
    int rc = close(m_fd);
    m_fd = -1;
    return rc == 0 ? 0 : errno;
  }

 private:
  int m_fd;
};

// The process's own ids, asked once instead of for every file; a forked child asks again.
struct OwnIds {
  pid_t pid = 0;
  uid_t euid = 0;
  gid_t egid = 0;
};
const OwnIds& Ids();

// Puts `from` under `target` by the collision rule; `placed` gets the name used. 0 or errno.
int PlaceByRename(const std::string& from, const std::string& target, Collision collision,
                  std::string& placed);
// All of `in` from its offset on onto `out`; 0 or errno.
int CopyData(int in, int out);
// A hidden temporary file in `folder` ("" = current folder), created private.
int OpenTemp(const std::string& folder, std::string& tempPath);
int64_t NowNs();
// fsync of the folder holding `path`; 0 or errno.
int SyncFolderOf(const std::string& path);
// Owner, mode and times of `st` onto the copy open at `out`; 0 or errno.
int CopyAttributes(int out, const struct stat& st);
// True when the name no longer holds the data that was copied: written to since, or replaced by
// another file (editors and EXIF tools save under a temporary name and rename over the photo).
bool ChangedSinceCopy(const std::string& source, const struct stat& copied);
// The second half of a move whose copy `placed` is durable: deletes `source` while it is still
// what was copied (`copied`). `pin`, the source held open since the copy (or -1), is closed
// before the delete, which some network shares refuse on an open file. On failure the copy is
// taken back and errno returned, unless the source is out of reach (`outOfReach` set): then the
// copy stays for the caller's record. A source renamed meanwhile to a name `takes` accepts is
// found by its identity and deleted in its place (`renamed` says where it was).
int RemoveMovedSource(const std::string& source, const struct stat& copied, const std::string& placed,
                      Collision collision, int pin,
                      const std::function<bool(const std::string&)>* takes = nullptr,
                      std::string* renamed = nullptr, bool* outOfReach = nullptr, bool* setAside = nullptr);
// 0 when no other process has the regular file open at `fd` for writing, else EBUSY (or the
// errno of the flock).
int ReadLockTest(int fd);

}  // namespace brisko::file_ops_detail
