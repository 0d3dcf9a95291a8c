#include "ui/paper_dialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLineEdit>
#include <QSpinBox>

#include "app/station.h"
#include "engine/printing/paper_count.h"

namespace brisko {

PaperDialog::PaperDialog(Station& station, const std::vector<std::string>& queues, QWidget* parent)
    : QDialog(parent), m_station(station) {
  setWindowTitle(kCaption);
  m_printer = new QComboBox(this);
  m_printer->setAccessibleName("Printer");
  for (const std::string& q : queues) m_printer->addItem(QString::fromStdString(q));
  // No Print Files action yet: the operator names the queue.
  m_printer->setEditable(queues.empty());
  m_count = new QSpinBox(this);
  m_count->setAccessibleName("Prints the new paper gives");
  m_count->setRange(0, kMostPrintsPerLoad);
  m_counted = new QCheckBox("Count prints on this printer", this);
  m_counted->setAccessibleName(m_counted->text());
  m_counted->setChecked(true);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  auto* form = new QFormLayout(this);
  form->addRow("Printer:", m_printer);
  form->addRow("Prints the new paper gives:", m_count);
  form->addRow(m_counted);
  form->addRow(buttons);
  connect(m_printer, &QComboBox::currentTextChanged, this, &PaperDialog::ShowCountOf);
  connect(m_counted, &QCheckBox::toggled, m_count, &QWidget::setEnabled);
  connect(buttons, &QDialogButtonBox::accepted, this, [this] {
    if (!PlausibleQueueName(m_printer->currentText().toStdString())) return;
    accept();
  });
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  ShowCountOf(m_printer->currentText());
}

void PaperDialog::ShowCountOf(const QString& queue) {
  m_count->setValue(m_station.PaperPerLoad(queue.toStdString()));
}

void PaperDialog::Apply() {
  PaperLoad load{m_printer->currentText().toStdString(), m_counted->isChecked() ? m_count->value() : -1};
  m_station.PaperLoaded(load);
}

bool PaperDialog::Ask(Station& station, QWidget* parent) {
  PaperDialog dialog(station, station.PaperQueues(), parent);
  if (dialog.exec() != QDialog::Accepted) return false;
  dialog.Apply();
  return true;
}

}  // namespace brisko
