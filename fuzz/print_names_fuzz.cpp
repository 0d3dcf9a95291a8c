// Paper names come from the printer; paper loads from the command line and later starts. Both
// readers must stay bounded, and a paper load must read back as it was written.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "engine/printing/paper_count.h"
#include "print/media_names.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  if (brisko::ReadableMediaName(text).size() > 2 * 255 + 64) std::abort();
  if (auto load = brisko::ParsePaperLoad(text)) {
    if (brisko::ParsePaperLoad(brisko::FormatPaperLoad(*load)) != load) std::abort();
  }
  return 0;
}
