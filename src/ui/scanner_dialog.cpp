#include "ui/scanner_dialog.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

namespace brisko {

ScannerDialog::ScannerDialog(ScannerInputForm::ParseFn parse, QWidget* parent)
    : QDialog(parent), m_form(std::move(parse)) {
  setWindowTitle(ScannerInputForm::kCaption);
  setWindowFlag(Qt::WindowStaysOnTopHint, true);
  m_box = new QLineEdit(this);
  m_ok = new QPushButton(ScannerInputForm::kOk, this);
  m_ok->setDefault(true);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(new QLabel(ScannerInputForm::kHint, this));
  layout->addWidget(new QLabel(ScannerInputForm::kLabel, this));
  auto* row = new QHBoxLayout;
  row->addWidget(m_box, 1);
  row->addWidget(m_ok);
  layout->addLayout(row);
  connect(m_ok, &QPushButton::clicked, this, &ScannerDialog::OnOk);
  m_focusTimer = new QTimer(this);
  m_focusTimer->setInterval(ScannerInputForm::kFocusTimerMs);
  connect(m_focusTimer, &QTimer::timeout, this, &ScannerDialog::OnFocusTick);
}

void ScannerDialog::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  m_focusTimer->start();
  m_box->setFocus();
}

void ScannerDialog::hideEvent(QHideEvent* event) {
  m_focusTimer->stop();
  QDialog::hideEvent(event);
}

void ScannerDialog::OnFocusTick() {
  if (!isActiveWindow()) {
    raise();
    activateWindow();
  }
  if (!m_box->hasFocus() && !m_ok->isDown()) m_box->setFocus();
}

void ScannerDialog::OnOk() {
  if (m_form.Submit(m_box->text().toStdString()) == ScannerInputForm::Outcome::Close) {
    accept();
    return;
  }
  m_box->clear();
  m_box->setFocus();
}

}  // namespace brisko
