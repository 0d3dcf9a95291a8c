#include "engine/action.h"

#include <cstdio>

#include "engine/action_fields.h"
#include "engine/selection_cache.h"
#include "support/settings_store.h"

namespace brisko {

namespace {

const char* const kActionTypeNames[kNumActionTypes] = {
    "Delete Files",      "Move Files",      "Copy Files",      "Move Files from Media",
    "Delete Subfolders", "Move Subfolders", "Copy Subfolders", "Create Image with PLT",
    "Print Files",       "Upload Files"};

const char* const kScheduleNames[kNumScheduleTypes] = {"Continuous", "Shutdown",   "Time",        "Interval",
                                                       "Startup",    "On Command", "Barcode Scan"};

const char* const kScheduleCaptions[kNumScheduleTypes] = {
    "Continuous", "At Shutdown", "At this Time:",  "At this Interval:",
    "At Start",   "On Command:", "Barcode Scanned"};

const char* const kAgeUnitNames[] = {"mins", "hours", "days", "secs"};
const char* const kFrequencyNames[] = {"hour", "day", "month", "use template"};

// Takes the next per-action timer id, never one of the station's own ids.
uint32_t TakeTimerId(StationValues& values) {
  uint32_t id;
  do {
    id = values.g_uiNextActionTimerId++;
  } while (id < kFirstActionTimerId || id == kRunLoopTimerId);
  return id;
}

}  // namespace

const char* ActionTypeName(int type) {
  return type >= 0 && type < kNumActionTypes ? kActionTypeNames[type] : "Undefined action";
}

const char* ScheduleTypeName(int type) {
  return type >= 0 && type < kNumScheduleTypes ? kScheduleNames[type] : "";
}

const char* ScheduleTypeCaption(int type) {
  return type >= 0 && type < kNumScheduleTypes ? kScheduleCaptions[type] : "";
}

const char* FileAgeUnitsName(int units) {
  return units >= 0 && units < 4 ? kAgeUnitNames[units] : "";
}

const char* SubfolderFrequencyName(int frequency) {
  return frequency >= 0 && frequency < 4 ? kFrequencyNames[frequency] : "";
}

std::string ActionSectionName(int index) {
  return "Action_" + std::to_string(index);
}

Action::Action(RunHost& host) : m_host(&host) {
  for (const ActionField& field : ActionFields()) {
    if (auto m = std::get_if<int32_t Action::*>(&field.member))
      this->*(*m) = static_cast<int32_t>(field.fresh);
    if (auto m = std::get_if<uint32_t Action::*>(&field.member))
      this->*(*m) = static_cast<uint32_t>(field.fresh);
    if (auto m = std::get_if<std::string Action::*>(&field.member)) this->*(*m) = field.freshText;
  }
  m_SubfolderTemplate.AddComponent(2);
  m_strSourceFolder = GetTempFolder();
  m_strDestFolder = m_strSourceFolder;
  m_uiTimerId = TakeTimerId(host.Values());
}

Action::~Action() {
  if (m_uiTimerHandle != 0) m_host->KillActionTimer(m_uiTimerHandle);
}

int Action::Save(int index) {
  SettingsStore& store = m_host->Store();
  const std::string section = ActionSectionName(index);
  for (const ActionField& field : ActionFields()) {
    if (auto m = std::get_if<int32_t Action::*>(&field.member))
      store.WriteProfileInt(section, field.key, this->*(*m));
    if (auto m = std::get_if<uint32_t Action::*>(&field.member))
      store.WriteProfileInt(section, field.key, static_cast<int>(this->*(*m)));
    if (auto m = std::get_if<std::string Action::*>(&field.member))
      store.WriteProfileString(section, field.key, this->*(*m));
    if (auto part = std::get_if<ActionPart>(&field.member); part && part->save)
      part->save(*this, store, section);
  }
  return 1;
}

int Action::Load(int index) {
  SettingsStore& store = m_host->Store();
  const std::string section = ActionSectionName(index);
  for (const ActionField& field : ActionFields()) {
    const int stored = static_cast<int>(field.stored);
    if (auto m = std::get_if<int32_t Action::*>(&field.member))
      this->*(*m) = store.GetProfileInt(section, field.key, stored);
    if (auto m = std::get_if<uint32_t Action::*>(&field.member))
      this->*(*m) = static_cast<uint32_t>(store.GetProfileInt(section, field.key, stored));
    if (auto m = std::get_if<std::string Action::*>(&field.member))
      this->*(*m) = store.GetProfileString(section, field.key, field.storedText ? field.storedText : section);
    if (auto part = std::get_if<ActionPart>(&field.member); part && part->load)
      part->load(*this, store, section);
  }
  return 1;
}

void Action::CopyFrom(const Action& other) {
  for (const ActionField& field : ActionFields()) {
    if (auto m = std::get_if<int32_t Action::*>(&field.member)) this->*(*m) = other.*(*m);
    if (auto m = std::get_if<uint32_t Action::*>(&field.member)) this->*(*m) = other.*(*m);
    if (auto m = std::get_if<std::string Action::*>(&field.member)) this->*(*m) = other.*(*m);
    if (auto part = std::get_if<ActionPart>(&field.member); part && part->copy) part->copy(*this, other);
  }
  m_pIdTxt = nullptr;
}

std::string Action::GetTypeName() const {
  return ActionTypeName(m_iType);
}

std::string Action::GetDescription() const {
  return m_strName + " (" + GetTypeName() + ")";
}

void Action::LogMessage(const std::string& text) const {
  // Said for every file of a large pass: the description is built once per name and type.
  if (m_logPrefix.empty() || m_logPrefixName != m_strName || m_logPrefixType != m_iType) {
    m_logPrefix = GetDescription() + " ";
    m_logPrefixName = m_strName;
    m_logPrefixType = m_iType;
  }
  m_host->AddToLog(m_logPrefix + text);
}

}  // namespace brisko
