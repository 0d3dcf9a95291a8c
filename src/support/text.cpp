#include "support/text.h"

#include <algorithm>
#include <ctime>

namespace brisko {

bool EqualsNoCase(std::string_view a, std::string_view b) {
  auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [&](char x, char y) { return lower(x) == lower(y); });
}

std::string LocalTimeText(std::time_t t, const char* format) {
  std::tm tm{};
  localtime_r(&t, &tm);
  char text[64];
  return std::strftime(text, sizeof text, format, &tm) ? text : "";
}

}  // namespace brisko
