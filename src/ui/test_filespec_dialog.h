#pragma once
// "Test Filespec" (CTestFilespecDlg): tries include and exclude specifications on a folder and
// shows which files they take and which they leave.
#include <QDialog>
#include <functional>
#include <optional>
#include <string>

class QCheckBox;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

namespace brisko {

class CTestFilespecDlg : public QDialog {
  Q_OBJECT
 public:
  CTestFilespecDlg(const std::string& include, const std::string& exclude, bool useRegex,
                   const std::string& folder, QWidget* parent = nullptr);

  // "Change..." beside the test folder; tests replace it.
  std::function<std::optional<std::string>(const std::string& start)> pickFolder;

  QLineEdit* IncludeEdit() const { return m_include; }
  QLineEdit* ExcludeEdit() const { return m_exclude; }
  QCheckBox* RegexBox() const { return m_regex; }
  QLineEdit* FolderEdit() const { return m_folder; }
  QPushButton* ChangeButton() const { return m_change; }
  QPushButton* SearchButton() const { return m_search; }
  QPlainTextEdit* IncludedBox() const { return m_included; }
  QPlainTextEdit* ExcludedBox() const { return m_excluded; }

  void Search();

 private:
  QLineEdit* m_include = nullptr;
  QLineEdit* m_exclude = nullptr;
  QCheckBox* m_regex = nullptr;
  QLineEdit* m_folder = nullptr;
  QPushButton* m_change = nullptr;
  QPushButton* m_search = nullptr;
  QPlainTextEdit* m_included = nullptr;
  QPlainTextEdit* m_excluded = nullptr;
};

}  // namespace brisko
