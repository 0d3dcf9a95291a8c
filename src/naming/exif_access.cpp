#include "naming/exif_access.h"

#include <strings.h>

namespace brisko {

namespace {

// Until the JPEG reader-writer lands every file reads as having no EXIF data and writes fail,
// which the callers already treat as a normal outcome.
class NoExifAccess final : public ExifAccess {
 public:
  bool ReadUserComment(const std::string&, std::string&) override { return false; }
  bool ReadDateTime(const std::string&, std::time_t&) override { return false; }
  bool WriteUserComment(const std::string&, const std::string&, const std::string&) override { return false; }
};

}  // namespace

ExifAccess& DefaultExifAccess() {
  static NoExifAccess access;
  return access;
}

bool HasJpgExtension(const std::string& path) {
  size_t slash = path.find_last_of('/');
  size_t dot = path.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return false;
  return strcasecmp(path.c_str() + dot, ".jpg") == 0;
}

}  // namespace brisko
