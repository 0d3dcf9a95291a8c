#include "imaging/image_codec.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vips/vips.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>
#include <utility>

#include "support/safe_output.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define BRISKO_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define BRISKO_ASAN 1
#endif
#ifdef BRISKO_ASAN
// fontconfig, behind text drawing, keeps its configuration for the life of the process.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libfontconfig.so\n";
}
// The report of used suppressions would otherwise end up in the output of every command.
extern "C" const char* __lsan_default_options() {
  return "print_suppressions=0";
}
#endif

namespace brisko {

namespace {

// A photo file read whole into memory is never larger than this.
constexpr off_t kMaxFileBytes = off_t{1} << 30;
constexpr size_t kMaxTextBytes = 4096;
constexpr int kMaxTextPixels = 4000;

std::string g_initError;

// libvips and the dozens of libraries behind it are loaded on the first picture, not at every
// start: a station started for one pass of moves or copies never needs them.
#define BRISKO_VIPS_CALLS(X)       \
  X(vips_area_unref)               \
  X(vips_array_double_newv)        \
  X(vips_bandjoin)                 \
  X(vips_bandjoin2)                \
  X(vips_cache_set_max)            \
  X(vips_cache_set_max_files)      \
  X(vips_cache_set_max_mem)        \
  X(vips_cast)                     \
  X(vips_colourspace)              \
  X(vips_colourspace_issupported)  \
  X(vips_copy)                     \
  X(vips_embed)                    \
  X(vips_error_buffer)             \
  X(vips_error_clear)              \
  X(vips_extract_area)             \
  X(vips_extract_band)             \
  X(vips_flatten)                  \
  X(vips_gaussblur)                \
  X(vips_image_get_bands)          \
  X(vips_image_get_format)         \
  X(vips_image_get_height)         \
  X(vips_image_get_interpretation) \
  X(vips_image_get_width)          \
  X(vips_image_new_from_memory)    \
  X(vips_image_write)              \
  X(vips_init)                     \
  X(vips_jpegload_buffer)          \
  X(vips_jpegsave_buffer)          \
  X(vips_magickload)               \
  X(vips_magicksave_buffer)        \
  X(vips_pngload_buffer)           \
  X(vips_pngsave_buffer)           \
  X(vips_premultiply)              \
  X(vips_resize)                   \
  X(vips_rot)                      \
  X(vips_rotate)                   \
  X(vips_text)                     \
  X(vips_tiffload_buffer)          \
  X(vips_tiffsave_buffer)          \
  X(vips_unpremultiply)

struct VipsCalls {
#define BRISKO_VIPS_SLOT(name) decltype(&::name) name = nullptr;
  BRISKO_VIPS_CALLS(BRISKO_VIPS_SLOT)
#undef BRISKO_VIPS_SLOT
};
VipsCalls V;
std::string g_loadError;
// Optional: a libvips built without libheif still serves every other format.
int (*g_heifloadBuffer)(void* buf, size_t len, VipsImage** out, ...) = nullptr;

bool LoadVips() {
  void* lib = dlopen(BRISKO_VIPS_LIBRARY, RTLD_NOW | RTLD_GLOBAL);
  if (!lib) {
    const char* why = dlerror();
    g_loadError = std::string("cannot load ") + BRISKO_VIPS_LIBRARY + (why ? std::string(": ") + why : "");
    return false;
  }
#define BRISKO_VIPS_LOAD(name)                                        \
  V.name = reinterpret_cast<decltype(V.name)>(dlsym(lib, #name));     \
  if (!V.name) {                                                      \
    g_loadError = std::string(BRISKO_VIPS_LIBRARY) + " lacks " #name; \
    return false;                                                     \
  }
  BRISKO_VIPS_CALLS(BRISKO_VIPS_LOAD)
#undef BRISKO_VIPS_LOAD
  g_heifloadBuffer = reinterpret_cast<decltype(g_heifloadBuffer)>(dlsym(lib, "vips_heifload_buffer"));
  return true;
}

bool EnsureVips(std::string* reason) {
  static std::once_flag once;
  static bool ok = false;
  std::call_once(once, [] {
    if (!LoadVips() || V.vips_init("brisko-workflow") != 0) {
      if (!g_loadError.empty()) {
        g_initError = "cannot start the imaging library: " + g_loadError;
        return;
      }
      g_initError = std::string("cannot start the imaging library: ") + V.vips_error_buffer();
      V.vips_error_clear();
      return;
    }
    // Every picture is decoded once and copied out, so vips's operation cache would only hold
    // memory; broken files must not write warnings to the terminal.
    V.vips_cache_set_max(0);
    V.vips_cache_set_max_mem(0);
    V.vips_cache_set_max_files(0);
    g_log_set_handler(
        "VIPS", G_LOG_LEVEL_WARNING, [](const gchar*, GLogLevelFlags, const gchar*, gpointer) {}, nullptr);
    ok = true;
  });
  if (!ok && reason) *reason = g_initError;
  return ok;
}

bool VipsFail(std::string* reason, const char* what) {
  if (reason) {
    std::string text = V.vips_error_buffer();
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    if (auto nl = text.find('\n'); nl != std::string::npos) text.resize(nl);
    *reason = text.empty() ? std::string(what) : std::string(what) + ": " + text;
  }
  V.vips_error_clear();
  return false;
}

// Owns one VipsImage reference.
class VRef {
 public:
  VRef() = default;
  explicit VRef(VipsImage* p) : m_p(p) {}
  ~VRef() { Reset(); }
  VRef(const VRef&) = delete;
  VRef& operator=(const VRef&) = delete;
  void Reset(VipsImage* p = nullptr) {
    if (m_p) g_object_unref(m_p);
    m_p = p;
  }
  VipsImage* get() const { return m_p; }
  VipsImage** out() {
    Reset();
    return &m_p;
  }
  VipsImage* release() { return std::exchange(m_p, nullptr); }
  void Share(VipsImage* p) {
    g_object_ref(p);
    Reset(p);
  }
  explicit operator bool() const { return m_p != nullptr; }

 private:
  VipsImage* m_p = nullptr;
};

// A vips view of an Image's pixels (no copy: the Image must outlive it).
bool ToVips(const Image& in, VRef& out, std::string* reason) {
  if (in.Empty() || (in.channels != 3 && in.channels != 4) ||
      in.pixels.size() < in.Stride() * size_t(in.height)) {
    if (reason) *reason = "empty or malformed image";
    return false;
  }
  if (!EnsureVips(reason)) return false;
  VRef raw(V.vips_image_new_from_memory(in.pixels.data(), in.Stride() * size_t(in.height), in.width,
                                        in.height, in.channels, VIPS_FORMAT_UCHAR));
  if (!raw) return VipsFail(reason, "cannot wrap image");
  if (V.vips_copy(raw.get(), out.out(), "interpretation", VIPS_INTERPRETATION_sRGB, nullptr))
    return VipsFail(reason, "cannot wrap image");
  return true;
}

// Normalises to 8-bit sRGB with 3 or 4 bands and copies the pixels out.
// The JPEG loader looks at its warnings between strips, so one raised in the last strip can
// slip through and the grey fill would pass for pixels; its message is still in the error buffer.
bool LateJpegWarning(std::string* reason) {
  std::string text = V.vips_error_buffer();
  if (text.find("Corrupt JPEG data") == std::string::npos ||
      text.find("extraneous bytes before marker 0xd9") != std::string::npos)
    return false;
  if (auto nl = text.find('\n'); nl != std::string::npos) text.resize(nl);
  V.vips_error_clear();
  if (reason) *reason = "cannot decode pixels: " + text;
  return true;
}

bool FromVips(VipsImage* in, Image& out, std::string* reason) {
  VRef cur;
  cur.Share(in);
  const VipsInterpretation interp = V.vips_image_get_interpretation(cur.get());
  if (interp != VIPS_INTERPRETATION_sRGB && interp != VIPS_INTERPRETATION_MULTIBAND &&
      V.vips_colourspace_issupported(cur.get())) {
    VRef t;
    if (V.vips_colourspace(cur.get(), t.out(), VIPS_INTERPRETATION_sRGB, nullptr))
      return VipsFail(reason, "cannot convert colours");
    cur.Reset(t.release());
  }
  if (V.vips_image_get_format(cur.get()) != VIPS_FORMAT_UCHAR) {
    VRef t;
    if (V.vips_cast(cur.get(), t.out(), VIPS_FORMAT_UCHAR, nullptr))
      return VipsFail(reason, "cannot convert depth");
    cur.Reset(t.release());
  }
  const int bands = V.vips_image_get_bands(cur.get());
  if (bands != 3 && bands != 4) {
    VRef colour, alpha, joined;
    VipsImage* grey = nullptr;
    if (V.vips_extract_band(cur.get(), &grey, 0, nullptr)) return VipsFail(reason, "cannot convert bands");
    VRef greyRef(grey);
    VipsImage* three[3] = {grey, grey, grey};
    if (V.vips_bandjoin(three, colour.out(), 3, nullptr)) return VipsFail(reason, "cannot convert bands");
    if (bands == 2 || bands >= 5) {
      // grey + alpha; for more bands we cannot know their meaning, so keep the first as grey.
      if (bands == 2 && V.vips_extract_band(cur.get(), alpha.out(), 1, nullptr))
        return VipsFail(reason, "cannot convert bands");
      if (alpha) {
        if (V.vips_bandjoin2(colour.get(), alpha.get(), joined.out(), nullptr))
          return VipsFail(reason, "cannot convert bands");
        cur.Reset(joined.release());
      } else {
        cur.Reset(colour.release());
      }
    } else {
      cur.Reset(colour.release());
    }
  }
  const int width = V.vips_image_get_width(cur.get()), height = V.vips_image_get_height(cur.get());
  const int channels = V.vips_image_get_bands(cur.get());
  if (channels != 3 && channels != 4) {
    if (reason) *reason = "unexpected pixel layout";
    return false;
  }
  // Written straight into the result's buffer: a copy out of a vips buffer would hold the
  // picture twice at the peak.
  Image result(width, height, channels);
  VRef target(V.vips_image_new_from_memory(result.pixels.data(), result.pixels.size(), width, height,
                                           channels, VIPS_FORMAT_UCHAR));
  if (!target || V.vips_image_write(cur.get(), target.get())) return VipsFail(reason, "cannot decode pixels");
  out = std::move(result);
  return true;
}

const char* MagickName(int format) {
  switch (format) {
    case kFormatBmp:
      return "bmp";
    case kFormatPcx:
      return "pcx";
    case kFormatTga:
      return "tga";
    case kFormatWmf:
      return "wmf";
    case kFormatPsd:
      return "psd";
    case kFormatWbmp:
      return "wbmp";
    default:
      return nullptr;
  }
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
  const uint64_t w = uint64_t(V.vips_image_get_width(img));
  const uint64_t h = uint64_t(V.vips_image_get_height(img));
  if (w == 0 || h == 0 || w * h > options.maxPixels) {
    if (reason)
      *reason = "image of " + std::to_string(w) + " x " + std::to_string(h) + " pixels is too large";
    return false;
  }
  return true;
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
  if (!data || size == 0) {
    if (reason) *reason = "no image data";
    return false;
  }
  int failed = 0;
  switch (format) {
    case kFormatJpeg:
      failed = V.vips_jpegload_buffer(const_cast<uint8_t*>(data), size, img.out(), "shrink", shrink,
                                      "fail_on", failOn, nullptr);
      break;
    case kFormatPng:
      failed = V.vips_pngload_buffer(const_cast<uint8_t*>(data), size, img.out(), "fail_on",
                                     VIPS_FAIL_ON_ERROR, nullptr);
      break;
    case kFormatTiff:
      failed = V.vips_tiffload_buffer(const_cast<uint8_t*>(data), size, img.out(), "fail_on",
                                      VIPS_FAIL_ON_ERROR, nullptr);
      break;
    case kFormatHeif:
      // libheif applies the file's rotation and mirroring: the picture comes out upright.
      if (!g_heifloadBuffer) {
        if (reason) *reason = "the imaging library cannot read HEIF pictures";
        return false;
      }
      failed = g_heifloadBuffer(const_cast<uint8_t*>(data), size, img.out(), "fail_on", VIPS_FAIL_ON_ERROR,
                                nullptr);
      break;
    default: {
      const char* name = MagickName(format);
      if (!name) {
        if (reason) *reason = "format " + std::to_string(format) + " not supported";
        return false;
      }
      if (!temp.Write(data, size, reason)) return false;
      failed = V.vips_magickload((std::string(name) + ":" + temp.Path()).c_str(), img.out(), nullptr);
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
  switch (format) {
    case kFormatJpeg:
      return ".jpg";
    case kFormatPng:
      return ".png";
    case kFormatBmp:
      return ".bmp";
    case kFormatPcx:
      return ".pcx";
    case kFormatTiff:
      return ".tif";
    case kFormatTga:
      return ".tga";
    case kFormatWmf:
      return ".wmf";
    case kFormatPsd:
      return ".psd";
    case kFormatEmf:
      return ".emf";
    case kFormatWbmp:
      return ".wbmp";
    default:
      return "";
  }
}

namespace {

uint16_t Be16(const uint8_t* p) {
  return uint16_t(p[0] << 8 | p[1]);
}

bool Refuse(std::string* reason, std::string text) {
  if (reason) *reason = std::move(text);
  return false;
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
  if (w == 0 || h == 0 || w * h > options.maxPixels)
    return Refuse(reason,
                  "image of " + std::to_string(w) + " x " + std::to_string(h) + " pixels is too large");
  return true;
}

}  // namespace

bool InspectJpeg(const uint8_t* data, size_t size, JpegLayout& layout, std::string* reason) {
  layout = JpegLayout{};
  if (!data || size < 4 || data[0] != 0xFF || data[1] != 0xD8) return Refuse(reason, "not a JPEG file");
  const std::string cut = "the JPEG file is cut short";
  bool frame = false;
  size_t pos = 2;
  for (;;) {
    // Stray bytes between segments are skipped, as the decoder does.
    const void* ff = pos < size ? std::memchr(data + pos, 0xFF, size - pos) : nullptr;
    if (!ff) return Refuse(reason, cut);
    pos = size_t(static_cast<const uint8_t*>(ff) - data);
    while (pos < size && data[pos] == 0xFF) ++pos;
    if (pos >= size) return Refuse(reason, cut);
    const uint8_t marker = data[pos++];
    if (marker == 0xD9) {
      if (layout.scans == 0) return Refuse(reason, "the JPEG file has no picture data");
      return true;
    }
    if (marker == 0x00 || marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) continue;
    if (marker == 0xD8) return Refuse(reason, "the JPEG file starts a second picture inside the first");
    if (pos + 2 > size) return Refuse(reason, cut);
    const size_t length = Be16(data + pos);
    if (length < 2) return Refuse(reason, "the JPEG file has a segment of length " + std::to_string(length));
    if (pos + length > size) return Refuse(reason, cut);
    const uint8_t* body = data + pos + 2;
    if ((marker >= 0xE0 && marker <= 0xEF) || marker == 0xFE) {
      if (++layout.segments > kMaxJpegSegments)
        return Refuse(reason, "the JPEG file has more than " + std::to_string(kMaxJpegSegments) +
                                  " APPn/COM segments (a camera writes a few)");
    } else if (marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC) {
      if (frame) return Refuse(reason, "the JPEG file has a second frame header");
      if (length < 8) return Refuse(reason, "the JPEG frame header is too short");
      frame = true;
      layout.height = Be16(body + 1);
      layout.width = Be16(body + 3);
      layout.components = body[5];
      layout.multiScan = marker == 0xC2 || marker == 0xC6 || marker == 0xCA || marker == 0xCE;
      if (layout.width == 0 || layout.height == 0 || layout.components == 0)
        return Refuse(reason, "the JPEG frame header gives no picture size");
    } else if (marker == 0xDA) {
      if (!frame) return Refuse(reason, "the JPEG file has picture data before its frame header");
      if (++layout.scans > kMaxJpegScans)
        return Refuse(reason, "the JPEG file has more than " + std::to_string(kMaxJpegScans) +
                                  " scans (a camera writes at most a dozen)");
      if (length >= 3 && body[0] < layout.components) layout.multiScan = true;
      // The entropy-coded data ends at the first marker that is not a stuffed byte or a restart.
      pos += length;
      for (;;) {
        const void* next = pos < size ? std::memchr(data + pos, 0xFF, size - pos) : nullptr;
        if (!next) return Refuse(reason, cut);
        pos = size_t(static_cast<const uint8_t*>(next) - data);
        if (pos + 1 >= size) return Refuse(reason, cut);
        const uint8_t b = data[pos + 1];
        if (b == 0x00 || (b >= 0xD0 && b <= 0xD7)) {
          pos += 2;
          continue;
        }
        if (b == 0xFF) {
          ++pos;
          continue;
        }
        break;
      }
      continue;
    }
    pos += length;
  }
}

bool DecodeImage(const uint8_t* data, size_t size, int format, Image& out, std::string* reason,
                 const DecodeOptions& options) {
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
  V.vips_error_clear();
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
  header.width = header.decodedWidth = V.vips_image_get_width(img.get());
  header.height = header.decodedHeight = V.vips_image_get_height(img.get());
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
  VRef in;
  if (!ToVips(image, in, reason)) return false;
  VRef src;
  const bool keepsAlpha = format == kFormatPng || format == kFormatTiff || format == kFormatTga ||
                          format == kFormatPsd || format == kFormatBmp;
  if (image.channels == 4 && !keepsAlpha) {
    VipsArrayDouble* white = V.vips_array_double_newv(3, 255.0, 255.0, 255.0);
    int failed = V.vips_flatten(in.get(), src.out(), "background", white, nullptr);
    V.vips_area_unref(VIPS_AREA(white));
    if (failed) return VipsFail(reason, "cannot flatten alpha");
  } else {
    src.Share(in.get());
  }
  void* buf = nullptr;
  size_t len = 0;
  int failed = 0;
  switch (format) {
    case kFormatJpeg:
      failed = V.vips_jpegsave_buffer(src.get(), &buf, &len, "Q", std::clamp(jpegQuality, 1, 100), nullptr);
      break;
    case kFormatPng:
      failed = V.vips_pngsave_buffer(src.get(), &buf, &len, nullptr);
      break;
    case kFormatTiff:
      failed = V.vips_tiffsave_buffer(src.get(), &buf, &len, "compression",
                                      VIPS_FOREIGN_TIFF_COMPRESSION_DEFLATE, nullptr);
      break;
    default: {
      const char* name = MagickName(format);
      if (!name || format == kFormatWmf) {
        if (reason) *reason = "cannot write format " + std::to_string(format);
        return false;
      }
      failed = V.vips_magicksave_buffer(src.get(), &buf, &len, "format", name, nullptr);
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

std::vector<uint8_t> ExtractPlane(const Image& image, int channel) {
  std::vector<uint8_t> plane;
  if (image.Empty() || channel < 0 || channel >= image.channels) return plane;
  const size_t n = size_t(image.width) * size_t(image.height);
  plane.resize(n);
  const uint8_t* p = image.pixels.data() + channel;
  for (size_t i = 0; i < n; ++i, p += image.channels) plane[i] = *p;
  return plane;
}

bool CombineWithPlane(const Image& colour, const std::vector<uint8_t>& plane, Image& out) {
  const size_t n = size_t(colour.width) * size_t(colour.height);
  if (colour.Empty() || colour.channels < 3 || plane.size() != n) return false;
  Image result(colour.width, colour.height, 4);
  const uint8_t* s = colour.pixels.data();
  uint8_t* d = result.pixels.data();
  for (size_t i = 0; i < n; ++i, s += colour.channels, d += 4) {
    d[0] = s[0];
    d[1] = s[1];
    d[2] = s[2];
    d[3] = plane[i];
  }
  out = std::move(result);
  return true;
}

void AddAlpha(Image& image) {
  if (image.channels != 3) return;
  std::vector<uint8_t> plane(size_t(image.width) * size_t(image.height), 255);
  Image result;
  if (CombineWithPlane(image, plane, result)) image = std::move(result);
}

bool ResizeImagePart(const Image& in, int width, int height, int x, int y, int w, int h, Image& out,
                     std::string* reason) {
  if (width <= 0 || height <= 0 || w <= 0 || h <= 0 || x < 0 || y < 0 || int64_t(x) + w > width ||
      int64_t(y) + h > height || uint64_t(w) * uint64_t(h) > kDefaultMaxPixels) {
    if (reason) *reason = "invalid target size";
    return false;
  }
  if (in.width == width && in.height == height) return CropImage(in, x, y, w, h, out);
  // vips takes the scale as a double; a factor this far out is no picture anyone asked for.
  const double hs = double(width) / in.width, vs = double(height) / in.height;
  if (!(hs > 1e-6 && hs < 1e6 && vs > 1e-6 && vs < 1e6)) {
    if (reason) *reason = "invalid target size";
    return false;
  }
  VRef src;
  if (!ToVips(in, src, reason)) return false;
  VRef cur;
  if (in.channels == 4) {
    if (V.vips_premultiply(src.get(), cur.out(), nullptr)) return VipsFail(reason, "cannot resize");
  } else {
    cur.Share(src.get());
  }
  VRef scaled;
  if (V.vips_resize(cur.get(), scaled.out(), hs, "vscale", vs, nullptr))
    return VipsFail(reason, "cannot resize");
  // vips rounds the output size; make it exact, then only the part asked for is computed.
  VRef exact;
  if (V.vips_image_get_width(scaled.get()) != width || V.vips_image_get_height(scaled.get()) != height) {
    if (V.vips_embed(scaled.get(), exact.out(), 0, 0, width, height, "extend", VIPS_EXTEND_COPY, nullptr))
      return VipsFail(reason, "cannot resize");
  } else {
    exact.Share(scaled.get());
  }
  if (x != 0 || y != 0 || w != width || h != height) {
    VRef part;
    if (V.vips_extract_area(exact.get(), part.out(), x, y, w, h, nullptr))
      return VipsFail(reason, "cannot resize");
    exact.Reset(part.release());
  }
  if (in.channels == 4) {
    VRef un;
    if (V.vips_unpremultiply(exact.get(), un.out(), nullptr)) return VipsFail(reason, "cannot resize");
    exact.Reset(un.release());
  }
  return FromVips(exact.get(), out, reason);
}

bool ResizeImage(const Image& in, int width, int height, Image& out, std::string* reason) {
  if (width <= 0 || height <= 0 || uint64_t(width) * uint64_t(height) > kDefaultMaxPixels) {
    if (reason) *reason = "invalid target size";
    return false;
  }
  if (in.width == width && in.height == height) {
    out = in;
    return true;
  }
  return ResizeImagePart(in, width, height, 0, 0, width, height, out, reason);
}

bool RotateQuarter(const Image& in, int degrees, Image& out, std::string* reason) {
  VipsAngle angle;
  switch (degrees) {
    case 90:
      angle = VIPS_ANGLE_D90;
      break;
    case 180:
      angle = VIPS_ANGLE_D180;
      break;
    case 270:
      angle = VIPS_ANGLE_D270;
      break;
    default:
      if (reason) *reason = "not a quarter turn";
      return false;
  }
  VRef src, rotated;
  if (!ToVips(in, src, reason)) return false;
  if (V.vips_rot(src.get(), rotated.out(), angle, nullptr)) return VipsFail(reason, "cannot rotate");
  return FromVips(rotated.get(), out, reason);
}

bool RotateAny(const Image& in, double degrees, Image& out, std::string* reason) {
  double d = std::fmod(degrees, 360.0);
  if (d < 0) d += 360.0;
  if (d == 0) {
    out = in;
    return !in.Empty();
  }
  if (d == 90 || d == 180 || d == 270) return RotateQuarter(in, int(d), out, reason);
  VRef src, rotated;
  if (!ToVips(in, src, reason)) return false;
  VipsArrayDouble* white = in.channels == 3 ? V.vips_array_double_newv(3, 255.0, 255.0, 255.0)
                                            : V.vips_array_double_newv(4, 255.0, 255.0, 255.0, 255.0);
  int failed = V.vips_rotate(src.get(), rotated.out(), d, "background", white, nullptr);
  V.vips_area_unref(VIPS_AREA(white));
  if (failed) return VipsFail(reason, "cannot rotate");
  return FromVips(rotated.get(), out, reason);
}

bool CropImage(const Image& in, int x, int y, int width, int height, Image& out) {
  const int64_t x0 = std::max<int64_t>(x, 0), y0 = std::max<int64_t>(y, 0);
  const int64_t x1 = std::min<int64_t>(int64_t(x) + width, in.width);
  const int64_t y1 = std::min<int64_t>(int64_t(y) + height, in.height);
  if (in.Empty() || x1 <= x0 || y1 <= y0) return false;
  Image result(int(x1 - x0), int(y1 - y0), in.channels);
  for (int row = 0; row < result.height; ++row)
    std::memcpy(result.Row(row), in.At(int(x0), int(y0) + row), result.Stride());
  out = std::move(result);
  return true;
}

void CompositeAt(Image& canvas, const Image& over, int x, int y, int opacityPercent) {
  if (canvas.Empty() || over.Empty()) return;
  const int opacity = std::clamp(opacityPercent, 0, 100);
  const int64_t x0 = std::max<int64_t>(x, 0), y0 = std::max<int64_t>(y, 0);
  const int64_t x1 = std::min<int64_t>(int64_t(x) + over.width, canvas.width);
  const int64_t y1 = std::min<int64_t>(int64_t(y) + over.height, canvas.height);
  for (int64_t cy = y0; cy < y1; ++cy) {
    const uint8_t* s = over.At(int(x0 - x), int(cy - y));
    uint8_t* d = canvas.At(int(x0), int(cy));
    for (int64_t cx = x0; cx < x1; ++cx, s += over.channels, d += canvas.channels) {
      const int a = (over.channels == 4 ? s[3] : 255) * opacity / 100;
      if (a == 0) continue;
      if (canvas.channels == 4 && d[3] != 255) {
        // Over a transparent canvas pixel the colours mix by their alphas.
        const int da = d[3] * (255 - a) / 255;
        const int oa = a + da;
        for (int c = 0; c < 3; ++c) d[c] = uint8_t((s[c] * a + d[c] * da + oa / 2) / oa);
        d[3] = uint8_t(oa);
      } else {
        for (int c = 0; c < 3; ++c) d[c] = uint8_t((s[c] * a + d[c] * (255 - a) + 127) / 255);
      }
    }
  }
}

namespace {

bool Blurred(const Image& image, double sigma, Image& out, std::string* reason) {
  VRef src, blurred;
  if (!ToVips(image, src, reason)) return false;
  if (V.vips_gaussblur(src.get(), blurred.out(), sigma, nullptr)) return VipsFail(reason, "cannot blur");
  return FromVips(blurred.get(), out, reason);
}

// x + (x - blur) * gain / 100 on the colour channels; alpha is left alone.
bool MixWithBlur(Image& image, double sigma, int gain, std::string* reason) {
  if (gain == 0) return !image.Empty();
  Image blur;
  if (!Blurred(image, sigma, blur, reason)) return false;
  if (blur.pixels.size() != image.pixels.size()) {
    if (reason) *reason = "blur changed the image size";
    return false;
  }
  for (size_t i = 0; i < image.pixels.size(); ++i) {
    if (image.channels == 4 && i % 4 == 3) continue;
    const int x = image.pixels[i];
    image.pixels[i] = uint8_t(std::clamp(x + (x - int(blur.pixels[i])) * gain / 100, 0, 255));
  }
  return true;
}

}  // namespace

bool SharpenImage(Image& image, int amount, std::string* reason) {
  return MixWithBlur(image, 1.0, 2 * std::clamp(amount, 0, 100), reason);
}

bool SoftenImage(Image& image, int amount, std::string* reason) {
  return MixWithBlur(image, 1.5, -std::clamp(amount, 0, 100), reason);
}

void DrawLine(Image& canvas, int x1, int y1, int x2, int y2, uint32_t rgb, int thickness) {
  if (canvas.Empty()) return;
  const int t = std::clamp(thickness, 1, 1000);
  const uint8_t colour[3] = {uint8_t(rgb & 0xff), uint8_t((rgb >> 8) & 0xff), uint8_t((rgb >> 16) & 0xff)};
  auto plot = [&](int64_t px, int64_t py) {
    for (int64_t yy = py - t / 2; yy < py - t / 2 + t; ++yy) {
      if (yy < 0 || yy >= canvas.height) continue;
      for (int64_t xx = px - t / 2; xx < px - t / 2 + t; ++xx) {
        if (xx < 0 || xx >= canvas.width) continue;
        uint8_t* d = canvas.At(int(xx), int(yy));
        d[0] = colour[0];
        d[1] = colour[1];
        d[2] = colour[2];
        if (canvas.channels == 4) d[3] = 255;
      }
    }
  };
  int64_t dx = std::abs(int64_t(x2) - x1), dy = -std::abs(int64_t(y2) - y1);
  const int sx = x1 < x2 ? 1 : -1, sy = y1 < y2 ? 1 : -1;
  int64_t err = dx + dy, x = x1, y = y1;
  // Lines far outside the canvas cost nothing extra: stop once both ends are reached.
  for (int64_t steps = 0; steps <= std::max(dx, -dy); ++steps) {
    plot(x, y);
    if (x == x2 && y == y2) break;
    const int64_t e2 = 2 * err;
    if (e2 >= dy) {
      err += dy;
      x += sx;
    }
    if (e2 <= dx) {
      err += dx;
      y += sy;
    }
  }
}

namespace {

bool RenderText(const std::string& text, const TextStyle& style, VRef& mask, std::string* reason) {
  if (!EnsureVips(reason)) return false;
  std::string font = style.face.empty() ? std::string("Sans") : style.face;
  // Pango takes a description string; characters it treats as separators are not in names.
  std::replace_if(
      font.begin(), font.end(), [](char c) { return c == ',' || c == '\n' || c == '\r'; }, ' ');
  if (style.bold) font += " Bold";
  if (style.italic) font += " Italic";
  font += ' ';  // not " " + to_string(): g++ 12 then warns of a false -Wrestrict in Release
  font += std::to_string(std::clamp(style.pixelHeight, 1, kMaxTextPixels));
  const std::string shown = text.substr(0, kMaxTextBytes);
  // The mask is about 0.7 x bytes x height^2 pixels; keep it within the decode cap.
  const uint64_t px = uint64_t(std::clamp(style.pixelHeight, 1, kMaxTextPixels));
  if (shown.size() * px * px > kDefaultMaxPixels) {
    if (reason) *reason = "text too large to draw";
    return false;
  }
  gchar* markup = g_markup_escape_text(shown.c_str(), gssize(shown.size()));
  // At 72 dots per inch a point is a pixel.
  int failed = V.vips_text(mask.out(), markup, "font", font.c_str(), "dpi", 72, nullptr);
  g_free(markup);
  if (failed) return VipsFail(reason, "cannot draw text");
  return true;
}

}  // namespace

bool RenderTextMask(const std::string& text, const TextStyle& style, Image& mask, std::string* reason) {
  mask = Image();
  if (text.empty()) return true;
  VRef rendered;
  if (!RenderText(text, style, rendered, reason)) return false;
  const int w = V.vips_image_get_width(rendered.get()), h = V.vips_image_get_height(rendered.get());
  if (V.vips_image_get_bands(rendered.get()) != 1 ||
      V.vips_image_get_format(rendered.get()) != VIPS_FORMAT_UCHAR) {
    if (reason) *reason = "unexpected text mask";
    return false;
  }
  Image result(w, h, 1);
  VRef target(
      V.vips_image_new_from_memory(result.pixels.data(), result.pixels.size(), w, h, 1, VIPS_FORMAT_UCHAR));
  if (!target || V.vips_image_write(rendered.get(), target.get()))
    return VipsFail(reason, "cannot draw text");
  mask = std::move(result);
  return true;
}

void DrawMask(Image& canvas, const Image& mask, int x, int y, uint32_t rgb, int opacityPercent) {
  if (canvas.Empty() || mask.Empty() || mask.channels != 1 || canvas.channels < 3) return;
  const int opacity = std::clamp(opacityPercent, 0, 100);
  const uint8_t colour[3] = {uint8_t(rgb & 0xff), uint8_t((rgb >> 8) & 0xff), uint8_t((rgb >> 16) & 0xff)};
  const int64_t x0 = std::max<int64_t>(x, 0), y0 = std::max<int64_t>(y, 0);
  const int64_t x1 = std::min<int64_t>(int64_t(x) + mask.width, canvas.width);
  const int64_t y1 = std::min<int64_t>(int64_t(y) + mask.height, canvas.height);
  for (int64_t cy = y0; cy < y1; ++cy) {
    const uint8_t* m = mask.At(int(x0 - x), int(cy - y));
    uint8_t* d = canvas.At(int(x0), int(cy));
    for (int64_t cx = x0; cx < x1; ++cx, ++m, d += canvas.channels) {
      const int a = *m * opacity / 100;
      if (a == 0) continue;
      if (canvas.channels == 4 && d[3] != 255) {
        const int da = d[3] * (255 - a) / 255;
        const int oa = a + da;
        for (int c = 0; c < 3; ++c) d[c] = uint8_t((colour[c] * a + d[c] * da + oa / 2) / oa);
        d[3] = uint8_t(oa);
      } else {
        for (int c = 0; c < 3; ++c) d[c] = uint8_t((colour[c] * a + d[c] * (255 - a) + 127) / 255);
      }
    }
  }
}

bool MeasureText(const std::string& text, const TextStyle& style, int& width, int& height,
                 std::string* reason) {
  width = height = 0;
  if (text.empty()) return true;
  VRef mask;
  if (!RenderText(text, style, mask, reason)) return false;
  width = V.vips_image_get_width(mask.get());
  height = V.vips_image_get_height(mask.get());
  return true;
}

bool DrawText(Image& canvas, const std::string& text, const TextStyle& style, int x, int y, uint32_t rgb,
              int opacityPercent, std::string* reason) {
  if (text.empty() || canvas.Empty()) return true;
  Image mask;
  if (!RenderTextMask(text, style, mask, reason)) return false;
  DrawMask(canvas, mask, x, y, rgb, opacityPercent);
  return true;
}

}  // namespace brisko
