#pragma once
// File specifications ("*.jpg|*.jpeg" or regular expressions) and the folder enumeration that
// reports only the entries passing the include/exclude test.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "support/folder_enum.h"
#include "support/regexp.h"

namespace brisko {

// "*" -> ".*?", "." -> "\.", "?" -> ".", everything else copied, between "^" and "$".
std::string WildcardToRegExp(const std::string& mask);

// Entries of a specification split at "|", unchanged (blanks belong to the entry). The list
// ends at the first empty entry, so "*.jpg||*.png" gives only "*.jpg" and "|*.png" nothing.
std::vector<std::string> SplitFileSpec(const std::string& spec);

// Receives "Error on regex %s:%s" messages when the caller gave no error text.
using RegExpMessageCallback = std::function<void(const std::string&)>;

// The include/exclude test on entry names, without regard to case. Each pattern is compiled once
// per SetSpecs; a bad pattern is still reported once per entry examined.
class FileSpecFilter {
 public:
  // Builds both pattern lists; wildcards are converted unless `useRegex`.
  void SetSpecs(const std::string& include, const std::string& exclude, bool useRegex);
  // Where pattern errors go: the text when given (a later error replaces an earlier one),
  // otherwise the callback.
  void SetErrorSink(std::string* errorText, RegExpMessageCallback callback);
  void SetStepLimit(uint64_t limit);

  // Directories always pass; the name alone (never its folder) is tested.
  bool Passes(const std::string& name, bool directory);

  const std::vector<std::string>& IncludePatterns() const { return m_include; }
  const std::vector<std::string>& ExcludePatterns() const { return m_exclude; }
  int LastParseError() const { return m_lastError; }

 private:
  struct Compiled {
    CRegExp re;
    int error = kRegExpOk;
  };
  static std::vector<Compiled> Compile(const std::vector<std::string>& patterns, uint64_t stepLimit);
  bool Matches(const std::string& pattern, Compiled& compiled, const std::string& name);
  void Report(const std::string& pattern, const char* errorText);

  std::vector<std::string> m_include;
  std::vector<std::string> m_exclude;
  std::vector<Compiled> m_includeRe;
  std::vector<Compiled> m_excludeRe;
  std::string* m_errorText = nullptr;
  RegExpMessageCallback m_callback;
  int m_lastError = kRegExpOk;
  uint64_t m_stepLimit = CRegExp::kDefaultStepLimit;
};

// Folder enumeration through the filter, with the platform finder's contract:
//   bool more = find.FindFile(folder, "*.jpg", "", false);
//   while (more) { more = find.FindNextFile(); use(find.GetFilePath()); }
// FindFile says whether a first reported entry exists; each FindNextFile moves onto the next
// reported entry and says whether a further one follows it.
class CFileSpecFind {
 public:
  // Used when FindFile is given no error text (the window shows these as message boxes).
  void SetMessageCallback(RegExpMessageCallback callback) { m_callback = std::move(callback); }
  void SetStepLimit(uint64_t limit) { m_filter.SetStepLimit(limit); }

  // With both specifications empty, or when `path` is not an existing folder, the filter is off
  // and `path` itself is the finder's mask ("folder/*.jpg"); otherwise every entry of the folder
  // is tested. `errorText` (may be null) is owned by the caller and must outlive the search.
  bool FindFile(const std::string& path, const std::string& include = std::string(),
                const std::string& exclude = std::string(), bool useRegex = false,
                std::string* errorText = nullptr);
  bool FindNextFile();
  void Close();

  // The current entry; empty before the first FindNextFile.
  const FileInfo& Current() const { return m_current; }
  const std::string& GetFileName() const { return m_current.name; }
  const std::string& GetFilePath() const { return m_current.path; }
  bool IsDirectory() const { return m_current.directory; }
  bool IsDots() const { return m_current.directory && (m_current.name == "." || m_current.name == ".."); }
  bool IsReadOnly() const { return m_current.readOnly; }
  int64_t GetLastWriteTime() const { return m_current.modTime; }
  int64_t GetCreationTime() const { return m_current.createTime; }
  int64_t GetLastAccessTime() const { return m_current.accessTime; }
  uint64_t GetLength() const { return m_current.size; }

  bool FilterActive() const { return m_filterActive; }
  int LastParseError() const { return m_filter.LastParseError(); }
  // errno of a folder that could not be listed, else 0.
  int ListError() const { return m_listError; }
  // The listing failed after it had begun: nothing of it is reported (ListError says why).
  bool ListFailedPartWay() const { return m_listPartial; }

 private:
  size_t NextPassing(size_t from);

  FileSpecFilter m_filter;
  RegExpMessageCallback m_callback;
  bool m_filterActive = false;
  // One listing serves both the reported position and the look-ahead, so the entry reported
  // is always the one the filter accepted, even when the folder changes meanwhile.
  std::vector<FileInfo> m_entries;
  size_t m_ahead = 0;  // next entry to report, or m_entries.size()
  FileInfo m_current;
  int m_listError = 0;
  bool m_listPartial = false;
};

// The "Test Filespec" search: with an error, `error` holds the message and both lists are empty.
struct FilespecTestResult {
  std::string error;
  std::vector<std::string> included;
  std::vector<std::string> excluded;
  // The two result boxes: names each followed by CR LF, or the message and an empty box.
  std::string IncludedText() const;
  std::string ExcludedText() const;
};
FilespecTestResult TestFilespec(const std::string& folder, const std::string& include,
                                const std::string& exclude, bool useRegex);

}  // namespace brisko
