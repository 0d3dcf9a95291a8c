#include "scheduler/operator_lists.h"

#include <algorithm>

#include "support/settings_store.h"

namespace brisko {

namespace {
constexpr const char* kStringsSection = "OperatorSelectableStrings";
constexpr const char* kCommandsSection = "CommandNames";

std::string CommandKey(int index) {
  return "m_strCommandNamesArray_" + std::to_string(index);
}
}  // namespace

std::vector<std::string> LoadOperatorSelectableStrings(SettingsStore& store) {
  std::vector<std::string> strings;
  const int count = std::clamp(store.GetProfileInt(kStringsSection, "NumStrings", 0), 0, kMaxStoredListCount);
  for (int i = 0; i < count; ++i) {
    std::string text = store.GetProfileString(kStringsSection, "String_" + std::to_string(i), "");
    if (!text.empty()) strings.push_back(std::move(text));
  }
  return strings;
}

void SaveOperatorSelectableStrings(SettingsStore& store, const std::vector<std::string>& strings) {
  // Texts before the count, so an interrupted save never counts values it did not write.
  for (size_t i = 0; i < strings.size(); ++i) {
    store.WriteProfileString(kStringsSection, "String_" + std::to_string(i), strings[i]);
  }
  store.WriteProfileInt(kStringsSection, "NumStrings", static_cast<int>(strings.size()));
}

std::string DefaultCommandName(int index) {
  return "Command " + std::to_string(index + 1);
}

CommandNameArray LoadCommandNames(SettingsStore& store) {
  CommandNameArray names;
  for (int i = 0; i < kCommandCount; ++i) {
    names[static_cast<size_t>(i)] =
        store.GetProfileString(kCommandsSection, CommandKey(i), DefaultCommandName(i));
  }
  return names;
}

void SaveCommandNames(SettingsStore& store, const CommandNameArray& names) {
  for (int i = 0; i < kCommandCount; ++i) {
    store.WriteProfileString(kCommandsSection, CommandKey(i), names[static_cast<size_t>(i)]);
  }
}

int FillOperatorTextChoice(const std::vector<std::string>& strings, std::string& selectedText,
                           bool clearWhenEmpty) {
  if (strings.empty()) {
    if (clearWhenEmpty) selectedText.clear();
    return -1;
  }
  selectedText = strings.front();
  return 0;
}

std::string OperatorTextForm::ToBoxText(const std::vector<std::string>& strings) {
  std::string text;
  for (const std::string& s : strings) text += s + "\r\n";
  return text;
}

std::vector<std::string> OperatorTextForm::FromBoxText(const std::string& text) {
  std::vector<std::string> strings;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find_first_of("\r\n", start);
    if (end == std::string::npos) end = text.size();
    if (end > start) strings.push_back(text.substr(start, end - start));
    start = text.find_first_not_of("\r\n", end);
    if (start == std::string::npos) break;
  }
  return strings;
}

std::string CommandNamesForm::Label(int index) {
  return "Command " + std::to_string(index + 1) + ":";
}

}  // namespace brisko
