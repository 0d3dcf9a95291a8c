#pragma once
// "ID.TXT": views an identity record; "&Edit" turns it into an editor.
#include <QDialog>
#include <array>

#include "scheduler/id_txt_forms.h"

class QLineEdit;
class QPushButton;

namespace brisko {

class IdTxtDialog : public QDialog {
  Q_OBJECT
 public:
  IdTxtDialog(CIdTxt& record, QWidget* parent = nullptr);

  // Shows the dialog modally; true when it ended with OK after editing (the record changed).
  static bool Edit(QWidget* parent, CIdTxt& record);

  QPushButton* OkButton() const { return m_ok; }
  QPushButton* CancelButton() const { return m_cancel; }
  QPushButton* EditButton() const { return m_edit; }
  QLineEdit* Box(size_t index) const { return m_boxes.at(index); }

 private:
  void Refresh();
  void OnEdit();
  void OnOk();

  IdTxtEditForm m_form;
  std::array<QLineEdit*, 6> m_boxes{};
  QPushButton* m_ok = nullptr;
  QPushButton* m_cancel = nullptr;
  QPushButton* m_edit = nullptr;
};

// "Edit ID.TXT file...": the folder picker, the dialog, the write; a failed write is shown.
void RunEditIdTxtFile(QWidget* parent, EditIdTxtFlow& flow);

}  // namespace brisko
