#pragma once
// What a run of an action needs from the station that owns it. The station (app/) implements
// this; tests use a small fake. Everything here runs on the one main thread.
#include <array>
#include <cstdint>
#include <ctime>
#include <map>
#include <memory>
#include <string>

#include "engine/base/card_source.h"

namespace brisko {

class SettingsStore;
class Logger;
class CIdTxt;
class CameraPool;
class PrintDesk;
class RcloneDaemon;
class Action;
struct ActionMemory;

// Temp folder when none is configured or the configured one cannot be created. /var/tmp
// survives a reboot: a failed move can leave a photo there.
inline constexpr const char* kDefaultTempPath = "/var/tmp/brisko_temp/";

// Timer ids the station uses itself; action timer ids never take them.
inline constexpr uint32_t kRunLoopTimerId = 1134;
inline constexpr uint32_t kScannerFocusTimerId = 100;
inline constexpr uint32_t kFirstActionTimerId = 200;

// The process-wide values. The station owns one instance for its whole life; the names are
// the ones stored and logged elsewhere.
struct StationValues {
  int32_t m_iFileCounter = 1;
  int32_t m_iBatchCounter = 1;
  std::string m_TempPath = kDefaultTempPath;
  // Where temp files go when m_TempPath cannot be made; tests point it at their own folder.
  std::string m_BuiltInTempPath = kDefaultTempPath;
  // The temp folder note last written to the action log ("" while the folder is usable).
  std::string m_tempFolderNote;
  bool g_bActionsRunning = false;
  int g_nShellOperationDepth = 0;  // shell-style file operations in progress
  uint32_t g_uiNextActionTimerId = kFirstActionTimerId;
  // person, group, venue, product, quantity, options 1 to 4, alpha
  std::array<std::string, 10> m_strBarcodeInputsArray;
  std::string m_strOperatorSelectedText;
  // Every custom BriskoExif field known from all actions (name -> last value merged in).
  std::map<std::string, std::string> m_knownCustomFields;
  // The cameras actions take photos from (made at the first camera source); tests put in
  // their own.
  std::shared_ptr<CameraPool> m_cameras;
  // The print service, job records and printer watches of Print Files actions (made at first
  // use); tests put in their own.
  std::shared_ptr<PrintDesk> m_printing;
  // Where "card:" sources look for cards; tests put in their own folders and mount table.
  CardPlaces m_cardPlaces = DefaultCardPlaces();
};

// An external program a run waits for: what the status board says while it runs.
struct ProgramWait {
  std::string program;
  std::string file;
  std::string action;  // the action's "NAME (TYPE)"
  int timeLimit = 0;   // seconds; 0: no limit
};

// Steps done to a photo on its way that write no action-log line of their own.
enum class PhotoStep { Tagged, Rotated };

class RunHost {
 public:
  virtual ~RunHost() = default;

  // One line to the on-screen action log and to the logger at level 2.
  virtual void AddToLog(const std::string& text) = 0;
  // Progress bar position/range, "Action:" and "Status:" texts; then dispatches pending
  // events, so timers, barcodes and commands can run nested inside a run.
  virtual void SetProgress(int position, int range, const std::string& actionText,
                           const std::string& statusText) = 0;
  virtual void DispatchPendingEvents() = 0;

  virtual StationValues& Values() = 0;
  virtual SettingsStore& Store() = 0;
  virtual Logger& GetLogger() = 0;

  // What the station remembers of an action between its runs: made at the first ask, kept until
  // the action is destroyed (it says so through ForgetMemory).
  virtual ActionMemory& MemoryOf(const Action& action) = 0;
  virtual void ForgetMemory(const Action& action) = 0;

  // The operator no longer wants to wait for an external program (exit or shutdown asked
  // for): the wait ends and the program is left running.
  virtual bool StopWaitingForProgram() const { return false; }
  // A pausing dialog (m_bDialogOpen) is up: runs stop before their next action.
  virtual bool IsDialogOpen() const { return false; }
  // Wall clock in seconds; a seam so that tests can drive ages and intervals.
  virtual std::time_t Now() const { return std::time(nullptr); }
  // Stops a running per-action Time timer (called when its action is destroyed).
  virtual void KillActionTimer(uint32_t timerHandle) { (void)timerHandle; }
  // A run starts waiting for an external program (`wait`), or the wait is over (nullptr).
  virtual void OnProgramWait(const ProgramWait* wait) { (void)wait; }
  // A photo was tagged or turned upright (for the day's counts).
  virtual void NotePhotoStep(PhotoStep step) { (void)step; }
  // The station's own rclone daemon, for Upload Files; nullptr where the host has none.
  virtual RcloneDaemon* Uploader() { return nullptr; }
  // Shows the ID.TXT editor on a batch's record after a Move Files from Media run; true on OK.
  virtual bool EditIdTxt(CIdTxt& record) {
    (void)record;
    return false;
  }
};

}  // namespace brisko
