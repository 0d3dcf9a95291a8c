#pragma once
// What the status page shows, as the station last published it. The station fills the board
// on its own thread; the page's thread only copies it, so a slow reader never holds up a run.
#include <atomic>
#include <cstdint>
#include <ctime>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "print/printer_watch.h"

namespace brisko {

inline constexpr size_t kStatusLogLines = 200;

enum class StationState { RunningContinuously, Paused, Running, Exiting };
// "running continuously", "paused", "running", "exiting".
const char* StationStateName(StationState state);

struct StatusLogLine {
  std::time_t time = 0;
  std::string text;
  bool failed = false;
};

struct StatusCounts {
  int moved = 0;
  int copied = 0;
  int checked = 0;  // of the moved and copied: read back from the disk and compared
  int deleted = 0;
  int tagged = 0;
  int rotated = 0;
  int picturesMade = 0;
  int pagesPrinted = 0;  // copies of the Print Files jobs done
  int failures = 0;
};

struct StatusDestination {
  std::string action;
  std::string folder;
  bool known = false;  // false when the folder cannot be looked at (missing, unmounted)
  uint64_t freeBytes = 0;
  uint64_t totalBytes = 0;
  bool low = false;
};

// A card source before a card is put in: nothing is wrong.
inline constexpr const char* kNoCardInNote = "no card in";

// One row of the actions table.
struct StatusActionRow {
  std::string name;
  std::string type;
  std::string schedule;
  bool enabled = true;
  std::string source;       // the folder or camera it takes photos from ("" for none)
  std::string sourceNote;   // why the source cannot be used, "" when it can
  bool sourceIdle = false;  // the note tells of a wait (no card in yet), not of a fault
  std::time_t lastRun = 0;
  std::time_t lastSuccess = 0;
  int photosToday = 0;
  std::time_t failingSince = 0;  // 0: not failing
  int failingPhotos = 0;
  std::string failingWhy;
  std::string upload;       // an Upload Files action's queue in one line, "" for other types
  bool uploadLate = false;  // a photo waits longer than the action allows
};

// Failures of one action for one reason, however many photos share it.
struct StatusFailureGroup {
  std::string action;  // the action's name
  std::string reason;
  std::string file;  // the photo when only one fails, else ""
  int photos = 0;
  int tries = 0;
  std::time_t since = 0;
  std::vector<std::string> files;  // the first few photos' names
  std::string check;               // what the operator should check, in plain words
};

// A photo lately placed, shown as a thumbnail.
struct StatusPlacedPhoto {
  uint64_t id = 0;  // the only name the page may ask for its thumbnail by
  std::string name;
  std::string action;
  std::time_t time = 0;
};

// What the station is busy with, so that a board never says "All well" while a run hangs.
struct StatusBusy {
  std::string action;        // the run in progress, "NAME (TYPE)"; "" when none
  std::time_t runSince = 0;  // when that run began; 0: none
  std::string program;       // the external program it waits for; "" when none
  std::string file;          // the photo handed to it
  std::time_t waitSince = 0;
  std::vector<std::string> heldUp;  // the first few photos waiting behind it
  int heldUpCount = 0;
};

// A run or a program that has taken longer than this turns the verdict from "All well".
inline constexpr std::time_t kStuckSeconds = 180;

// Under 5% or under 2 GB free.
bool IsLowSpace(uint64_t freeBytes, uint64_t totalBytes);

struct StatusSnapshot {
  uint64_t generation = 0;
  std::string name;
  std::string host;
  std::string version;
  StationState state = StationState::Paused;
  std::string action;  // the running action's description while one works
  int progressPosition = 0;
  int progressRange = 0;
  std::string progressText;
  std::deque<StatusLogLine> log;  // newest first, at most kStatusLogLines
  std::string day;                // local date the counts are for, YYYY-MM-DD
  StatusCounts today;
  std::vector<StatusDestination> destinations;
  std::time_t lastPass = 0;  // 0: none yet
  std::vector<StatusActionRow> actions;
  std::vector<StatusFailureGroup> failures;  // oldest first
  std::vector<StatusPlacedPhoto> placed;     // newest first
  std::vector<PrinterSnapshot> printers;     // of the enabled Print Files actions
  StatusBusy busy;
};

// The one-line verdict at the top of the page.
enum class VerdictLevel { Ok, Stuck, Failing, Stopped, Waiting };
struct StatusVerdict {
  VerdictLevel level = VerdictLevel::Ok;
  std::string text;
};
StatusVerdict MakeVerdict(const StatusSnapshot& s, std::time_t now);
// "Waiting since 11:02 for /usr/bin/enhance on IMG_0042.JPG (Send to app)" while a program
// runs, "" when none does.
std::string WaitingText(const StatusBusy& busy);
// "14 photos held up: a.jpg, b.jpg, c.jpg and 11 more", "" when none are known.
std::string HeldUpText(const StatusBusy& busy);

// Thumbnails of the photos listed in `placed`, for the page's thread.
class ThumbnailSource {
 public:
  virtual ~ThumbnailSource() = default;
  virtual bool Get(uint64_t id, std::string& jpeg) const = 0;
};

class StatusBoard {
 public:
  // Set once, before the page starts; outlives it.
  void SetThumbnails(const ThumbnailSource* thumbnails) { m_thumbnails = thumbnails; }
  const ThumbnailSource* Thumbnails() const { return m_thumbnails; }

  // Runs `edit` on the snapshot under the lock and marks it changed.
  template <class Edit>
  void Update(Edit&& edit) {
    std::lock_guard<std::mutex> lock(m_mutex);
    edit(m_snapshot);
    m_snapshot.generation = m_generation.load(std::memory_order_relaxed) + 1;
    m_generation.store(m_snapshot.generation, std::memory_order_release);
  }
  StatusSnapshot Copy() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_snapshot;
  }
  // Readers that cache what they made from a copy ask this first, without the lock.
  uint64_t Generation() const { return m_generation.load(std::memory_order_acquire); }

 private:
  mutable std::mutex m_mutex;
  StatusSnapshot m_snapshot;
  std::atomic<uint64_t> m_generation{0};
  const ThumbnailSource* m_thumbnails = nullptr;
};

// What an action-log line says happened, for today's counts. Action lines read
// "NAME (TYPE) TEXT"; failures begin "FAILED" or "Failed".
enum class LogLineKind { Other, Moved, Copied, Deleted, Rotated, PictureMade, Printed, Failure };
LogLineKind ClassifyLogLine(std::string_view line);
// The copies a Printed line names ("Printed file F (3 copies on Q), moved to G"); 1 when it names none.
int PrintedCopies(std::string_view line);

}  // namespace brisko
