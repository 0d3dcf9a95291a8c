#pragma once
// A camera named in an action's Source Folder text, so stored actions, backups and the editor
// keep their format: "camera:" (the first camera found), "camera:usb:BUS,DEV" (the camera on
// that port, as gphoto2 --auto-detect prints it) or "camera:disk:/PATH" (the Directory Browse
// driver over a local folder: a camera without hardware).
#include <optional>
#include <string>
#include <string_view>

namespace brisko {

inline constexpr std::string_view kCameraPrefix = "camera:";
// Longer source texts are not camera names (bounded work on whatever a backup brings).
inline constexpr size_t kMaxCameraSourceBytes = 4096;

struct CameraSource {
  enum class Kind { First, Usb, Disk };
  Kind kind = Kind::First;
  // The libgphoto2 port: "" (any), "usb:001,004" or "disk:/PATH" (no trailing "/").
  std::string port;
  // The text as the log and the records name it: "camera:" + port.
  std::string Text() const { return std::string(kCameraPrefix) + port; }
};

// True when `text` names a camera (well formed or not): it starts with "camera:".
bool IsCameraSourceText(std::string_view text);

// The camera `text` names; none, with `error` saying why, for a broken name.
std::optional<CameraSource> ParseCameraSource(std::string_view text, std::string* error = nullptr);

// What an editor should warn of (not refuse: a folder may come later) for a source text: a
// Directory Browse camera whose folder does not exist or is not a folder. "" for none.
std::string CameraSourceWarning(std::string_view text);

}  // namespace brisko
