#include "ui/exit_dialog.h"

#include <QHBoxLayout>
#include <QPushButton>

namespace brisko {

CExitDlg::CExitDlg(QWidget* parent) : QDialog(parent) {
  setWindowTitle("Exit Workflow ?");
  m_exit = new QPushButton("Exit", this);
  m_cancel = new QPushButton("Cancel", this);
  m_shutDown = new QPushButton("Exit and ShutDown Computer", this);
  auto* row = new QHBoxLayout(this);
  row->addWidget(m_exit);
  row->addWidget(m_cancel);
  row->addWidget(m_shutDown);
  m_cancel->setDefault(true);
  connect(m_exit, &QPushButton::clicked, this, [this] {
    m_choice = ExitChoice::Exit;
    accept();
  });
  connect(m_cancel, &QPushButton::clicked, this, [this] {
    m_choice = ExitChoice::Cancel;
    reject();
  });
  connect(m_shutDown, &QPushButton::clicked, this, [this] {
    m_choice = ExitChoice::ExitAndShutDown;
    accept();
  });
}

QPushButton* CExitDlg::ChoiceFromCaption(const QString& caption) const {
  for (QPushButton* b : {m_exit, m_cancel, m_shutDown})
    if (b->text() == caption) return b;
  return nullptr;
}

ExitChoice CExitDlg::Ask(QWidget* parent) {
  CExitDlg dlg(parent);
  dlg.exec();
  return dlg.Choice();
}

}  // namespace brisko
