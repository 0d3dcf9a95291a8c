// Splits arbitrary argument texts; the words must never hold more bytes than the text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "engine/settings/command_arguments.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  size_t total = 0;
  for (const auto& word : brisko::SplitCommandArguments(text)) total += word.size();
  if (total > size) std::abort();
  return 0;
}
