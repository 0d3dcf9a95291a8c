#pragma once
// Outside programs some tests compare against (exiftool, jpegtran): those tests skip where
// the program is missing.
#include <cstdio>
#include <cstdlib>
#include <string>

namespace brisko::test {

inline bool HaveExiftool() {
  return std::system("exiftool -ver >/dev/null 2>&1") == 0;
}

inline bool HaveJpegtran() {
  return std::system("command -v jpegtran >/dev/null 2>&1") == 0;
}

// Everything a pipe gives until it closes.
inline std::string ReadPipe(FILE* p) {
  std::string out;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  return out;
}

// What a shell command writes to its standard output; its exit status is not looked at.
inline std::string CommandOutput(const std::string& command) {
  FILE* p = popen(command.c_str(), "r");
  if (!p) return "";
  std::string out = ReadPipe(p);
  pclose(p);
  return out;
}

}  // namespace brisko::test
