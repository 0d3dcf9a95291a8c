#pragma once
// "Configure Operator Selected Text": the operator selectable strings, one per line.
#include <QDialog>
#include <optional>
#include <string>
#include <vector>

class QPlainTextEdit;

namespace brisko {

class OperatorTextDialog : public QDialog {
  Q_OBJECT
 public:
  OperatorTextDialog(const std::vector<std::string>& strings, QWidget* parent = nullptr);
  // The strings as the box holds them now.
  std::vector<std::string> Strings() const;
  QPlainTextEdit* Box() const { return m_box; }

  // Modal; the new list on OK (the caller stores it), nullopt on Cancel.
  static std::optional<std::vector<std::string>> Edit(QWidget* parent,
                                                      const std::vector<std::string>& strings);

 private:
  QPlainTextEdit* m_box = nullptr;
};

}  // namespace brisko
