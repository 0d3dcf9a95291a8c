#pragma once
// The record of a move that is half done: written durably into the temp folder before a photo's
// source gives way to a temporary copy, removed once the photo is in place. After a crash or a
// power cut the next start (and every pass) finishes what the records describe.
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "engine/base/record_file.h"
#include "support/content_hash.h"
#include "support/file_identity.h"

namespace brisko {

// The last step the record stands for.
enum class MoveStep {
  Copying,  // a copy of `photo` is being made at `copy`; `photo` is removed after this record
  Placing,  // `photo` (a temp copy) is being moved to `target`
};

struct MoveRecord {
  MoveStep step = MoveStep::Copying;
  std::string action;          // the owning action's name
  std::string source;          // the listed file, for the log
  std::string photo;           // where the photo is while this step runs
  FileIdentity photoIdentity;  // Copying: `photo` as it was when the record was written
  std::string copy;            // Copying: the copy being made (in the temp folder)
  std::string scratch;         // Copying: another file the step may leave (in the temp folder)
  std::string folder;          // destination folder
  std::string name;            // file name at the destination
  bool rename = false;         // the name comes from the action's rename template
  bool overwrite = false;      // an existing target is replaced
  std::string target;          // Placing: the path the photo is moved to
};

inline constexpr const char* kMoveRecordSuffix = ".brisko-move";
// A record is a few paths; anything larger is not one of ours.
inline constexpr size_t kMaxMoveRecordBytes = 64 * 1024;

std::string FormatMoveRecord(const MoveRecord& record);
// False for anything that is not a complete, well-formed record. Bounded by the input size.
bool ParseMoveRecord(std::string_view text, MoveRecord& record);
// A name a record may give a photo at its destination: one file name, never a folder's.
bool ValidFileName(const std::string& name);

// The record of a batch of moves across file systems, written once every copy is durable under
// its hidden name and before the first is renamed into place; removed once the sources are gone.
struct MoveBatchRecord {
  struct Entry {
    std::string source;           // the listed file
    FileIdentity sourceIdentity;  // as it was copied
    std::string target;           // where the copy goes (a collision may give it "name (n).ext")
    FileIdentity copyIdentity;    // the copy under its hidden name
    std::string temp;             // that hidden name, beside the target
    // A checked copy: its source's hash. Recovery reads the copy in place back and removes the
    // source only when it matches (a copy that differs goes; the source stays).
    ContentHash hash = {};
  };
  std::string action;
  bool overwrite = false;
  std::vector<Entry> entries;
  // Whole shots (files that go together): recovery finishes every entry whose file is still
  // there rather than leaving the unplaced ones at their source, so no shot ends up split. An
  // entry of such a record may be a plain rename (no temp; the copy is the source itself), and
  // a copy may differ from its source (a turned or tagged JPEG): identities tell them.
  bool together = false;
};
// A full batch of ordinary paths fits many times over; a record that would not fit is not
// written (the batch then moves file by file).
inline constexpr size_t kMaxMoveBatchRecordBytes = 4 * 1024 * 1024;

std::string FormatMoveBatchRecord(const MoveBatchRecord& record);
// Adds to `waiting` the entry of `record` for `source`, naming `placed`, the name its copy took:
// every station then holds that copy while the entry waits for its source.
void KeepWaitingEntry(const MoveBatchRecord& record, const std::string& source, const std::string& placed,
                      MoveBatchRecord& waiting);
// False for anything that is not a complete, well-formed batch record. Bounded by the input size.
bool ParseMoveBatchRecord(std::string_view text, MoveBatchRecord& record);

// One move in progress: owns its record file while the move runs. The record is locked (flock)
// for as long as the journal holds it, so a station sharing the temp folder (or this one's own
// recovery) never takes the record of a move that a live process is still running; a crash
// releases the lock with the process.
class MoveJournal {
 public:
  explicit MoveJournal(std::string tempFolder);
  // Recovery: a record it claimed.
  explicit MoveJournal(HeldRecord&& claimed);

  // Writes (or replaces) the record with temp name, flush and rename. False when it is not on
  // disk; the caller then must not remove anything.
  bool Write(const MoveRecord& record, int* err = nullptr);
  bool Write(const MoveBatchRecord& record, int* err = nullptr);
  void Remove() { m_record.Remove(); }
  // Lets go of the record, which stays; `placed` are held back until it is finished.
  void Keep(std::vector<std::string> placed) { m_record.Keep(std::move(placed)); }
  bool Active() const { return m_record.Active(); }
  const std::string& Path() const { return m_record.Path(); }

  // Test seam: called at each step of a journaled move with the step's name.
  static void SetStepHookForTest(std::function<void(const char* step)> hook);
  static void Reached(const char* step);

 private:
  // The volume each source folder was noted on when first written: a later rewrite (the card
  // gone meanwhile) keeps it.
  void NoteVolumes(FileIdentity& identity, const std::string& path);
  HeldRecord m_record;
  std::map<std::string, uint64_t> m_volumes;
};

struct MoveRecovery {
  std::string owner;      // records of this action only ...
  bool anyOwner = false;  // ... or every record ...
  // ... or those this says are to be finished here (records of actions no longer there).
  std::function<bool(const std::string& action)> mine;
  bool Owns(const std::string& action) const { return mine ? mine(action) : anyOwner || action == owner; }
  // The destination name of a record whose name comes from the rename template ("" keeps it).
  std::function<std::string(const MoveRecord& record, const std::string& photo)> nameFor;
  // Does what the crash left undone on the photo in the temp folder (rotation, block); may
  // change the destination folder. Only for records in the copying step.
  std::function<void(const MoveRecord& record, const std::string& photo, std::string& folder)> finish;
  // Whether a pass of the owner takes a file of this name: a source renamed while the station
  // was down is looked for only among those (unset, as for a record of an unknown action: any).
  std::function<bool(const std::string& name)> takes;
  std::function<void(const std::string& text)> log;      // action log lines
  std::function<void(const std::string& path)> arrived;  // after a photo is placed
};

// Completes the unfinished move records (not the other kinds: see RecoverAll) in `tempFolder` whose lock it
// can get (a record locked by a live process is that process's move); returns how many photos were placed. A
// record whose source folder is not there (a card taken out) proves nothing about its source: it stays, and
// a later call finishes it once the folder is back.
int RecoverMoves(const std::string& tempFolder, const MoveRecovery& how);

// At start, before any move runs: removes half-written temporary files a crash left in the temp
// folder (never a photo: copies only take their names when complete). Another station may share
// the folder and be writing one right now, so only files untouched for `minAgeSeconds` go.
void SweepTempLeftovers(const std::string& tempFolder, int minAgeSeconds = 3600);

}  // namespace brisko
