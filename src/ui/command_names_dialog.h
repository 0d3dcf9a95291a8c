#pragma once
// "Manage Command Names": the twenty command names.
#include <QDialog>
#include <optional>

#include "scheduler/operator_lists.h"

class QLineEdit;

namespace brisko {

class CommandNamesDialog : public QDialog {
  Q_OBJECT
 public:
  CommandNamesDialog(const CommandNameArray& names, QWidget* parent = nullptr);
  CommandNameArray Names() const;
  QLineEdit* Box(int index) const { return m_boxes.at(static_cast<size_t>(index)); }

  // Modal; the names on OK (the caller keeps and stores them), nullopt on Cancel.
  static std::optional<CommandNameArray> Edit(QWidget* parent, const CommandNameArray& names);

 private:
  std::array<QLineEdit*, kCommandCount> m_boxes{};
};

}  // namespace brisko
