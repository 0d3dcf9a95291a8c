#pragma once
// What the passes of one action learnt about its folders, so that a pass over folders where
// nothing changed reads no folder and opens no file. Folders are watched for changes; a folder
// that cannot be watched reliably (or past the process's watch budget) is listed afresh on
// every pass and keeps no decisions. The cache lives in memory only and starts empty, so it is
// rebuilt from the folders at start.
//
// A decision is kept only while its inputs cannot have changed unseen: the file (no event
// named it, same identity, size and times, and one name only), the action's settings (any
// change empties the cache) and, for a copy found up to date, the folder of the copy (no event
// named the copy).
// One gap remains: a second name made in another folder raises no event in this one, and a
// file changed through it raises events only there. Watching every file would close it but
// uses up the user's inotify watches (one each) at a few hundred thousand photos, so a slow
// sweep reads the status of every kept file instead, a slice per pass: a file that gained a
// name or changed unseen is noticed within kSweepSeconds (twice that when its folder's
// listing changed meanwhile), and from then on is read on every pass.
// A file that becomes old enough is taken on time; locked and failed files keep no decision.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "support/file_spec_find.h"
#include "support/folder_watch.h"

namespace brisko {

class SelectionCache {
 public:
  enum Decision : uint8_t {
    kUndecided = 0,
    kYoung,     // not old enough until `until`
    kFiltered,  // wrong orientation or outside the GPS areas
    kUpToDate,  // its copy is in place and not older
  };

  struct Folder;

  struct Entry {
    std::string name;
    uint64_t inode = 0;
    uint64_t size = 0;
    int64_t modTimeNs = 0;
    int64_t changeTimeNs = 0;
    int64_t modTime = 0;       // whole seconds, as the age test reads it
    int64_t until = 0;         // kYoung: the time it becomes old enough
    Folder* target = nullptr;  // kUpToDate: the folder holding the copy
    uint32_t targetGeneration = 0;
    Decision decision = kUndecided;
    bool directory = false;
    bool symlink = false;
    bool readOnly = false;
    bool passes = false;        // the action's file specification takes the name
    bool stable = false;        // a plain file with one name: changes to it raise events here
    bool targetByStat = false;  // kUpToDate in a folder without watch: the copy is looked at each pass
  };

  struct Folder {
    std::string path;  // without a trailing "/"
    int watch = -1;
    bool readBefore = false;  // listed in an earlier pass: worth a watch now
    uint64_t device = 0;
    uint64_t inode = 0;
    bool listed = false;                      // `entries` is the folder's listing
    bool relist = false;                      // names came or went: read the listing again
    std::unordered_set<std::string> changed;  // names events (or the sweep) reported since the last pass
    std::vector<Entry> entries;
    std::vector<uint32_t> nameSlots;  // name index: entry position + 1, open addressing
    uint32_t generation = 0;          // raised whenever what was known about the folder is dropped
    uint64_t seenPass = 0;
    bool target = false;  // holds copies that decisions rely on
    int listError = 0;    // how this pass's reading failed
    bool listPartial = false;
    size_t sweepNext = 0;      // the next entry the sweep reads
    bool quiet = false;        // this pass's reading found nothing changed
    bool anyUnstable = false;  // some entry is read on every pass
    // What the last pass's selection made of the folder, while every file in it kept its
    // decision (see Summarize).
    struct Summary {
      bool valid = false;
      size_t young = 0;
      size_t upToDate = 0;
      int64_t until = INT64_MAX;                          // the first young file's time
      std::vector<std::pair<Folder*, uint32_t>> targets;  // the copies' folders and generations
    } summary;

    Entry* Find(const std::string& name);
    void Reindex();
    // The first in byte order of the names equal to `name` but for letter case, or nullptr;
    // remembered until the listing changes (one name asked for on every pass).
    const std::string* FirstNameNoCase(const std::string& name) const;
    mutable bool lookupValid = false;
    mutable std::string lookupName;
    mutable const std::string* lookupHit = nullptr;
  };

