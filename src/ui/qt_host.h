#pragma once
// The station's host in the window: QTimer timers, processEvents() as the message pump, the
// exit dialog and the main window's log and progress.
#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <chrono>
#include <map>
#include <memory>

#include "app/host.h"

namespace brisko {

class Station;
class MainWindow;
class CExitDlg;

class QtHost : public QObject, public Host {
  Q_OBJECT
 public:
  QtHost();
  ~QtHost() override;

  void SetStation(Station* station) { m_station = station; }
  void SetWindow(MainWindow* window) { m_window = window; }

  void StartLoopTimer(int periodMs) override;
  void StopLoopTimer() override;
  bool StartActionTimer(unsigned id, int64_t delayMs) override;
  void StopActionTimer(unsigned id) override;
  void DispatchPendingEvents() override;
  std::time_t Now() override { return std::time(nullptr); }
  ExitChoice ShowExitDialog() override;
  bool PowerOff(const std::string& command) override;
  void ShowLogLine(const std::string& text) override;
  void ShowProgress(int pos, int range, const std::string& actionText,
                    const std::string& statusText) override;
  void Quit() override;
  void ShowBarcodeSummary(const std::string& summary) override;
  void ShowPrinterState(const std::string& text) override;
  bool EditIdTxt(CIdTxt& record) override;

  // A warning that must not stop anything (the log folder cannot be written): a box that does
  // not block, shown over the window; a later notice replaces the text of one still open.
  void ShowNotice(const std::string& caption, const std::string& text);
  QMessageBox* Notice() const { return m_notice; }
  // A shutdown signal answers an open "Exit Workflow ?" with Exit.
  void AnswerExitDialogWithExit();

  bool LoopTimerActive() const { return m_loopTimer.isActive(); }
  bool ActionTimerActive(unsigned id) const;

 private:
  Station* m_station = nullptr;
  MainWindow* m_window = nullptr;
  QTimer m_loopTimer;
  std::map<unsigned, std::unique_ptr<QTimer>> m_actionTimers;
  QPointer<QMessageBox> m_notice;
  QPointer<CExitDlg> m_exitDialog;
  std::chrono::steady_clock::time_point m_lastDispatch{};
};

}  // namespace brisko
