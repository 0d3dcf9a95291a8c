#include "support/xml_escape.h"

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

std::string UnescapeText(const std::string& text) {
  static constexpr struct {
    std::string_view entity;
    char c;
  } kEntities[] = {{"&lt;", '<'}, {"&quot;", '"'}, {"&amp;", '&'}};
  std::string out;
  out.reserve(text.size());
  const std::string_view in(text);
  size_t i = 0;
  while (i < in.size()) {
    size_t amp = in.find('&', i);
    if (amp == std::string_view::npos) {
      out.append(in.substr(i));
      break;
    }
    out.append(in.substr(i, amp - i));
    i = amp + 1;
    out += '&';
    for (const auto& e : kEntities) {
      if (in.substr(amp).starts_with(e.entity)) {
        out.back() = e.c;
        i = amp + e.entity.size();
        break;
      }
    }
  }
  return out;
}

}  // namespace brisko
