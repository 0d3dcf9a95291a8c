#include "ui/password_dialogs.h"

#include <QDialogButtonBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>

#include "support/settings_store.h"

namespace brisko {
namespace {

// The stored texts use CR LF line ends; a label wants plain line feeds.
QString DisplayText(const std::string& text) {
  return QString::fromStdString(text).replace("\r\n", "\n");
}

QLineEdit* MaskedEdit(QWidget* parent) {
  auto* edit = new QLineEdit(parent);
  edit->setEchoMode(QLineEdit::Password);
  return edit;
}

}  // namespace

CChangePasswordDlg::CChangePasswordDlg(SettingsStore& store, QWidget* parent)
    : QDialog(parent), m_form(store) {
  setWindowTitle(ChangePasswordForm::kCaption);
  m_existing = MaskedEdit(this);
  m_new = MaskedEdit(this);
  m_confirm = MaskedEdit(this);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  auto* grid = new QGridLayout(this);
  grid->addWidget(new QLabel(ChangePasswordForm::kExistingLabel, this), 0, 0);
  grid->addWidget(m_existing, 0, 1);
  grid->addWidget(new QLabel(ChangePasswordForm::kNewLabel, this), 1, 0);
  grid->addWidget(m_new, 1, 1);
  grid->addWidget(new QLabel(ChangePasswordForm::kConfirmLabel, this), 2, 0);
  grid->addWidget(m_confirm, 2, 1);
  grid->addWidget(buttons, 3, 0, 1, 2);
  connect(buttons, &QDialogButtonBox::accepted, this, &CChangePasswordDlg::OnOk);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
}

void CChangePasswordDlg::OnOk() {
  m_form.SetExisting(m_existing->text().toStdString());
  m_form.SetNew(m_new->text().toStdString());
  m_form.SetConfirm(m_confirm->text().toStdString());
  const std::string message = m_form.Accept();
  if (message.empty()) {
    accept();
    return;
  }
  QMessageBox::warning(this, windowTitle(), QString::fromStdString(message));
}

CEnterPasswordDlg::CEnterPasswordDlg(SettingsStore& store, QWidget* parent)
    : QDialog(parent), m_store(store), m_form(store) {
  m_prompt = new QLabel(this);
  m_edit = MaskedEdit(this);
  m_third = new QPushButton(this);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  buttons->addButton(m_third, QDialogButtonBox::ActionRole);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(m_prompt);
  layout->addWidget(m_edit);
  layout->addWidget(buttons);
  connect(buttons, &QDialogButtonBox::accepted, this, &CEnterPasswordDlg::OnOk);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  connect(m_third, &QPushButton::clicked, this, &CEnterPasswordDlg::OnThirdButton);
  Refresh();
}

void CEnterPasswordDlg::Refresh() {
  m_form.Refresh();
  setWindowTitle(QString::fromStdString(m_form.Caption()));
  m_third->setText(QString::fromStdString(m_form.ThirdButtonText()));
  m_prompt->setText(DisplayText(m_form.Prompt()));
  m_edit->setEnabled(m_form.InputEnabled());
  if (!m_form.InputEnabled()) m_edit->clear();
  m_edit->setFocus();
}

void CEnterPasswordDlg::OnOk() {
  m_form.SetInput(m_edit->text().toStdString());
  // A wrong password is not reported: the dialog stays open with the text as typed.
  if (m_form.Accept()) accept();
}

void CEnterPasswordDlg::OnThirdButton() {
  CChangePasswordDlg change(m_store, this);
  change.exec();
  Refresh();
}

PasswordPrompt& ConfirmPasswordHook() {
  static PasswordPrompt hook;
  return hook;
}

bool ConfirmPassword(QWidget* parent, SettingsStore& store) {
  if (const PasswordPrompt& hook = ConfirmPasswordHook()) return hook(parent, store);
  CEnterPasswordDlg dialog(store, parent);
  return dialog.exec() == QDialog::Accepted;
}

}  // namespace brisko
