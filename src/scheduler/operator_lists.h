#pragma once
// The two lists the operator configures: the operator selectable strings (the "Operator
// selected text:" drop-down) and the twenty command names. Storage rules and the Qt-free
// models of their two dialogs.
#include <array>
#include <string>
#include <vector>

namespace brisko {

class SettingsStore;

inline constexpr int kCommandCount = 20;
using CommandNameArray = std::array<std::string, kCommandCount>;

// "OperatorSelectableStrings": "NumStrings" then "String_%d"; empty stored texts are skipped.
std::vector<std::string> LoadOperatorSelectableStrings(SettingsStore& store);
// Writes "String_%d" for 0 .. n-1, then "NumStrings" = n. Values at or above n stay in the
// store and are never read.
void SaveOperatorSelectableStrings(SettingsStore& store, const std::vector<std::string>& strings);

// "CommandNames": "m_strCommandNamesArray_%d" for 0 .. 19, default "Command %d" (index + 1)
// only when the value is missing; a stored empty name stays empty.
CommandNameArray LoadCommandNames(SettingsStore& store);
void SaveCommandNames(SettingsStore& store, const CommandNameArray& names);
std::string DefaultCommandName(int index);

// The drop-down and the text chosen in it (m_strOperatorSelectedText).
class OperatorTextChoice {
 public:
  // Refills the entries; the first is selected and becomes the selected text. With no entries
  // the selected text is emptied only when `clearWhenEmpty` (after "Configure actions...");
  // loading at start-up leaves it as it is.
  void Fill(const std::vector<std::string>& strings, bool clearWhenEmpty);
  // Choosing an entry in the drop-down; an index out of range changes nothing.
  void Choose(int index);

  const std::vector<std::string>& Entries() const { return m_entries; }
  int Selected() const { return m_selected; }  // -1 when there are no entries

  std::string m_strOperatorSelectedText;

 private:
  std::vector<std::string> m_entries;
  int m_selected = -1;
};

// "Configure Operator Selected Text": one multi-line box.
class OperatorTextForm {
 public:
  static constexpr const char* kCaption = "Configure Operator Selected Text";
  static constexpr const char* kPrompt = "Enter Operator Selectable Text (one per line) below:";

  // The box shows every string followed by CR LF.
  static std::string ToBoxText(const std::vector<std::string>& strings);
  // The box cut at every run of CR and LF; non-empty pieces, untrimmed, in order.
  static std::vector<std::string> FromBoxText(const std::string& text);
};

// "Manage Command Names": twenty boxes "Command 1:" .. "Command 20:".
class CommandNamesForm {
 public:
  static constexpr const char* kCaption = "Manage Command Names";
  static std::string Label(int index);  // "Command %d:" with index + 1

  explicit CommandNamesForm(const CommandNameArray& names) : m_boxes(names) {}
  std::string& Box(int index) { return m_boxes.at(static_cast<size_t>(index)); }
  // OK: every box as it stands, empty ones included.
  const CommandNameArray& Accept() const { return m_boxes; }

 private:
  CommandNameArray m_boxes;
};

}  // namespace brisko
