#pragma once
// The folder enumeration a run scans through: reports the entries of one folder that pass the
// include and exclude specifications ("|"-separated wildcards, or regular expressions).
// Same loop as the platform finder: FindFile, then while the last result was true,
// FindNextFile and use the current entry.
#include <cstddef>
#include <string>
#include <vector>

#include "support/folder_enum.h"

namespace brisko {

class FileScan {
 public:
  bool FindFile(const std::string& folder, const std::string& include, const std::string& exclude, bool regex,
                std::string* errorText);
  bool FindNextFile();
  std::string GetFilePath() const;
  bool IsDirectory() const;

 private:
  bool Passes(const FileInfo& entry) const;

  std::vector<FileInfo> m_entries;
  std::vector<std::string> m_include;
  std::vector<std::string> m_exclude;
  size_t m_next = 0;     // first entry not yet reported
  size_t m_current = 0;  // the entry the finder stands on
  bool m_filter = false;
};

}  // namespace brisko
