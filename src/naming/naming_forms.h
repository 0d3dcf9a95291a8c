#pragma once
// The rules of the naming dialogs, without widgets: the rename and subfolder template editors,
// the static text entry, the substring editor and the two BriskoEXIF custom field dialogs.
// The widgets only move values between their controls and these objects.
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "naming/brisko_exif_fields.h"
#include "naming/name_template.h"
#include "naming/naming_inputs.h"
#include "naming/substring_def.h"

namespace brisko {

class ExifAccess;

// A message box the dialog shows.
struct FormMessage {
  std::string caption;
  std::string text;
  bool operator==(const FormMessage&) const = default;
};

// "Static text entry": a text component of a file name or of a subfolder name.
class StaticTextForm {
 public:
  static constexpr const char* kCaption = "Static text entry";
  static constexpr const char* kPrompt = "Enter Text:";

  explicit StaticTextForm(TemplateKind kind) : m_kind(kind) {}

  // Every change of the edit. Forbidden characters are removed (the edit then shows Text())
  // and the message is returned.
  std::optional<FormMessage> OnTextChanged(const std::string& text);
  const std::string& Text() const { return m_text; }
  // OK adds the component only with a text.
  bool CanAdd() const { return !m_text.empty(); }

 private:
  TemplateKind m_kind;
  std::string m_text;
};

// "Substring" (CEditSubstringDlg): edits the given definition in place; on Cancel the caller
// discards it.
class SubstringEditorForm {
 public:
  static constexpr const char* kCaption = "Substring";
  static constexpr const char* kDefaultSample = "SampleFilenameWithoutExtension";
  static constexpr const char* kLeftRadio = "Define the substring from the left side";
  static constexpr const char* kRightRadio = "Define the substring from the right side";

  SubstringEditorForm(SubstringDef& def, const std::string& sample);

  // The 30 ordinal labels of the character drop-downs ("1st" ... "30th").
  static const std::vector<std::string>& OrdinalLabels();

  // Texts that follow the side.
  std::string GroupCaption() const;
  std::string StartType0Label() const;
  std::string EndType0Label() const;

  void SetFromLeft(bool fromLeft) { m_def.m_bFromLeft = fromLeft; }
  void SetFromType(int type) { m_def.m_iFromType = type; }
  void SetToType(int type) { m_def.m_iToType = type; }
  // Choosing an ordinal or typing a match text also selects its radio.
  void ChooseFromOrdinal(int index);
  void ChooseToOrdinal(int index);
  void SetFromFirstMatch(const std::string& text);
  void SetFromLastMatch(const std::string& text);
  void SetToFirstMatch(const std::string& text);
  void SetToLastMatch(const std::string& text);
  // The length edit takes digits only; a value below 1 becomes 1. Returns what the edit shows.
  std::string SetLengthText(const std::string& text);
  void SetSample(const std::string& sample) { m_sample = sample; }

  const SubstringDef& Definition() const { return m_def; }
  const std::string& Sample() const { return m_sample; }
  std::string Result() const { return m_def.Evaluate(m_sample); }

 private:
  SubstringDef& m_def;
  std::string m_sample;
};

// "Rename File Template Editor" (CRenameFileEditor) and "Edit Subfolder Name Template"
// (CEditSubfolderTemplateDlg): one editor over either kind of template.
class TemplateEditorForm {
 public:
  static constexpr const char* kDefaultSample = "Brisko000123.JPG";

  struct Item {
    std::string text;
    unsigned id;
  };
  // What "Add -->" needs before the component can be added.
  enum class AddStep { kAdded, kNeedStaticText, kNeedKey, kNeedSubstring, kRefused };

  // `context` gives the station's barcode values, operator text and counters for the test;
  // `exif` reads the sample file.
  TemplateEditorForm(NameTemplate& tmpl, NamingContext context, ExifAccess& exif);

  std::string Caption() const;
  std::string ListLabel() const;
  std::string ResultLabel() const;
  // The component list, sorted by menu text, each entry with its id.
  std::vector<Item> Items() const;

  AddStep Add(unsigned id);
  // The second half of Add for the three components that need a dialog first. An empty text
  // or key, or a cancelled substring (null), adds nothing.
  void CompleteAddText(const std::string& text);
  void CompleteAddKey(const std::string& key);
  void CompleteAddSubstring(std::unique_ptr<SubstringDef> def);
  // The sample the substring editor starts with: the sample's name without folder and extension.
  std::string SubstringSample() const;
  void Clear();

  // The rename editor tests at every change of the sample; the subfolder editor only on open,
  // Add, Clear and Select Actual File.
  void SetSample(const std::string& sample);
  // "Select Actual File...": the edit shows the chosen file's name; the test reads the file
  // itself while the sample still names it.
  void SelectActualFile(const std::string& path);
  const std::string& Sample() const { return m_sample; }

  const std::string& TemplateLine() const { return m_line; }
  const std::string& Result() const { return m_result; }
  void SetContext(const NamingContext& context) { m_context = context; }

 private:
  void Refresh();
  void RunTest();
  bool IsRename() const { return m_template.Kind() == TemplateKind::kRename; }

  NameTemplate& m_template;
  NamingContext m_context;
  ExifAccess& m_exif;
  std::string m_sample = kDefaultSample;
  std::string m_actualFile;
  std::string m_line;
  std::string m_result;
};

// "Manage Custom BriskoEXIF Fields" (CManageBriskoExifCustomFieldsDlg): works on a copy of the
// action's map; OK hands it back and adds its names to the known names.
class CustomFieldsForm {
 public:
  static constexpr const char* kCaption = "Manage Custom BriskoEXIF Fields";

  CustomFieldsForm(const BriskoExifCustomMap& actionFields, const BriskoExifCustomMap& knownNames);

  std::vector<std::string> Lines() const;       // "name = value"
  std::vector<std::string> KnownNames() const;  // the name combo box
  // "Add": nullopt when the pair was set (the controls are then emptied), else the message.
  std::optional<FormMessage> Add(const std::string& name, const std::string& value);
  // "Delete" of a list line.
  void Delete(const std::string& line);
  void Ok(BriskoExifCustomMap& actionFields, BriskoExifCustomMap& knownNames) const;
  const BriskoExifCustomMap& Edited() const { return m_edited; }

 private:
  BriskoExifCustomMap m_edited;
  BriskoExifCustomMap m_known;
};

// "Select BriskoEXIF Key" (CSelectBriskoExifKeyDlg).
class SelectKeyForm {
 public:
  static constexpr const char* kCaption = "Select BriskoEXIF Key";

  explicit SelectKeyForm(const BriskoExifCustomMap& knownNames) : m_known(knownNames) {}
  std::vector<std::string> KnownNames() const;
  // OK: nullopt when the key is acceptable (the dialog ends), else the message (it stays open).
  std::optional<FormMessage> Ok(const std::string& key) const;

 private:
  BriskoExifCustomMap m_known;
};

}  // namespace brisko
