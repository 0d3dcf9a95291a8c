#include "ui/operator_text_dialog.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QVBoxLayout>

#include "scheduler/operator_lists.h"

namespace brisko {

OperatorTextDialog::OperatorTextDialog(const std::vector<std::string>& strings, QWidget* parent)
    : QDialog(parent) {
  setWindowTitle(OperatorTextForm::kCaption);
  m_box = new QPlainTextEdit(this);
  // The editor widget keeps line feeds only; the form's CR LF text is shown line by line.
  m_box->setPlainText(QString::fromStdString(OperatorTextForm::ToBoxText(strings)).remove(QLatin1Char('\r')));
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(new QLabel(OperatorTextForm::kPrompt, this));
  layout->addWidget(m_box);
  layout->addWidget(buttons);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
}

std::vector<std::string> OperatorTextDialog::Strings() const {
  return OperatorTextForm::FromBoxText(m_box->toPlainText().toStdString());
}

std::optional<std::vector<std::string>> OperatorTextDialog::Edit(QWidget* parent,
                                                                 const std::vector<std::string>& strings) {
  OperatorTextDialog dialog(strings, parent);
  if (dialog.exec() != QDialog::Accepted) return std::nullopt;
  return dialog.Strings();
}

}  // namespace brisko
