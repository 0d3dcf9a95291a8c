#pragma once
// The scanner text-capture dialog: stays on top and keeps the focus in its box so that a
// scanner's keystrokes always land there; "exit" closes it.
#include <QDialog>

#include "scheduler/barcode.h"

class QLineEdit;
class QPushButton;
class QTimer;

namespace brisko {

class ScannerDialog : public QDialog {
  Q_OBJECT
 public:
  // `parse` is the main window's ParseBarcode (slots, summary, Barcode Scan actions).
  ScannerDialog(ScannerInputForm::ParseFn parse, QWidget* parent = nullptr);

  QLineEdit* Box() const { return m_box; }
  QPushButton* OkButton() const { return m_ok; }

 protected:
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;

 private:
  void OnOk();
  void OnFocusTick();

  ScannerInputForm m_form;
  QLineEdit* m_box = nullptr;
  QPushButton* m_ok = nullptr;
  QTimer* m_focusTimer = nullptr;
};

}  // namespace brisko
