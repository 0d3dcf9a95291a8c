#include "imaging/image_text.h"

#include <algorithm>
#include <cstdint>

#include "imaging/image_codec.h"
#include "imaging/image_paint.h"
#include "imaging/vips_library.h"

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
constexpr size_t kMaxTextBytes = 4096;
constexpr int kMaxTextPixels = 4000;

bool RenderText(const std::string& text, const TextStyle& style, VRef& mask, std::string* reason) {
  const VipsCalls& vips = LoadedVips();
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
  int failed = vips.vips_text(mask.out(), markup, "font", font.c_str(), "dpi", 72, nullptr);
  g_free(markup);
  if (failed) return VipsFail(reason, "cannot draw text");
  return true;
}

}  // namespace

bool RenderTextMask(const std::string& text, const TextStyle& style, Image& mask, std::string* reason) {
  const VipsCalls& vips = LoadedVips();
  mask = Image();
  if (text.empty()) return true;
  VRef rendered;
  if (!RenderText(text, style, rendered, reason)) return false;
  const int w = vips.vips_image_get_width(rendered.get()), h = vips.vips_image_get_height(rendered.get());
  if (vips.vips_image_get_bands(rendered.get()) != 1 ||
      vips.vips_image_get_format(rendered.get()) != VIPS_FORMAT_UCHAR) {
    if (reason) *reason = "unexpected text mask";
    return false;
  }
  Image result(w, h, 1);
  VRef target(vips.vips_image_new_from_memory(result.pixels.data(), result.pixels.size(), w, h, 1,
                                              VIPS_FORMAT_UCHAR));
  if (!target || vips.vips_image_write(rendered.get(), target.get()))
    return VipsFail(reason, "cannot draw text");
  mask = std::move(result);
  return true;
}

bool MeasureText(const std::string& text, const TextStyle& style, int& width, int& height,
                 std::string* reason) {
  const VipsCalls& vips = LoadedVips();
  width = height = 0;
  if (text.empty()) return true;
  VRef mask;
  if (!RenderText(text, style, mask, reason)) return false;
  width = vips.vips_image_get_width(mask.get());
  height = vips.vips_image_get_height(mask.get());
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
