#pragma once
// Entity handling for the settings backup. Text is UTF-8 throughout, so the code-page
// conversions that other stations make on these texts are the identity here.
#include <string>

namespace brisko {

// "&" -> "&amp;", "\"" -> "&quot;", "<" -> "&lt;"; nothing else (values are always written
// between double quotes, so ">" and "'" need no escape).
std::string EscapeText(const std::string& text);

// Decodes "&lt;", "&quot;" and "&amp;" once, left to right ("&amp;lt;" gives "&lt;"); every
// other "&" is kept as it stands.
std::string UnescapeText(const std::string& text);

}  // namespace brisko
