#include "ui/qt_host.h"

#include <QCoreApplication>
#include <QPushButton>

#include "app/power_off.h"
#include "app/station.h"
#include "ui/exit_dialog.h"
#include "ui/id_txt_dialog.h"
#include "ui/main_window.h"

namespace brisko {

QtHost::QtHost() {
  connect(&m_loopTimer, &QTimer::timeout, this, [this] {
    if (m_station) m_station->OnLoopTimer();
  });
}

QtHost::~QtHost() = default;

void QtHost::StartLoopTimer(int periodMs) {
  m_loopTimer.start(periodMs);
}

void QtHost::StopLoopTimer() {
  m_loopTimer.stop();
}

bool QtHost::StartActionTimer(unsigned id, int64_t delayMs) {
  if (delayMs < 0 || delayMs > std::numeric_limits<int>::max()) return false;
  auto& timer = m_actionTimers[id];
  if (!timer) {
    timer = std::make_unique<QTimer>();
    // A coarse timer may fire minutes early over a day.
    timer->setTimerType(Qt::PreciseTimer);
    connect(timer.get(), &QTimer::timeout, this, [this, id] {
      if (m_station) m_station->OnActionTimer(id);
    });
  }
  timer->start(static_cast<int>(delayMs));
  return true;
}

void QtHost::StopActionTimer(unsigned id) {
  auto it = m_actionTimers.find(id);
  if (it == m_actionTimers.end()) return;
  it->second->stop();
  // The timer may be the sender of the signal being handled: delete it later.
  it->second.release()->deleteLater();
  m_actionTimers.erase(it);
}

bool QtHost::ActionTimerActive(unsigned id) const {
  auto it = m_actionTimers.find(id);
  return it != m_actionTimers.end() && it->second->isActive();
}

void QtHost::DispatchPendingEvents() {
  const auto now = std::chrono::steady_clock::now();
  if (now - m_lastDispatch < std::chrono::milliseconds(kDispatchEveryMs)) return;
  m_lastDispatch = now;
  QCoreApplication::processEvents();
}

ExitChoice QtHost::ShowExitDialog() {
  CExitDlg dlg(m_window);
  m_exitDialog = &dlg;
  dlg.exec();
  return dlg.Choice();
}

void QtHost::AnswerExitDialogWithExit() {
  if (m_exitDialog) m_exitDialog->ExitButton()->click();
}

bool QtHost::PowerOff(const std::string& command) {
  return RunCommandAndWait(command);
}

void QtHost::ShowLogLine(const std::string& text) {
  if (m_window) m_window->AddLogLine(QString::fromStdString(text));
}

void QtHost::ShowProgress(int pos, int range, const std::string& actionText, const std::string& statusText) {
  if (m_window)
    m_window->SetProgress(pos, range, QString::fromStdString(actionText), QString::fromStdString(statusText));
}

void QtHost::Quit() {
  if (m_window) m_window->CloseForGood();
  QCoreApplication::quit();
}

}  // namespace brisko

namespace brisko {

void QtHost::ShowBarcodeSummary(const std::string& summary) {
  if (m_window) m_window->SetBarcodeSummary(QString::fromStdString(summary));
}

void QtHost::ShowPrinterState(const std::string& text) {
  if (m_window) m_window->SetPrinterState(QString::fromStdString(text));
}

void QtHost::ShowNotice(const std::string& caption, const std::string& text) {
  if (!m_notice) {
    m_notice = new QMessageBox(QMessageBox::Warning, QString(), QString(), QMessageBox::Ok, m_window);
    m_notice->setAttribute(Qt::WA_DeleteOnClose);
    m_notice->setWindowModality(Qt::NonModal);
  }
  m_notice->setWindowTitle(QString::fromStdString(caption));
  m_notice->setText(QString::fromStdString(text));
  m_notice->show();  // never exec(): the run that logged goes on
}

bool QtHost::EditIdTxt(CIdTxt& record) {
  return IdTxtDialog::Edit(m_window, record);
}

}  // namespace brisko
