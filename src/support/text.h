#pragma once
// Small text helpers shared by every layer.
#include <ctime>
#include <string>
#include <string_view>

namespace brisko {

// Names compared as the file system's users see them: ASCII letters without case, every other
// byte (UTF-8 included) as it is. Locale-free, so a store or a card reads the same everywhere.
bool EqualsNoCase(std::string_view a, std::string_view b);

// `t` in local time as strftime's `format` writes it (at most 63 bytes).
std::string LocalTimeText(std::time_t t, const char* format);

}  // namespace brisko
