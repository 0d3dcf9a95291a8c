#include "app/actions_list_form.h"

#include "app/station.h"
#include "engine/action/action.h"

namespace brisko {

ActionsListForm::ActionsListForm(Station& station) : m_station(station) {}

std::string ActionsListForm::Row(const Action& action) {
  return action.m_strName + "\t" + ActionTypeName(action.m_iType) + "\t" +
         ScheduleTypeName(action.m_iScheduleType) + "\t" + (action.m_bEnabled ? "Enabled" : "Disabled");
}

std::vector<std::string> ActionsListForm::Rows() const {
  std::vector<std::string> rows;
  for (const auto& action : m_station.Actions()) rows.push_back(Row(*action));
  return rows;
}

void ActionsListForm::Select(int index) {
  m_selection = (index >= 0 && size_t(index) < m_station.Actions().size()) ? index : -1;
}

bool ActionsListForm::HasSelection() const {
  return m_selection >= 0 && size_t(m_selection) < m_station.Actions().size();
}

bool ActionsListForm::Add(const Editor& edit) {
  std::unique_ptr<Action> action = m_station.NewAction();
  // A new action keeps shots together; one loaded without the value behaves as it always did.
  action->m_bKeepShotsTogether = 1;
  if (!edit(*action)) return false;
  Action& added = *action;
  m_station.AppendAction(std::move(action));
  m_station.ArmSchedule(added);
  return true;
}

bool ActionsListForm::Edit(const Editor& edit) {
  if (!HasSelection()) return false;
  Action& action = *m_station.Actions()[size_t(m_selection)];
  if (!edit(action)) return false;
  m_station.ArmSchedule(action);
  return true;
}

std::string ActionsListForm::DeleteQuestion(const Action& action) {
  return "Are you sure you want to delete the following action:\n '" + action.m_strName + "'";
}

bool ActionsListForm::Delete(const Confirm& confirm) {
  if (!HasSelection()) return false;
  if (!confirm(DeleteQuestion(*m_station.Actions()[size_t(m_selection)]))) return false;
  m_station.RemoveAction(size_t(m_selection));
  if (!HasSelection()) m_selection = -1;  // the last row went
  return true;
}

bool ActionsListForm::Clone() {
  if (!HasSelection()) return false;
  const Action& source = *m_station.Actions()[size_t(m_selection)];
  std::unique_ptr<Action> copy = m_station.NewAction();
  copy->CopyFrom(source);
  copy->m_bEnabled = 0;
  copy->m_strName = "Copy of " + source.m_strName;
  Action& added = *copy;
  m_station.AppendAction(std::move(copy));
  m_station.ArmSchedule(added);
  return true;
}

bool ActionsListForm::MoveUp() {
  if (!HasSelection() || m_selection < 1) return false;
  m_station.MoveAction(size_t(m_selection), size_t(m_selection - 1));
  --m_selection;
  return true;
}

bool ActionsListForm::MoveDown() {
  if (!HasSelection() || size_t(m_selection) + 1 >= m_station.Actions().size()) return false;
  m_station.MoveAction(size_t(m_selection), size_t(m_selection + 1));
  ++m_selection;
  return true;
}

bool ActionsListForm::EnableOperatorSelectedText() const {
  return m_station.EnableOperatorSelectedText();
}
bool ActionsListForm::EnableBarcodeEntry() const {
  return m_station.EnableBarcodeEntry();
}
void ActionsListForm::SetEnableOperatorSelectedText(bool on) {
  m_station.SetEnableOperatorSelectedText(on);
}
void ActionsListForm::SetEnableBarcodeEntry(bool on) {
  m_station.SetEnableBarcodeEntry(on);
}

void ActionsListForm::Accept() {
  m_station.SaveActions();
  m_station.RefillOperatorTexts(true);
}

void ActionsListForm::Reject() {
  m_station.LoadActions();
}

}  // namespace brisko
