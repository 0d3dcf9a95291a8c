#pragma once
#include <QDialog>

#include "app/host.h"

class QPushButton;

namespace brisko {

// "Exit Workflow ?": Exit, Cancel, Exit and ShutDown Computer. Closing it counts as Cancel.
class CExitDlg : public QDialog {
  Q_OBJECT
 public:
  explicit CExitDlg(QWidget* parent = nullptr);
  ExitChoice Choice() const { return m_choice; }
  QPushButton* ExitButton() const { return m_exit; }
  QPushButton* CancelButton() const { return m_cancel; }
  QPushButton* ShutDownButton() const { return m_shutDown; }
  QPushButton* ChoiceFromCaption(const QString& caption) const;

  static ExitChoice Ask(QWidget* parent);

 private:
  ExitChoice m_choice = ExitChoice::Cancel;
  QPushButton* m_exit;
  QPushButton* m_cancel;
  QPushButton* m_shutDown;
};

}  // namespace brisko
