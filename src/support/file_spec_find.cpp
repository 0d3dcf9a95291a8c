#include "support/file_spec_find.h"

#include <unordered_set>

namespace brisko {

std::string WildcardToRegExp(const std::string& mask) {
  std::string out;
  out.reserve(mask.size() * 2 + 2);
  out += '^';
  for (char c : mask) {
    switch (c) {
      case '*':
        out += ".*?";
        break;
      case '.':
        out += "\\.";
        break;
      case '?':
        out += '.';
        break;
      default:
        out += c;
        break;
    }
  }
  out += '$';
  return out;
}

std::vector<std::string> SplitFileSpec(const std::string& spec) {
  std::vector<std::string> entries;
  size_t begin = 0;
  while (true) {
    size_t bar = spec.find('|', begin);
    size_t end = bar == std::string::npos ? spec.size() : bar;
    if (end == begin) break;
    entries.push_back(spec.substr(begin, end - begin));
    if (bar == std::string::npos) break;
    begin = bar + 1;
  }
  return entries;
}

void FileSpecFilter::SetSpecs(const std::string& include, const std::string& exclude, bool useRegex) {
  m_include.clear();
  m_exclude.clear();
  for (const std::string& e : SplitFileSpec(include)) m_include.push_back(useRegex ? e : WildcardToRegExp(e));
  for (const std::string& e : SplitFileSpec(exclude)) m_exclude.push_back(useRegex ? e : WildcardToRegExp(e));
  m_includeRe = Compile(m_include, m_stepLimit);
  m_excludeRe = Compile(m_exclude, m_stepLimit);
}

std::vector<FileSpecFilter::Compiled> FileSpecFilter::Compile(const std::vector<std::string>& patterns,
                                                              uint64_t stepLimit) {
  std::vector<Compiled> out(patterns.size());
  for (size_t i = 0; i < patterns.size(); ++i) {
    out[i].re.SetStepLimit(stepLimit);
    out[i].error = out[i].re.Parse(patterns[i], false);
  }
  return out;
}

void FileSpecFilter::SetStepLimit(uint64_t limit) {
  m_stepLimit = limit;
  for (Compiled& c : m_includeRe) c.re.SetStepLimit(limit);
  for (Compiled& c : m_excludeRe) c.re.SetStepLimit(limit);
}

void FileSpecFilter::SetErrorSink(std::string* errorText, RegExpMessageCallback callback) {
  m_errorText = errorText;
  m_callback = std::move(callback);
}

void FileSpecFilter::Report(const std::string& pattern, const char* errorText) {
  std::string message = "Error on regex " + pattern + ":" + errorText;
  if (m_errorText) {
    *m_errorText = std::move(message);
  } else if (m_callback) {
    m_callback(message);
  }
}

bool FileSpecFilter::Matches(const std::string& pattern, Compiled& compiled, const std::string& name) {
  m_lastError = compiled.error;
  if (m_lastError != kRegExpOk) {
    Report(pattern, CRegExp::GetErrorText(m_lastError));
    return false;
  }
  if (compiled.re.Match(name)) return true;
  if (compiled.re.WorkLimitHit()) Report(pattern, kRegExpTooComplexText);
  return false;
}

bool FileSpecFilter::Passes(const std::string& name, bool directory) {
  if (directory) return true;
  bool pass = m_include.empty();
  for (size_t i = 0; i < m_include.size(); ++i) {
    if (Matches(m_include[i], m_includeRe[i], name)) {
      pass = true;
      break;
    }
  }
  for (size_t i = 0; i < m_exclude.size(); ++i) {
    if (Matches(m_exclude[i], m_excludeRe[i], name)) {
      pass = false;
      break;
    }
  }
  return pass;
}

bool CFileSpecFind::FindFile(const std::string& path, const std::string& include, const std::string& exclude,
                             bool useRegex, std::string* errorText) {
  Close();
  m_filter.SetErrorSink(errorText, m_callback);
  m_filter.SetSpecs(include, exclude, useRegex);
  if (path.empty()) return false;

  FileInfo target;
  bool isFolder = StatPath(path, target) && target.directory;
  m_filterActive = isFolder && !(include.empty() && exclude.empty());
  bool listed;
  if (m_filterActive) {
    listed = ListFolder(path, "*.*", m_entries, &m_listError, &m_listPartial);
  } else {
    // The path is the finder's own mask: its last element is matched within its folder.
    size_t slash = path.find_last_of('/');
    std::string folder(".");
    std::string mask(path);
    if (slash != std::string::npos) {
      folder = path.substr(0, slash == 0 ? 1 : slash);
      mask = path.substr(slash + 1);
    }
    listed = ListFolder(folder, mask, m_entries, &m_listError, &m_listPartial);
  }
  if (!listed) {
    m_entries.clear();
    return false;
  }
  m_listError = 0;
  m_ahead = NextPassing(0);
  return m_ahead < m_entries.size();
}

size_t CFileSpecFind::NextPassing(size_t from) {
  size_t i = from;
  if (!m_filterActive) return i;
  while (i < m_entries.size() && !m_filter.Passes(m_entries[i].name, m_entries[i].directory)) ++i;
  return i;
}

bool CFileSpecFind::FindNextFile() {
  if (m_ahead >= m_entries.size()) return false;
  m_current = std::move(m_entries[m_ahead]);
  m_ahead = NextPassing(m_ahead + 1);
  return m_ahead < m_entries.size();
}

void CFileSpecFind::Close() {
  m_entries.clear();
  m_ahead = 0;
  m_current = FileInfo{};
  m_filterActive = false;
  m_listError = 0;
  m_listPartial = false;
}

std::string FilespecTestResult::IncludedText() const {
  if (!error.empty()) return error;
  std::string out;
  for (const std::string& n : included) out += n + "\r\n";
  return out;
}

std::string FilespecTestResult::ExcludedText() const {
  if (!error.empty()) return std::string();
  std::string out;
  for (const std::string& n : excluded) out += n + "\r\n";
  return out;
}

FilespecTestResult TestFilespec(const std::string& folder, const std::string& include,
                                const std::string& exclude, bool useRegex) {
  FilespecTestResult result;
  std::vector<std::string> all;
  CFileSpecFind find;
  bool more = find.FindFile(folder, "*.*", "", false, nullptr);
  while (more) {
    more = find.FindNextFile();
    if (!find.IsDirectory()) all.push_back(find.GetFileName());
  }

  std::string error;
  std::unordered_set<std::string> includedSet;
  more = find.FindFile(folder, include, exclude, useRegex, &error);
  while (more && error.empty()) {
    more = find.FindNextFile();
    if (!error.empty()) break;
    if (find.IsDirectory()) continue;
    result.included.push_back(find.GetFileName());
    includedSet.insert(find.GetFileName());
  }
  if (!error.empty()) {
    result.error = std::move(error);
    result.included.clear();
    return result;
  }
  for (std::string& n : all)
    if (!includedSet.count(n)) result.excluded.push_back(std::move(n));
  return result;
}

}  // namespace brisko
