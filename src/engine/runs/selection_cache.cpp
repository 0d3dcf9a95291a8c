#include "engine/runs/selection_cache.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <functional>

#include "support/path_util.h"

namespace brisko {

namespace {

int g_watchLimitForTest = 0;
int64_t g_clockOffsetNsForTest = 0;

int64_t SteadyNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
             .count() +
         g_clockOffsetNsForTest;
}

size_t NameHash(const std::string& name) {
  return std::hash<std::string>{}(name);
}

}  // namespace

SelectionCache::Entry* SelectionCache::Folder::Find(const std::string& name) {
  if (nameSlots.empty()) return nullptr;
  const size_t mask = nameSlots.size() - 1;
  for (size_t i = NameHash(name) & mask;; i = (i + 1) & mask) {
    const uint32_t slot = nameSlots[i];
    if (slot == 0) return nullptr;
    if (entries[slot - 1].name == name) return &entries[slot - 1];
  }
}

void SelectionCache::Folder::Reindex() {
  size_t size = 16;
  while (size < entries.size() * 2) size *= 2;
  nameSlots.assign(size, 0);
  const size_t mask = size - 1;
  for (size_t k = 0; k < entries.size(); ++k) {
    size_t i = NameHash(entries[k].name) & mask;
    while (nameSlots[i] != 0) i = (i + 1) & mask;
    nameSlots[i] = static_cast<uint32_t>(k + 1);
  }
}

const std::string* SelectionCache::Folder::FirstNameNoCase(const std::string& name) const {
  if (lookupValid && lookupName == name) return lookupHit;
  auto same = [&name](const std::string& other) {
    if (other.size() != name.size()) return false;
    for (size_t i = 0; i < name.size(); ++i) {
      if (std::tolower(static_cast<unsigned char>(other[i])) !=
          std::tolower(static_cast<unsigned char>(name[i])))
        return false;
    }
    return true;
  };
  lookupHit = nullptr;
  for (const Entry& entry : entries) {
    if (same(entry.name) && (!lookupHit || *lookupHit > entry.name)) lookupHit = &entry.name;
  }
  lookupName = name;
  lookupValid = true;
  return lookupHit;
}

void SelectionCache::SetWatchLimitForTest(int limit) {
  g_watchLimitForTest = limit;
}

void SelectionCache::AdvanceClockForTest(int64_t seconds) {
  g_clockOffsetNsForTest += seconds * 1'000'000'000;
}

SelectionCache::SelectionCache(int maxWatches) : m_watch(maxWatches > 0 ? maxWatches : g_watchLimitForTest) {
  m_filter.SetErrorSink(&m_patternError, nullptr);
}

bool SelectionCache::BeginPass(const std::string& settings, const std::string& include,
                               const std::string& exclude, bool useRegex) {
  if (settings != m_settings || m_pass == 0) {
    ForgetAll();
    m_folders.clear();
    m_settings = settings;
    m_patternError.clear();
    m_filter.SetSpecs(include, exclude, useRegex);
    // A pattern that does not compile is reported on every pass; the plain scan does that.
    m_filter.Passes("x", false);
    m_usable = (!include.empty() || !exclude.empty()) && m_patternError.empty();
    m_patternError.clear();
  }
  if (!m_usable) return false;
  ++m_pass;
  const bool complete = m_watch.Drain([this](const FolderWatch::Event& event) {
    auto it = m_byWatch.find(event.watch);
    if (it == m_byWatch.end()) return;
    Folder& folder = *it->second;
    if (event.folderGone) {
      Forget(folder);
    } else if (!event.name.empty()) {
      folder.changed.insert(event.name);
      folder.relist |= event.listingChanged;
    }
  });
  if (!complete) ForgetAll();
  // A folder moved away, replaced, or with a card mounted over it is no longer the one watched.
  for (auto& [path, folder] : m_folders) {
    if (folder->watch >= 0 && !FolderWatch::SameFolder(path, folder->device, folder->inode)) Forget(*folder);
  }
  Sweep();
  return true;
}

