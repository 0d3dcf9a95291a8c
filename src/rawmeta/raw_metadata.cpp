#include "rawmeta/raw_metadata.h"

#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exiv2/exiv2.hpp>
#include <vector>

#include "rawmeta/exiv2_setup.h"

// libexiv2 0.27 hands out its images and readers as std::auto_ptr.
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

namespace brisko {

namespace {

constexpr size_t kMaxText = 256;  // make, model and date are short; anything longer is cut

const char* const kRawExtensions[] = {
    ".3fr", ".ari", ".arw", ".cr2", ".cr3", ".crw", ".dcr", ".dng", ".erf", ".fff",
    ".iiq", ".k25", ".kdc", ".mef", ".mos", ".mrw", ".nef", ".nrw", ".orf", ".pef",
    ".raf", ".raw", ".rw2", ".rwl", ".sr2", ".srf", ".srw", ".x3f",
};
const char* const kHeifExtensions[] = {".heic", ".heif", ".hif"};

std::string Extension(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  const size_t dot = path.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return {};
  return path.substr(dot);
}

template <size_t N>
bool HasExtension(const std::string& path, const char* const (&list)[N]) {
  const std::string ext = Extension(path);
  for (const char* e : list)
    if (strcasecmp(ext.c_str(), e) == 0) return true;
  return false;
}

// Text up to the first NUL, without trailing blanks, at most kMaxText bytes.
std::string CleanText(std::string s) {
  if (size_t nul = s.find('\0'); nul != std::string::npos) s.resize(nul);
  if (s.size() > kMaxText) s.resize(kMaxText);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.pop_back();
  return s;
}

const Exiv2::Exifdatum* Find(const Exiv2::ExifData& exif, const char* key) {
  auto it = exif.findKey(Exiv2::ExifKey(key));
  if (it == exif.end() || it->count() == 0) return nullptr;
  return &*it;
}

std::string AsciiText(const Exiv2::ExifData& exif, const char* key) {
  const Exiv2::Exifdatum* d = Find(exif, key);
  if (!d || d->typeId() != Exiv2::asciiString) return {};
  return CleanText(d->toString());
}

// Numerator and denominator of component n of a rational value of either sign.
bool RationalAt(const Exiv2::Exifdatum& d, long n, double& out) {
  if (n >= d.count()) return false;
  double num = 0, den = 0;
  if (const auto* u = dynamic_cast<const Exiv2::URationalValue*>(&d.value())) {
    num = u->value_.at(static_cast<size_t>(n)).first;
    den = u->value_.at(static_cast<size_t>(n)).second;
  } else if (const auto* s = dynamic_cast<const Exiv2::RationalValue*>(&d.value())) {
    num = s->value_.at(static_cast<size_t>(n)).first;
    den = s->value_.at(static_cast<size_t>(n)).second;
  } else {
    return false;
  }
  if (den == 0) {
    // 0/0 is what some devices write for an unused part; any other x/0 is no value.
    if (num != 0) return false;
    out = 0;
    return true;
  }
  out = num / den;
  return true;
}

// Degrees, minutes, seconds (minutes and seconds may be absent) signed by the reference letter.
bool Coordinate(const Exiv2::ExifData& exif, const char* valueKey, const char* refKey, char negative,
                double limit, double& out) {
  const Exiv2::Exifdatum* value = Find(exif, valueKey);
  const std::string ref = AsciiText(exif, refKey);
  if (!value || ref.empty()) return false;
  double part[3] = {0, 0, 0};
  for (long i = 0; i < 3 && i < value->count(); ++i)
    if (!RationalAt(*value, i, part[i])) return false;
  double degrees = part[0] + part[1] / 60.0 + part[2] / 3600.0;
  if (!(degrees >= 0 && degrees <= limit)) return false;
  const char r = static_cast<char>(ref[0] & ~0x20);
  if (r == negative) degrees = -degrees;
  out = degrees;
  return true;
}

// XMP dates read "2021-02-18T19:55:41" (with optional fraction and zone); EXIF's form is kept.
std::string FromXmpDate(const std::string& xmp) {
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
  if (std::sscanf(xmp.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d", &y, &mo, &d, &h, &mi, &s) != 6) return {};
  char text[32];
  std::snprintf(text, sizeof text, "%04d:%02d:%02d %02d:%02d:%02d", y, mo, d, h, mi, s);
  return text;
}

std::string XmpText(const Exiv2::XmpData& xmp, const char* key) {
  auto it = xmp.findKey(Exiv2::XmpKey(key));
  if (it == xmp.end() || it->count() == 0) return {};
  return CleanText(it->toString());
}

void Collect(const Exiv2::Image& image, RawMetadata& meta) {
  const Exiv2::ExifData& exif = image.exifData();
  meta.make = AsciiText(exif, "Exif.Image.Make");
  meta.model = AsciiText(exif, "Exif.Image.Model");
  // The date taken; DateTime (the file's change date) only where nothing better is there.
  for (const char* key : {"Exif.Photo.DateTimeOriginal", "Exif.Image.DateTimeOriginal",
                          "Exif.Photo.DateTimeDigitized", "Exif.Image.DateTime"}) {
    meta.dateTimeOriginal = AsciiText(exif, key);
    if (!meta.dateTimeOriginal.empty()) break;
  }
  if (meta.dateTimeOriginal.empty())
    meta.dateTimeOriginal = FromXmpDate(XmpText(image.xmpData(), "Xmp.exif.DateTimeOriginal"));
  if (const Exiv2::Exifdatum* o = Find(exif, "Exif.Image.Orientation")) {
    const long v = o->toLong();
    meta.orientation = v >= 1 && v <= 8 ? static_cast<int>(v) : 0;
  }
  double lat = 0, lon = 0;
  if (Coordinate(exif, "Exif.GPSInfo.GPSLatitude", "Exif.GPSInfo.GPSLatitudeRef", 'S', 90, lat) &&
      Coordinate(exif, "Exif.GPSInfo.GPSLongitude", "Exif.GPSInfo.GPSLongitudeRef", 'W', 180, lon)) {
    meta.hasGps = true;
    meta.latitude = lat;
    meta.longitude = lon;
    double alt = 0;
    if (const Exiv2::Exifdatum* a = Find(exif, "Exif.GPSInfo.GPSAltitude"); a && RationalAt(*a, 0, alt)) {
      const Exiv2::Exifdatum* ref = Find(exif, "Exif.GPSInfo.GPSAltitudeRef");
      meta.altitude = ref && ref->toLong() == 1 ? -alt : alt;
    }
  }
  auto dimension = [&](const char* key) -> uint32_t {
    const Exiv2::Exifdatum* d = Find(exif, key);
    const long v = d ? d->toLong() : 0;
    return v > 0 && v <= 1000000 ? static_cast<uint32_t>(v) : 0;
  };
  meta.width = dimension("Exif.Photo.PixelXDimension");
  meta.height = dimension("Exif.Photo.PixelYDimension");
  if (meta.width == 0 || meta.height == 0) {
    const int w = image.pixelWidth(), h = image.pixelHeight();
    meta.width = w > 0 ? static_cast<uint32_t>(w) : 0;
    meta.height = h > 0 ? static_cast<uint32_t>(h) : 0;
  }
}

// The kinds of file read here; everything else libexiv2 knows (JPEG, PNG, video, ...) is not
// handed to it.
bool AcceptedType(int type) {
  switch (type) {
    case Exiv2::ImageType::crw:
    case Exiv2::ImageType::tiff:  // also NEF, ARW, DNG, PEF, SRW, IIQ
    case Exiv2::ImageType::mrw:
    case Exiv2::ImageType::cr2:
    case Exiv2::ImageType::raf:
    case Exiv2::ImageType::orf:
    case Exiv2::ImageType::rw2:
    case Exiv2::ImageType::bmff:  // HEIF, CR3
      return true;
    default:
      return false;
  }
}

bool Fail(std::string* whyNot, const std::string& why) {
  if (whyNot) *whyNot = why;
  return false;
}

// The file's metadata as libexiv2 read it; null when it cannot be opened. A file cut short (a
// card pulled while it was written) fails at its last box, after the metadata before it was
// read: that part is kept, and `readError` says what stopped the reading.
Exiv2::Image::AutoPtr Open(Exiv2::BasicIo::AutoPtr io, std::string& readError, std::string* whyNot) {
  Exiv2::Image::AutoPtr image;
  try {
    if (!AcceptedType(Exiv2::ImageFactory::getType(*io))) {
      Fail(whyNot, "not a RAW or HEIF file libexiv2 reads");
      return image;
    }
    image = Exiv2::ImageFactory::open(io);
    image->readMetadata();
  } catch (const std::exception& e) {
    readError = e.what();
  } catch (...) {
    readError = "unknown error";
  }
  if (!image.get()) Fail(whyNot, "cannot be opened: " + readError);
  return image;
}

bool Read(Exiv2::BasicIo::AutoPtr io, RawMetadata& meta, std::string* whyNot) {
  meta = RawMetadata{};
  std::string readError;
  Exiv2::Image::AutoPtr image = Open(io, readError, whyNot);
  if (!image.get()) return false;
  try {
    Collect(*image, meta);
  } catch (...) {
    meta = RawMetadata{};
    return Fail(whyNot, "its metadata cannot be read");
  }
  if (meta.make.empty() && meta.model.empty() && meta.dateTimeOriginal.empty() && meta.orientation == 0 &&
      !meta.hasGps)
    return Fail(whyNot,
                readError.empty() ? std::string("no metadata found") : "unreadable metadata: " + readError);
  return true;
}

// A regular, readable file within the size cap (a FIFO or device would block or never end).
bool CheckFile(const std::string& path, std::string* whyNot) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return Fail(whyNot, "cannot be read");
  if (!S_ISREG(st.st_mode)) return Fail(whyNot, "not a regular file");
  if (static_cast<uint64_t>(st.st_size) > kMaxRawFileSize)
    return Fail(whyNot, "too large to read its metadata");
  if (::access(path.c_str(), R_OK) != 0)
    return Fail(whyNot, std::string("cannot be read: ") + std::strerror(errno));
  return true;
}

// A plain file reader: the library's own opener would take "-" as standard input and addresses
// as downloads.
Exiv2::BasicIo::AutoPtr FileReader(const std::string& path) {
  return Exiv2::BasicIo::AutoPtr(new Exiv2::FileIo(path));
}

bool ExifBlock(Exiv2::BasicIo::AutoPtr io, std::vector<uint8_t>& tiff, std::string* whyNot) {
  tiff.clear();
  std::string readError;
  Exiv2::Image::AutoPtr image = Open(io, readError, whyNot);
  if (!image.get()) return false;
  try {
    Exiv2::ExifData exif = image->exifData();
    Exiv2::Blob blob;
    for (int pass = 0; pass < 2 && !exif.empty(); ++pass) {
      blob.clear();
      Exiv2::ExifParser::encode(blob, Exiv2::littleEndian, exif);
      if (blob.size() <= kMaxExifBlockSize) break;
      // Too large for a JPEG: the standard directories only (no maker note, no thumbnail).
      for (auto it = exif.begin(); it != exif.end();) {
        const std::string group = it->groupName();
        if (group == "Image" || group == "Photo" || group == "GPSInfo" || group == "Iop")
          ++it;
        else
          it = exif.erase(it);
      }
    }
    if (blob.empty()) return Fail(whyNot, "no EXIF");
    if (blob.size() > kMaxExifBlockSize) return Fail(whyNot, "its EXIF is too large for a JPEG");
    tiff.assign(blob.begin(), blob.end());
  } catch (...) {
    tiff.clear();
    return Fail(whyNot, "its EXIF cannot be read");
  }
  return true;
}

bool Preview(Exiv2::BasicIo::AutoPtr io, int minWidth, size_t maxBytes, std::vector<uint8_t>& jpeg,
             std::string* whyNot) {
  jpeg.clear();
  std::string readError;
  Exiv2::Image::AutoPtr image = Open(io, readError, whyNot);
  if (!image.get()) return false;
  try {
    Exiv2::PreviewManager previews(*image);
    // Listed smallest first: the first JPEG wide enough, else the widest that fits.
    const Exiv2::PreviewPropertiesList list = previews.getPreviewProperties();
    const Exiv2::PreviewProperties* chosen = nullptr;
    for (const Exiv2::PreviewProperties& p : list) {
      if (p.mimeType_ != "image/jpeg" || p.size_ > maxBytes) continue;
      chosen = &p;
      if (int(p.width_) >= minWidth) break;
    }
    if (!chosen) return Fail(whyNot, "no JPEG preview");
    const Exiv2::PreviewImage preview = previews.getPreviewImage(*chosen);
    if (preview.size() < 4 || preview.size() > maxBytes) return Fail(whyNot, "no JPEG preview");
    jpeg.assign(preview.pData(), preview.pData() + preview.size());
  } catch (...) {
    jpeg.clear();
    return Fail(whyNot, "its preview cannot be read");
  }
  return jpeg[0] == 0xFF && jpeg[1] == 0xD8;
}

}  // namespace

bool ReadRawPreview(const std::string& path, int minWidth, size_t maxBytes, std::vector<uint8_t>& jpeg,
                    std::string* whyNot) {
  SetUpExiv2();
  return CheckFile(path, whyNot) && Preview(FileReader(path), minWidth, maxBytes, jpeg, whyNot);
}

bool IsRawOrHeifPath(const std::string& path) {
  return HasExtension(path, kRawExtensions) || HasExtension(path, kHeifExtensions);
}

bool IsHeifPath(const std::string& path) {
  return HasExtension(path, kHeifExtensions);
}

bool ReadRawMetadata(const std::string& path, RawMetadata& meta, std::string* whyNot) {
  meta = RawMetadata{};
  SetUpExiv2();
  return CheckFile(path, whyNot) && Read(FileReader(path), meta, whyNot);
}

bool ReadRawExifBlock(const std::string& path, std::vector<uint8_t>& tiff, std::string* whyNot) {
  tiff.clear();
  SetUpExiv2();
  return CheckFile(path, whyNot) && ExifBlock(FileReader(path), tiff, whyNot);
}

bool ReadRawExifBlockFromMemory(const uint8_t* data, size_t size, std::vector<uint8_t>& tiff,
                                std::string* whyNot) {
  tiff.clear();
  SetUpExiv2();
  if (size > kMaxRawFileSize) return Fail(whyNot, "too large to read its metadata");
  return ExifBlock(Exiv2::BasicIo::AutoPtr(new Exiv2::MemIo(data, static_cast<long>(size))), tiff, whyNot);
}

bool ReadRawMetadataFromMemory(const uint8_t* data, size_t size, RawMetadata& meta, std::string* whyNot) {
  meta = RawMetadata{};
  SetUpExiv2();
  if (size > kMaxRawFileSize) {
    if (whyNot) *whyNot = "too large to read its metadata";
    return false;
  }
  return Read(Exiv2::BasicIo::AutoPtr(new Exiv2::MemIo(data, static_cast<long>(size))), meta, whyNot);
}

bool RawCaptureTime(const RawMetadata& meta, std::time_t& when) {
  std::tm tm{};
  if (std::sscanf(meta.dateTimeOriginal.c_str(), "%d:%d:%d %d:%d:%d", &tm.tm_year, &tm.tm_mon, &tm.tm_mday,
                  &tm.tm_hour, &tm.tm_min, &tm.tm_sec) != 6)
    return false;
  // Cameras without a set clock write zeros; that is no date.
  if (tm.tm_year < 1900 || tm.tm_mon < 1 || tm.tm_mon > 12 || tm.tm_mday < 1 || tm.tm_mday > 31) return false;
  tm.tm_year -= 1900;
  tm.tm_mon -= 1;
  tm.tm_isdst = -1;
  when = std::mktime(&tm);
  return when != static_cast<std::time_t>(-1);
}

bool RawIsLandscape(const RawMetadata& meta) {
  uint32_t w = meta.width, h = meta.height;
  if (w == 0 || h == 0) w = 3, h = 2;
  if (meta.orientation >= 5) std::swap(w, h);
  return w > h;
}

std::string RawMetadataLibraryVersion() {
  return std::string("exiv2 ") + Exiv2::version();
}

}  // namespace brisko
