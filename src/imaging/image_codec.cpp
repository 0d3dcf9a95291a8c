#include "imaging/image_codec.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "imaging/jpeg_layout.h"
#include "imaging/vips_library.h"
#include "support/safe_output.h"

namespace brisko {

namespace {

// A photo file read whole into memory is never larger than this.
constexpr off_t kMaxFileBytes = off_t{1} << 30;

// The JPEG loader looks at its warnings between strips, so one raised in the last strip can
// slip through and the grey fill would pass for pixels; its message is still in the error buffer.
bool LateJpegWarning(std::string* reason) {
  const VipsCalls& vips = LoadedVips();
  std::string text = vips.vips_error_buffer();
  if (text.find("Corrupt JPEG data") == std::string::npos ||
      text.find("extraneous bytes before marker 0xd9") != std::string::npos)
    return false;
  if (auto nl = text.find('\n'); nl != std::string::npos) text.resize(nl);
  vips.vips_error_clear();
  if (reason) *reason = "cannot decode pixels: " + text;
  return true;
}

// The reduced JPEG scale (1, 2, 4 or 8) that still gives at least the target size.
int JpegShrink(int w, int h, const DecodeOptions& options) {
  if (options.targetWidth <= 0 || options.targetHeight <= 0) return 1;
  for (int s : {8, 4, 2}) {
    // libjpeg rounds scaled sizes up.
    if ((w + s - 1) / s >= options.targetWidth && (h + s - 1) / s >= options.targetHeight) return s;
  }
  return 1;
}

bool CheckSize(uint64_t w, uint64_t h, const DecodeOptions& options, std::string* reason) {
  if (w == 0 || h == 0 || w * h > options.maxPixels) {
    if (reason)
      *reason = "image of " + std::to_string(w) + " x " + std::to_string(h) + " pixels is too large";
    return false;
  }
  return true;
}

// Each format with the extension it is written under and, for those libvips reaches through
// ImageMagick, the coder's name.
struct FormatRow {
  int code;
  const char* extension;
  const char* magick;
};
constexpr FormatRow kFormats[] = {
    {kFormatJpeg, ".jpg", nullptr}, {kFormatPng, ".png", nullptr},  {kFormatBmp, ".bmp", "bmp"},
    {kFormatPcx, ".pcx", "pcx"},    {kFormatTiff, ".tif", nullptr}, {kFormatTga, ".tga", "tga"},
    {kFormatWmf, ".wmf", "wmf"},    {kFormatPsd, ".psd", "psd"},    {kFormatEmf, ".emf", nullptr},
    {kFormatWbmp, ".wbmp", "wbmp"},
};

const FormatRow* FindFormat(int format) {
  for (const FormatRow& row : kFormats)
    if (row.code == format) return &row;
  return nullptr;
}

const char* MagickName(int format) {
  const FormatRow* row = FindFormat(format);
  return row ? row->magick : nullptr;
}

// A temporary file holding a buffer, removed with this object: the ImageMagick coders are
// reached through a file name with an explicit "format:" prefix, so the coder is the one the
// format code names and never one guessed from hostile content.
class TempCopy {
 public:
  bool Write(const uint8_t* data, size_t size, std::string* reason) {
    const char* dir = g_get_tmp_dir();
    m_path = std::string(dir ? dir : "/tmp") + "/brisko-decode-XXXXXX";
    int fd = mkstemp(m_path.data());
    if (fd < 0) {
      m_path.clear();
      if (reason) *reason = std::string("cannot make a temporary file: ") + std::strerror(errno);
      return false;
    }
    size_t done = 0;
    while (done < size) {
      ssize_t n = ::write(fd, data + done, size - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        if (reason) *reason = std::string("cannot write a temporary file: ") + std::strerror(errno);
        ::close(fd);
        return false;
      }
      done += size_t(n);
    }
    ::close(fd);
    return true;
  }
  ~TempCopy() {
    if (!m_path.empty()) ::unlink(m_path.c_str());
  }
  const std::string& Path() const { return m_path; }

 private:
  std::string m_path;
};

bool CheckCap(VipsImage* img, const DecodeOptions& options, std::string* reason) {
  return CheckSize(uint64_t(LoadedVips().vips_image_get_width(img)),
                   uint64_t(LoadedVips().vips_image_get_height(img)), options, reason);
}

bool ReadFile(const std::string& path, std::vector<uint8_t>& data, std::string* reason) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (reason) *reason = std::string("cannot open: ") + std::strerror(errno);
    return false;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > kMaxFileBytes) {
    if (reason) *reason = "not a regular file of a usable size";
    ::close(fd);
    return false;
  }
  data.resize(size_t(st.st_size));
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::read(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      if (reason) *reason = std::string("cannot read: ") + std::strerror(errno);
      ::close(fd);
      return false;
    }
    if (n == 0) break;
    done += size_t(n);
  }
  data.resize(done);
  ::close(fd);
  return true;
}

