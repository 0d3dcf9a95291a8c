#include "engine/shots/shot_names.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <string_view>
#include <vector>

#include "engine/base/record_file.h"
#include "support/path_util.h"
#include "support/text.h"

namespace brisko {

namespace {

constexpr std::string_view kHeader = "brisko-shot-names 1";
constexpr std::string_view kTrailer = "end";
constexpr size_t kFields = 7;

bool Number(std::string_view text, int64_t& value) {
  if (text.empty() || text.size() > 20) return false;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && end == text.data() + text.size();
}

std::vector<std::string> SplitKinds(std::string_view kinds) {
  std::vector<std::string> out;
  size_t from = 0;
  while (from <= kinds.size()) {
    size_t bar = kinds.find('|', from);
    if (bar == std::string_view::npos) bar = kinds.size();
    if (bar > from) out.emplace_back(kinds.substr(from, bar - from));
    from = bar + 1;
  }
  return out;
}

}  // namespace

std::string ShotNames::KindOf(const std::string& path, const std::string& base) {
  const PathParts parts = SplitPath(path);
  std::string name = parts.name + parts.extension;
  name.erase(0, std::min(name.size(), base.size()));
  for (char& c : name)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return name;
}

std::string ShotNames::Format(const std::vector<Entry>& entries) {
  std::string out(kHeader);
  out += '\n';
  for (const Entry& e : entries) {
    // A name the list cannot carry is not remembered.
    bool plain = true;
    for (const std::string* t : {&e.sourceFolder, &e.key, &e.folder, &e.base, &e.kinds})
      plain = plain && t->find_first_of("\t\n") == std::string::npos;
    if (!plain) continue;
    out += e.sourceFolder + '\t' + e.key + '\t' + std::to_string(e.captureTime) + '\t' + e.folder + '\t' +
           e.base + '\t' + std::to_string(e.expires) + '\t' + e.kinds + '\n';
  }
  out += kTrailer;
  out += '\n';
  return out;
}

bool ShotNames::Parse(std::string_view text, std::vector<Entry>& entries) {
  if (text.size() > kMaxShotNamesBytes) return false;
  std::vector<Entry> read;
  bool ended = false, headed = false;
  while (!text.empty()) {
    const size_t eol = text.find('\n');
    if (eol == std::string_view::npos || ended) return false;
    const std::string_view line = text.substr(0, eol);
    text.remove_prefix(eol + 1);
    if (!headed) {
      if (line != kHeader) return false;
      headed = true;
      continue;
    }
    if (line == kTrailer) {
      ended = true;
      continue;
    }
    std::string_view parts[kFields];
    std::string_view rest = line;
    for (size_t i = 0; i < kFields; ++i) {
      const size_t tab = rest.find('\t');
      if ((tab == std::string_view::npos) != (i + 1 == kFields)) return false;
      parts[i] = rest.substr(0, tab);
      if (tab != std::string_view::npos) rest.remove_prefix(tab + 1);
    }
    Entry e;
    e.sourceFolder = parts[0];
    e.key = parts[1];
    e.folder = parts[3];
    e.base = parts[4];
    e.kinds = parts[6];
    if (!Number(parts[2], e.captureTime) || !Number(parts[5], e.expires)) return false;
    // A base name is one name: never a path, never empty.
    if (e.base.empty() || e.base.find('/') != std::string::npos || e.base == "." || e.base == ".." ||
        e.folder.empty() || e.folder.front() != '/' || e.folder.back() != '/')
      return false;
    if (read.size() >= kMaxShotNames) return false;
    read.push_back(std::move(e));
  }
  if (!ended) return false;
  entries = std::move(read);
  return true;
}

ShotNames::ShotNames(std::string tempFolder, int64_t keepSeconds)
    : m_folder(WithTrailingSeparator(tempFolder)), m_keep(keepSeconds) {
  const int fd = ::open((m_folder + kShotNamesFile).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return;
  std::string text;
  if (ReadBounded(fd, text, kMaxShotNamesBytes)) Parse(text, m_entries);
  ::close(fd);
}

const ShotNames::Entry* ShotNames::Find(const std::string& sourceFolder, const std::string& key,
                                        int64_t captureTime, const std::vector<std::string>& kinds,
                                        int64_t now) const {
  for (auto it = m_entries.rbegin(); it != m_entries.rend(); ++it) {
    const Entry& e = *it;
    if (e.expires <= now || e.sourceFolder != sourceFolder || e.key != key) continue;
    if (e.captureTime != 0 && captureTime != 0 && e.captureTime != captureTime) continue;
    // Kinds still marked "?" count as not moved: a crash may have come before their move.
    const std::string moved = "|" + e.kinds + "|";
    if (std::any_of(kinds.begin(), kinds.end(),
                    [&](const std::string& k) { return moved.find("|" + k + "|") != std::string::npos; }))
      continue;
    return &e;
  }
  return nullptr;
}

bool ShotNames::Reserved(const std::string& folder, const std::string& base, int64_t now) const {
  return std::any_of(m_entries.begin(), m_entries.end(), [&](const Entry& e) {
    return e.expires > now && e.folder == folder && EqualsNoCase(e.base, base);
  });
}

namespace {
std::string IdentityOf(const ShotNames::Entry& e) {
  return e.sourceFolder + '\n' + e.key + '\n' + e.folder + '\n' + e.base;
}
}  // namespace

void ShotNames::Touch(const Entry& e) {
  std::string id = IdentityOf(e);
  if (std::find(m_touched.begin(), m_touched.end(), id) == m_touched.end())
    m_touched.push_back(std::move(id));
}

void ShotNames::Remember(Entry entry, int64_t now) {
  entry.expires = now + m_keep;
  std::string pending;
  for (const std::string& kind : SplitKinds(entry.kinds)) pending += (pending.empty() ? "?" : "|?") + kind;
  entry.kinds = std::move(pending);
  // A partner joining its shot widens what moved with it.
  for (Entry& e : m_entries) {
    if (e.sourceFolder == entry.sourceFolder && e.key == entry.key && e.folder == entry.folder &&
        e.base == entry.base && e.expires > now) {
      e.kinds += (e.kinds.empty() || entry.kinds.empty() ? "" : "|") + entry.kinds;
      e.expires = entry.expires;
      m_changed = true;
      Touch(e);
      return;
    }
  }
  Touch(entry);
  m_entries.push_back(std::move(entry));
  m_changed = true;
}

void ShotNames::Confirm(const Entry& entry, const std::vector<std::string>& moved) {
  for (auto it = m_entries.begin(); it != m_entries.end(); ++it) {
    if (it->sourceFolder != entry.sourceFolder || it->key != entry.key || it->folder != entry.folder ||
        it->base != entry.base)
      continue;
    Touch(*it);
    std::string kept;
    for (const std::string& kind : SplitKinds(it->kinds)) {
      const bool noted = kind.front() == '?';
      const std::string plain = noted ? kind.substr(1) : kind;
      if (noted && std::find(moved.begin(), moved.end(), plain) == moved.end()) continue;
      kept += (kept.empty() ? "" : "|") + plain;
    }
    if (kept.empty()) {
      m_entries.erase(it);
    } else {
      it->kinds = std::move(kept);
    }
    m_changed = true;
    return;
  }
}

bool ShotNames::Save(int64_t now) {
  const size_t before = m_entries.size();
  std::erase_if(m_entries, [now](const Entry& e) { return e.expires <= now; });
  if (m_entries.size() > kMaxShotNames)
    m_entries.erase(m_entries.begin(), m_entries.end() - static_cast<std::ptrdiff_t>(kMaxShotNames));
  if (!m_changed && m_entries.size() == before) return true;
  const std::string path = m_folder + kShotNamesFile;
  // Read again under the folder's lock: another action or station sharing the temp folder may
  // have noted its shots since this list was read, and a late partner of those must find them.
  FolderLock lock(m_folder);
  std::vector<Entry> merged;
  const int in = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (in >= 0) {
    std::string text;
    if (ReadBounded(in, text, kMaxShotNamesBytes)) Parse(text, merged);
    ::close(in);
  }
  auto touched = [this](const Entry& e) {
    return std::find(m_touched.begin(), m_touched.end(), IdentityOf(e)) != m_touched.end();
  };
  std::erase_if(merged, [&](const Entry& e) { return e.expires <= now || touched(e); });
  for (const Entry& e : m_entries)
    if (touched(e)) merged.push_back(e);
  if (merged.size() > kMaxShotNames)
    merged.erase(merged.begin(), merged.end() - static_cast<std::ptrdiff_t>(kMaxShotNames));
  m_entries = std::move(merged);
  // What could not be written stays this list's own, for the next save.
  if (m_entries.empty()) {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) return false;
  } else {
    const std::string text = Format(m_entries);
    if (text.size() > kMaxShotNamesBytes) return false;
    std::string at = path;
    const int fd = WriteRecordFile(m_folder, kShotNamesFile, "", text, at, nullptr, nullptr);
    if (fd < 0) return false;
    ::close(fd);
  }
  m_touched.clear();
  m_changed = false;
  return true;
}

}  // namespace brisko
