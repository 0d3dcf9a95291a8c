// Feeds arbitrary bytes to the pull reader as a file and reads every event.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "support/xml_escape.h"
#include "support/xml_reader.h"

namespace {

std::string TempPath() {
  const char* dir = std::getenv("TMPDIR");
  return std::string(dir ? dir : "/tmp") + "/xml_reader_fuzz." + std::to_string(getpid());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path = TempPath();
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return 0;
  std::fwrite(data, 1, size, f);
  std::fclose(f);

  brisko::XmlReader reader;
  reader.SetFileName(path);
  reader.SetMaxTextLength(1024);  // reach the limit checks with small inputs
  size_t events = 0;
  while (reader.ReadNext()) {
    ++events;
    if (reader.GetEventKind() == brisko::XmlEvent::kAttribute) {
      // Decoding never makes a value longer.
      std::string value;
      brisko::UnescapeText(reader.GetAttributeValue(), value);
      if (value.size() > reader.GetAttributeValue().size()) std::abort();
    }
    // Every event consumes at least one byte.
    if (events > size + 1) std::abort();
  }
  if (reader.HasError() == reader.IsCleanEnd()) std::abort();
  return 0;
}
