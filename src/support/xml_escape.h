#pragma once
// Entity handling for the settings backup. Text is UTF-8 throughout, so the code-page
// conversions that other stations make on these texts are the identity here.
#include <string>
#include <string_view>

namespace brisko {

// "&" -> "&amp;", "\"" -> "&quot;", "<" -> "&lt;"; nothing else (values are always written
// between double quotes, so ">" and "'" need no escape).
std::string EscapeText(const std::string& text);

// Decodes the five named references ("&lt;", "&gt;", "&amp;", "&quot;", "&apos;") and numeric
// ones ("&#60;", "&#x3C;") once, left to right ("&amp;lt;" gives "&lt;"), as any XML library
// writes them; any other "&" is kept as it stands. False, with the reference in `bad`, for a
// numeric reference that names no character XML allows (NUL, a surrogate, beyond U+10FFFF).
bool UnescapeText(const std::string& text, std::string& out, std::string* bad = nullptr);
// Only the five named references, as above; numeric ones are kept as they stand.
std::string UnescapeNamed(std::string_view text);

}  // namespace brisko
