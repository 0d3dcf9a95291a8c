// The mount table the "card:" source reads: lines the kernel writes, and whatever a test or a
// broken system puts in their place. Bounded, and every entry kept names an absolute path.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "engine/base/card_source.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto entries = brisko::ParseMountInfo(text);
  if (entries.size() > brisko::kMaxMountEntries) std::abort();
  for (const auto& entry : entries) {
    if (entry.mountPoint.empty() || entry.mountPoint[0] != '/' || entry.mountPoint.size() > size)
      std::abort();
  }
  brisko::IsCardSourceText(text);
  return 0;
}
