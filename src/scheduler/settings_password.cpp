#include "scheduler/settings_password.h"

#include "support/settings_store.h"

namespace brisko {

std::string GetSettingsPassword(SettingsStore& store) {
  return store.GetProfileString(kPasswordSection, kPasswordEntry, "");
}

EnterPasswordForm::EnterPasswordForm(SettingsStore& store) : m_store(store) {
  Refresh();
}

void EnterPasswordForm::Refresh() {
  const bool set = !GetSettingsPassword(m_store).empty();
  m_caption = set ? kCaptionSet : kCaptionNotSet;
  m_thirdButton = set ? kChangeButton : kCreateButton;
  m_prompt = set ? kPromptSet : kPromptNotSet;
  m_inputEnabled = set;
  if (!set) m_input.clear();
}

void EnterPasswordForm::SetInput(const std::string& text) {
  if (m_inputEnabled) m_input = text;
}

bool EnterPasswordForm::Accept() const {
  // Compared with the stored value at the moment of OK, letter case included.
  return m_input == GetSettingsPassword(m_store);
}

std::string ChangePasswordForm::Accept() {
  if (m_existing != GetSettingsPassword(m_store)) return kExistingWrong;
  if (m_new != m_confirm) return kMismatch;
  // Reporting a failed write matters: the user would otherwise believe the station protected.
  if (!m_store.WriteProfileString(kPasswordSection, kPasswordEntry, m_new)) return kNotStored;
  return {};
}

}  // namespace brisko
