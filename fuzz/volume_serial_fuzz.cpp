// The first bytes of a volume, as a card reader gives them: any bytes give a serial or nothing.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "support/volume_identity.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string serial = brisko::VolumeSerialFromBootSector(data, size);
  if (serial.size() > 36) std::abort();
  for (char c : serial) {
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || c == '-')) std::abort();
  }
  return 0;
}