void SelectionCache::Sweep() {
  const int64_t now = SteadyNs();
  if (m_sweptNs == 0 || now < m_sweptNs) {
    m_sweptNs = now;
    return;
  }
  uint64_t total = 0;
  for (auto& [path, folder] : m_folders) {
    if (folder->watch >= 0 && folder->listed) total += folder->entries.size();
  }
  // A share of the kept files in step with the time gone by, rounded up, so that the whole lot
  // is read once per kSweepSeconds however often passes come.
  constexpr int64_t kPeriodNs = kSweepSeconds * 1'000'000'000;
  const int64_t elapsed = now - m_sweptNs;
  uint64_t budget =
      elapsed >= kPeriodNs
          ? total
          : static_cast<uint64_t>(std::ceil(static_cast<double>(total) * static_cast<double>(elapsed) /
                                            static_cast<double>(kPeriodNs)));
  m_sweptNs = now;
  if (total == 0) return;
  auto it = m_folders.lower_bound(m_sweepFolder);
  for (size_t visits = 0; budget > 0 && visits <= m_folders.size(); ++visits, ++it) {
    if (it == m_folders.end()) it = m_folders.begin();
    Folder& folder = *it->second;
    m_sweepFolder = it->first;
    if (folder.watch < 0 || !folder.listed) continue;
    while (budget > 0 && folder.sweepNext < folder.entries.size()) {
      const Entry& entry = folder.entries[folder.sweepNext++];
      --budget;
      // Files with several names are read on every pass anyway; folders report through events.
      if (!entry.stable || entry.directory || folder.changed.count(entry.name)) continue;
      FileInfo info;
      if (!StatEntry(folder.path, entry.name, info) || info.inode != entry.inode || info.links != 1 ||
          info.changeTimeNs != entry.changeTimeNs || info.size != entry.size ||
          info.modTimeNs != entry.modTimeNs)
        folder.changed.insert(entry.name);
    }
    if (folder.sweepNext < folder.entries.size()) return;  // goes on here next time
    folder.sweepNext = 0;
  }
  m_sweepFolder = it == m_folders.end() ? std::string() : it->first;
}

void SelectionCache::EndPass() {
  for (auto it = m_folders.begin(); it != m_folders.end();) {
    Folder& folder = *it->second;
    folder.changed.clear();
    // Copies' folders stay: decisions point at them.
    if (folder.seenPass != m_pass && !folder.target) {
      Forget(folder);
      it = m_folders.erase(it);
    } else {
      ++it;
    }
  }
}

SelectionCache::Folder& SelectionCache::FolderAt(const std::string& path) {
  std::unique_ptr<Folder>& slot = m_folders[path];
  if (!slot) {
    slot = std::make_unique<Folder>();
    slot->path = path;
  }
  return *slot;
}

void SelectionCache::Forget(Folder& folder) {
  if (folder.watch >= 0) {
    m_watch.Remove(folder.watch);
    m_byWatch.erase(folder.watch);
    folder.watch = -1;
  }
  folder.entries.clear();
  folder.nameSlots.clear();
  folder.changed.clear();
  folder.listed = folder.relist = false;
  folder.sweepNext = 0;
  folder.quiet = false;
  folder.summary = Folder::Summary{};
  folder.lookupValid = false;
  ++folder.generation;
}

void SelectionCache::ForgetAll() {
  for (auto& [path, folder] : m_folders) Forget(*folder);
}

bool SelectionCache::Watch(Folder& folder) {
  folder.watch = m_watch.Add(folder.path, &folder.device, &folder.inode);
  if (folder.watch < 0) return false;
  m_byWatch[folder.watch] = &folder;
  return true;
}

void SelectionCache::FillEntry(const FileInfo& info, Entry& entry) {
  entry = Entry{};
  entry.name = info.name;
  entry.inode = info.inode;
  entry.size = info.size;
  entry.modTimeNs = info.modTimeNs;
  entry.changeTimeNs = info.changeTimeNs;
  entry.modTime = info.modTime;
  entry.directory = info.directory;
  entry.symlink = info.symlink;
  entry.readOnly = info.readOnly;
  entry.passes = m_filter.Passes(info.name, info.directory);
  // Through a second name or a link the file can change without an event in this folder.
  entry.stable = !info.directory && !info.symlink && info.links == 1;
}

