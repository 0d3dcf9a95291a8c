#pragma once
// The station: the application object. It owns the settings store, the logger, the action
// list and the process-wide values for the whole life of the process, runs the schedules and
// the exit sequence, and gives every run what it needs (RunHost). Everything around it (the
// window, the headless loop, tests) reaches it through Host.
//
// Nested runs: events are dispatched inside runs, so a nested dialog may reload or edit the
// action list while a run walks it. The station keeps that safe in two ways: an action taken
// off the list while any run is in progress is kept alive until the outermost run ends, and
// every walk stops before its next action once the list has changed under it. An action is
// never started inside its own run.
#include <array>
#include <cstdint>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "app/failure_log.h"
#include "app/host.h"
#include "app/status_page.h"
#include "app/status_reporter.h"
#include "engine/action/action.h"
#include "engine/base/run_host.h"
#include "engine/printing/paper_count.h"
#include "engine/printing/print_record.h"
#include "print/printer_watch.h"
#include "scheduler/operator_lists.h"
#include "scheduler/tone_sink.h"
#include "support/logger.h"
#include "support/settings_store.h"
#include "upload/rclone_daemon.h"

namespace brisko {

inline constexpr int kStartupCountdown = 5;
inline constexpr int kLoopPeriodMs = 1000;
inline constexpr int kNumCommands = 20;
inline constexpr int kMaxLogLines = 501;
inline constexpr const char* kProductName = "Brisko Event File Workflow";
inline constexpr const char* kDefaultPowerOffCommand = "systemctl poweroff";

class Station : public RunHost {
 public:
  explicit Station(Host& host);
  ~Station() override;
  Station(const Station&) = delete;
  Station& operator=(const Station&) = delete;

  // Start-up before the window: opens the store, configures the logger, sets the countdown.
  // `report` receives the store's note (created, or started afresh). False when no store
  // could be opened (the station then runs on defaults).
  bool Init(const std::string& storePath, std::string* report = nullptr,
            SettingsStore::Creation creation = SettingsStore::Creation::Allow);
  // What the window does when it opens: run continuously, load the settings, start the loop.
  void Open();
  // At start: clears half-written temporary files and finishes the moves a crash interrupted,
  // those of actions no longer listed as well.
  void RecoverInterruptedMoves();
  void RecoverOrphanedMoves();
  PrintRecovery PrintRecoveryOf(const std::string& temp);

  // ---- RunHost ----
  void AddToLog(const std::string& text) override;
  void SetProgress(int position, int range, const std::string& actionText,
                   const std::string& statusText) override;
  void DispatchPendingEvents() override;
  ActionMemory& MemoryOf(const Action& action) override { return m_memories.Of(action); }
  void ForgetMemory(const Action& action) override { m_memories.Forget(action); }
  StationValues& Values() override { return m_values; }
  SettingsStore& Store() override { return m_store; }
  Logger& GetLogger() override { return m_logger; }
  bool IsDialogOpen() const override { return m_dialogDepth > 0; }
  // Asking to exit (window closed, SIGTERM) is the operator's choice to stop waiting.
  bool StopWaitingForProgram() const override { return m_bShutdownRequested; }
  std::time_t Now() const override { return m_host.Now(); }
  void KillActionTimer(uint32_t timerHandle) override;
  bool EditIdTxt(CIdTxt& record) override { return m_host.EditIdTxt(record); }
  void NotePhotoStep(PhotoStep step) override;
  void OnProgramWait(const ProgramWait* wait) override;
  // Started at the first upload; its remotes are rclone's configuration (RCLONE_CONFIG, rclone's
  // default file, or the file "m_strRcloneConfig" of the settings names).
  RcloneDaemon* Uploader() override;

  // ---- Settings and the action list ----
  void LoadSettings();
  void LoadActions();
  void DeleteActionSectionsFrom(int first);
  // Saves every action with its list index, the count, and drops sections left beyond it.
  void SaveActions();
  void ArmSchedule(Action& action) { ArmSchedule(action, 0); }

  const std::vector<std::unique_ptr<Action>>& Actions() const { return m_actions; }
  // For list editors: every change of the list goes through these so that a run walking it
  // notices and a removed action outlives the run that may be using it.
  void AppendAction(std::unique_ptr<Action> action);
  std::unique_ptr<Action> NewAction() { return std::make_unique<Action>(*this); }
  void RemoveAction(size_t index);
  void MoveAction(size_t from, size_t to);
  // Puts an edited copy's fields into the listed action at `index`. An action in a run keeps its
  // fields to the end of that run: the copy then takes its place in the list and the running one
  // is retired, so the edit takes effect at its next pass, never mid-run.
  void ApplyEditedAction(size_t index, std::unique_ptr<Action> edited);
  void NoteActionListChanged() { ++m_listGeneration; }

