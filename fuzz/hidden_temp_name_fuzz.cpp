// Names found in folders the sweeps walk: arbitrary bytes; a writer is only ever a positive pid.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "support/file_ops.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view name(reinterpret_cast<const char*>(data), size);
  const pid_t writer = brisko::HiddenTempWriter(name);
  if (writer < 0) std::abort();
  if (writer > 0 && !brisko::IsFileLayerTempName(name)) std::abort();
  return 0;
}
