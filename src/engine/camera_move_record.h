#pragma once
// The record of photos moved off a camera whose copies are being placed: written durably into
// the temp folder before the first copy takes its final name, removed once the photos are
// deleted on the camera. A crash in between leaves the record; the next pass with the camera
// there deletes on the camera exactly the photos whose copies are in place, so a photo is
// neither lost nor doubled.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

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
  };
  std::string action;
  std::string camera;  // the source text, "camera:usb:001,004"
  std::vector<Entry> entries;
};

inline constexpr const char* kCameraMoveRecordSuffix = ".brisko-camera-move";
inline constexpr size_t kMaxCameraMoveRecordBytes = 4 * 1024 * 1024;

std::string FormatCameraMoveRecord(const CameraMoveRecord& record);
// False for anything that is not a complete, well-formed record. Bounded by the input size.
bool ParseCameraMoveRecord(std::string_view text, CameraMoveRecord& record);

// One record file, locked for as long as this object holds it, so another station sharing the
// temp folder never acts on a move this one is still making.
class CameraMoveJournal {
 public:
  explicit CameraMoveJournal(std::string tempFolder);
  ~CameraMoveJournal();
  CameraMoveJournal(const CameraMoveJournal&) = delete;
  CameraMoveJournal& operator=(const CameraMoveJournal&) = delete;

  // Writes (or replaces) the record durably. False (with *err) when it is not on disk.
  bool Write(const CameraMoveRecord& record, int* err = nullptr);
  void Remove();
  // Lets go of the record without removing it (it stays for recovery).
  void Keep();

  // The records in the temp folder of `action` on `camera` that no live process holds; each is
  // taken over (locked) by a journal in `journals`.
  static void Claim(const std::string& tempFolder, const std::string& action, const std::string& camera,
                    std::vector<CameraMoveRecord>& records,
                    std::vector<std::unique_ptr<CameraMoveJournal>>& journals);

 private:
  std::string m_folder;
  std::string m_path;
  int m_lockFd = -1;
};

}  // namespace brisko
