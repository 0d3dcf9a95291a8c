#pragma once
// Scanned barcodes: ten value slots filled by a digit prefix (or free text), cleared by "0"
// codes, and the summary text the main window shows beside its barcode box.
#include <array>
#include <functional>
#include <string>

#include "scheduler/tone_sink.h"

namespace brisko {

inline constexpr int kBarcodeSlotCount = 10;
inline constexpr int kAlphaSlot = 9;
using BarcodeSlots = std::array<std::string, kBarcodeSlotCount>;

// Takes one scan into `slots` (m_strBarcodeInputsArray), asks `tones` (may be null) for the
// acknowledgement and returns the new summary. The caller shows the summary and runs the
// Barcode Scan actions, also after an empty scan.
std::string ParseBarcode(const std::string& text, BarcodeSlots& slots, ToneSink* tones);

// The station owns one of these for the life of the process; every slot starts empty.
class BarcodeInputs {
 public:
  // ParseBarcode above on these slots; the summary is kept in m_strSummary.
  void ParseBarcode(const std::string& text, ToneSink* tones) {
    m_strSummary = brisko::ParseBarcode(text, m_strBarcodeInputsArray, tones);
  }

  const std::string& Slot(int index) const { return m_strBarcodeInputsArray.at(static_cast<size_t>(index)); }
  const std::string& Summary() const { return m_strSummary; }

  // "1. Person ID: ...\n" and so on for every non-empty slot, in slot order.
  static std::string BuildSummary(const BarcodeSlots& slots);

  BarcodeSlots m_strBarcodeInputsArray;
  std::string m_strSummary;
};

// Characters removed from free-text (alpha) scans: they cannot stand in a file name.
inline constexpr const char* kAlphaRemovedChars = "\\/?*:\"<>|";

// The scanner text-capture dialog without its widgets.
class ScannerInputForm {
 public:
  static constexpr const char* kCaption = "Brisko Event File Workflow - Text Capture";
  static constexpr const char* kHint = "Type 'exit' to close";
  static constexpr const char* kLabel = "Barcode input box:";
  static constexpr const char* kOk = "OK";
  static constexpr int kFocusTimerId = 100;
  static constexpr int kFocusTimerMs = 200;

  using ParseFn = std::function<void(const std::string&)>;
  explicit ScannerInputForm(ParseFn parse) : m_parse(std::move(parse)) {}

  enum class Outcome { Close, Parsed };
  // "OK" or Enter with the box text: "exit" in any letter case closes the dialog; any other text
  // (even "exit " with a blank) goes to ParseBarcode and the box is emptied.
  Outcome Submit(const std::string& text);
  const std::string& BoxText() const { return m_box; }
  void SetBoxText(std::string text) { m_box = std::move(text); }

 private:
  ParseFn m_parse;
  std::string m_box;
};

}  // namespace brisko
