#pragma once
// The rules of the actions list editor ("Brisko Event File Workflow Settings"), without
// widgets: the rows it shows, Add, Edit, Delete, Clone, moving, the two enable flags, and
// what OK and Cancel do to the station's list and store. The dialog binds widgets to it.
#include <functional>
#include <string>
#include <vector>

namespace brisko {

class Action;
class Station;

class ActionsListForm {
 public:
  static constexpr const char* kCaption = "Brisko Event File Workflow Settings";
  static constexpr const char* kConfirmDeleteCaption = "Confirm Delete";

  // Edits an action ("Modify Action"); true on OK.
  using Editor = std::function<bool(Action&)>;
  // Asks a Yes/No question; false only for No.
  using Confirm = std::function<bool(const std::string& question)>;

  explicit ActionsListForm(Station& station);

  // One row per action in list order: name, type, schedule, "Enabled" or "Disabled",
  // tab-separated.
  std::vector<std::string> Rows() const;
  static std::string Row(const Action& action);

  // -1 for none. Every operation below works on the selection and keeps it on the same row
  // index afterwards (moves take it along).
  int Selection() const { return m_selection; }
  void Select(int index);

  // A new action with default values is edited; appended and armed on OK, dropped otherwise.
  bool Add(const Editor& edit);
  bool Edit(const Editor& edit);
  bool Delete(const Confirm& confirm);
  static std::string DeleteQuestion(const Action& action);
  // A disabled copy named "Copy of <name>", armed and appended.
  bool Clone();
  bool MoveUp();
  bool MoveDown();

  bool EnableOperatorSelectedText() const;
  bool EnableBarcodeEntry() const;
  // Written to the store at once, whichever button closes the editor.
  void SetEnableOperatorSelectedText(bool on);
  void SetEnableBarcodeEntry(bool on);

  // OK: every action saved in list order, the operator texts reloaded.
  void Accept();
  // Cancel: the edits are dropped and the actions reloaded from the store.
  void Reject();

 private:
  bool HasSelection() const;

  Station& m_station;
  int m_selection = -1;
};

}  // namespace brisko
