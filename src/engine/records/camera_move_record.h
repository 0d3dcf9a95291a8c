#pragma once
// The record of photos moved off a camera whose copies are being placed: written durably into
// the temp folder before the first copy takes its final name, removed once the photos are
// deleted on the camera. A crash in between leaves the record; the next pass with the camera
// there deletes on the camera exactly the photos whose copies are in place, so a photo is
// neither lost nor doubled.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "camera/camera_session.h"
#include "engine/base/record_file.h"
#include "engine/records/move_journal.h"
#include "support/content_hash.h"

namespace brisko {

struct CameraMoveRecord {
  struct Entry {
    std::string folder;  // on the camera
    std::string name;
    uint64_t size = 0;  // the photo on the camera as it was downloaded
    int64_t modTime = 0;
    std::string target;      // its copy's final name
    std::string temp;        // the copy until it is placed
    uint64_t copyInode = 0;  // the copy as written (0: placed by a copy, the inode is new)
    uint64_t copySize = 0;
    // A checked copy: the hash of the bytes as they were written. Recovery reads the copy in
    // place back and deletes on the camera only when it matches.
    ContentHash hash = {};
  };
  std::string action;
  std::string camera;  // the source text, "camera:usb:001,004"
  std::vector<Entry> entries;
  // Whole shots (RAW+JPEG pairs and their sidecars): recovery finishes every entry, so a shot
  // is never left part on the camera and part in place.
  bool together = false;
  // A Directory Browse camera's folder as it was: its volume (VolumeIdOf) and device. The empty
  // mount point a card leaves, or another card in its place, is not the camera.
  uint64_t volume = 0;
  uint64_t device = 0;
  // The camera's serial number (empty: it gives none): another body on the same port is not it.
  std::string serial;
};

inline constexpr const char* kCameraMoveRecordSuffix = ".brisko-camera-move";
inline constexpr size_t kMaxCameraMoveRecordBytes = 4 * 1024 * 1024;

std::string FormatCameraMoveRecord(const CameraMoveRecord& record);
// False for anything that is not a complete, well-formed record. Bounded by the input size.
bool ParseCameraMoveRecord(std::string_view text, CameraMoveRecord& record);

// Photos a move copied that stayed on a camera refusing deletes, in the record form above: no
// pass copies them again, after a restart too.
inline constexpr const char* kCameraKeptSuffix = ".brisko-camera-kept";

// One record file, locked for as long as this object holds it, so another station sharing the
// temp folder never acts on a move this one is still making.
class CameraMoveJournal {
 public:
  explicit CameraMoveJournal(std::string tempFolder);
  // Recovery: a record it claimed.
  explicit CameraMoveJournal(HeldRecord&& claimed);

  // Writes (or replaces) the record durably. False (with *err) when it is not on disk.
  bool Write(const CameraMoveRecord& record, int* err = nullptr);
  void Remove();
  // Lets go of the record without removing it (it stays for recovery); `placed` are the copies
  // it placed, held back from every action until the record is finished.
  void Keep(std::vector<std::string> placed = {});
  const std::string& Path() const { return m_record.Path(); }

 private:
  HeldRecord m_record;
};

// How recovery reaches a record's camera (its source text, "camera:usb:001,004").
struct CameraRecovery {
  // The camera's session, or null when it is not there now.
  std::function<CameraSession*(const std::string& camera)> connect;
  // Whether the camera is there (a file it says it lacks is then surely gone from it).
  std::function<bool(const std::string& camera)> present;
  CameraPump pump;
};

// Finishes the camera move records in `tempFolder` that `how` owns and no live process holds:
// a photo whose copy is proven in place (its inode number, or its bytes against the download)
// is deleted on the camera; a download never placed goes while the photo is still on the
// camera. While the camera is away the record stays and its placed copies are held back.
// Returns how many photos were finished.
int RecoverCameraMoves(const std::string& tempFolder, const MoveRecovery& how, const CameraRecovery& cameras);

// The photos of `action` on `camera` kept on the camera after their copies were made.
std::vector<CameraMoveRecord::Entry> ReadKeptOnCamera(const std::string& tempFolder,
                                                      const std::string& action, const std::string& camera);
// The photos of `action` on `camera` named by its unfinished move records: no run takes them
// again before their recovery settles them (copied meanwhile, a photo would be there twice).
std::vector<CameraMoveRecord::Entry> ReadUnfinishedOnCamera(const std::string& tempFolder,
                                                            const std::string& action,
                                                            const std::string& camera);
// Adds `entries` to what is kept (those for which `stillThere` says no are forgotten). False when
// it cannot be written.
bool NoteKeptOnCamera(const std::string& tempFolder, const std::string& action, const std::string& camera,
                      const std::vector<CameraMoveRecord::Entry>& entries,
                      const std::function<bool(const CameraMoveRecord::Entry&)>& stillThere);

}  // namespace brisko
