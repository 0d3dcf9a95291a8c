#pragma once
// The cameras the station's actions use, one session per camera shared by every action that
// names it, and what was last listed on each. Says once when a camera comes and once when it
// goes, as a card that is put in and taken out.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "camera/camera_session.h"
#include "camera/camera_source.h"

namespace brisko {

// The files of a camera as the last listing (and the events since) found them.
struct CameraListing {
  struct File {
    std::string folder;  // "/DCIM/100CANON" ("/" for the top)
    std::string name;
    CameraFileStat stat;
  };
  bool valid = false;  // false: list the camera whole on the next pass
  std::vector<File> files;
  std::vector<std::string> folders;  // "/" first, each folder before its own subfolders
};

// A camera tree deeper or larger than this is not walked further (bounded work on a camera
// that reports nonsense).
inline constexpr int kMaxCameraFolderDepth = 32;
inline constexpr size_t kMaxCameraEntries = 200000;

class CameraPool {
 public:
  using Log = std::function<void(const std::string& line)>;

  explicit CameraPool(std::shared_ptr<CameraBackend> backend = nullptr, CameraLimits limits = {});
  ~CameraPool();

  // The open session for `source`, opening the camera when it was not open; nullptr while
  // there is none (absent, or held by another program: said once).
  CameraSession* Connect(const CameraSource& source, const CameraPump& pump, const Log& log);
  // The camera failed a call (gone, or stopped answering): its session is closed and
  // "Camera disconnected" said. The next Connect looks for it afresh.
  void Lost(const CameraSource& source, const Log& log);
  CameraListing& Listing(const CameraSource& source);
  // Whether the camera is still there as far as can be told without asking it: a file the
  // camera says is not there proves nothing when the camera itself has gone.
  bool Present(const CameraSource& source);

  // Brings `listing` up to date: the whole tree when it is not valid or the camera has no
  // events, else only the files its events announce. Not Ok: the camera failed.
  CameraStatus Refresh(const CameraSource& source, CameraSession& session, const CameraPump& pump);

  // The cameras on the buses now (the folder picker's "Cameras").
  CameraStatus Detect(std::vector<CameraInfo>& cameras, const CameraPump& pump);

  CameraLimits& Limits() { return m_limits; }
  const std::shared_ptr<CameraBackend>& Backend() const { return m_backend; }

 private:
  struct Slot {
    std::unique_ptr<CameraSession> session;
    CameraListing listing;
    std::string refusedSaid;  // the last "cannot be opened" line, said once
    int64_t lastLookMs = 0;
    // A Directory Browse folder as its session opened it: another file system there since (a
    // card taken out, put back, or another put in) is another camera, asked afresh.
    uint64_t diskDevice = 0;
    uint64_t diskVolume = 0;
  };
  Slot& SlotOf(const CameraSource& source) { return m_slots[source.Text()]; }

  std::shared_ptr<CameraBackend> m_backend;
  CameraLimits m_limits;
  std::map<std::string, Slot> m_slots;
};

// The line that says why a camera could not be opened and what to do about it.
std::string CameraRefusedLine(const CameraInfo& camera, const CameraStatus& status);

}  // namespace brisko
