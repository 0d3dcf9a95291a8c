#include "support/folder_enum.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "support/parallel.h"

namespace brisko {
namespace {

ListFaultHook& FaultHook() {
  static ListFaultHook hook;
  return hook;
}

// readdir that tells the end of the folder (nullptr, *err 0) from a failed read (*err set).
struct dirent* ReadEntry(DIR* dir, const std::string& folder, size_t read, int* err) {
  if (FaultHook()) {
    if (const int injected = FaultHook()(folder, read)) {
      *err = injected;
      return nullptr;
    }
  }
  errno = 0;
  struct dirent* de = readdir(dir);
  *err = de ? 0 : errno;
  return de;
}

char Fold(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

void FillFromStatx(const struct statx& st, FileInfo& info) {
  info.modTime = st.stx_mtime.tv_sec;
  info.accessTime = st.stx_atime.tv_sec;
  info.createTime = (st.stx_mask & STATX_BTIME) ? st.stx_btime.tv_sec : st.stx_mtime.tv_sec;
  info.size = st.stx_size;
  info.directory = S_ISDIR(st.stx_mode);
  info.readOnly = (st.stx_mode & S_IWUSR) == 0;
  info.device = (uint64_t{st.stx_dev_major} << 32) | st.stx_dev_minor;
  info.inode = st.stx_ino;
  info.modTimeNs = st.stx_mtime.tv_sec * 1'000'000'000LL + st.stx_mtime.tv_nsec;
  info.changeTimeNs = st.stx_ctime.tv_sec * 1'000'000'000LL + st.stx_ctime.tv_nsec;
  info.links = st.stx_nlink;
}

// Links are followed, as the platform finder does; only a link costs a second call.
bool StatAt(int dirFd, const char* name, FileInfo& info) {
  struct statx st {};
  constexpr unsigned kMask = STATX_BASIC_STATS | STATX_BTIME;
  if (statx(dirFd, name, AT_STATX_SYNC_AS_STAT | AT_SYMLINK_NOFOLLOW, kMask, &st) != 0) return false;
  info.symlink = S_ISLNK(st.stx_mode);
  if (info.symlink && statx(dirFd, name, AT_STATX_SYNC_AS_STAT, kMask, &st) != 0) return false;
  FillFromStatx(st, info);
  return true;
}

}  // namespace

bool MaskMatches(const std::string& mask, const std::string& name) {
  if (mask == "*" || mask == "*.*") return true;
  // Iterative wildcard match with a single backtrack point: linear in practice, never recursive.
  size_t m = 0, n = 0, starM = std::string::npos, starN = 0;
  while (n < name.size()) {
    if (m < mask.size() && mask[m] == '*') {
      starM = m++;
      starN = n;
    } else if (m < mask.size() && (mask[m] == '?' || Fold(mask[m]) == Fold(name[n]))) {
      ++m;
      ++n;
    } else if (starM != std::string::npos) {
      m = starM + 1;
      n = ++starN;
    } else {
      return false;
    }
  }
  while (m < mask.size() && mask[m] == '*') ++m;
  return m == mask.size();
}

bool IsThumbsDbName(const std::string& name) {
  static constexpr char kName[] = "thumbs.db";
  if (name.size() != sizeof kName - 1) return false;
  for (size_t i = 0; i < name.size(); ++i)
    if (Fold(name[i]) != kName[i]) return false;
  return true;
}

bool StatEntry(const std::string& folder, const std::string& name, FileInfo& info) {
  info = FileInfo{};
  info.name = name;
  info.path = folder + "/" + name;
  return StatAt(AT_FDCWD, info.path.c_str(), info);
}

bool StatPath(const std::string& path, FileInfo& info) {
  info = FileInfo{};
  info.path = path;
  size_t slash = path.find_last_of('/');
  info.name = slash == std::string::npos ? path : path.substr(slash + 1);
  return StatAt(AT_FDCWD, path.c_str(), info);
}

bool ListFolder(const std::string& folder, const std::string& mask, std::vector<FileInfo>& entries, int* err,
                bool* partial) {
  entries.clear();
  if (partial) *partial = false;
  std::string base = folder.empty() ? std::string(".") : folder;
  int fd = open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    if (err) *err = errno;
    return false;
  }
  DIR* dir = fdopendir(fd);
  if (!dir) {
    if (err) *err = errno;
    close(fd);
    return false;
  }
  std::string prefix = base;
  if (prefix.back() != '/') prefix += '/';
  std::vector<FileInfo> dots;
  size_t read = 0;
  int readErr = 0;
  while (true) {
    struct dirent* de = ReadEntry(dir, base, read, &readErr);
    if (!de) break;
    ++read;
    const char* nm = de->d_name;
    bool isDot = std::strcmp(nm, ".") == 0 || std::strcmp(nm, "..") == 0;
    if (!MaskMatches(mask, nm)) continue;
    FileInfo info;
    info.name = nm;
    info.path = prefix + nm;
    if (isDot) {
      if (StatAt(dirfd(dir), nm, info)) dots.push_back(std::move(info));
    } else {
      entries.push_back(std::move(info));
    }
  }
  // Each entry's status is a call of its own: a large folder's are read two at a time.
  std::vector<char> there(entries.size());
  const int folderFd = dirfd(dir);
  ForEachIndex(entries.size(),
               [&](size_t i) { there[i] = StatAt(folderFd, entries[i].name.c_str(), entries[i]); });
  closedir(dir);
  if (readErr != 0) {
    // A listing cut short looks complete unless said: callers must not act on it as a whole.
    if (err) *err = readErr;
    if (partial) *partial = true;
    return false;
  }
  if (dots.size() == 2 && dots[0].name != ".") std::swap(dots[0], dots[1]);
  // Directory order is arbitrary here; photos are taken (and numbered) in name order. The order
  // is found on indices and the entries moved once: a folder may hold tens of thousands.
  std::vector<uint32_t> order;
  order.reserve(entries.size());
  for (uint32_t i = 0; i < entries.size(); ++i)
    if (there[i]) order.push_back(i);  // the others vanished meanwhile
  std::sort(order.begin(), order.end(),
            [&entries](uint32_t a, uint32_t b) { return entries[a].name < entries[b].name; });
  std::vector<FileInfo> sorted;
  sorted.reserve(dots.size() + order.size());
  for (FileInfo& dot : dots) sorted.push_back(std::move(dot));
  for (uint32_t i : order) sorted.push_back(std::move(entries[i]));
  entries.swap(sorted);
  return true;
}

bool ListNames(const std::string& folder, std::vector<std::string>& names, int* err, bool* partial) {
  names.clear();
  if (partial) *partial = false;
  DIR* dir = opendir(folder.empty() ? "." : folder.c_str());
  if (!dir) {
    if (err) *err = errno;
    return false;
  }
  size_t read = 0;
  int readErr = 0;
  while (const struct dirent* de = ReadEntry(dir, folder, read, &readErr)) {
    ++read;
    if (std::strcmp(de->d_name, ".") == 0 || std::strcmp(de->d_name, "..") == 0) continue;
    names.emplace_back(de->d_name);
  }
  closedir(dir);
  if (readErr != 0) {
    if (err) *err = readErr;
    if (partial) *partial = true;
    return false;
  }
  std::sort(names.begin(), names.end());
  return true;
}

int CountEntries(const std::string& folder, int limit, std::string* lastName, int* err) {
  DIR* dir = opendir(folder.c_str());
  if (!dir) {
    if (err) *err = errno;
    return -1;
  }
  int count = 0;
  size_t read = 0;
  int readErr = 0;
  while (const struct dirent* de = ReadEntry(dir, folder, read, &readErr)) {
    ++read;
    if (std::strcmp(de->d_name, ".") == 0 || std::strcmp(de->d_name, "..") == 0) continue;
    if (lastName) *lastName = de->d_name;
    if (++count == limit) break;
  }
  closedir(dir);
  if (readErr != 0) {
    if (err) *err = readErr;
    return -1;
  }
  return count;
}

void SetListFaultHook(ListFaultHook hook) {
  FaultHook() = std::move(hook);
}

}  // namespace brisko
