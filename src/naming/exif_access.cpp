#include "naming/exif_access.h"

#include <string_view>
#include <vector>

#include "imagemeta/jpeg_exif_file.h"
#include "rawmeta/raw_metadata.h"
#include "support/text.h"

namespace brisko {

namespace {

class JpegExifAccess final : public ExifAccess {
 public:
  bool ReadUserComment(const std::string& path, std::string& text) override {
    return ReadExifUserComment(path, text);
  }
  bool ReadDateTime(const std::string& path, std::time_t& when) override {
    return ReadDateTaken(path, path, when);
  }
  bool WriteUserComment(const std::string& comment, const std::string& source,
                        const std::string& destination) override {
    return WriteExifUserComment(comment, source, destination);
  }
};

}  // namespace

ExifAccess& DefaultExifAccess() {
  static JpegExifAccess access;
  return access;
}

bool ReadDateTaken(const std::string& path, const std::string& kind, std::time_t& when) {
  if (!IsRawOrHeifPath(kind)) return HasJpgExtension(kind) && ReadJpegDateTime(path, when);
  // RAW and HEIF files are read through their own reader.
  RawMetadata meta;
  if (ReadRawMetadata(path, meta) && RawCaptureTime(meta, when)) return true;
  std::vector<uint8_t> tiff;
  return IsHeifPath(kind) && ReadHeifExifBlock(path, tiff) && ReadTiffDateTaken(tiff, when);
}

bool HasExifDate(const std::string& path) {
  return HasJpgExtension(path) || IsRawOrHeifPath(path);
}

bool HasJpgExtension(const std::string& path) {
  size_t slash = path.find_last_of('/');
  size_t dot = path.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return false;
  return EqualsNoCase(std::string_view(path).substr(dot), ".jpg");
}

}  // namespace brisko
