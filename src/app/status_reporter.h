#pragma once
// The station's side of the status page: keeps the board up to date from the action log,
// progress and state, and owns the running page. Everything here runs on the station's
// thread; the page's own thread only reads the board.
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/failure_log.h"
#include "app/status_page.h"
#include "app/status_snapshot.h"
#include "app/status_thumbnails.h"
#include "engine/base/run_host.h"

namespace brisko {

class Action;

// How many photos wait in the action's source folder (its file pattern, the folder itself, at
// most 20000 entries looked at), with the first `named` names in order added to `names`.
int CountSourcePhotos(const Action& action, std::vector<std::string>* names, size_t named);

class StatusReporter {
 public:
  StatusReporter();
  ~StatusReporter();
  StatusReporter(const StatusReporter&) = delete;
  StatusReporter& operator=(const StatusReporter&) = delete;

  const StatusBoard& Board() const { return m_board; }

  // A line as the action log shows it; `failure` marks it red, `newFailure` counts one more
  // failing photo today. Without the flags the line's own words decide.
  void OnLogLine(const std::string& text, std::time_t now);
  void OnLogLine(const std::string& text, std::time_t now, bool failure, bool newFailure);
  // An action started its work (passed its entry test), and ended it. Runs may nest; the
  // outermost is what the board says the station is busy with.
  void OnActionRun(const std::string& description, std::time_t now);
  void OnActionRunEnd();
  // A run waits for an external program (nullptr: no longer).
  void OnProgramWait(const ProgramWait* wait, std::time_t now);
  // The photos waiting in the sources of the enabled move actions while a run has taken
  // long; looked at no more than every 30 s, and only while the page runs.
  void RefreshHeldUp(const std::vector<std::unique_ptr<Action>>& actions, std::time_t now);
  // The actions table and the failures now, after a pass or a run; only while the page runs.
  // `sourceNotes` says, by action description, why a source cannot be used.
  void PublishActions(const std::vector<std::unique_ptr<Action>>& actions,
                      const std::vector<FailingItem>& failing,
                      const std::map<std::string, std::string>& sourceNotes, std::time_t now,
                      const std::map<std::string, std::string>& sourcesShown = {});
  // Steps that write no log line of their own (BriskoExif written, photo turned upright).
  void CountTagged(std::time_t now);
  void CountRotated(std::time_t now);
  void OnProgress(const std::string& action, int position, int range, const std::string& text);
  // The running action's work is over (or never showed progress): back to `state`.
  void OnState(StationState state);
  void OnPassEnd(std::time_t now);
  // The watched printers as last polled; the board changes only when they did.
  void OnPrinters(std::vector<PrinterSnapshot> printers);
  // Free space of each enabled action's destination; looked at no more than every 30 s unless
  // forced, and only while the page runs.
  void RefreshDestinations(const std::vector<std::unique_ptr<Action>>& actions, std::time_t now,
                           bool force = false);

  void SetStarter(StatusPageStarter starter) { m_starter = std::move(starter); }
  bool CanStart() const { return static_cast<bool>(m_starter); }
  // Stops a running page, then starts one with `config` (enabled or not). On failure
  // `error` says why and no page runs.
  bool Restart(const StatusPageConfig& config, std::string* error);
  void Stop() { m_server.reset(); }
  bool IsRunning() const { return m_server != nullptr; }
  std::string Url() const;

 private:
  void Count(std::time_t now, int StatusCounts::*field);

  struct ActionStats {
    std::time_t lastRun = 0;
    std::time_t lastSuccess = 0;
    int photosToday = 0;
    std::string day;
  };
  std::map<std::string, ActionStats, std::less<>> m_actionStats;  // by description
  std::vector<PrinterSnapshot> m_printers;

  StatusThumbnails m_thumbnails;
  StatusBoard m_board;
  StatusPageStarter m_starter;
  std::time_t m_lastSpaceCheck = 0;
  size_t m_followUps = 0;  // reason lines below the newest log line
  struct RecentShot {
    std::string key;    // folder and base name, in lower case
    std::string shown;  // the file its tile shows
  };
  std::deque<RecentShot> m_recentShots;  // the last shots placed, newest first
  int m_runDepth = 0;
  std::time_t m_busySince = 0;  // the outermost run's start, or the program's
  std::time_t m_lastHeldUpCheck = 0;
  StationState m_state = StationState::Paused;  // as last published
  // Last, so it stops reading the board before the board goes.
  std::unique_ptr<StatusPageServer> m_server;
};

}  // namespace brisko
