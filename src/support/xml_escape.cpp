#include "support/xml_escape.h"

#include <algorithm>
#include <cstdint>
#include <string_view>

namespace brisko {

std::string EscapeText(const std::string& text) {
  std::string out;
  out.reserve(text.size() + text.size() / 8);
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '<':
        out += "&lt;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

namespace {

// XML 1.0's Char production.
bool IsXmlChar(uint32_t c) {
  return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) || (c >= 0xE000 && c <= 0xFFFD) ||
         (c >= 0x10000 && c <= 0x10FFFF);
}

void AppendUtf8(uint32_t c, std::string& out) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// The numeric reference at the start of `in` ("&#...;"): its length, 0 when there is none.
// `code` is above 0x10FFFF when the digits name more than any character.
size_t NumericReference(std::string_view in, uint32_t& code) {
  if (in.size() < 4 || in[0] != '&' || in[1] != '#') return 0;
  const bool hex = in[2] == 'x';
  size_t i = hex ? 3 : 2;
  const size_t first = i;
  code = 0;
  for (; i < in.size() && in[i] != ';'; ++i) {
    const char c = in[i];
    int digit = -1;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (hex && c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (hex && c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    }
    if (digit < 0) return 0;
    if (code <= 0x10FFFF) code = code * (hex ? 16 : 10) + uint32_t(digit);  // stops growing once too big
  }
  if (i == first || i >= in.size()) return 0;
  return i + 1;
}

}  // namespace

namespace {

// As UnescapeText; numeric references are decoded only when `numeric`.
bool Unescape(std::string_view in, bool numeric, std::string& out, std::string* bad) {
  static constexpr struct {
    std::string_view entity;
    char c;
  } kEntities[] = {{"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}, {"&amp;", '&'}};
  out.clear();
  out.reserve(in.size());
  size_t i = 0;
  while (i < in.size()) {
    const size_t amp = in.find('&', i);
    if (amp == std::string_view::npos) {
      out.append(in.substr(i));
      break;
    }
    out.append(in.substr(i, amp - i));
    const std::string_view rest = in.substr(amp);
    i = amp + 1;
    uint32_t code = 0;
    if (const size_t n = numeric ? NumericReference(rest, code) : 0) {
      if (!IsXmlChar(code)) {
        if (bad) *bad = std::string(rest.substr(0, std::min<size_t>(n, 24)));
        return false;
      }
      AppendUtf8(code, out);
      i = amp + n;
      continue;
    }
    out += '&';
    for (const auto& e : kEntities) {
      if (rest.starts_with(e.entity)) {
        out.back() = e.c;
        i = amp + e.entity.size();
        break;
      }
    }
  }
  return true;
}

}  // namespace

bool UnescapeText(const std::string& text, std::string& out, std::string* bad) {
  return Unescape(text, true, out, bad);
}

std::string UnescapeNamed(std::string_view text) {
  std::string out;
  Unescape(text, false, out, nullptr);
  return out;
}

}  // namespace brisko
