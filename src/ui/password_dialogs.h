#pragma once
// "Enter Password" / "No Password Set" and "Change Password": widgets bound to the form
// models of the settings password, which hold every rule.
#include <QDialog>
#include <functional>

#include "scheduler/settings_password.h"

class QLabel;
class QLineEdit;
class QPushButton;

namespace brisko {

class SettingsStore;

class CChangePasswordDlg : public QDialog {
  Q_OBJECT
 public:
  explicit CChangePasswordDlg(SettingsStore& store, QWidget* parent = nullptr);

  QLineEdit* ExistingEdit() const { return m_existing; }
  QLineEdit* NewEdit() const { return m_new; }
  QLineEdit* ConfirmEdit() const { return m_confirm; }

 private:
  void OnOk();

  ChangePasswordForm m_form;
  QLineEdit* m_existing;
  QLineEdit* m_new;
  QLineEdit* m_confirm;
};

class CEnterPasswordDlg : public QDialog {
  Q_OBJECT
 public:
  explicit CEnterPasswordDlg(SettingsStore& store, QWidget* parent = nullptr);

  QLineEdit* PasswordEdit() const { return m_edit; }
  QPushButton* ThirdButton() const { return m_third; }
  QLabel* PromptLabel() const { return m_prompt; }

 private:
  void Refresh();
  void OnOk();
  void OnThirdButton();

  SettingsStore& m_store;
  EnterPasswordForm m_form;
  QLabel* m_prompt;
  QLineEdit* m_edit;
  QPushButton* m_third;
};

// True when the user confirmed the password (the enter dialog ended with OK); callers run
// the guarded command only then.
bool ConfirmPassword(QWidget* parent, SettingsStore& store);

// Replaces the prompt, for tests of the commands it guards; empty restores the dialog.
using PasswordPrompt = std::function<bool(QWidget* parent, SettingsStore& store)>;
PasswordPrompt& ConfirmPasswordHook();

}  // namespace brisko
