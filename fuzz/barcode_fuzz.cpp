// Barcode scans: the input is cut into scans at line feeds and fed to one set of slots.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "scheduler/barcode.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string all(reinterpret_cast<const char*>(data), size);
  brisko::BarcodeInputs inputs;
  brisko::RecordingToneSink tones;
  size_t start = 0;
  while (start <= all.size()) {
    size_t end = all.find('\n', start);
    if (end == std::string::npos) end = all.size();
    inputs.ParseBarcode(all.substr(start, end - start), &tones);
    start = end + 1;
  }
  for (char c : inputs.Slot(brisko::kAlphaSlot)) {
    if (c != '\0' && std::strchr(brisko::kAlphaRemovedChars, c)) std::abort();
  }
  if (inputs.Summary() != brisko::BarcodeInputs::BuildSummary(inputs.m_strBarcodeInputsArray)) std::abort();
  brisko::ScannerInputForm form([&](const std::string& text) { inputs.ParseBarcode(text, nullptr); });
  form.Submit(all);
  return 0;
}
