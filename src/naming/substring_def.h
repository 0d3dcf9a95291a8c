#pragma once
// A substring definition: a rule that cuts a piece out of a file name (without folder and
// extension), counted from the left or from the right side. Used by the "Substring" components
// of the rename and subfolder templates.
#include <string>

namespace brisko {

class SettingsStore;

class SubstringDef {
 public:
  // Start types (m_iFromType).
  enum FromType { kFromBeginning = 0, kFromChar = 1, kFromFirstMatch = 2, kFromLastMatch = 3 };
  // End types (m_iToType).
  enum ToType { kToEnd = 0, kToChar = 1, kToLength = 2, kToFirstMatch = 3, kToLastMatch = 4 };

  SubstringDef() = default;
  virtual ~SubstringDef() = default;
  SubstringDef(const SubstringDef&) = default;
  SubstringDef& operator=(const SubstringDef&) = default;

  std::string Evaluate(const std::string& text) const;

  // Values live in the template's section; subfolder templates prefix every name with
  // "CreateFolder_". Load always succeeds (missing values read as 0 or empty).
  bool Load(SettingsStore& store, const std::string& section, int index, bool subfolder);
  bool Save(SettingsStore& store, const std::string& section, int index, bool subfolder) const;

  bool operator==(const SubstringDef&) const = default;

  int m_iFromType = kFromBeginning;
  int m_iToType = kToEnd;
  bool m_bFromLeft = true;
  int m_iFromChar = 0;
  int m_iToChar = 0;
  int m_iLength = 0;
  std::string m_strFromFirstMatch;
  std::string m_strFromLastMatch;
  std::string m_strToFirstMatch;
  std::string m_strToLastMatch;
};

}  // namespace brisko
