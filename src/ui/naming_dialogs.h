#pragma once
// The naming dialogs: "Static text entry", "Select BriskoEXIF Key", "Substring", the rename and
// subfolder template editors and "Manage Custom BriskoEXIF Fields". Each binds its widgets to
// the form model of the same name in naming/naming_forms.h, which holds the rules.
#include <QDialog>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "naming/naming_forms.h"

class QButtonGroup;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QRadioButton;

namespace brisko {

class SettingsStore;

// How the dialogs show a message box; tests replace it. Null restores the real message box.
void SetNamingMessageHook(std::function<void(QWidget* parent, const FormMessage&)> hook);

class StaticTextDialog : public QDialog {
  Q_OBJECT
 public:
  StaticTextDialog(TemplateKind kind, QWidget* parent = nullptr);
  QLineEdit* Edit() const { return m_edit; }
  const std::string& Text() const { return m_form.Text(); }
  // Modal; the text on OK when it is not empty.
  static std::optional<std::string> Ask(QWidget* parent, TemplateKind kind);

 private:
  StaticTextForm m_form;
  QLineEdit* m_edit = nullptr;
};

class SelectKeyDialog : public QDialog {
  Q_OBJECT
 public:
  SelectKeyDialog(const BriskoExifCustomMap& knownNames, QWidget* parent = nullptr);
  QComboBox* Combo() const { return m_combo; }
  std::string Key() const;
  void accept() override;
  static std::optional<std::string> Ask(QWidget* parent, const BriskoExifCustomMap& knownNames);

 private:
  SelectKeyForm m_form;
  QComboBox* m_combo = nullptr;
};

class SubstringDialog : public QDialog {
  Q_OBJECT
 public:
  SubstringDialog(SubstringDef& def, const std::string& sample, QWidget* parent = nullptr);
  QLabel* ResultLabel() const { return m_result; }
  QLineEdit* LengthEdit() const { return m_length; }
  QLineEdit* FromFirstEdit() const { return m_fromFirst; }
  QLineEdit* ToFirstEdit() const { return m_toFirst; }
  QComboBox* FromOrdinal() const { return m_fromOrdinal; }
  QRadioButton* RightSide() const { return m_right; }
  QGroupBox* Group() const { return m_group; }
  // Modal; the definition is edited in place, true on OK.
  static bool Edit(QWidget* parent, SubstringDef& def, const std::string& sample);

 private:
  void Refresh();

  SubstringEditorForm m_form;
  QRadioButton* m_left = nullptr;
  QRadioButton* m_right = nullptr;
  QGroupBox* m_group = nullptr;
  QButtonGroup* m_fromGroup = nullptr;
  QButtonGroup* m_toGroup = nullptr;
  QRadioButton* m_fromType0 = nullptr;
  QRadioButton* m_toType0 = nullptr;
  QComboBox* m_fromOrdinal = nullptr;
  QComboBox* m_toOrdinal = nullptr;
  QLineEdit* m_fromFirst = nullptr;
  QLineEdit* m_fromLast = nullptr;
  QLineEdit* m_length = nullptr;
  QLineEdit* m_toFirst = nullptr;
  QLineEdit* m_toLast = nullptr;
  QLineEdit* m_sample = nullptr;
  QLabel* m_result = nullptr;
};

// "Rename File Template Editor" or "Edit Subfolder Name Template", by the template's kind. Works
// on a copy of the template; OK copies it back.
class TemplateEditorDialog : public QDialog {
  Q_OBJECT
 public:
  TemplateEditorDialog(NameTemplate& tmpl, const NamingContext& context, ExifAccess& exif,
                       const BriskoExifCustomMap& knownNames, QWidget* parent = nullptr);

  // The dialogs "Add -->" opens; tests replace them.
  std::function<std::optional<std::string>()> askText;
  std::function<std::optional<std::string>()> askKey;
  std::function<bool(SubstringDef&, const std::string& sample)> askSubstring;
  std::function<std::string()> askFile;  // "" when cancelled

  QListWidget* List() const { return m_list; }
  QPushButton* AddButton() const { return m_add; }
  QPushButton* ClearButton() const { return m_clear; }
  QPushButton* SelectFileButton() const { return m_select; }
  QLineEdit* TemplateLineEdit() const { return m_line; }
  QLineEdit* SampleEdit() const { return m_sample; }
  QLineEdit* ResultEdit() const { return m_result; }
  void accept() override;

  // Opens at a size that shows a good part of the component list and the preview; with a
  // store, at the size the editor last had, which is kept there again on closing.
  static bool Edit(QWidget* parent, NameTemplate& tmpl, const NamingContext& context,
                   const BriskoExifCustomMap& knownNames, SettingsStore* store = nullptr);
  static constexpr int kDefaultWidth = 940;
  static constexpr int kDefaultHeight = 560;
  static constexpr const char* kSizeSection = "Settings";
  static constexpr const char* kWidthEntry = "m_iTemplateEditorWidth";
  static constexpr const char* kHeightEntry = "m_iTemplateEditorHeight";
  void RestoreSize(SettingsStore& store);
  void SaveSize(SettingsStore& store) const;

 private:
  QSize FittingSize(QSize wanted) const;
  void OnAdd();
  void Refresh();

  NameTemplate& m_target;
  NameTemplate m_working;
  TemplateEditorForm m_form;
  QListWidget* m_list = nullptr;
  QPushButton* m_add = nullptr;
  QPushButton* m_clear = nullptr;
  QPushButton* m_select = nullptr;
  QLineEdit* m_line = nullptr;
  QLineEdit* m_sample = nullptr;
  QLineEdit* m_result = nullptr;
};

class CustomFieldsDialog : public QDialog {
  Q_OBJECT
 public:
  CustomFieldsDialog(BriskoExifCustomMap& actionFields, BriskoExifCustomMap& knownNames,
                     QWidget* parent = nullptr);
  QListWidget* List() const { return m_list; }
  QComboBox* NameCombo() const { return m_name; }
  QLineEdit* ValueEdit() const { return m_value; }
  QPushButton* AddButton() const { return m_add; }
  QPushButton* DeleteButton() const { return m_delete; }
  void accept() override;

 private:
  void Refill();

  BriskoExifCustomMap& m_action;
  BriskoExifCustomMap& m_knownNames;
  CustomFieldsForm m_form;
  QListWidget* m_list = nullptr;
  QComboBox* m_name = nullptr;
  QLineEdit* m_value = nullptr;
  QPushButton* m_add = nullptr;
  QPushButton* m_delete = nullptr;
};

}  // namespace brisko