  // ---- Events from the host ----
  void OnLoopTimer();
  void OnActionTimer(unsigned id);

  // ---- Runs started by hand ----
  void RunOnce();
  void RunBarcodeActions();
  void ExecuteCommand(int index);  // 0 to 19
  // ParseBarcode: a scanned text arrived (input box, scanner dialog, --barcode, another
  // start). Fills the barcode values, shows the summary and runs the Barcode Scan actions.
  void OnBarcodeText(const std::string& text);
  const std::string& BarcodeSummary() const { return m_barcodeSummary; }
  // Acknowledgement tones for scans; none by default (headless, tests).
  void SetToneSink(ToneSink* tones) { m_tones = tones; }

  void SetRunContinuously(bool on);
  bool RunContinuously() const { return m_bRunContinuously; }
  // Every way of closing the window ends here.
  void RequestShutdown();
  // SIGTERM/SIGINT (logout, system shutdown, kill): nobody is there to answer the exit
  // question, so the exit sequence runs as if "Exit" had been chosen.
  void RequestShutdownWithoutAsking();
  bool ExitsWithoutAsking() const { return m_bExitWithoutAsking; }
  bool ShutdownRequested() const { return m_bShutdownRequested; }
  bool ShutdownStarted() const { return m_bShutdownStarted; }
  bool IsRunInProgress() const { return m_runDepth > 0; }
  int Countdown() const { return m_countdown; }

  // Pausing dialogs ("Configure actions...", "About...", backup, restore): runs stop before
  // their next action and the countdown starts again when they close. Nesting is allowed.
  void BeginPausingDialog();
  void EndPausingDialog();

  // ---- Commands menu ----
  bool IsCommandEnabled(int index) const;
  std::string CommandName(int index) const;
  // "Manage Command Names" result: kept and written to the store.
  void SetCommandNames(const CommandNameArray& names);
  const CommandNameArray& CommandNames() const { return m_commandNames; }

  // The "Operator selected text:" drop-down.
  const std::vector<std::string>& OperatorStrings() const { return m_operatorStrings; }
  int OperatorIndex() const { return m_operatorIndex; }
  void ChooseOperatorText(int index);
  // Reloads the strings and selects the first (after "Configure actions..." closed with OK).
  void RefillOperatorTexts(bool clearWhenEmpty);

  bool EnableBarcodeEntry() const { return m_bEnableBarcodeEntry != 0; }
  bool EnableOperatorSelectedText() const { return m_bEnableOperatorSelectedText != 0; }
  // The list editor's check boxes: kept and written to "Settings" at once.
  void SetEnableBarcodeEntry(bool on);
  void SetEnableOperatorSelectedText(bool on);

  // The actions list editor pauses like every pausing dialog and, beyond that, holds back
  // Time actions whose timer fires meanwhile: they run when the editor closes, if they are
  // still listed, so no action runs while its list is being edited.
  void BeginEditingActions();
  void EndEditingActions();
  bool IsEditingActions() const { return m_editingActions; }

  // "Application settings" dialog result.
  void ApplyApplicationSettings(const std::string& logFolder, int level, int logToFile,
                                const std::string& tempPath);
  // "Settings"/"m_strPowerOffCommand", default "systemctl poweroff".
  std::string PowerOffCommand();

  // What the exit sequence saves, for one-shot runs too: every action (running the Shutdown
  // actions when asked), the count and the counters.
  void SaveAtExit(bool runShutdownActions);
  // Destroys every action and stops their timers.
  void ClearActions();

  // ---- Status page ----
  // Before Open: how to start the page and this run's command-line override.
  void SetStatusPageOptions(StatusPageOptions options);
  // Application settings: stores them and restarts the page (the override is dropped).
  bool ApplyStatusPageSettings(const StatusPageConfig& config, std::string* error);
  const StatusReporter& Status() const { return m_status; }
  // The printers the enabled Print Files actions use, as last asked (for the status page).
  std::vector<PrinterSnapshot> PrinterSnapshots() const;
  std::string StatusPageUrl() const { return m_status.Url(); }

