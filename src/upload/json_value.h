#pragma once
// The JSON of rclone's remote-control answers: read with bounds (nesting, size), since a
// daemon that is not ours, or a broken one, may answer anything.
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace brisko {

class JsonValue {
 public:
  enum class Kind { Null, Bool, Number, String, Array, Object };

  Kind GetKind() const { return m_kind; }
  bool IsNull() const { return m_kind == Kind::Null; }
  bool IsObject() const { return m_kind == Kind::Object; }
  // The member `name` of an object; a null value when absent or not an object.
  const JsonValue& operator[](std::string_view name) const;
  const std::vector<JsonValue>& Items() const { return m_items; }
  const std::string& Text() const { return m_text; }  // a string's text, "" for others
  bool Bool() const { return m_kind == Kind::Bool && m_number != 0; }
  int64_t Int() const { return static_cast<int64_t>(m_number); }
  double Number() const { return m_number; }

  // Parses `text` whole; false (with the value null) on anything that is not one JSON value,
  // nested deeper than 64 or longer than 8 MiB.
  static bool Parse(std::string_view text, JsonValue& value);

 private:
  friend class JsonReader;
  Kind m_kind = Kind::Null;
  double m_number = 0;
  std::string m_text;
  std::vector<JsonValue> m_items;                            // array items
  std::vector<std::pair<std::string, JsonValue>> m_members;  // object members, in order
};

// `text` as a JSON string literal (quotes included).
std::string JsonQuote(std::string_view text);

}  // namespace brisko
