#pragma once
// What the station asks of a camera, in front of libgphoto2 so that tests can put in a camera
// that misbehaves. Every call here may block for as long as the camera takes; CameraSession
// runs them on a worker thread with a time limit.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace brisko {

struct CameraInfo {
  std::string model;  // "Canon EOS 5D", "Directory Browse"
  std::string port;   // "usb:001,004", "disk:/PATH"
};

struct CameraStatus {
  enum class Kind {
    Ok,
    Gone,         // the camera does not answer or is no longer there
    Busy,         // another program holds the device (the desktop mounted it)
    NotFound,     // no such file or folder on the camera
    Unsupported,  // the camera cannot do this (events, uploads, deletes)
    Timeout,      // the call overran its time limit; the session is dead
    Failed,
  };
  Kind kind = Kind::Ok;
  std::string text;  // the library's words, for the log
  bool Ok() const { return kind == Kind::Ok; }
  static CameraStatus Make(Kind kind, std::string text) { return {kind, std::move(text)}; }
};

struct CameraFileStat {
  uint64_t size = 0;
  int64_t modTime = 0;  // seconds since 1970; 0 when the camera gives none
};

struct CameraEvent {
  enum class Kind { None, FileAdded, FolderAdded, Other };
  Kind kind = Kind::None;
  std::string folder;
  std::string name;
};

// One opened camera. Used from one thread at a time.
class CameraDevice {
 public:
  virtual ~CameraDevice() = default;
  virtual CameraStatus ListFolder(const std::string& folder, std::vector<std::string>& files,
                                  std::vector<std::string>& folders) = 0;
  virtual CameraStatus Stat(const std::string& folder, const std::string& name, CameraFileStat& stat) = 0;
  // Hands the file's bytes to `sink` as they arrive; a false return from `sink` stops the
  // transfer (Failed).
  virtual CameraStatus Download(const std::string& folder, const std::string& name,
                                const std::function<bool(const char* data, size_t size)>& sink) = 0;
  virtual CameraStatus Delete(const std::string& folder, const std::string& name) = 0;
  virtual CameraStatus Upload(const std::string& folder, const std::string& name,
                              const std::string& data) = 0;
  // Waits up to `timeoutMs` for the camera's next event (None after the wait).
  virtual CameraStatus WaitForEvent(int timeoutMs, CameraEvent& event) = 0;
  // Drops what the library remembers of the camera's files, so the next listing reads them
  // afresh (a folder browsed on disk changes under it).
  virtual CameraStatus ForgetCache() { return {}; }
  // Whether the camera takes files at all (nothing on it is removed to make room when not).
  virtual bool CanUpload() const { return false; }
  // Whether new shots are announced by events (a folder browsed on disk has none).
  virtual bool HasEvents() const = 0;
  // The body's serial number where the camera gives one: another camera on the same port is
  // another source. Empty when unknown.
  virtual std::string Serial() const { return {}; }
};

class CameraBackend {
 public:
  virtual ~CameraBackend() = default;
  // The cameras on USB and other buses; never a disk: port (Directory Browse folders, mounted
  // cards): those are folders.
  virtual CameraStatus Detect(std::vector<CameraInfo>& cameras) = 0;
  virtual CameraStatus Open(const CameraInfo& camera, std::unique_ptr<CameraDevice>& device) = 0;
};

// The real cameras, through libgphoto2.
std::shared_ptr<CameraBackend> MakeGphotoBackend();

}  // namespace brisko
