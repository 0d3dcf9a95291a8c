#include "support/volume_identity.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <string_view>
#include <utility>

namespace brisko {

namespace {

uint64_t (*g_volumeIdForTest)(const std::string&) = nullptr;

std::string Hex(const unsigned char* p, size_t n, bool reversed) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (size_t i = 0; i < n; ++i) {
    const unsigned char b = p[reversed ? n - 1 - i : i];
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
  }
  return out;
}

// A FAT or exFAT serial as people read it: "1234-ABCD".
std::string Serial32(const unsigned char* p) {
  const std::string hex = Hex(p, 4, true);
  return hex.substr(0, 4) + "-" + hex.substr(4);
}

// A mount's fields in /proc/self/mountinfo: its id, and after " - " its type and source.
struct Mount {
  std::string id;
  std::string type;
  std::string source;
};

// Octal escapes (\040 for a space) as the kernel writes them.
std::string Unescape(std::string_view in) {
  std::string out;
  for (size_t i = 0; i < in.size(); ++i) {
    if (in[i] == '\\' && i + 3 < in.size() && in[i + 1] >= '0' && in[i + 1] <= '3' && in[i + 2] >= '0' &&
        in[i + 2] <= '7' && in[i + 3] >= '0' && in[i + 3] <= '7') {
      out += static_cast<char>((in[i + 1] - '0') * 64 + (in[i + 2] - '0') * 8 + (in[i + 3] - '0'));
      i += 3;
    } else {
      out += in[i];
    }
  }
  return out;
}

bool FindMount(dev_t device, Mount& mount) {
  FILE* f = std::fopen("/proc/self/mountinfo", "re");
  if (!f) return false;
  const std::string wanted = std::to_string(major(device)) + ":" + std::to_string(minor(device));
  char line[4096];
  bool found = false;
  // Bounded: a machine with more mounts than this is not one we know the card on.
  for (int n = 0; n < 100000 && !found && std::fgets(line, sizeof line, f); ++n) {
    const std::string_view l(line);
    size_t at = 0;
    std::string_view fields[3];
    for (std::string_view& field : fields) {
      const size_t end = l.find(' ', at);
      if (end == std::string_view::npos) break;
      field = l.substr(at, end - at);
      at = end + 1;
    }
    if (fields[2] != wanted) continue;
    const size_t dash = l.find(" - ", at);
    if (dash == std::string_view::npos) continue;
    std::string_view rest = l.substr(dash + 3);
    const size_t typeEnd = rest.find(' ');
    if (typeEnd == std::string_view::npos) continue;
    mount.id = fields[0];
    mount.type = rest.substr(0, typeEnd);
    rest.remove_prefix(typeEnd + 1);
    mount.source = Unescape(rest.substr(0, rest.find(' ')));
    found = true;
  }
  std::fclose(f);
  return found;
}

// udev's names for block devices by their file system's UUID: readable by every user.
std::string SerialByUuidLink(dev_t device) {
  const char* kFolder = "/dev/disk/by-uuid/";
  DIR* dir = ::opendir(kFolder);
  if (!dir) return {};
  std::string found;
  int seen = 0;
  while (const dirent* entry = ::readdir(dir)) {
    if (++seen > 10000) break;
    if (entry->d_name[0] == '.') continue;
    struct stat st {};
    const std::string link = std::string(kFolder) + entry->d_name;
    if (::stat(link.c_str(), &st) == 0 && S_ISBLK(st.st_mode) && st.st_rdev == device) {
      found = entry->d_name;
      break;
    }
  }
  ::closedir(dir);
  return found;
}

std::string SerialFromDevice(const std::string& source, dev_t device) {
  if (source.rfind("/dev/", 0) != 0) return {};
  const int fd = ::open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return {};
  struct stat st {};
  unsigned char block[2048];
  ssize_t got = -1;
  // Only the device the path is on: a source name may since lead elsewhere.
  if (::fstat(fd, &st) == 0 && S_ISBLK(st.st_mode) && st.st_rdev == device)
    got = ::pread(fd, block, sizeof block, 0);
  ::close(fd);
  return got > 0 ? VolumeSerialFromBootSector(block, static_cast<size_t>(got)) : std::string();
}

uint64_t Digest(std::string_view text) {
  uint64_t h = 1469598103934665603ull;
  for (unsigned char c : text) h = (h ^ c) * 1099511628211ull;
  return h | 1;  // never 0, which says "not known"
}

}  // namespace

std::string VolumeSerialFromBootSector(const unsigned char* data, size_t size) {
  if (!data) return {};
  if (size >= 1024 + 120 && data[1024 + 56] == 0x53 && data[1024 + 57] == 0xEF) {
    const unsigned char* u = data + 1024 + 104;  // ext2/3/4 superblock: s_uuid
    const std::string hex = Hex(u, 16, false);
    bool zero = true;
    for (int i = 0; i < 16; ++i) zero = zero && u[i] == 0;
    if (!zero)
      return hex.substr(0, 8) + "-" + hex.substr(8, 4) + "-" + hex.substr(12, 4) + "-" + hex.substr(16, 4) +
             "-" + hex.substr(20);
  }
  if (size < 512 || data[510] != 0x55 || data[511] != 0xAA) return {};
  if (std::memcmp(data + 3, "EXFAT   ", 8) == 0) return Serial32(data + 100);
  if (std::memcmp(data + 3, "NTFS    ", 8) == 0) return Hex(data + 72, 8, true);
  // FAT32's extended boot record, then FAT12/16's, each marked by 0x29 before the serial.
  if (data[66] == 0x29 && std::memcmp(data + 82, "FAT", 3) == 0) return Serial32(data + 67);
  if (data[38] == 0x29 && std::memcmp(data + 54, "FAT", 3) == 0) return Serial32(data + 39);
  return {};
}

void SetVolumeIdForTest(uint64_t (*of)(const std::string& path)) {
  g_volumeIdForTest = of;
}

uint64_t VolumeIdOf(const std::string& path) {
  if (g_volumeIdForTest) return g_volumeIdForTest(path);
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return 0;
  Mount mount;
  if (!FindMount(st.st_dev, mount)) return 0;
  // A mount keeps its id while it lasts: the card behind it is asked once.
  static std::mutex lock;
  static std::map<std::pair<dev_t, std::string>, uint64_t> known;
  const std::pair<dev_t, std::string> key{st.st_dev, mount.id};
  {
    std::lock_guard<std::mutex> guard(lock);
    auto it = known.find(key);
    if (it != known.end()) return it->second;
  }
  std::string serial = SerialByUuidLink(st.st_dev);
  if (serial.empty()) serial = SerialFromDevice(mount.source, st.st_dev);
  const uint64_t id = serial.empty() ? 0 : Digest(mount.type + ":" + serial);
  std::lock_guard<std::mutex> guard(lock);
  if (known.size() > 256) known.clear();
  known[key] = id;
  return id;
}

}  // namespace brisko
