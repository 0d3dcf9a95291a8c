#include "upload/json_value.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace brisko {

namespace {

constexpr size_t kMaxText = 8u << 20;
constexpr int kMaxDepth = 64;

const JsonValue& NullValue() {
  static const JsonValue null;
  return null;
}

void AppendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += char(cp);
  } else if (cp < 0x800) {
    out += char(0xC0 | (cp >> 6));
    out += char(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += char(0xE0 | (cp >> 12));
    out += char(0x80 | ((cp >> 6) & 0x3F));
    out += char(0x80 | (cp & 0x3F));
  } else {
    out += char(0xF0 | (cp >> 18));
    out += char(0x80 | ((cp >> 12) & 0x3F));
    out += char(0x80 | ((cp >> 6) & 0x3F));
    out += char(0x80 | (cp & 0x3F));
  }
}

}  // namespace

class JsonReader {
 public:
  explicit JsonReader(std::string_view text) : m_text(text) {}

  bool Value(JsonValue& v, int depth) {
    if (depth > kMaxDepth) return false;
    Space();
    if (m_pos >= m_text.size()) return false;
    const char c = m_text[m_pos];
    if (c == '{') return Object(v, depth);
    if (c == '[') return Array(v, depth);
    if (c == '"') {
      v.m_kind = JsonValue::Kind::String;
      return String(v.m_text);
    }
    if (Word("true")) {
      v.m_kind = JsonValue::Kind::Bool;
      v.m_number = 1;
      return true;
    }
    if (Word("false")) {
      v.m_kind = JsonValue::Kind::Bool;
      return true;
    }
    if (Word("null")) return true;
    return Number(v);
  }

  bool End() {
    Space();
    return m_pos == m_text.size();
  }

 private:
  void Space() {
    while (m_pos < m_text.size() &&
           (m_text[m_pos] == ' ' || m_text[m_pos] == '\t' || m_text[m_pos] == '\n' || m_text[m_pos] == '\r'))
      ++m_pos;
  }
  bool Word(std::string_view word) {
    if (m_text.substr(m_pos, word.size()) != word) return false;
    m_pos += word.size();
    return true;
  }
  bool Number(JsonValue& v) {
    const size_t start = m_pos;
    if (m_pos < m_text.size() && m_text[m_pos] == '-') ++m_pos;
    const size_t digits = m_pos;
    while (m_pos < m_text.size() && std::isdigit(static_cast<unsigned char>(m_text[m_pos]))) ++m_pos;
    if (m_pos == digits) return false;
    if (m_pos < m_text.size() && m_text[m_pos] == '.') {
      ++m_pos;
      const size_t fraction = m_pos;
      while (m_pos < m_text.size() && std::isdigit(static_cast<unsigned char>(m_text[m_pos]))) ++m_pos;
      if (m_pos == fraction) return false;
    }
    if (m_pos < m_text.size() && (m_text[m_pos] == 'e' || m_text[m_pos] == 'E')) {
      ++m_pos;
      if (m_pos < m_text.size() && (m_text[m_pos] == '+' || m_text[m_pos] == '-')) ++m_pos;
      const size_t exponent = m_pos;
      while (m_pos < m_text.size() && std::isdigit(static_cast<unsigned char>(m_text[m_pos]))) ++m_pos;
      if (m_pos == exponent) return false;
    }
    // Numbers are short; a bounded copy gives strtod its terminator.
    if (m_pos - start > 64) return false;
    const std::string copy(m_text.substr(start, m_pos - start));
    double number = std::strtod(copy.c_str(), nullptr);
    if (!std::isfinite(number)) number = 0;
    // Kept within what Int() may convert.
    if (number > 9.0e18) number = 9.0e18;
    if (number < -9.0e18) number = -9.0e18;
    v.m_kind = JsonValue::Kind::Number;
    v.m_number = number;
    return true;
  }
  bool Hex4(uint32_t& cp) {
    if (m_text.size() - m_pos < 4) return false;
    cp = 0;
    for (int i = 0; i < 4; ++i) {
      const char h = m_text[m_pos++];
      cp <<= 4;
      if (h >= '0' && h <= '9')
        cp |= uint32_t(h - '0');
      else if (h >= 'a' && h <= 'f')
        cp |= uint32_t(h - 'a' + 10);
      else if (h >= 'A' && h <= 'F')
        cp |= uint32_t(h - 'A' + 10);
      else
        return false;
    }
    return true;
  }
  bool String(std::string& out) {
    ++m_pos;  // the opening quote
    while (m_pos < m_text.size()) {
      const char c = m_text[m_pos++];
      if (c == '"') return true;
      if (static_cast<unsigned char>(c) < 0x20) return false;
      if (c != '\\') {
        out += c;
        continue;
      }
      if (m_pos >= m_text.size()) return false;
      const char e = m_text[m_pos++];
      switch (e) {
        case '"':
        case '\\':
        case '/':
          out += e;
          break;
        case 'b':
          out += '\b';
          break;
        case 'f':
          out += '\f';
          break;
        case 'n':
          out += '\n';
          break;
        case 'r':
          out += '\r';
          break;
        case 't':
          out += '\t';
          break;
        case 'u': {
          uint32_t cp;
          if (!Hex4(cp)) return false;
          if (cp >= 0xD800 && cp < 0xDC00) {
            uint32_t low;
            if (!Word("\\u") || !Hex4(low) || low < 0xDC00 || low > 0xDFFF) return false;
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
          } else if (cp >= 0xDC00 && cp < 0xE000) {
            return false;
          }
          AppendUtf8(out, cp);
          break;
        }
        default:
          return false;
      }
    }
    return false;
  }
  bool Array(JsonValue& v, int depth) {
    ++m_pos;
    v.m_kind = JsonValue::Kind::Array;
    Space();
    if (Word("]")) return true;
    for (;;) {
      JsonValue item;
      if (!Value(item, depth + 1)) return false;
      v.m_items.push_back(std::move(item));
      Space();
      if (Word("]")) return true;
      if (!Word(",")) return false;
    }
  }
  bool Object(JsonValue& v, int depth) {
    ++m_pos;
    v.m_kind = JsonValue::Kind::Object;
    Space();
    if (Word("}")) return true;
    for (;;) {
      Space();
      if (m_pos >= m_text.size() || m_text[m_pos] != '"') return false;
      std::string name;
      if (!String(name)) return false;
      Space();
      if (!Word(":")) return false;
      JsonValue member;
      if (!Value(member, depth + 1)) return false;
      v.m_members.emplace_back(std::move(name), std::move(member));
      Space();
      if (Word("}")) return true;
      if (!Word(",")) return false;
    }
  }

  std::string_view m_text;
  size_t m_pos = 0;
};

const JsonValue& JsonValue::operator[](std::string_view name) const {
  for (const auto& [key, value] : m_members) {
    if (key == name) return value;
  }
  return NullValue();
}

bool JsonValue::Parse(std::string_view text, JsonValue& value) {
  value = JsonValue();
  if (text.size() > kMaxText) return false;
  JsonReader reader(text);
  JsonValue parsed;
  if (!reader.Value(parsed, 0) || !reader.End()) return false;
  value = std::move(parsed);
  return true;
}

std::string JsonQuote(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char esc[8];
          std::snprintf(esc, sizeof esc, "\\u%04x", static_cast<unsigned>(static_cast<unsigned char>(c)));
          out += esc;
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

}  // namespace brisko
