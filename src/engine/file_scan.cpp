#include "engine/file_scan.h"

#include "support/path_util.h"

namespace brisko {

namespace {

// Entries split at "|"; an empty entry ends the list.
std::vector<std::string> SplitSpec(const std::string& spec) {
  std::vector<std::string> entries;
  size_t start = 0;
  while (start <= spec.size()) {
    size_t bar = spec.find('|', start);
    if (bar == std::string::npos) bar = spec.size();
    if (bar == start) break;
    entries.push_back(spec.substr(start, bar - start));
    start = bar + 1;
  }
  return entries;
}

char Lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
}

// Whole-name wildcard match without regard to ASCII case: "*" any run, "?" one byte.
bool WildcardMatches(const std::string& mask, const std::string& name) {
  size_t m = 0, n = 0, starM = std::string::npos, starN = 0;
  while (n < name.size()) {
    if (m < mask.size() && mask[m] == '*') {
      starM = m++;
      starN = n;
    } else if (m < mask.size() && (mask[m] == '?' || Lower(mask[m]) == Lower(name[n]))) {
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

}  // namespace

bool FileScan::FindFile(const std::string& folder, const std::string& include, const std::string& exclude,
                        bool regex, std::string* errorText) {
  (void)regex;
  (void)errorText;
  m_entries.clear();
  m_next = m_current = 0;
  if (folder.empty() || (include.empty() && exclude.empty())) return false;
  m_filter = true;
  m_include = SplitSpec(include);
  m_exclude = SplitSpec(exclude);
  if (!ListFolder(TrimTrailingSeparators(folder), "*", m_entries)) m_entries.clear();
  while (m_next < m_entries.size() && !Passes(m_entries[m_next])) ++m_next;
  return m_next < m_entries.size();
}

bool FileScan::FindNextFile() {
  m_current = m_next++;
  while (m_next < m_entries.size() && !Passes(m_entries[m_next])) ++m_next;
  return m_next < m_entries.size();
}

std::string FileScan::GetFilePath() const {
  return m_current < m_entries.size() ? m_entries[m_current].path : "";
}

bool FileScan::IsDirectory() const {
  return m_current < m_entries.size() && m_entries[m_current].directory;
}

bool FileScan::Passes(const FileInfo& entry) const {
  if (!m_filter || entry.directory) return true;
  bool result = m_include.empty();
  for (const std::string& mask : m_include) {
    if (WildcardMatches(mask, entry.name)) {
      result = true;
      break;
    }
  }
  for (const std::string& mask : m_exclude) {
    if (WildcardMatches(mask, entry.name)) {
      result = false;
      break;
    }
  }
  return result;
}

}  // namespace brisko
