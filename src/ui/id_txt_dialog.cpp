#include "ui/id_txt_dialog.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>
#include <cstring>

#include "ui/folder_picker.h"

namespace brisko {

IdTxtDialog::IdTxtDialog(CIdTxt& record, QWidget* parent) : QDialog(parent), m_form(record) {
  setWindowTitle(IdTxtEditForm::kCaption);
  auto* form = new QFormLayout;
  for (size_t i = 0; i < m_boxes.size(); ++i) {
    m_boxes[i] = new QLineEdit(QString::fromStdString(m_form.Box(i)), this);
    form->addRow(IdTxtEditForm::kLabels[i], m_boxes[i]);
  }
  form->addRow(IdTxtEditForm::kBatchLabel, new QLabel(QString::fromStdString(m_form.BatchText()), this));

  m_edit = new QPushButton(IdTxtEditForm::kEditButton, this);
  m_cancel = new QPushButton(IdTxtEditForm::kCancelButton, this);
  m_ok = new QPushButton(this);
  m_ok->setDefault(true);
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(m_edit);
  buttons->addStretch();
  buttons->addWidget(m_ok);
  buttons->addWidget(m_cancel);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(form);
  layout->addLayout(buttons);

  connect(m_edit, &QPushButton::clicked, this, &IdTxtDialog::OnEdit);
  connect(m_ok, &QPushButton::clicked, this, &IdTxtDialog::OnOk);
  connect(m_cancel, &QPushButton::clicked, this, &QDialog::reject);
  Refresh();
}

void IdTxtDialog::Refresh() {
  for (QLineEdit* box : m_boxes) box->setReadOnly(m_form.BoxesReadOnly());
  m_ok->setText(m_form.OkCaption());
  m_cancel->setVisible(m_form.CancelVisible());
  m_edit->setVisible(m_form.EditVisible());
}

void IdTxtDialog::OnEdit() {
  m_form.Edit();
  Refresh();
  m_boxes[0]->setFocus();
}

void IdTxtDialog::OnOk() {
  for (size_t i = 0; i < m_boxes.size(); ++i) m_form.Box(i) = m_boxes[i]->text().toStdString();
  if (m_form.PressOk() == IdTxtEditForm::Result::Ok) {
    accept();
  } else {
    reject();
  }
}

bool IdTxtDialog::Edit(QWidget* parent, CIdTxt& record) {
  IdTxtDialog dialog(record, parent);
  return dialog.exec() == QDialog::Accepted;
}

void RunEditIdTxtFile(QWidget* parent, EditIdTxtFlow& flow) {
  auto pick = [parent](const std::string& title, const std::string& start) {
    return PickFolder(parent, QString::fromStdString(title), QString::fromStdString(start));
  };
  auto edit = [parent](CIdTxt& record) { return IdTxtDialog::Edit(parent, record); };
  EditIdTxtFlow::Result result = flow.Run(pick, edit);
  if (result.outcome == EditIdTxtFlow::Outcome::WriteFailed) {
    QMessageBox::warning(
        parent, IdTxtEditForm::kCaption,
        QString::fromStdString("Cannot write " + result.path + ": " + std::strerror(result.error)));
  }
}

}  // namespace brisko
