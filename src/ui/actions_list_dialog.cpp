#include "ui/actions_list_dialog.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QMessageBox>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "app/station.h"
#include "scheduler/operator_lists.h"
#include "ui/command_names_dialog.h"
#include "ui/modify_action_dialog.h"
#include "ui/operator_text_dialog.h"
#include "ui/user_guide.h"

namespace brisko {

ModifyActionHook& ModifyActionEditor() {
  static ModifyActionHook hook;
  return hook;
}

ConfirmDeleteHook& ConfirmDeletePrompt() {
  static ConfirmDeleteHook hook;
  return hook;
}

namespace {

bool EditAction(QWidget* parent, Station& station, Action& action) {
  if (const ModifyActionHook& hook = ModifyActionEditor()) return hook(parent, station, action);
  return RunModifyActionDialog(parent, station, action);
}

bool ConfirmDelete(QWidget* parent, const QString& question) {
  if (const ConfirmDeleteHook& hook = ConfirmDeletePrompt()) return hook(parent, question);
  return QMessageBox::question(parent, ActionsListForm::kConfirmDeleteCaption, question,
                               QMessageBox::Yes | QMessageBox::No) != QMessageBox::No;
}

}  // namespace

CActionsDlg::CActionsDlg(Station& station, QWidget* parent)
    : QDialog(parent), m_station(station), m_form(station) {
  setWindowTitle(ActionsListForm::kCaption);
  m_list = new QTreeWidget(this);
  m_list->setColumnCount(4);
  m_list->setHeaderLabels({"Action", "Type", "Schedule", "State"});
  m_list->setRootIsDecorated(false);
  m_list->setSelectionMode(QAbstractItemView::SingleSelection);
  m_list->setAllColumnsShowFocus(true);
  m_list->header()->setSectionResizeMode(0, QHeaderView::Stretch);
  m_list->setAccessibleName("Actions");

  auto* side = new QVBoxLayout;
  auto addButton = [&](const char* caption, auto slot) {
    auto* button = new QPushButton(caption, this);
    button->setAutoDefault(false);
    connect(button, &QPushButton::clicked, this, slot);
    side->addWidget(button);
    return button;
  };
  auto editor = [this](Action& action) { return EditAction(this, m_station, action); };
  addButton("Add", [this, editor] { AfterOperation(m_form.Add(editor)); });
  addButton("Delete", [this] {
    AfterOperation(m_form.Delete([this](const std::string& question) {
      return ConfirmDelete(this, QString::fromStdString(question));
    }));
  });
  addButton("Edit", [this, editor] { AfterOperation(m_form.Edit(editor)); });
  addButton("Clone", [this] { AfterOperation(m_form.Clone()); });
  addButton("move up ", [this] { AfterOperation(m_form.MoveUp()); });
  addButton("move down", [this] { AfterOperation(m_form.MoveDown()); });
  side->addStretch(1);
  addButton("Help", [this] { OpenUserGuide(this, "actions-list"); });
  QPushButton* ok = addButton("OK", &QDialog::accept);
  ok->setDefault(true);
  addButton("Cancel", &QDialog::reject);

  m_operatorText = new QCheckBox("Enable operator selected text", this);
  m_operatorText->setChecked(m_form.EnableOperatorSelectedText());
  m_barcodeEntry = new QCheckBox("Enable bar code entry", this);
  m_barcodeEntry->setChecked(m_form.EnableBarcodeEntry());
  connect(m_operatorText, &QCheckBox::toggled, this,
          [this](bool on) { m_form.SetEnableOperatorSelectedText(on); });
  connect(m_barcodeEntry, &QCheckBox::toggled, this, [this](bool on) { m_form.SetEnableBarcodeEntry(on); });
  auto* configureText = new QPushButton("Configure operator selected text", this);
  auto* commandNames = new QPushButton("Edit command names", this);
  configureText->setAutoDefault(false);
  commandNames->setAutoDefault(false);
  connect(configureText, &QPushButton::clicked, this, [this] {
    if (auto strings = OperatorTextDialog::Edit(this, m_station.OperatorStrings())) {
      SaveOperatorSelectableStrings(m_station.Store(), *strings);
      // The drop-down is refilled when this editor closes with OK.
    }
  });
  connect(commandNames, &QPushButton::clicked, this, [this] {
    if (auto names = CommandNamesDialog::Edit(this, m_station.CommandNames()))
      m_station.SetCommandNames(*names);
  });

  auto* options = new QGridLayout;
  options->addWidget(m_operatorText, 0, 0);
  options->addWidget(configureText, 0, 1);
  options->addWidget(m_barcodeEntry, 1, 0);
  options->addWidget(commandNames, 1, 1);
  options->setColumnStretch(2, 1);

  auto* top = new QHBoxLayout;
  top->addWidget(m_list, 1);
  top->addLayout(side);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(top, 1);
  layout->addLayout(options);
  resize(720, 420);

  connect(m_list, &QTreeWidget::currentItemChanged, this,
          [this] { m_form.Select(m_list->indexOfTopLevelItem(m_list->currentItem())); });
  connect(m_list, &QTreeWidget::itemDoubleClicked, this,
          [this, editor] { AfterOperation(m_form.Edit(editor)); });
  Refill();
}

QPushButton* CActionsDlg::Button(const QString& caption) const {
  for (QPushButton* button : findChildren<QPushButton*>())
    if (button->text() == caption) return button;
  return nullptr;
}

QStringList CActionsDlg::RowTexts() const {
  QStringList rows;
  for (int i = 0; i < m_list->topLevelItemCount(); ++i) {
    QStringList columns;
    for (int c = 0; c < 4; ++c) columns << m_list->topLevelItem(i)->text(c);
    rows << columns.join('\t');
  }
  return rows;
}

void CActionsDlg::Refill() {
  const int selection = m_form.Selection();
  QSignalBlocker block(m_list);
  m_list->clear();
  for (const std::string& row : m_form.Rows()) {
    // A tab typed into a name must not shift the other columns.
    QStringList columns = QString::fromStdString(row).split('\t');
    while (columns.size() > 4) columns[0] += ' ' + columns.takeAt(1);
    auto* item = new QTreeWidgetItem(columns);
    m_list->addTopLevelItem(item);
  }
  for (int c = 1; c < 4; ++c) m_list->resizeColumnToContents(c);
  m_form.Select(selection);
  if (m_form.Selection() >= 0) m_list->setCurrentItem(m_list->topLevelItem(m_form.Selection()));
}

void CActionsDlg::AfterOperation(bool changed) {
  if (changed) Refill();
  m_list->setFocus();
}

}  // namespace brisko
