// ID.TXT reading: arbitrary bytes, read as a whole or cut short, then written and read back.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "scheduler/id_txt.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  brisko::ParseIdTxt(text, false);
  brisko::IdTxtEntries entries = brisko::ParseIdTxt(text, true);
  brisko::CIdTxt record;
  for (size_t i = 0; i < entries.texts.size(); ++i) {
    if (entries.texts[i]) record.Text(i) = *entries.texts[i];
  }
  record.m_iBatchID = entries.batch ? brisko::ParseBatchIdValue(*entries.batch) : 0;
  // What was read must survive a write and a new read unchanged.
  brisko::IdTxtEntries again = brisko::ParseIdTxt(record.Format(), true);
  for (size_t i = 0; i < entries.texts.size(); ++i) {
    if (!again.texts[i] || *again.texts[i] != record.Text(i)) std::abort();
  }
  if (!again.batch || brisko::ParseBatchIdValue(*again.batch) != record.m_iBatchID) std::abort();
  return 0;
}
