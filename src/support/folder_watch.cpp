#include "support/folder_watch.h"

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace brisko {

namespace {

// Writes raise IN_MODIFY; a close after writing adds nothing, and leaving it out keeps the
// station's own lock test (an open for writing, then a close) from raising events.
constexpr uint32_t kEntryEvents = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_MODIFY | IN_ATTRIB;
constexpr uint32_t kListingEvents = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO;
constexpr uint32_t kGoneEvents = IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT | IN_IGNORED;

std::atomic<int> g_processWatches{0};
// After the kernel refused a watch for want of room (other programs hold the user's limit), no
// watch is asked for until this steady-clock second: a refused call every pass and folder
// would cost CPU and gain nothing.
std::atomic<int64_t> g_noRoomUntil{0};
constexpr int64_t kNoRoomBackOffSeconds = 60;

int64_t SteadySeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

int FolderWatch::ProcessBudget() {
  static const int budget = [] {
    long limit = 8192;  // the kernel's default before it was sized by memory
    if (FILE* f = std::fopen("/proc/sys/fs/inotify/max_user_watches", "re")) {
      if (std::fscanf(f, "%ld", &limit) != 1) limit = 8192;
      std::fclose(f);
    }
    return static_cast<int>(std::max(0L, std::min(4096L, limit / 8)));
  }();
  return budget;
}

int FolderWatch::ProcessCount() {
  return g_processWatches.load(std::memory_order_relaxed);
}

bool IsNotificationReliable(const std::string& folder) {
  struct statfs fs {};
  if (::statfs(folder.c_str(), &fs) != 0) return false;
  switch (static_cast<uint64_t>(fs.f_type)) {
    case 0xEF53:      // ext2, ext3, ext4
    case 0x58465342:  // xfs
    case 0x9123683E:  // btrfs
    case 0x01021994:  // tmpfs
    case 0x858458F6:  // ramfs
    case 0xF2F52010:  // f2fs
    case 0x4D44:      // vfat (camera cards)
    case 0x2011BAB0:  // exfat (camera cards)
    case 0x7366746E:  // ntfs3
    case 0x5346544E:  // ntfs
    case 0x482B:      // hfs+
    case 0x3153464A:  // jfs
    case 0x52654973:  // reiserfs
    case 0x3434:      // nilfs
    case 0x15013346:  // udf
    case 0x9660:      // iso9660
    case 0x2FC12FC1:  // zfs
    case 0xCA451A4E:  // bcachefs
    case 0x794C7630:  // overlay
      return true;
    default:
      return false;  // nfs, smb, fuse, 9p, ceph, unknown
  }
}

// The instance is made with the first watch: closing one costs the kernel a grace period
// (about 15 ms), which a single pass that never watches anything should not pay.
FolderWatch::FolderWatch(int maxWatches) : m_maxWatches(maxWatches) {}

bool FolderWatch::Open() {
  if (!m_opened) {
    m_opened = true;
    m_fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  }
  return m_fd >= 0;
}

FolderWatch::~FolderWatch() {
  if (m_fd >= 0) ::close(m_fd);
  g_processWatches.fetch_sub(static_cast<int>(m_watches.size()), std::memory_order_relaxed);
}

int FolderWatch::Add(const std::string& folder, uint64_t* device, uint64_t* inode) {
  if (!Open()) return -1;
  if (m_maxWatches > 0 && Count() >= m_maxWatches) return -1;
  if (ProcessCount() >= ProcessBudget() || SteadySeconds() < g_noRoomUntil.load(std::memory_order_relaxed))
    return -1;
  if (!IsNotificationReliable(folder)) return -1;
  // The same folder before and after placing the watch, so the watch is on that folder.
  struct stat before {};
  if (::stat(folder.c_str(), &before) != 0) return -1;
  const int watch = inotify_add_watch(m_fd, folder.c_str(), kEntryEvents | kGoneEvents | IN_ONLYDIR);
  if (watch < 0) {
    if (errno == ENOSPC)
      g_noRoomUntil.store(SteadySeconds() + kNoRoomBackOffSeconds, std::memory_order_relaxed);
    return -1;
  }
  if (!m_watches.insert(watch).second) return -1;
  g_processWatches.fetch_add(1, std::memory_order_relaxed);
  if (!SameFolder(folder, before.st_dev, before.st_ino)) {
    Remove(watch);
    return -1;
  }
  *device = before.st_dev;
  *inode = before.st_ino;
  return watch;
}

void FolderWatch::Remove(int watch) {
  if (m_watches.erase(watch) == 0) return;
  inotify_rm_watch(m_fd, watch);
  g_processWatches.fetch_sub(1, std::memory_order_relaxed);
}

bool FolderWatch::Drain(const std::function<void(const Event&)>& onEvent) {
  if (!m_opened) return true;  // nothing watched yet, nothing missed
  if (m_fd < 0) return false;
  alignas(struct inotify_event) char buffer[16384];
  bool complete = true;
  while (true) {
    const ssize_t n = ::read(m_fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno != EAGAIN) complete = false;
      break;
    }
    if (n == 0) break;
    for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(struct inotify_event)) <= n;) {
      const auto* raw = reinterpret_cast<const struct inotify_event*>(buffer + at);
      // A name that would run past what was read is not taken on trust.
      if (at + static_cast<ssize_t>(sizeof(struct inotify_event) + raw->len) > n) {
        complete = false;
        break;
      }
      at += static_cast<ssize_t>(sizeof(struct inotify_event) + raw->len);
      if (raw->mask & IN_Q_OVERFLOW) {
        complete = false;
        continue;
      }
      Event event;
      event.watch = raw->wd;
      if (raw->len > 0) event.name.assign(raw->name, strnlen(raw->name, raw->len));
      event.listingChanged = (raw->mask & kListingEvents) != 0;
      event.folderGone = (raw->mask & kGoneEvents) != 0;
      // The kernel drops a watch with IN_IGNORED; a later Add may get the same number again.
      if ((raw->mask & IN_IGNORED) && m_watches.erase(raw->wd) != 0)
        g_processWatches.fetch_sub(1, std::memory_order_relaxed);
      onEvent(event);
    }
  }
  return complete;
}

bool FolderWatch::SameFolder(const std::string& folder, uint64_t device, uint64_t inode) {
  struct stat st {};
  return ::stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_dev == device && st.st_ino == inode;
}

}  // namespace brisko
