#pragma once
// "Brisko Event File Workflow Settings": the actions list editor behind "Configure actions...".
// The rules are ActionsListForm's; this binds the widgets. The caller pauses the station
// around it and applies OK or Cancel (Accept/Reject of the form).
#include <QDialog>
#include <functional>

#include "app/actions_list_form.h"

class QCheckBox;
class QPushButton;
class QTreeWidget;

namespace brisko {

class Action;
class Station;

// Opens "Modify Action" for an action; true when it was changed (OK). The main window sets
// it to the real editor; tests stand in for it. Unset, nothing is edited.
using ModifyActionHook = std::function<bool(QWidget* parent, Station& station, Action& action)>;
ModifyActionHook& ModifyActionEditor();

// The "Confirm Delete" Yes/No box; false only for No. Set by tests; unset, the real box asks.
using ConfirmDeleteHook = std::function<bool(QWidget* parent, const QString& question)>;
ConfirmDeleteHook& ConfirmDeletePrompt();

class CActionsDlg : public QDialog {
  Q_OBJECT
 public:
  explicit CActionsDlg(Station& station, QWidget* parent = nullptr);

  ActionsListForm& Form() { return m_form; }
  QTreeWidget* List() const { return m_list; }
  QPushButton* Button(const QString& caption) const;
  QCheckBox* OperatorTextBox() const { return m_operatorText; }
  QCheckBox* BarcodeEntryBox() const { return m_barcodeEntry; }
  // The rows as shown, tab-separated like the form's.
  QStringList RowTexts() const;

 private:
  void Refill();
  void AfterOperation(bool changed);

  Station& m_station;
  ActionsListForm m_form;
  QTreeWidget* m_list;
  QCheckBox* m_operatorText;
  QCheckBox* m_barcodeEntry;
};

}  // namespace brisko
