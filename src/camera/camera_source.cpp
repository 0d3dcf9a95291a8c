#include "camera/camera_source.h"

#include <sys/stat.h>

namespace brisko {

namespace {

bool Fail(std::string* error, const char* why) {
  if (error) *error = why;
  return false;
}

// One to three decimal digits, given back as three ("1" -> "001").
bool UsbNumber(std::string_view text, std::string& out) {
  if (text.empty() || text.size() > 3) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  out = std::string(3 - text.size(), '0') + std::string(text);
  return true;
}

}  // namespace

bool IsCameraSourceText(std::string_view text) {
  return text.substr(0, kCameraPrefix.size()) == kCameraPrefix;
}

std::optional<CameraSource> ParseCameraSource(std::string_view text, std::string* error) {
  if (!IsCameraSourceText(text)) {
    Fail(error, "not a camera source (it must start with \"camera:\")");
    return std::nullopt;
  }
  if (text.size() > kMaxCameraSourceBytes) {
    Fail(error, "camera source is too long");
    return std::nullopt;
  }
  std::string_view rest = text.substr(kCameraPrefix.size());
  // A picker or an operator may add a trailing "/"; it names the same camera.
  while (rest.size() > 1 && rest.back() == '/') rest.remove_suffix(1);
  if (rest == "/") rest = {};
  for (char c : rest) {
    if (c == '\0' || c == '\n' || c == '\r') {
      Fail(error, "camera source holds a control character");
      return std::nullopt;
    }
  }
  CameraSource source;
  if (rest.empty()) return source;
  if (rest.substr(0, 4) == "usb:") {
    const std::string_view numbers = rest.substr(4);
    const size_t comma = numbers.find(',');
    std::string bus, device;
    if (comma == std::string_view::npos || !UsbNumber(numbers.substr(0, comma), bus) ||
        !UsbNumber(numbers.substr(comma + 1), device)) {
      Fail(error, "a USB camera is named camera:usb:BUS,DEV (for example camera:usb:001,004)");
      return std::nullopt;
    }
    source.kind = CameraSource::Kind::Usb;
    source.port = "usb:" + bus + "," + device;
    return source;
  }
  if (rest.substr(0, 5) == "disk:") {
    const std::string_view path = rest.substr(5);
    if (path.empty() || path.front() != '/' || path == "/") {
      Fail(error, "a Directory Browse camera is named camera:disk:/ABSOLUTE/PATH");
      return std::nullopt;
    }
    source.kind = CameraSource::Kind::Disk;
    source.port = "disk:" + std::string(path);
    return source;
  }
  Fail(error, "unknown camera port (use camera:, camera:usb:BUS,DEV or camera:disk:/PATH)");
  return std::nullopt;
}

std::string CameraSourceWarning(std::string_view text) {
  const std::optional<CameraSource> source = ParseCameraSource(text);
  if (!source || source->kind != CameraSource::Kind::Disk) return {};
  const std::string folder = source->port.substr(5);
  struct stat st {};
  if (::stat(folder.c_str(), &st) != 0)
    return "The camera folder " + folder + " does not exist; the action takes photos from it once it does.";
  if (!S_ISDIR(st.st_mode))
    return "The camera folder " + folder +
           " is not a folder; the action takes photos from it once it is one.";
  return {};
}

}  // namespace brisko