bool SelectionCache::ListAll(Folder& folder, int* err, bool* partial) {
  std::vector<FileInfo> infos;
  folder.entries.clear();
  folder.listed = false;
  if (!ListFolder(folder.path, "*", infos, err, partial)) {
    folder.nameSlots.clear();
    return false;
  }
  folder.entries.reserve(infos.size());
  for (const FileInfo& info : infos) {
    if (info.name == "." || info.name == "..") continue;
    FillEntry(info, folder.entries.emplace_back());
  }
  folder.Reindex();
  folder.listed = true;
  folder.relist = false;
  return true;
}

SelectionCache::Folder* SelectionCache::Refresh(const std::string& path, int* err, bool* partial) {
  if (partial) *partial = false;
  Folder& folder = FolderAt(path);
  if (folder.seenPass == m_pass) {
    // Asked again in the same pass: the same answer, failure included.
    if (err) *err = folder.listError;
    if (partial) *partial = folder.listPartial;
    return folder.listed ? &folder : nullptr;
  }
  folder.seenPass = m_pass;
  int listError = 0;
  bool listPartial = false;
  Folder* result = Read(folder, &listError, &listPartial);
  folder.listError = listError;
  folder.listPartial = listPartial;
  if (err) *err = listError;
  if (partial) *partial = listPartial;
  return result;
}

SelectionCache::Folder* SelectionCache::Read(Folder& folder, int* err, bool* partial) {
  const std::string& path = folder.path;
  folder.quiet = folder.watch >= 0 && folder.listed && !folder.relist && folder.changed.empty();
  if (!folder.quiet) folder.summary.valid = false;
  struct NoteUnstable {
    Folder& folder;
    ~NoteUnstable() {
      if (folder.quiet) return;
      folder.lookupValid = false;
      folder.anyUnstable = false;
      for (const Entry& entry : folder.entries) folder.anyUnstable |= !entry.stable && !entry.directory;
    }
  } noteUnstable{folder};
  // Watched before it is read: whatever changes after the reading raises an event. A folder
  // is watched from its second reading on: a single pass (--run-once) gains nothing from it.
  bool watchedNow = false;
  if (folder.watch < 0 && folder.readBefore) watchedNow = Watch(folder);
  folder.readBefore = true;
  if (watchedNow || folder.watch < 0 || !folder.listed)
    return ListAll(folder, err, partial) ? &folder : nullptr;

  if (!folder.relist) {
    for (const std::string& name : folder.changed) {
      Entry* entry = folder.Find(name);
      FileInfo info;
      if (!StatEntry(path, name, info)) {
        if (entry) folder.relist = true;  // gone: the listing changed
        continue;
      }
      if (!entry) {
        folder.relist = true;  // there, but not in the listing
        continue;
      }
      FillEntry(info, *entry);
    }
    // A file reached through a link or a second name changes unseen: its status is read anew.
    for (Entry& entry : folder.entries) {
      if (!folder.anyUnstable) break;
      if (folder.relist || entry.stable || entry.directory) continue;
      FileInfo info;
      if (StatEntry(path, entry.name, info)) {
        FillEntry(info, entry);
      } else {
        folder.relist = true;
      }
    }
    if (!folder.relist) return &folder;
  }

  // Names came or went: the listing is read again for its order, but only the files that
  // events named are looked at again.
  folder.quiet = false;
  folder.summary.valid = false;
  std::vector<std::string> names;
  if (!ListNames(path, names, err, partial)) {
    Forget(folder);
    Watch(folder);
    return nullptr;
  }
  std::vector<Entry> entries;
  entries.reserve(names.size());
  for (std::string& name : names) {
    Entry* known = folder.changed.count(name) ? nullptr : folder.Find(name);
    if (known && (known->stable || known->directory)) {
      entries.push_back(std::move(*known));
      continue;
    }
    FileInfo info;
    if (!StatEntry(path, name, info)) continue;  // vanished meanwhile
    FillEntry(info, entries.emplace_back());
  }
  folder.entries = std::move(entries);
  folder.Reindex();
  folder.relist = false;
  return &folder;
}