  // `maxWatches` limits the folders watched (0: the kernel's limit). Without notification the
  // cache still works, as a plain listing on every pass.
  explicit SelectionCache(int maxWatches = 0);

  // Starts a pass: `settings` describes everything the action's decisions depend on; when it
  // differs from the last pass's, everything is forgotten. Reads the queued change events.
  // False when the file specification cannot be used here (the caller scans as before).
  bool BeginPass(const std::string& settings, const std::string& include, const std::string& exclude,
                 bool useRegex);
  // Forgets folders the pass did not visit and the events it has acted on.
  void EndPass();

  // The folder's entries as a listing now would give them (without "." and ".."), or nullptr
  // when it cannot be listed: `*err` then holds the errno and `*partial` says whether the
  // listing broke off part-way (as ListFolder). Pattern errors turn up in PatternError().
  Folder* Refresh(const std::string& folder, int* err, bool* partial);
  const std::string& PatternError() const { return m_patternError; }
  // The folder as this pass read it, or nullptr when the pass has not read it.
  const Folder* Listed(const std::string& folder) const;

  // True when decisions about the entries of `folder` may be kept (it is watched).
  static bool Keeps(const Folder& folder) { return folder.watch >= 0; }
  // True while a kept decision about an entry of a kept folder still holds at `now`.
  bool StillHolds(const Entry& entry, int64_t now);
  // After a pass judged the folder's files: notes how many are young and up to date, when
  // every file that counts (`counts`) holds a kept decision; otherwise notes nothing.
  void Summarize(Folder& folder, const std::function<bool(const Entry&)>& counts);
  // True when nothing about the folder changed since the pass that summarized it, so that each
  // of its decisions still holds at `now`: `*young` and `*upToDate` then get the counts,
  // without a look at each file.
  bool Unchanged(Folder& folder, int64_t now, size_t* young, size_t* upToDate);
  // Forgets every folder and stops watching them; the next pass reads them afresh.
  void ForgetAll();
  // After a pattern failed on a name: the plain scan takes over until the settings change.
  void Disable() { m_usable = false; }

  // Notes that the copy of the file at `source` is at `target` and not older, `targetStatus`
  // being the copy as the caller read it just now. Kept only where the target's folder is
  // watched and the copy is a plain file with one name; a watch placed by this call makes the
  // copy be read again, after it.
  void NoteUpToDate(const std::string& source, const std::string& target, const FileInfo& targetStatus);

  // Folders watched now, for tests and the benchmark.
  int Watches() const { return m_watch.Count(); }
  // Caches made from now on watch at most `limit` folders (0: no limit of ours). For tests.
  static void SetWatchLimitForTest(int limit);
  // Every kept file's status is read again at least once in this time.
  static constexpr int64_t kSweepSeconds = 120;
  // Moves the sweep's clock on, for tests.
  static void AdvanceClockForTest(int64_t seconds);

 private:
  Folder& FolderAt(const std::string& path);
  void Forget(Folder& folder);
  bool Watch(Folder& folder);
  bool ListAll(Folder& folder, int* err, bool* partial);
  Folder* Read(Folder& folder, int* err, bool* partial);
  void FillEntry(const FileInfo& info, Entry& entry);
  void Sweep();

  FolderWatch m_watch;
  // Ordered, so that the sweep can go on where it stopped.
  std::map<std::string, std::unique_ptr<Folder>> m_folders;
  std::unordered_map<int, Folder*> m_byWatch;
  int64_t m_sweptNs = 0;      // steady clock of the last sweep
  std::string m_sweepFolder;  // the folder the sweep goes on with
  std::string m_settings;
  FileSpecFilter m_filter;
  std::string m_patternError;
  bool m_usable = false;
  uint64_t m_pass = 0;
};

}  // namespace brisko
