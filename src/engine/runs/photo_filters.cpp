#include "engine/runs/photo_filters.h"

#include "imagemeta/auto_rotate.h"
#include "imagemeta/jpeg_exif_file.h"
#include "rawmeta/raw_metadata.h"
#include "support/path_util.h"
#include "support/text.h"

namespace brisko {

std::optional<bool> PhotoLandscape(const std::string& path) {
  if (IsRawOrHeifPath(path)) {
    RawMetadata meta;
    if (!ReadRawMetadata(path, meta)) return std::nullopt;
    return RawIsLandscape(meta);
  }
  bool landscape = false;
  if (!IsJpegLandscape(path, landscape)) return std::nullopt;
  return landscape;
}

std::optional<LatLong> PhotoGpsPosition(const std::string& path) {
  if (IsRawOrHeifPath(path)) {
    RawMetadata meta;
    if (!ReadRawMetadata(path, meta) || !meta.hasGps) return std::nullopt;
    return LatLong(static_cast<float>(meta.latitude), static_cast<float>(meta.longitude));
  }
  const std::string ext(SplitPath(path).extension);
  if (!EqualsNoCase(ext, ".jpg") && !EqualsNoCase(ext, ".jpeg")) return std::nullopt;
  float latitude = 0, longitude = 0;
  if (!ReadExifGpsPosition(path, latitude, longitude)) return std::nullopt;
  return LatLong(latitude, longitude);
}

}  // namespace brisko
