// The daemon's answers: any bytes parse or are refused, within bounds; what parses quotes back.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "upload/json_value.h"

namespace {

void Walk(const brisko::JsonValue& v, int depth) {
  if (depth > 70) std::abort();  // the reader's bound is 64
  for (const brisko::JsonValue& item : v.Items()) Walk(item, depth + 1);
  (void)v["error"].Text();
  (void)v.Int();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  brisko::JsonValue value;
  if (brisko::JsonValue::Parse(text, value)) Walk(value, 0);
  brisko::JsonValue quoted;
  if (!brisko::JsonValue::Parse(brisko::JsonQuote(text), quoted) || quoted.Text() != text) std::abort();
  return 0;
}
