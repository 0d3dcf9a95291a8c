#include "engine/action/action.h"

#include <cstdio>

#include "engine/action/action_fields.h"
#include "engine/base/run_support.h"
#include "support/settings_store.h"

namespace brisko {

namespace {

// Takes the next per-action timer id, never one of the station's own ids.
uint32_t TakeTimerId(StationValues& values) {
  uint32_t id;
  do {
    id = values.g_uiNextActionTimerId++;
  } while (id < kFirstActionTimerId || id == kRunLoopTimerId);
  return id;
}

}  // namespace

Action::Action(RunHost& host) : m_host(&host) {
  for (const ActionField& field : ActionFields()) {
    if (auto m = std::get_if<int32_t Action::*>(&field.member))
      this->*(*m) = static_cast<int32_t>(field.fresh);
    if (auto m = std::get_if<uint32_t Action::*>(&field.member))
      this->*(*m) = static_cast<uint32_t>(field.fresh);
    if (auto m = std::get_if<std::string Action::*>(&field.member)) this->*(*m) = field.freshText;
  }
  m_SubfolderTemplate.AddComponent(2);
  m_strSourceFolder = ResolveTempFolder(host);
  m_strDestFolder = m_strSourceFolder;
  m_uiTimerId = TakeTimerId(host.Values());
}

Action::~Action() {
  if (m_uiTimerHandle != 0) m_host->KillActionTimer(m_uiTimerHandle);
  m_host->ForgetMemory(*this);
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
}

void Action::LogMessage(const std::string& text) const {
  m_host->AddToLog(GetDescription() + " " + text);
}

ActionRun Action::MakeRun() const {
  return ActionRun(*this, *m_host, m_host->MemoryOf(*this));
}

bool Action::Run() {
  if (!EntryTest()) return false;
  // Held to the unit's range in the action itself, as the editor shows it next.
  m_iFileAge = CappedFileAge(m_iFileAge, m_iFileAgeUnits);
  ActionMemory& memory = m_host->MemoryOf(*this);
  const bool result = MakeRun().RunBody();
  // An action that runs once per start has no next pass to save work for.
  if ((m_iScheduleType == kScheduleStartup || m_iScheduleType == kScheduleShutdown) && memory.passDepth == 0)
    memory.selection.reset();
  return result;
}

bool Action::EntryTest() {
  StationValues& values = m_host->Values();
  if (!m_bEnabled || !m_bRunPending || values.g_nShellOperationDepth > 0) return false;
  if (m_iScheduleType == kScheduleStartup) m_bRunPending = 0;
  if (m_iScheduleType == kScheduleInterval) {
    const int64_t now = m_host->Now();
    const int64_t minutes = (now - m_tLastRun) / 60;
    if (minutes < static_cast<int64_t>(m_uiRunInterval)) return false;
    m_tLastRun = now;
  }
  return true;
}

}  // namespace brisko