// Opens the header of a picture; pixels are decoded later, when they are copied out.
// Damaged pixel data fails the decode: the decoders would fill the rest with grey and the page
// would pass for a result.
bool OpenLazy(const uint8_t* data, size_t size, int format, int shrink, VRef& img, TempCopy& temp,
              std::string* reason, VipsFailOn failOn = VIPS_FAIL_ON_WARNING) {
  const VipsCalls& vips = LoadedVips();
  if (!data || size == 0) {
    if (reason) *reason = "no image data";
    return false;
  }
  int failed = 0;
  switch (format) {
    case kFormatJpeg:
      failed = vips.vips_jpegload_buffer(const_cast<uint8_t*>(data), size, img.out(), "shrink", shrink,
                                         "fail_on", failOn, nullptr);
      break;
    case kFormatPng:
      failed = vips.vips_pngload_buffer(const_cast<uint8_t*>(data), size, img.out(), "fail_on",
                                        VIPS_FAIL_ON_ERROR, nullptr);
      break;
    case kFormatTiff:
      failed = vips.vips_tiffload_buffer(const_cast<uint8_t*>(data), size, img.out(), "fail_on",
                                         VIPS_FAIL_ON_ERROR, nullptr);
      break;
    case kFormatHeif:
      // libheif applies the file's rotation and mirroring: the picture comes out upright.
      if (!vips.vips_heifload_buffer) {
        if (reason) *reason = "the imaging library cannot read HEIF pictures";
        return false;
      }
      failed = vips.vips_heifload_buffer(const_cast<uint8_t*>(data), size, img.out(), "fail_on",
                                         VIPS_FAIL_ON_ERROR, nullptr);
      break;
    default: {
      const char* name = MagickName(format);
      if (!name) {
        if (reason) *reason = "format " + std::to_string(format) + " not supported";
        return false;
      }
      if (!temp.Write(data, size, reason)) return false;
      failed = vips.vips_magickload((std::string(name) + ":" + temp.Path()).c_str(), img.out(), nullptr);
      break;
    }
  }
  if (failed) return VipsFail(reason, "cannot decode image");
  return true;
}

}  // namespace

int ImageFormatFromPath(const std::string& path) {
  static const struct {
    const char* ext;
    int code;
  } kTable[] = {{".jpg", 1},
                {".jpeg", 1},
                {".png", 3},
                {".bmp", 6},
                {".pcx", 9},
                {".tif", 12},
                {".tiff", 12},
                {".tga", 16},
                {".wmf", 19},
                {".psd", 20},
                {".emf", 23},
                {".wbmp", 24},
                {".heic", kFormatHeif},
                {".heif", kFormatHeif},
                {".hif", kFormatHeif}};
  const size_t slash = path.find_last_of('/');
  const size_t dot = path.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return kFormatUnknown;
  const char* ext = path.c_str() + dot;
  for (const auto& row : kTable)
    if (strcasecmp(ext, row.ext) == 0) return row.code;
  return kFormatUnknown;
}

const char* ImageFormatExtension(int format) {
  const FormatRow* row = FindFormat(format);
  return row ? row->extension : "";
}

bool DecodeImage(const uint8_t* data, size_t size, int format, Image& out, std::string* reason,
                 const DecodeOptions& options) {
  const VipsCalls& vips = LoadedVips();
  if (!EnsureVips(reason)) return false;
  int shrink = 1;
  if (format == kFormatJpeg) {
    JpegLayout layout;
    if (!InspectJpeg(data, size, layout, reason)) return false;
    if (!CheckSize(uint64_t(layout.width), uint64_t(layout.height), options, reason)) return false;
    shrink = JpegShrink(layout.width, layout.height, options);
  }
  VRef img;
  TempCopy temp;
  vips.vips_error_clear();
  if (!OpenLazy(data, size, format, shrink, img, temp, reason)) return false;
  if (format != kFormatJpeg && !CheckCap(img.get(), options, reason)) return false;
  if (FromVips(img.get(), out, reason)) {
    if (format != kFormatJpeg || !LateJpegWarning(reason)) return true;
    out = Image();
    return false;
  }
  // Bytes between the last scan and EOI only draw a warning; every pixel was decoded.
  if (format != kFormatJpeg || !reason ||
      reason->find("extraneous bytes before marker 0xd9") == std::string::npos)
    return false;
  VRef again;
  return OpenLazy(data, size, format, shrink, again, temp, reason, VIPS_FAIL_ON_ERROR) &&
         FromVips(again.get(), out, reason);
}

bool DecodeImageFile(const std::string& path, int format, Image& out, std::string* reason,
                     const DecodeOptions& options) {
  std::vector<uint8_t> data;
  if (!ReadFile(path, data, reason)) return false;
  return DecodeImage(data.data(), data.size(), format, out, reason, options);
}