  // ---- Paper ----
  // The queues the enabled Print Files actions print on (the default destination resolved).
  std::vector<std::string> PaperQueues();
  // The count offered when paper is loaded on `queue`: what was loaded there last time.
  int PaperPerLoad(const std::string& queue);
  // The operator loaded paper ("Paper loaded..." in the window, --paper-loaded): the count of
  // prints starts again. A load naming no queue goes to the station's only printer. One log line
  // says what was done or why nothing was.
  // A printer named must be one a Print Files action prints on. `answer` gets the line.
  bool PaperLoaded(const PaperLoad& load, std::string* answer = nullptr);

  // Seam for tests: replaces Action::Run (entry test and work) for every run.
  using ActionRunner = std::function<bool(Action&)>;
  void SetActionRunner(ActionRunner runner) { m_runner = std::move(runner); }

 private:
  class RunScope;
  void ArmSchedule(Action& action, std::time_t notBefore);
  void StopTimerOf(Action& action);
  void RetireAction(std::unique_ptr<Action> action);
  bool RunOne(Action& action);
  // Walks the list from the head; stops before an action once a pausing dialog is open,
  // (when asked) shutdown is requested, or the list changed.
  void Walk(bool stopOnShutdown, const std::function<void(Action&)>& each);
  bool IsListed(const Action* action) const;
  void ExitSequence();
  void StartStatusPage();
  // What the page shows when no action is working.
  StationState IdleState() const;
  void PublishState() { m_status.OnState(IdleState()); }
  // One line, as the failure log lets it through, to the page, the window and the log file.
  void WriteLogLine(const FailureLog::Line& line);
  void FlushFailureLines();
  void PublishActions();
  // Why an action cannot take photos from its source now ("" when it can), for the board.
  std::string SourceNote(const Action& action);
  // A camera whose photos are all in subfolders the action does not look into.
  bool CameraPhotosOutOfReach(const Action& action);
  void NoteCameraReach(const Action& action);
  // Keeps the watched printers in step with the enabled print actions; their news to the log
  // and the window's status line.
  void WatchPrinters();
  // While an enabled action takes photos from "card:": each card put in or taken out, once.
  void WatchCards();

  Host& m_host;
  SettingsStore m_store;
  Logger m_logger;
  StationValues m_values;
  CommandNameArray m_commandNames;
  std::vector<std::string> m_operatorStrings;
  int m_operatorIndex = -1;
  std::string m_barcodeSummary;
  ToneSink* m_tones = nullptr;
  int m_bEnableBarcodeEntry = 0;
  int m_bEnableOperatorSelectedText = 0;

  int m_countdown = kStartupCountdown;
  int m_dialogDepth = 0;
  bool m_bShutdownRequested = false;
  bool m_bShutdownStarted = false;
  bool m_bExitWithoutAsking = false;
  bool m_bRunContinuously = true;

  int m_runDepth = 0;
  bool m_editingActions = false;
  std::vector<unsigned> m_heldTimers;  // Time actions due while the list editor was open
  uint64_t m_listGeneration = 0;
  std::set<const Action*> m_inRun;
  // The actions whose runs are in progress, innermost last ("NAME (TYPE)").
  std::vector<std::string> m_running;
  std::map<std::string, int> m_printPhotos;  // queue -> photos waiting in its actions' folders
  std::time_t m_printPhotosAt = 0;
  std::map<uint32_t, std::time_t> m_timerTargets;  // timer id -> the moment it was armed for
  ActionRunner m_runner;

  // Before the actions: they forget their memories as they go.
  ActionMemories m_memories;
  std::vector<std::unique_ptr<Action>> m_actions;
  // Taken off the list during a run; destroyed when the outermost run ends.
  std::vector<std::unique_ptr<Action>> m_retired;
  std::unique_ptr<RcloneDaemon> m_rclone;

  // Keeps a photo that fails on every pass to one line.
  FailureLog m_failures;
  // Why an action's source cannot be used, by description ("" entries are not kept).
  std::map<std::string, std::string> m_sourceNotes;
  std::set<std::string> m_outOfReachSaid;  // descriptions whose camera note was logged

  std::string m_printerLine;          // shown in the window's status line
  std::vector<CardVolume> m_cardsIn;  // as WatchCards last saw them
  StatusPageOptions m_statusOptions;
  // Last: its page stops before anything it reports on goes.
  StatusReporter m_status;
};

}  // namespace brisko
