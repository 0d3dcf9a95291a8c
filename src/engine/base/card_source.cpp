#include "engine/base/card_source.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>

#include "support/path_util.h"
#include "support/text.h"

namespace brisko {

namespace {

// A mount table is a few KB; one far larger is not read past this.
constexpr size_t kMaxMountTableBytes = 4 * 1024 * 1024;

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

// The kernel writes blank, tab, newline and backslash in paths as \ooo.
std::string Unescape(std::string_view field) {
  std::string out;
  out.reserve(field.size());
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size() && field[i + 1] >= '0' && field[i + 1] <= '3' &&
        field[i + 2] >= '0' && field[i + 2] <= '7' && field[i + 3] >= '0' && field[i + 3] <= '7') {
      out += char((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0'));
      i += 3;
    } else {
      out += field[i];
    }
  }
  return out;
}

std::vector<std::string_view> Fields(std::string_view line) {
  std::vector<std::string_view> fields;
  size_t i = 0;
  while (i < line.size() && fields.size() < 64) {
    while (i < line.size() && line[i] == ' ') ++i;
    if (i >= line.size()) break;
    const size_t end = std::min(line.find(' ', i), line.size());
    fields.push_back(line.substr(i, end - i));
    i = end;
  }
  return fields;
}

std::string ReadBounded(const std::string& path) {
  std::string text;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return text;
  char buf[16384];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0 || text.size() + size_t(n) > kMaxMountTableBytes) break;
    text.append(buf, size_t(n));
  }
  ::close(fd);
  return text;
}

// The card's DCIM folder, whatever letter case its file system gave the name; "" for none.
std::string DcimFolder(const std::string& mountPoint) {
  struct stat st {};
  const std::string exact = mountPoint + "/DCIM";
  if (::lstat(exact.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return exact;
  DIR* dir = ::opendir(mountPoint.c_str());
  if (!dir) return {};
  std::string found;
  // The top of a card holds a handful of entries; a drive with very many is no card's top.
  for (int n = 0; n < 4096; ++n) {
    const dirent* entry = ::readdir(dir);
    if (!entry) break;
    if (!EqualsNoCase(entry->d_name, "DCIM")) continue;
    const std::string path = mountPoint + "/" + entry->d_name;
    if (::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
      found = path;
      break;
    }
  }
  ::closedir(dir);
  return found;
}

std::string UserName() {
  if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_name) return pw->pw_name;
  const char* user = std::getenv("USER");
  return user ? user : "";
}

}  // namespace

bool IsCardSourceText(std::string_view text) {
  return EqualsNoCase(Trim(text), kCardSourceText);
}

CardPlaces DefaultCardPlaces() {
  CardPlaces places;
  if (const char* roots = std::getenv("BRISKO_CARD_ROOTS"); roots && *roots) {
    std::string_view rest = roots;
    while (!rest.empty()) {
      const size_t colon = rest.find(':');
      const std::string_view root = rest.substr(0, colon);
      if (!root.empty()) places.roots.emplace_back(root);
      if (colon == std::string_view::npos) break;
      rest.remove_prefix(colon + 1);
    }
  } else if (const std::string user = UserName(); !user.empty()) {
    places.roots = {"/media/" + user, "/run/media/" + user};
  }
  if (const char* table = std::getenv("BRISKO_MOUNT_TABLE"); table && *table) places.mountTable = table;
  return places;
}

std::vector<MountEntry> ParseMountInfo(std::string_view text) {
  std::vector<MountEntry> entries;
  while (!text.empty() && entries.size() < kMaxMountEntries) {
    const size_t nl = text.find('\n');
    const std::string_view line = text.substr(0, nl);
    text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
    // ID PARENT MAJOR:MINOR ROOT MOUNTPOINT OPTIONS [OPTIONAL...] - FSTYPE SOURCE SUPEROPTIONS
    const std::vector<std::string_view> f = Fields(line);
    size_t dash = 6;
    while (dash < f.size() && f[dash] != "-") ++dash;
    if (f.size() < 6 || dash + 2 >= f.size()) continue;
    if (f[2].find(':') == std::string_view::npos || f[4].empty() || f[4][0] != '/') continue;
    entries.push_back(
        {std::string(f[0]), Unescape(f[4]), std::string(f[2]), Unescape(f[dash + 1]), Unescape(f[dash + 2])});
  }
  return entries;
}

std::vector<CardVolume> FindCards(const CardPlaces& places) {
  std::vector<CardVolume> cards;
  if (places.roots.empty()) return cards;
  // A mount point mounted over again counts once, as its last (visible) mount.
  std::map<std::string, MountEntry> mounted;
  for (MountEntry& entry : ParseMountInfo(ReadBounded(places.mountTable))) {
    const std::string parent = TrimTrailingSeparators(SplitPath(entry.mountPoint).folder);
    const bool underRoot =
        std::any_of(places.roots.begin(), places.roots.end(),
                    [&](const std::string& root) { return TrimTrailingSeparators(root) == parent; });
    if (underRoot) mounted[entry.mountPoint] = std::move(entry);
  }
  for (const auto& [mountPoint, entry] : mounted) {
    const std::string dcim = DcimFolder(mountPoint);
    if (dcim.empty()) continue;
    CardVolume card;
    card.label = SplitPath(mountPoint).name + SplitPath(mountPoint).extension;
    card.mountPoint = mountPoint;
    card.folder = dcim;
    card.device = entry.device;
    card.mountId = entry.mountId;
    struct statvfs vfs {};
    if (::statvfs(mountPoint.c_str(), &vfs) == 0) card.totalBytes = uint64_t(vfs.f_blocks) * vfs.f_frsize;
    cards.push_back(std::move(card));
  }
  return cards;
}

std::string CardTitle(const CardVolume& card) {
  char size[32];
  const double gb = double(card.totalBytes) / 1e9;
  if (gb >= 1.0)
    std::snprintf(size, sizeof size, "%.1f GB", gb);
  else
    std::snprintf(size, sizeof size, "%.1f MB", double(card.totalBytes) / 1e6);
  return card.label + " (" + size + ")";
}

std::string CardLine(const CardVolume& card, bool in) {
  return "Card " + CardTitle(card) + (in ? " in" : " out");
}

}  // namespace brisko
