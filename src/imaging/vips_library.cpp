#include "imaging/vips_library.h"

#include <dlfcn.h>

#include <algorithm>

namespace brisko {

namespace {

struct Loaded {
  VipsCalls calls;
  bool ok = false;
  std::string error;  // why it is not ok
};

bool LoadCalls(VipsCalls& calls, std::string& error) {
  void* lib = dlopen(BRISKO_VIPS_LIBRARY, RTLD_NOW | RTLD_GLOBAL);
  if (!lib) {
    const char* why = dlerror();
    error = std::string("cannot load ") + BRISKO_VIPS_LIBRARY + (why ? std::string(": ") + why : "");
    return false;
  }
#define BRISKO_VIPS_LOAD(name)                                            \
  calls.name = reinterpret_cast<decltype(calls.name)>(dlsym(lib, #name)); \
  if (!calls.name) {                                                      \
    error = std::string(BRISKO_VIPS_LIBRARY) + " lacks " #name;           \
    return false;                                                         \
  }
  BRISKO_VIPS_CALLS(BRISKO_VIPS_LOAD)
#undef BRISKO_VIPS_LOAD
  calls.vips_heifload_buffer =
      reinterpret_cast<decltype(calls.vips_heifload_buffer)>(dlsym(lib, "vips_heifload_buffer"));
  return true;
}

Loaded Load() {
  Loaded loaded;
  VipsCalls& v = loaded.calls;
  if (!LoadCalls(v, loaded.error)) {
    loaded.error = "cannot start the imaging library: " + loaded.error;
    loaded.calls = VipsCalls{};
    return loaded;
  }
  if (v.vips_init("brisko-workflow") != 0) {
    loaded.error = std::string("cannot start the imaging library: ") + v.vips_error_buffer();
    v.vips_error_clear();
    loaded.calls = VipsCalls{};
    return loaded;
  }
  // Every picture is decoded once and copied out, so vips's operation cache would only hold
  // memory; broken files must not write warnings to the terminal.
  v.vips_cache_set_max(0);
  v.vips_cache_set_max_mem(0);
  v.vips_cache_set_max_files(0);
  g_log_set_handler(
      "VIPS", G_LOG_LEVEL_WARNING, [](const gchar*, GLogLevelFlags, const gchar*, gpointer) {}, nullptr);
  loaded.ok = true;
  return loaded;
}

// Loaded on the first picture, not at every start: a station started for one pass of moves
// or copies never needs libvips and the dozens of libraries behind it.
const Loaded& Library() {
  static const Loaded loaded = Load();
  return loaded;
}

}  // namespace

bool EnsureVips(std::string* reason) {
  const Loaded& lib = Library();
  if (!lib.ok && reason) *reason = lib.error;
  return lib.ok;
}

const VipsCalls& LoadedVips() {
  return Library().calls;
}

bool VipsFail(std::string* reason, const char* what) {
  const VipsCalls& vips = LoadedVips();
  if (reason) {
    std::string text = vips.vips_error_buffer();
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    if (auto nl = text.find('\n'); nl != std::string::npos) text.resize(nl);
    *reason = text.empty() ? std::string(what) : std::string(what) + ": " + text;
  }
  vips.vips_error_clear();
  return false;
}

bool ToVips(const Image& in, VRef& out, std::string* reason) {
  const VipsCalls& vips = LoadedVips();
  if (in.Empty() || (in.channels != 3 && in.channels != 4) ||
      in.pixels.size() < in.Stride() * size_t(in.height)) {
    if (reason) *reason = "empty or malformed image";
    return false;
  }
  if (!EnsureVips(reason)) return false;
  VRef raw(vips.vips_image_new_from_memory(in.pixels.data(), in.Stride() * size_t(in.height), in.width,
                                           in.height, in.channels, VIPS_FORMAT_UCHAR));
  if (!raw) return VipsFail(reason, "cannot wrap image");
  if (vips.vips_copy(raw.get(), out.out(), "interpretation", VIPS_INTERPRETATION_sRGB, nullptr))
    return VipsFail(reason, "cannot wrap image");
  return true;
}

bool FromVips(VipsImage* in, Image& out, std::string* reason) {
  const VipsCalls& vips = LoadedVips();
  VRef cur;
  cur.Share(in);
  const VipsInterpretation interp = vips.vips_image_get_interpretation(cur.get());
  if (interp != VIPS_INTERPRETATION_sRGB && interp != VIPS_INTERPRETATION_MULTIBAND &&
      vips.vips_colourspace_issupported(cur.get())) {
    VRef t;
    if (vips.vips_colourspace(cur.get(), t.out(), VIPS_INTERPRETATION_sRGB, nullptr))
      return VipsFail(reason, "cannot convert colours");
    cur.Reset(t.release());
  }
  if (vips.vips_image_get_format(cur.get()) != VIPS_FORMAT_UCHAR) {
    VRef t;
    if (vips.vips_cast(cur.get(), t.out(), VIPS_FORMAT_UCHAR, nullptr))
      return VipsFail(reason, "cannot convert depth");
    cur.Reset(t.release());
  }
  const int bands = vips.vips_image_get_bands(cur.get());
  if (bands != 3 && bands != 4) {
    VRef colour, alpha, joined;
    VipsImage* grey = nullptr;
    if (vips.vips_extract_band(cur.get(), &grey, 0, nullptr)) return VipsFail(reason, "cannot convert bands");
    VRef greyRef(grey);
    VipsImage* three[3] = {grey, grey, grey};
    if (vips.vips_bandjoin(three, colour.out(), 3, nullptr)) return VipsFail(reason, "cannot convert bands");
    if (bands == 2 || bands >= 5) {
      // grey + alpha; for more bands we cannot know their meaning, so keep the first as grey.
      if (bands == 2 && vips.vips_extract_band(cur.get(), alpha.out(), 1, nullptr))
        return VipsFail(reason, "cannot convert bands");
      if (alpha) {
        if (vips.vips_bandjoin2(colour.get(), alpha.get(), joined.out(), nullptr))
          return VipsFail(reason, "cannot convert bands");
        cur.Reset(joined.release());
      } else {
        cur.Reset(colour.release());
      }
    } else {
      cur.Reset(colour.release());
    }
  }
  const int width = vips.vips_image_get_width(cur.get()), height = vips.vips_image_get_height(cur.get());
  const int channels = vips.vips_image_get_bands(cur.get());
  if (channels != 3 && channels != 4) {
    if (reason) *reason = "unexpected pixel layout";
    return false;
  }
  // Written straight into the result's buffer: a copy out of a vips buffer would hold the
  // picture twice at the peak.
  Image result(width, height, channels);
  VRef target(vips.vips_image_new_from_memory(result.pixels.data(), result.pixels.size(), width, height,
                                              channels, VIPS_FORMAT_UCHAR));
  if (!target || vips.vips_image_write(cur.get(), target.get()))
    return VipsFail(reason, "cannot decode pixels");
  out = std::move(result);
  return true;
}

}  // namespace brisko
