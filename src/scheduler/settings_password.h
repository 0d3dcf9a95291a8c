#pragma once
// The optional settings password: the text value "ps" in section "Settings", stored as
// entered so that backups from other stations restore their password too. Empty or missing
// means no password. The form models hold the rules of the two password dialogs; the
// window only binds widgets to them.
#include <string>

namespace brisko {

class SettingsStore;

inline constexpr const char* kPasswordSection = "Settings";
inline constexpr const char* kPasswordEntry = "ps";

std::string GetSettingsPassword(SettingsStore& store);

// "Enter Password" / "No Password Set": OK succeeds only when the input equals the stored
// password exactly; a wrong password is not reported, the dialog simply stays open.
class EnterPasswordForm {
 public:
  static constexpr const char* kCaptionSet = "Enter Password";
  static constexpr const char* kCaptionNotSet = "No Password Set";
  static constexpr const char* kChangeButton = "Change password...";
  static constexpr const char* kCreateButton = "Create password...";
  static constexpr const char* kPromptSet = "\r\nPlease enter password:";
  static constexpr const char* kPromptNotSet =
      "No password is set.\r\nCreate one or press OK to leave blank.";

  explicit EnterPasswordForm(SettingsStore& store);

  // Reads the stored password again: on opening and after the change dialog has closed.
  void Refresh();

  const std::string& Caption() const { return m_caption; }
  const std::string& ThirdButtonText() const { return m_thirdButton; }
  const std::string& Prompt() const { return m_prompt; }
  bool InputEnabled() const { return m_inputEnabled; }
  const std::string& Input() const { return m_input; }
  // Ignored while the input box is disabled (no password set).
  void SetInput(const std::string& text);

  // OK: true when the dialog ends with OK.
  bool Accept() const;

 private:
  SettingsStore& m_store;
  std::string m_caption;
  std::string m_thirdButton;
  std::string m_prompt;
  bool m_inputEnabled = false;
  std::string m_input;
};

// "Change Password": the existing password must match, the new one be typed twice.
class ChangePasswordForm {
 public:
  static constexpr const char* kCaption = "Change Password";
  static constexpr const char* kExistingLabel = "Existing Password:";
  static constexpr const char* kNewLabel = "New Password:";
  static constexpr const char* kConfirmLabel = "Confirm Password:";
  static constexpr const char* kExistingWrong = "The existing password is incorrect";
  static constexpr const char* kMismatch = "The new password and confirm passwords don't match!";
  static constexpr const char* kNotStored = "The new password could not be stored";

  explicit ChangePasswordForm(SettingsStore& store) : m_store(store) {}

  void SetExisting(const std::string& text) { m_existing = text; }
  void SetNew(const std::string& text) { m_new = text; }
  void SetConfirm(const std::string& text) { m_confirm = text; }

  // OK: stores the new password (an empty one removes the protection) and returns an empty
  // text, the dialog closes; otherwise returns the message to show, the dialog stays open.
  std::string Accept();

 private:
  SettingsStore& m_store;
  std::string m_existing;
  std::string m_new;
  std::string m_confirm;
};

}  // namespace brisko
