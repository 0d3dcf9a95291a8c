#pragma once
// One configured workflow step as the station keeps it: the stored settings, the schedule's
// state, and where a run of it starts. What happens in a run is the run's (engine/runs); what
// an action remembers between its runs is the station's (ActionMemory).
#include <cstdint>
#include <string>

#include "engine/runs/action_run.h"
#include "engine/settings/action_settings.h"

namespace brisko {

class Action : public ActionSettings {
 public:
  // Every field gets its default; the source and destination folders default to the temp
  // folder (created when missing) and the action takes the next timer id.
  explicit Action(RunHost& host);
  virtual ~Action();
  Action(const Action&) = delete;
  Action& operator=(const Action&) = delete;

  RunHost& Host() const { return *m_host; }

  // Read from / write to section "Action_<index>" in the store. Both return 1.
  int Load(int index);
  int Save(int index);
  // Copies every stored field (templates, GPS areas and custom fields by value); runtime
  // fields (pending flag, timers, last run) stay as they are.
  void CopyFrom(const Action& other);

  // Adds GetDescription() + " " + text to the action log.
  void LogMessage(const std::string& text) const;

  // The station's entry point for every kind of run (continuous pass, Run Once, command,
  // barcode, Time timer, Startup, Shutdown): the caller sets m_bRunPending as its schedule
  // requires; the entry test then decides whether the action starts. Returns the result of
  // the type's operation, false when the action did not start.
  bool Run();
  // The entry test alone: enabled, pending, no shell operation in progress; Startup disarms
  // itself; Interval checks and stamps m_tLastRun. True when the work should start.
  bool EntryTest();
  // A run of this action, with the station's memory of it: for one pass, or for one of the
  // station's calls between passes (recovery, print settling, upload state).
  ActionRun MakeRun() const;

  // ---- Schedule state (never stored) ----
  int32_t m_bRunPending = 0;
  uint32_t m_uiTimerHandle = 0;
  uint32_t m_uiTimerId = 0;
  int64_t m_tLastRun = 0;

 private:
  RunHost* m_host;
};

}  // namespace brisko
