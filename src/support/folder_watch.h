#pragma once
// Change notification for folders (inotify), for callers that keep what they learnt about a
// folder between scans. A folder is watched only where notification can be trusted: a local
// file system, a watch the kernel granted, and the same folder still at the path. Everything
// else must be scanned as if nothing were known.
#include <cstdint>
#include <functional>
#include <string>
#include <unordered_set>

namespace brisko {

// True when changes to files on the file system holding `folder` always raise notifications
// here: local disks and card formats. Network shares, FUSE and unknown kinds give false, since
// another machine (or a user-space server) can change them unseen.
bool IsNotificationReliable(const std::string& folder);

class FolderWatch {
 public:
  // What one drained event says.
  struct Event {
    int watch = -1;               // the watch it came for
    std::string name;             // entry name; empty when the folder itself changed
    bool listingChanged = false;  // created, deleted, moved in or out
    bool folderGone = false;      // the folder was moved, deleted or unmounted: forget it
  };

  // `maxWatches` 0: only the process budget (see ProcessBudget) limits the number of folders.
  explicit FolderWatch(int maxWatches = 0);
  ~FolderWatch();
  FolderWatch(const FolderWatch&) = delete;
  FolderWatch& operator=(const FolderWatch&) = delete;

  // Starts watching `folder` and gives the watch, or -1 where it cannot be relied on (see
  // above, or the watch limit is reached). `device`/`inode` get the folder's identity as seen
  // after the watch was placed, so nothing that changes after that can pass unnoticed. A
  // folder already watched under another path gives -1 too (one watch serves one path).
  int Add(const std::string& folder, uint64_t* device, uint64_t* inode);
  void Remove(int watch);

  // Hands every queued event to `onEvent`. False when events were lost (the queue overflowed
  // or could not be read): the caller must then forget everything it learnt from watches.
  bool Drain(const std::function<void(const Event&)>& onEvent);

  // True when `folder` still is the folder with this identity.
  static bool SameFolder(const std::string& folder, uint64_t device, uint64_t inode);

  // Folders watched now by this object.
  int Count() const { return static_cast<int>(m_watches.size()); }

  // The user's inotify watches are shared by every program of the session (desktop search,
  // editors, sync clients): all watches of this process together stay within an eighth of the
  // user's limit, and at most 4096. Folders past it are listed on every pass instead.
  static int ProcessBudget();
  // Watches held by the whole process now.
  static int ProcessCount();

 private:
  bool Open();

  int m_fd = -1;
  bool m_opened = false;
  int m_maxWatches = 0;
  std::unordered_set<int> m_watches;
};

}  // namespace brisko
