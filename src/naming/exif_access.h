#pragma once
// The EXIF values naming and the BriskoExif block need from a JPEG file, behind one seam so
// that tests can feed values without building JPEG files.
#include <ctime>
#include <string>

namespace brisko {

class ExifAccess {
 public:
  virtual ~ExifAccess() = default;
  // The user comment of a ".jpg" file; false when there is none or it cannot be read.
  virtual bool ReadUserComment(const std::string& path, std::string& text) = 0;
  // The date taken of a ".jpg", RAW or HEIF file as a calendar time (read as local time).
  virtual bool ReadDateTime(const std::string& path, std::time_t& when) = 0;
  // Writes the source to the destination with `comment` as its user comment.
  virtual bool WriteUserComment(const std::string& comment, const std::string& source,
                                const std::string& destination) = 0;
};

// The station's reader and writer of JPEG files.
ExifAccess& DefaultExifAccess();

// True when the path's extension is ".jpg" in any letter case: only those files have EXIF
// values for naming.
bool HasJpgExtension(const std::string& path);
// True for the files whose date taken the EXIF date components read: ".jpg", RAW and HEIF.
bool HasExifDate(const std::string& path);
// The date taken of `path`, read as the kind of file `kind` names (a download may lie under a
// hidden name): DateTimeOriginal, else DateTimeDigitized, else DateTime. A HEIF file whose EXIF
// libexiv2 cannot find is read through libheif.
bool ReadDateTaken(const std::string& path, const std::string& kind, std::time_t& when);

}  // namespace brisko
