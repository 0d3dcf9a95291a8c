#pragma once
// libvips, loaded at run time, and what every operation on its images shares. Only the files of
// this folder include it: no other folder sees libvips.
#include <vips/vips.h>

#include <string>
#include <utility>

#include "imaging/image.h"

namespace brisko {

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
  // Optional: a libvips built without libheif still serves every other format.
  int (*vips_heifload_buffer)(void* buf, size_t len, VipsImage** out, ...) = nullptr;
};

// Loads and starts libvips once, on the first call; false with the reason when it cannot.
bool EnsureVips(std::string* reason);
// The library's calls; every one is null until EnsureVips has returned true.
const VipsCalls& LoadedVips();

// False, with `what` and the first line of libvips's error buffer as the reason; clears the buffer.
bool VipsFail(std::string* reason, const char* what);

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
bool ToVips(const Image& in, VRef& out, std::string* reason);
// Normalises to 8-bit sRGB with 3 or 4 bands and copies the pixels out.
bool FromVips(VipsImage* in, Image& out, std::string* reason);

}  // namespace brisko
