#pragma once
// The one recovery of every kind of durable record (moves, tag batches, camera moves, print jobs), run at
// start and at each pass, whether or not a record's card or camera is there now.
#include <string>

#include "engine/base/run_host.h"
#include "engine/records/camera_move_record.h"
#include "engine/records/move_journal.h"

namespace brisko {

struct PrintRecovery;

// Finishes what `how` owns of the records in `tempFolder` and holds back the placed copies of
// the records that must wait; `cameras` reaches the cameras of camera records (none: they wait).
// Returns how many photos were placed or finished.
int RecoverAll(const std::string& tempFolder, const MoveRecovery& how,
               const CameraRecovery* cameras = nullptr, const PrintRecovery* prints = nullptr);

// Removes the hidden temporary files and the rotator's scratch in `folder` (and, when `below`,
// in its subfolders, to a bound) that no live process owns: none that a record in `tempFolder`
// names, and only where the writer named in it is gone (the rotator's scratch: its lock is
// free). None of them is ever the only copy of a photo unless a record names it. Returns how
// many went.
int SweepDeadLeftovers(const std::string& tempFolder, const std::string& folder, bool below);

// The one rule that a placed copy of an unfinished record is held back from every action, for
// every station sharing `tempFolder`: a copy is held while a record there names it as a target
// (whoever wrote the record, live or dead) or this process holds it; a photo a waiting record
// names as its source, still as it was copied, is held too (the record finishes its move). AnyCopyHeld brings
// the view of the records up to date (cheaply: a record is read again only when it changed) and says whether
// CopyHeld can say yes to anything.
bool AnyCopyHeld(const std::string& tempFolder);
bool CopyHeld(const std::string& path);

// Reaches cameras through the station's camera pool (made when there is none yet).
CameraRecovery CameraRecoveryOf(RunHost& host);

}  // namespace brisko
