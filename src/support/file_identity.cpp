#include "support/file_identity.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "support/path_util.h"
#include "support/volume_identity.h"

namespace brisko {

namespace {

long g_fileSystemTypeForTest = 0;

}  // namespace

bool FolderHasEntries(const char* folder) {
  DIR* dir = ::opendir(folder);
  if (!dir) return false;
  bool any = false;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string_view name(entry->d_name);
    if (name != "." && name != "..") {
      any = true;
      break;
    }
  }
  ::closedir(dir);
  return any;
}

bool ReadFileIdentity(const std::string& path, FileIdentity& identity) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  identity.device = st.st_dev;
  identity.inode = st.st_ino;
  identity.size = static_cast<uint64_t>(st.st_size);
  identity.modTimeNs = static_cast<int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
  return true;
}

void SetFileSystemTypeForTest(long type) {
  g_fileSystemTypeForTest = type;
}

bool KeepsInodeNumbers(const std::string& path) {
  long type = g_fileSystemTypeForTest;
  if (type == 0) {
    struct statfs fs {};
    if (::statfs(path.c_str(), &fs) != 0) return false;  // not known: size and time decide
    type = static_cast<long>(fs.f_type);
  }
  switch (static_cast<unsigned long>(type) & 0xFFFFFFFFul) {
    case 0x4d44ul:      // MSDOS_SUPER_MAGIC: vfat, msdos
    case 0x2011BAB0ul:  // EXFAT_SUPER_MAGIC
    case 0x65735546ul:  // FUSE_SUPER_MAGIC: exfat-fuse, ntfs-3g, ...
    case 0x517Bul:      // SMB_SUPER_MAGIC
    case 0xFF534D42ul:  // CIFS_MAGIC_NUMBER
    case 0xFE534D42ul:  // SMB2_MAGIC_NUMBER
      return false;
    default:
      return true;
  }
}

bool StillTheRecordedFile(const std::string& path, const FileIdentity& recorded) {
  FileIdentity now;
  if (!ReadFileIdentity(path, now) || now.size != recorded.size || now.modTimeNs != recorded.modTimeNs)
    return false;
  return now.inode == recorded.inode || !KeepsInodeNumbers(path);
}

bool SameContent(const std::string& a, const std::string& b) {
  const int fa = ::open(a.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  const int fb = ::open(b.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  struct stat sa {
  }, sb{};
  bool same = fa >= 0 && fb >= 0 && ::fstat(fa, &sa) == 0 && ::fstat(fb, &sb) == 0 && S_ISREG(sa.st_mode) &&
              S_ISREG(sb.st_mode) && sa.st_size == sb.st_size;
  std::vector<char> ba(same ? 1 << 16 : 0), bb(same ? 1 << 16 : 0);
  for (off_t at = 0; same && at < sa.st_size;) {
    const ssize_t na = ::pread(fa, ba.data(), ba.size(), at);
    const ssize_t nb = ::pread(fb, bb.data(), bb.size(), at);
    same = na > 0 && na == nb && std::memcmp(ba.data(), bb.data(), static_cast<size_t>(na)) == 0;
    at += na > 0 ? na : 0;
  }
  if (fa >= 0) ::close(fa);
  if (fb >= 0) ::close(fb);
  return same;
}

SourceState ProbeSource(const std::string& path, uint64_t recordedDevice) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0) return SourceState::There;
  if (errno != ENOENT) return SourceState::Unknown;
  const std::string parent = SplitPath(path).folder;
  const char* folder = parent.empty() ? "." : parent.c_str();
  struct stat dir {};
  if (::stat(folder, &dir) != 0 || !S_ISDIR(dir.st_mode)) return SourceState::Unknown;
  // Another file system under the folder's name: the card put back (a card reader may give it
  // another device number; then it shows its own entries) or the empty mount point it left.
  if (recordedDevice != 0 && dir.st_dev != recordedDevice && !FolderHasEntries(folder))
    return SourceState::Unknown;
  return SourceState::Gone;
}

SourceState ProbeSource(const std::string& path, const FileIdentity& recorded) {
  const SourceState state = ProbeSource(path, recorded.device);
  if (state == SourceState::Unknown || recorded.volume == 0) return state;
  const std::string parent = SplitPath(path).folder;
  const uint64_t now = VolumeIdOf(parent.empty() ? "." : parent);
  return now != 0 && now != recorded.volume ? SourceState::Unknown : state;
}

bool GoneFromItsFolder(const std::string& path, uint64_t device) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0 || errno != ENOENT) return false;
  const std::string parent = SplitPath(path).folder;
  return ::stat(parent.empty() ? "." : parent.c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
         uint64_t(st.st_dev) == device;
}

void NoteVolume(const std::string& path, FileIdentity& identity) {
  if (identity.volume == 0 && identity.inode != 0) identity.volume = VolumeIdOf(path);
}

std::string FindRenamed(const std::string& gone, const FileIdentity& was,
                        const std::function<bool(const std::string& name)>& takes) {
  const std::string folder = SplitPath(gone).folder;
  if (folder.empty() || !KeepsInodeNumbers(folder)) return {};
  DIR* dir = ::opendir(folder.c_str());
  if (!dir) return {};
  constexpr size_t kMaxListed = 100000;
  std::string found;
  size_t seen = 0;
  while (const dirent* entry = ::readdir(dir)) {
    if (++seen > kMaxListed) break;
    if (entry->d_ino != was.inode || entry->d_name[0] == '.') continue;
    if (takes && !takes(entry->d_name)) continue;
    std::string path = folder;
    path.append(entry->d_name);
    FileIdentity id;
    if (path != gone && ReadFileIdentity(path, id) && id.inode == was.inode && id.size == was.size &&
        id.modTimeNs == was.modTimeNs) {
      found = path;
      break;
    }
  }
  ::closedir(dir);
  return found;
}

}  // namespace brisko
