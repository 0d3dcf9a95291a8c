#include "support/folder_enum.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace brisko {
namespace {

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
}

bool StatAt(int dirFd, const char* name, FileInfo& info) {
  struct statx st {};
  if (statx(dirFd, name, AT_STATX_SYNC_AS_STAT, STATX_BASIC_STATS | STATX_BTIME, &st) != 0) return false;
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

bool StatPath(const std::string& path, FileInfo& info) {
  info = FileInfo{};
  info.path = path;
  size_t slash = path.find_last_of('/');
  info.name = slash == std::string::npos ? path : path.substr(slash + 1);
  return StatAt(AT_FDCWD, path.c_str(), info);
}

bool ListFolder(const std::string& folder, const std::string& mask, std::vector<FileInfo>& entries,
                int* err) {
  entries.clear();
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
  while (true) {
    errno = 0;
    struct dirent* de = readdir(dir);
    if (!de) break;
    const char* nm = de->d_name;
    bool isDot = std::strcmp(nm, ".") == 0 || std::strcmp(nm, "..") == 0;
    if (!MaskMatches(mask, nm)) continue;
    FileInfo info;
    info.name = nm;
    info.path = prefix + nm;
    if (!StatAt(dirfd(dir), nm, info)) continue;  // vanished meanwhile
    (isDot ? dots : entries).push_back(std::move(info));
  }
  closedir(dir);
  if (dots.size() == 2 && dots[0].name != ".") std::swap(dots[0], dots[1]);
  entries.insert(entries.begin(), dots.begin(), dots.end());
  return true;
}

}  // namespace brisko
