#include "support/path_util.h"

#include <cstdlib>

#include "support/text.h"

namespace brisko {

std::string TrimTrailingSeparators(std::string_view path) {
  size_t end = path.size();
  while (end > 0 && (path[end - 1] == '/' || path[end - 1] == '\\')) --end;
  return std::string(path.substr(0, end));
}

std::string WithTrailingSeparator(std::string_view path) {
  return TrimTrailingSeparators(path) + '/';
}

PathParts SplitPath(std::string_view path) {
  PathParts parts;
  size_t slash = path.find_last_of('/');
  size_t nameStart = slash == std::string_view::npos ? 0 : slash + 1;
  parts.folder = std::string(path.substr(0, nameStart));
  std::string_view last = path.substr(nameStart);
  size_t firstNonDot = last.find_first_not_of('.');
  size_t dot = last.find_last_of('.');
  if (firstNonDot != std::string_view::npos && dot != std::string_view::npos && dot > firstNonDot) {
    parts.name = std::string(last.substr(0, dot));
    parts.extension = std::string(last.substr(dot));
  } else {
    parts.name = std::string(last);
  }
  return parts;
}

std::string JoinPath(std::string_view folder, std::string_view name) {
  if (folder.empty()) return std::string(name);
  size_t end = folder.size();
  while (end > 0 && folder[end - 1] == '/') --end;
  size_t start = 0;
  while (start < name.size() && name[start] == '/') ++start;
  std::string joined(folder.substr(0, end));
  joined += '/';
  joined += name.substr(start);
  return joined;
}

std::string CollisionName(std::string_view path, int n) {
  PathParts parts = SplitPath(path);
  return parts.folder + parts.name + " (" + std::to_string(n) + ")" + parts.extension;
}

bool IsProcessingFolder(std::string_view folder) {
  return EqualsNoCase(SplitPath(TrimTrailingSeparators(folder)).extension, ".processing");
}

std::string XdgBaseFolder(const char* variable, std::string_view underHome) {
  if (const char* xdg = std::getenv(variable); xdg && *xdg) return xdg;
  const char* home = std::getenv("HOME");
  return std::string(home && *home ? home : ".") + "/" + std::string(underHome);
}

}  // namespace brisko
