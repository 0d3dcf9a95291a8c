#pragma once
// An action's stored fields by their store value names, as text: what "actions show" prints and
// what "actions add/set NAME=VALUE" changes. A value goes into the "Modify Action" form control
// that shows it, so the editor's own rules (its OK checks, the checks a type forces) decide, and
// a refusal carries the editor's reason.
#include <optional>
#include <string>
#include <vector>

#include "engine/action/action.h"

namespace brisko {

class ActionForm;

struct FieldLine {
  std::string name;   // the store value name
  std::string value;  // as text, in the form NAME=VALUE takes it back
  std::string meaning;
  bool settable = true;
};

// Every stored field of the action in store order; the templates as their lists
// (m_ComponentArray=4,14,2 and m_StaticTextArray_0=...), the counters as the station's.
std::vector<FieldLine> DescribeActionFields(const Action& action);

// What a stored value means, "" for a name that is not an action's field.
std::string FieldMeaning(const std::string& name);

// "Move Files from Media", "3" or "move files from media": the type's number; nullopt otherwise.
std::optional<int> ParseActionType(const std::string& text);

struct FieldAssignment {
  std::string name;
  std::string value;
};
// "NAME=VALUE" (the name may not be empty); nullopt without "=".
std::optional<FieldAssignment> ParseFieldAssignment(const std::string& text);

// Applies the assignments to the action the form edits, in order, then presses OK. Returns the
// reason when a name is unknown, a value does not fit its field, the editor refuses the action,
// or the editor would store another value than the one asked for (a field the type has no use
// for). On a refusal the action may be partly changed: edit a copy.
std::optional<std::string> ApplyFieldAssignments(ActionForm& form,
                                                 const std::vector<FieldAssignment>& fields);

}  // namespace brisko
