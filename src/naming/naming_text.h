#pragma once
// Small text rules shared by the templates, the BriskoExif block and the naming dialogs:
// path splitting, the cleaning of operator input and the final safety of generated names.
#include <string>

namespace brisko {

struct PathParts {
  std::string folder;     // with its trailing "/" (empty when there is none)
  std::string name;       // without extension
  std::string extension;  // with its leading dot; empty when there is none
};

// Splits at the last "/" (or "\", which names from other stations may carry) and at the last
// dot of the final element.
PathParts SplitPath(const std::string& path);

// The characters a name may not hold on the stations that share these files.
inline constexpr const char kForbiddenFileNameChars[] = "\\/?*:\"<>|";
inline constexpr const char kForbiddenSubfolderChars[] = "/?*:\"<>|";
// Field names of the BriskoExif block also may not hold "=" (the block's own separator).
inline constexpr const char kForbiddenFieldChars[] = "\\/?*:\"<>|=";

bool ContainsAnyOf(const std::string& text, const char* chars);
std::string RemoveChars(const std::string& text, const char* chars);

// Longest name a file system entry may have, in bytes.
inline constexpr size_t kMaxNameBytes = 255;

// Makes a generated file name safe to use as one directory entry: removes "/" and NUL and
// cuts it to 255 bytes keeping its extension. Returns the empty text for a name that would
// still be unusable ("", ".", ".."); the caller then keeps the file's own name.
std::string MakeSafeFileName(const std::string& name);

// Longest generated subfolder path, in bytes: an EXIF comment full of backslashes must not
// make thousands of nested folders.
inline constexpr size_t kMaxSubfolderPathBytes = 1024;

// Makes a generated subfolder path safe to append to the destination folder: "\" becomes "/",
// NUL is removed, empty, "." and ".." components are dropped (so the path can neither be
// absolute nor leave the destination), each component is cut to 255 bytes and components that
// would take the path beyond 1024 bytes are left off. The result has no leading or trailing "/".
std::string MakeSafeSubfolderPath(const std::string& path);

// Cuts `text` to at most `maxBytes` bytes without splitting a UTF-8 sequence.
std::string CutUtf8(const std::string& text, size_t maxBytes);

}  // namespace brisko
