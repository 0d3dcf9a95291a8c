#include "naming/naming_text.h"

#include <cstring>

namespace brisko {

PathParts SplitPath(const std::string& path) {
  PathParts parts;
  size_t slash = path.find_last_of("/\\");
  std::string file;
  if (slash == std::string::npos) {
    file = path;
  } else {
    parts.folder = path.substr(0, slash + 1);
    file = path.substr(slash + 1);
  }
  size_t dot = file.find_last_of('.');
  if (dot == std::string::npos) {
    parts.name = file;
  } else {
    parts.name = file.substr(0, dot);
    parts.extension = file.substr(dot);
  }
  return parts;
}

bool ContainsAnyOf(const std::string& text, const char* chars) {
  return text.find_first_of(chars) != std::string::npos;
}

std::string RemoveChars(const std::string& text, const char* chars) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (std::strchr(chars, c) == nullptr || c == '\0') out += c;
  }
  return out;
}

std::string CutUtf8(const std::string& text, size_t maxBytes) {
  if (text.size() <= maxBytes) return text;
  size_t cut = maxBytes;
  // Step back over continuation bytes so that a multi-byte character is dropped whole.
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  return text.substr(0, cut);
}

namespace {

std::string RemoveSlashAndNul(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (c != '/' && c != '\0') out += c;
  }
  return out;
}

std::string CutName(const std::string& name) {
  if (name.size() <= kMaxNameBytes) return name;
  size_t dot = name.find_last_of('.');
  // Keep an extension of sensible length; a "name" that is mostly extension is cut plainly.
  if (dot != std::string::npos && dot > 0 && name.size() - dot <= 32) {
    std::string ext = name.substr(dot);
    return CutUtf8(name.substr(0, dot), kMaxNameBytes - ext.size()) + ext;
  }
  return CutUtf8(name, kMaxNameBytes);
}

}  // namespace

std::string MakeSafeFileName(const std::string& name) {
  std::string out = CutName(RemoveSlashAndNul(name));
  if (out.empty() || out == "." || out == "..") return "";
  return out;
}

std::string MakeSafeSubfolderPath(const std::string& path) {
  std::string result;
  size_t pos = 0;
  while (pos <= path.size()) {
    size_t next = path.find_first_of("/\\", pos);
    if (next == std::string::npos) next = path.size();
    std::string part;
    for (size_t i = pos; i < next; ++i) {
      if (path[i] != '\0') part += path[i];
    }
    part = CutUtf8(part, kMaxNameBytes);
    if (!part.empty() && part != "." && part != "..") {
      if (result.size() + 1 + part.size() > kMaxSubfolderPathBytes) break;
      if (!result.empty()) result += '/';
      result += part;
    }
    pos = next + 1;
  }
  return result;
}

}  // namespace brisko
