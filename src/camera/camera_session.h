#pragma once
// One camera opened for the station. libgphoto2 blocks for as long as a camera takes, so every
// call runs on the session's own worker thread while the caller waits with a time limit and
// keeps its window's events going (`pump`). A call that overruns its limit kills the session:
// it is never used again, and its thread is left to end whenever the camera lets it.
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "camera/camera_backend.h"
#include "support/content_hash.h"

namespace brisko {

struct CameraLimits {
  int openMs = 20000;    // opening a camera (a USB camera may take a few seconds)
  int callMs = 15000;    // any call without a byte of progress for this long
  int detectMs = 10000;  // looking for cameras on the buses
  // A camera that is not there is looked for at most this often (bus scans cost time).
  int lookEveryMs = 2000;
};

using CameraPump = std::function<void()>;

class CameraSession {
 public:
  CameraSession(std::shared_ptr<CameraBackend> backend, CameraInfo info, CameraLimits limits);
  ~CameraSession();
  CameraSession(const CameraSession&) = delete;
  CameraSession& operator=(const CameraSession&) = delete;

  const CameraInfo& Info() const { return m_info; }
  // A call overran its limit or the camera went away: the session is not used again.
  bool Dead() const;
  bool HasEvents() const { return m_events; }
  bool CanUpload() const { return m_uploads; }
  // The opened camera's serial number (empty: it gives none).
  const std::string& Serial() const { return m_serial; }

  CameraStatus Open(const CameraPump& pump);
  CameraStatus ListFolder(const std::string& folder, std::vector<std::string>& files,
                          std::vector<std::string>& folders, const CameraPump& pump);
  CameraStatus Stat(const std::string& folder, const std::string& name, CameraFileStat& stat,
                    const CameraPump& pump);
  // Writes the file to `fd` from its current offset. After a failure or an overrun what the
  // descriptor received is partial; the caller discards it. `hasher`, when given, sees every byte
  // as it is written (shared: a worker given up on may still be writing).
  CameraStatus Download(const std::string& folder, const std::string& name, int fd, const CameraPump& pump,
                        std::shared_ptr<ContentHasher> hasher = nullptr);
  CameraStatus Delete(const std::string& folder, const std::string& name, const CameraPump& pump);
  CameraStatus Upload(const std::string& folder, const std::string& name, const std::string& data,
                      const CameraPump& pump);
  CameraStatus WaitForEvent(int timeoutMs, CameraEvent& event, const CameraPump& pump);
  CameraStatus ForgetCache(const CameraPump& pump);

  // Looks for cameras with the same time limit, on a thread of its own.
  static CameraStatus Detect(const std::shared_ptr<CameraBackend>& backend, const CameraLimits& limits,
                             std::vector<CameraInfo>& cameras, const CameraPump& pump);

  struct Worker;

 private:
  CameraStatus Call(std::function<CameraStatus(CameraDevice&)> work, int limitMs, const CameraPump& pump);

  std::shared_ptr<Worker> m_worker;
  CameraInfo m_info;
  CameraLimits m_limits;
  bool m_events = false;
  bool m_uploads = false;
  std::string m_serial;
  bool m_refusesDeletes = false;  // a delete asked twice failed twice
};

}  // namespace brisko
