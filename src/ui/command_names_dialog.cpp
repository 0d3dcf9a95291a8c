#include "ui/command_names_dialog.h"

#include <QDialogButtonBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

namespace brisko {

CommandNamesDialog::CommandNamesDialog(const CommandNameArray& names, QWidget* parent) : QDialog(parent) {
  setWindowTitle(CommandNamesForm::kCaption);
  auto* grid = new QGridLayout;
  constexpr int kRows = kCommandCount / 2;
  for (int i = 0; i < kCommandCount; ++i) {
    auto* box = new QLineEdit(QString::fromStdString(names[static_cast<size_t>(i)]), this);
    m_boxes[static_cast<size_t>(i)] = box;
    int column = (i / kRows) * 2;
    grid->addWidget(new QLabel(QString::fromStdString(CommandNamesForm::Label(i)), this), i % kRows, column);
    grid->addWidget(box, i % kRows, column + 1);
  }
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(grid);
  layout->addWidget(buttons);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
}

CommandNameArray CommandNamesDialog::Names() const {
  CommandNamesForm form({});
  for (int i = 0; i < kCommandCount; ++i) form.Box(i) = Box(i)->text().toStdString();
  return form.Accept();
}

std::optional<CommandNameArray> CommandNamesDialog::Edit(QWidget* parent, const CommandNameArray& names) {
  CommandNamesDialog dialog(names, parent);
  if (dialog.exec() != QDialog::Accepted) return std::nullopt;
  return dialog.Names();
}

}  // namespace brisko
