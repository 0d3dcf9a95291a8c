#include "scheduler/barcode.h"

#include <cstring>
#include <vector>

namespace brisko {

namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

std::string Trim(const std::string& text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && IsBlank(text[begin])) ++begin;
  while (end > begin && IsBlank(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

const std::vector<Tone> kSetTones = {{3000, 100}, {5000, 100}};
const std::vector<Tone> kClearAllTones = {{5000, 100}, {3000, 100}, {5000, 100}};
const std::vector<Tone> kClearSomeTones = {{5000, 100}, {3000, 100}};

}  // namespace

std::string ParseBarcode(const std::string& text, BarcodeSlots& slots, ToneSink* tones) {
  const std::string code = Trim(text);
  const std::vector<Tone>* sound = nullptr;
  if (code.empty()) {
    // Nothing changes; the summary is rebuilt and the actions still run.
  } else if (code[0] >= '1' && code[0] <= '9') {
    slots[static_cast<size_t>(code[0] - '1')] = code.substr(1);
    sound = &kSetTones;
  } else if (code[0] == '0') {
    if (code.size() == 1 || code[1] == '0') {
      for (std::string& slot : slots) slot.clear();
      sound = &kClearAllTones;
    } else {
      bool cleared = false;
      for (size_t i = 1; i < code.size(); ++i) {
        if (code[i] >= '1' && code[i] <= '9') {
          slots[static_cast<size_t>(code[i] - '1')].clear();
          cleared = true;
        }
      }
      if (cleared) sound = &kClearSomeTones;
    }
  } else {
    std::string alpha;
    alpha.reserve(code.size());
    for (char c : code) {
      if (std::strchr(kAlphaRemovedChars, c) == nullptr || c == '\0') alpha += c;
    }
    slots[kAlphaSlot] = std::move(alpha);
    sound = &kSetTones;
  }
  if (sound && tones) tones->Play(*sound);
  return BarcodeInputs::BuildSummary(slots);
}

std::string BarcodeInputs::BuildSummary(const BarcodeSlots& slots) {
  static const char* const kCaptions[] = {"Person ID", "Group ID", "Venue ID", "Product ID", "Quantity ID"};
  std::string out;
  for (int i = 0; i < kBarcodeSlotCount; ++i) {
    const std::string& value = slots[static_cast<size_t>(i)];
    if (value.empty()) continue;
    std::string caption;
    if (i < 5) {
      caption = kCaptions[i];
    } else if (i < kAlphaSlot) {
      caption = "Value ID " + std::to_string(i - 4);
    } else {
      caption = "Alpha ID";
    }
    out += std::to_string(i + 1) + ". " + caption + ": " + value + "\n";
  }
  return out;
}

ScannerInputForm::Outcome ScannerInputForm::Submit(const std::string& text) {
  static const char kExit[] = "exit";
  bool isExit = text.size() == 4;
  for (size_t i = 0; isExit && i < 4; ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    isExit = c == kExit[i];
  }
  if (isExit) return Outcome::Close;
  if (m_parse) m_parse(text);
  m_box.clear();
  return Outcome::Parsed;
}

}  // namespace brisko
