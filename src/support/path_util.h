#pragma once
// Path text helpers. Paths are UTF-8 bytes with "/" as the folder separator; trailing "\"
// characters are trimmed too because stored settings may still carry them.
#include <string>
#include <string_view>

namespace brisko {

// `path` without its trailing "\" and "/" characters ("/" alone becomes "").
std::string TrimTrailingSeparators(std::string_view path);

// `path` with its trailing separators replaced by exactly one "/".
std::string WithTrailingSeparator(std::string_view path);

struct PathParts {
  std::string folder;     // everything up to and including the last "/" ("" when none)
  std::string name;       // last element without its extension
  std::string extension;  // last dot-part of the last element, with its dot ("" when none)
};

// Splits `path` into folder, name and extension. Leading dots of the last element do not
// start an extension: ".hidden" has none, "x.tar.gz" has ".gz", "x." has ".".
PathParts SplitPath(std::string_view path);

// `folder` and `name` joined with exactly one "/" (just `name` when `folder` is empty).
std::string JoinPath(std::string_view folder, std::string_view name);

// The name a copy takes when `path` is taken: "folder/name (n).ext".
std::string CollisionName(std::string_view path, int n);

// An XDG base folder: $variable when it is set and not empty, else $HOME/`underHome` ("." for
// an unset home).
std::string XdgBaseFolder(const char* variable, std::string_view underHome);

// A folder whose own name ends in ".processing" (any case) belongs to a program still working
// in it: an action does not take files from it.
bool IsProcessingFolder(std::string_view folder);

}  // namespace brisko
