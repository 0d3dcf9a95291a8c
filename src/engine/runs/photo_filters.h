#pragma once
// What the orientation and GPS filters read from a photo, whatever its kind: a JPEG through the
// station's own EXIF reader, a RAW or HEIF file through the RAW metadata reader.
#include <optional>
#include <string>

#include "imagemeta/gps_area.h"

namespace brisko {

// Whether the photo is wider than high; nullopt when that cannot be told (the filter then lets
// it pass). A JPEG by its frame size; a RAW or HEIF file upright by its EXIF orientation.
std::optional<bool> PhotoLandscape(const std::string& path);
// Where the photo was taken; nullopt for a file without a position or of another kind.
std::optional<LatLong> PhotoGpsPosition(const std::string& path);

}  // namespace brisko
