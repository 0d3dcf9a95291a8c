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

// Fills the "Operator selected text:" drop-down from `strings`: the first entry is selected
// and becomes `selectedText` (m_strOperatorSelectedText). With no entries the text is emptied
// only when `clearWhenEmpty` (after "Configure actions..."); loading leaves it as it is.
// Returns the index to select, -1 when there are no entries.
int FillOperatorTextChoice(const std::vector<std::string>& strings, std::string& selectedText,
                           bool clearWhenEmpty);

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
