// Parses arbitrary text as a document and walks the whole element tree.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "support/xml_document.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  brisko::XmlDocument doc;
  if (!doc.SetDoc(text)) {
    if (doc.FindElem() || doc.IntoElem() || doc.OutOfElem()) std::abort();
    return 0;
  }
  // Depth-first walk: into every element, then out again, reading each text.
  size_t visited = 0;
  int depth = 0;
  for (;;) {
    if (doc.FindElem()) {
      ++visited;
      if (doc.GetData().size() > size) std::abort();
      doc.GetTagName();
      doc.IntoElem();
      ++depth;
      continue;
    }
    if (depth == 0) break;
    if (!doc.OutOfElem()) std::abort();
    --depth;
    if (visited > size) std::abort();
  }
  if (visited == 0) std::abort();
  // A name search must agree with the walk on the first top-level element.
  doc.ResetPos();
  if (!doc.FindElem()) std::abort();
  const std::string first = doc.GetTagName();
  doc.ResetPos();
  if (!doc.FindElem(first)) std::abort();
  return 0;
}
