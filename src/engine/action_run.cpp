// The run of an action: the entry test and the file selection.
#include "engine/action.h"

namespace brisko {

bool Action::Run() {
  if (!EntryTest()) return false;
  return RunBody();
}

bool Action::EntryTest() {
  StationValues& values = m_host->Values();
  if (!m_bEnabled || !m_bRunPending || values.g_nShellOperationDepth > 0) return false;
  if (m_iScheduleType == kScheduleStartup) m_bRunPending = 0;
  if (m_iScheduleType == kScheduleInterval) {
    const int64_t now = m_host->Now();
    const int64_t minutes = (now - m_tLastRun) / 60;
    if (minutes < static_cast<int64_t>(m_uiRunInterval)) return false;
    m_tLastRun = now;
  }
  return true;
}

bool Action::RunBody() {
  // The file selection and the type operations are being built.
  return true;
}

void Action::AddSubfolders(const std::string&, std::vector<std::string>&) {}

}  // namespace brisko