bool ReadImageHeader(const uint8_t* data, size_t size, int format, ImageHeader& header, std::string* reason,
                     const DecodeOptions& options) {
  const VipsCalls& vips = LoadedVips();
  header = ImageHeader{};
  if (format == kFormatJpeg) {
    JpegLayout layout;
    if (!InspectJpeg(data, size, layout, reason)) return false;
    if (!CheckSize(uint64_t(layout.width), uint64_t(layout.height), options, reason)) return false;
    const int s = JpegShrink(layout.width, layout.height, options);
    header.width = layout.width;
    header.height = layout.height;
    header.decodedWidth = (layout.width + s - 1) / s;
    header.decodedHeight = (layout.height + s - 1) / s;
    header.decodeBytes = uint64_t(header.decodedWidth) * uint64_t(header.decodedHeight) * 3;
    // A progressive picture is decoded from a buffer of every coefficient at full size.
    if (layout.multiScan)
      header.decodeBytes +=
          uint64_t(layout.width) * uint64_t(layout.height) * uint64_t(std::min(layout.components, 4)) * 2;
    return true;
  }
  if (!EnsureVips(reason)) return false;
  VRef img;
  TempCopy temp;
  if (!OpenLazy(data, size, format, 1, img, temp, reason)) return false;
  if (!CheckCap(img.get(), options, reason)) return false;
  header.width = header.decodedWidth = vips.vips_image_get_width(img.get());
  header.height = header.decodedHeight = vips.vips_image_get_height(img.get());
  header.decodeBytes = uint64_t(header.width) * uint64_t(header.height) * 4;
  return true;
}

bool ReadImageFileHeader(const std::string& path, int format, ImageHeader& header, std::string* reason,
                         const DecodeOptions& options) {
  std::vector<uint8_t> data;
  if (!ReadFile(path, data, reason)) return false;
  return ReadImageHeader(data.data(), data.size(), format, header, reason, options);
}

bool ReadImageSize(const std::string& path, int format, int& width, int& height, std::string* reason) {
  ImageHeader header;
  if (!ReadImageFileHeader(path, format, header, reason)) return false;
  width = header.width;
  height = header.height;
  return true;
}

bool EncodeImage(const Image& image, int format, std::vector<uint8_t>& out, std::string* reason,
                 int jpegQuality) {
  const VipsCalls& vips = LoadedVips();
  VRef in;
  if (!ToVips(image, in, reason)) return false;
  VRef src;
  const bool keepsAlpha = format == kFormatPng || format == kFormatTiff || format == kFormatTga ||
                          format == kFormatPsd || format == kFormatBmp;
  if (image.channels == 4 && !keepsAlpha) {
    VipsArrayDouble* white = vips.vips_array_double_newv(3, 255.0, 255.0, 255.0);
    int failed = vips.vips_flatten(in.get(), src.out(), "background", white, nullptr);
    vips.vips_area_unref(VIPS_AREA(white));
    if (failed) return VipsFail(reason, "cannot flatten alpha");
  } else {
    src.Share(in.get());
  }
  void* buf = nullptr;
  size_t len = 0;
  int failed = 0;
  switch (format) {
    case kFormatJpeg:
      failed =
          vips.vips_jpegsave_buffer(src.get(), &buf, &len, "Q", std::clamp(jpegQuality, 1, 100), nullptr);
      break;
    case kFormatPng:
      failed = vips.vips_pngsave_buffer(src.get(), &buf, &len, nullptr);
      break;
    case kFormatTiff:
      failed = vips.vips_tiffsave_buffer(src.get(), &buf, &len, "compression",
                                         VIPS_FOREIGN_TIFF_COMPRESSION_DEFLATE, nullptr);
      break;
    default: {
      const char* name = MagickName(format);
      if (!name || format == kFormatWmf) {
        if (reason) *reason = "cannot write format " + std::to_string(format);
        return false;
      }
      failed = vips.vips_magicksave_buffer(src.get(), &buf, &len, "format", name, nullptr);
      break;
    }
  }
  if (failed) return VipsFail(reason, "cannot encode image");
  const auto* bytes = static_cast<const uint8_t*>(buf);
  out.assign(bytes, bytes + len);
  g_free(buf);
  return true;
}

bool EncodeImageFile(const Image& image, const std::string& path, std::string* reason, int jpegQuality) {
  const int format = ImageFormatFromPath(path);
  if (format == kFormatUnknown) {
    if (reason) *reason = "no image format for the extension of " + path;
    return false;
  }
  std::vector<uint8_t> data;
  if (!EncodeImage(image, format, data, reason, jpegQuality)) return false;
  // Through a temporary name, so a reader never sees half a picture under `path`.
  SafeOutput out;
  if (!out.Open(path) || !WriteAll(out.Fd(), data.data(), data.size()) || !out.Commit()) {
    if (reason) *reason = std::string("cannot write ") + path + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

}  // namespace brisko
