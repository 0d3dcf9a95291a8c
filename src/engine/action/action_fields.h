#pragma once
// Every stored field of an action, once: its store value name, its member, its defaults, the
// types that keep it and the editor control that shows it. Save, load, copy, a new action's
// defaults and the editor's plain fields are driven from this table, so a new option is one
// row (plus its widget in the dialog).
#include <cstdint>
#include <span>
#include <string>
#include <variant>

#include "engine/action/action.h"
#include "engine/action/action_form.h"

namespace brisko {

class SettingsStore;

// A bit per action type (1 << type).
using ActionTypes = uint32_t;
inline constexpr ActionTypes kAllActionTypes = (1u << kNumActionTypes) - 1;
constexpr ActionTypes TypeBit(int type) {
  return 1u << type;
}

// A stored part that is more than one value (templates, custom fields, GPS areas, the shared
// counters) or reads an older form: it saves, loads and copies itself. nullptr: nothing to do.
struct ActionPart {
  void (*save)(const Action& action, SettingsStore& store, const std::string& section);
  void (*load)(Action& action, SettingsStore& store, const std::string& section);
  void (*copy)(Action& action, const Action& other);
};

struct ActionField {
  const char* key;  // the store value name (the member's name)
  std::variant<int32_t Action::*, uint32_t Action::*, std::string Action::*, ActionPart> member;
  int64_t fresh = 0;   // a new action's value
  int64_t stored = 0;  // the value when the store has none
  // As above, for texts; a stored text without a default (nullptr) becomes the section's name.
  const char* freshText = "";
  const char* storedText = "";
  ActionTypes types = kAllActionTypes;  // the editor writes 0 for a type that has no use for it
  // The editor's control holding the value as it is (a check box or a text), if any.
  std::variant<std::monostate, bool ActionForm::*, std::string ActionForm::*> control = {};
};

// In store order.
std::span<const ActionField> ActionFields();

}  // namespace brisko