const SelectionCache::Folder* SelectionCache::Listed(const std::string& path) const {
  auto it = m_folders.find(path);
  if (it == m_folders.end() || it->second->seenPass != m_pass || !it->second->listed) return nullptr;
  return it->second.get();
}

bool SelectionCache::StillHolds(const Entry& entry, int64_t now) {
  switch (entry.decision) {
    case kYoung:
      return now < entry.until;
    case kFiltered:
      return true;
    case kUpToDate: {
      Folder* target = entry.target;
      target->seenPass = m_pass;
      if (entry.targetByStat) {
        // The test the copy itself makes: a copy there and not older than the file.
        struct stat st {};
        const std::string path = target->path + "/" + entry.name;
        return ::stat(path.c_str(), &st) == 0 && static_cast<int64_t>(st.st_mtime) >= entry.modTime;
      }
      return target->watch >= 0 && target->generation == entry.targetGeneration &&
             (target->changed.empty() || target->changed.count(entry.name) == 0);
    }
    default:
      return false;
  }
}

void SelectionCache::Summarize(Folder& folder, const std::function<bool(const Entry&)>& counts) {
  Folder::Summary summary;
  for (const Entry& entry : folder.entries) {
    if (!counts(entry)) continue;
    switch (entry.decision) {
      case kYoung:
        ++summary.young;
        summary.until = std::min(summary.until, entry.until);
        break;
      case kFiltered:
        break;
      case kUpToDate: {
        if (entry.targetByStat) return;
        ++summary.upToDate;
        const std::pair<Folder*, uint32_t> target{entry.target, entry.targetGeneration};
        if (std::find(summary.targets.begin(), summary.targets.end(), target) == summary.targets.end())
          summary.targets.push_back(target);
        break;
      }
      default:
        return;  // judged afresh on every pass until it holds a decision
    }
  }
  summary.valid = true;
  folder.summary = std::move(summary);
}

bool SelectionCache::Unchanged(Folder& folder, int64_t now, size_t* young, size_t* upToDate) {
  const Folder::Summary& summary = folder.summary;
  if (!folder.quiet || !summary.valid || now >= summary.until) return false;
  for (const auto& [target, generation] : summary.targets) {
    if (target->watch < 0 || target->generation != generation || !target->changed.empty()) return false;
  }
  for (const auto& target : summary.targets) target.first->seenPass = m_pass;
  *young = summary.young;
  *upToDate = summary.upToDate;
  return true;
}

void SelectionCache::NoteUpToDate(const std::string& source, const std::string& target,
                                  const FileInfo& targetStatus) {
  const PathParts from = SplitPath(source);
  const PathParts to = SplitPath(target);
  const std::string name = from.name + from.extension;
  if (to.name + to.extension != name) return;
  auto it = m_folders.find(TrimTrailingSeparators(from.folder));
  if (it == m_folders.end() || it->second->watch < 0) return;
  Entry* entry = it->second->Find(name);
  if (!entry || !entry->stable) return;
  Folder& folder = FolderAt(TrimTrailingSeparators(to.folder));
  folder.target = true;
  folder.seenPass = m_pass;
  entry->target = &folder;
  entry->targetGeneration = folder.generation;
  FileInfo copy = targetStatus;
  if (folder.watch < 0) {
    if (!Watch(folder)) {
      // A folder that cannot be watched (a network share): the copy is looked at every pass.
      entry->decision = kUpToDate;
      entry->targetByStat = true;
      return;
    }
    // The caller looked at the copy before this watch: a look after it decides. Later copies
    // of the pass are looked at after it anyway.
    if (!StatEntry(TrimTrailingSeparators(to.folder), to.name + to.extension, copy)) return;
  }
  if (copy.directory || copy.symlink || copy.links != 1 || copy.modTime < entry->modTime) return;
  entry->decision = kUpToDate;
  entry->targetByStat = false;
}

}  // namespace brisko
