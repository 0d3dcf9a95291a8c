#include "layout/render_rules.h"

#include <locale.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "imaging/image_codec.h"
#include "rawmeta/raw_metadata.h"
#include "support/path_util.h"

namespace brisko {

namespace {

bool IsEmpty(const PixelRect& r) {
  return r.right <= r.left || r.bottom <= r.top;
}

}  // namespace

bool KeepsStoredPlacement(const PixelRect& placement, int photoW, int photoH) {
  if (placement.Width() <= 0 || placement.Height() <= 0 || photoW <= 0 || photoH <= 0) return false;
  const double stored = double(placement.Width()) / placement.Height();
  return std::fabs(stored - double(photoW) / photoH) < 0.01;
}

PixelRect DefaultPlacement(const PixelRect& hole, int photoW, int photoH) {
  if (photoW <= 0 || photoH <= 0 || IsEmpty(hole)) return hole;
  const int64_t holeW = hole.Width(), holeH = hole.Height();
  PixelRect r = hole;
  const int64_t scaledH = int64_t(photoH) * holeW / photoW;
  if (scaledH >= holeH) {
    r.top = int(hole.top - (scaledH - holeH) / 2);
    r.bottom = int(r.top + scaledH);
  } else {
    const int64_t scaledW = int64_t(photoW) * holeH / photoH;
    r.left = int(hole.left - (scaledW - holeW) / 2);
    r.right = int(r.left + scaledW);
  }
  return r;
}

bool CanvasSize(int designW, int designH, int maxW, int maxH, int& width, int& height) {
  if (designW <= 0 || designH <= 0) return false;
  if (maxW == -1) {
    width = designW;
    height = designH;
    return true;
  }
  if (maxW <= 0 || maxH <= 0) return false;
  width = maxW;
  int64_t h = int64_t(designH) * maxW / designW;
  if (h > maxH) {
    width = int(int64_t(designW) * maxH / designH);
    h = maxH;
  }
  height = int(h);
  return width > 0 && height > 0;
}

PixelRect Intersect(const PixelRect& a, const PixelRect& b) {
  PixelRect r{std::max(a.left, b.left), std::max(a.top, b.top), std::min(a.right, b.right),
              std::min(a.bottom, b.bottom)};
  if (IsEmpty(r)) return PixelRect{};
  return r;
}

std::string FormatLocalDateTime(std::time_t t, int type) {
  static const char* const kInvalid = "Invalid DateTime";
  const char* format = type == 1 ? "%x" : type == 2 ? "%X" : "%x %X";
  std::tm local{};
  if (!localtime_r(&t, &local)) return kInvalid;
  // The user's date and time formats come from the environment, whatever the process locale.
  locale_t loc = newlocale(LC_TIME_MASK, "", locale_t(0));
  if (!loc) loc = newlocale(LC_TIME_MASK, "C", locale_t(0));
  if (!loc) return kInvalid;
  char buffer[128];
  const size_t n = strftime_l(buffer, sizeof buffer, format, &local, loc);
  freelocale(loc);
  return n == 0 ? kInvalid : std::string(buffer, n);
}

std::string PageFileName(const std::string& photoName) {
  if (ImageFormatFromPath(photoName) != kFormatHeif) return photoName;
  const PathParts parts = SplitPath(photoName);
  return parts.folder + parts.name + ".jpg";
}

std::string CaptionTextForPhoto(int type, const std::string& text, const std::string& photoPath) {
  switch (type) {
    case 1:
    case 2:
    case 3: {
      // A RAW or HEIF photo tells when it was taken; its file date is that of the copy.
      RawMetadata meta;
      std::time_t taken = 0;
      if (IsRawOrHeifPath(photoPath) && ReadRawMetadata(photoPath, meta) && RawCaptureTime(meta, taken))
        return FormatLocalDateTime(taken, type);
      struct stat st;
      if (::stat(photoPath.c_str(), &st) != 0) return "Invalid DateTime";
      return FormatLocalDateTime(st.st_mtime, type);
    }
    case 4:
      return SplitPath(photoPath).name;
    case 5:
      return photoPath;
    default:
      return text;
  }
}

std::vector<std::string> SplitCaptionLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (;;) {
    const size_t end = text.find("\r\n", start);
    if (end == std::string::npos) {
      lines.push_back(text.substr(start));
      return lines;
    }
    lines.push_back(text.substr(start, end - start));
    start = end + 2;
  }
}

int CaptionLineHeight(int fontSize, int canvasH, int designH) {
  if (designH <= 0) return 0;
  const int64_t base = int64_t(fontSize) * 300 / 720;
  return int(std::clamp<int64_t>(base * canvasH / designH, 0, 100000));
}

std::vector<LinePlacement> PlaceCaptionLines(const PixelRect& box, const std::vector<int>& lineWidths,
                                             int lineHeight, int hAlign, int vAlign) {
  const int64_t block = int64_t(lineHeight) * int64_t(lineWidths.size());
  int64_t y = box.top;
  if (vAlign == 1) y = box.top + (box.Height() - block) / 2;
  if (vAlign == 2) y = box.bottom - block;
  std::vector<LinePlacement> out;
  out.reserve(lineWidths.size());
  for (int w : lineWidths) {
    int64_t x = box.left;
    if (hAlign == 1) x = box.left + (int64_t(box.Width()) - w) / 2;
    if (hAlign == 2) x = int64_t(box.right) - w;
    out.push_back({int(std::clamp<int64_t>(x, INT32_MIN, INT32_MAX)),
                   int(std::clamp<int64_t>(y, INT32_MIN, INT32_MAX))});
    y += lineHeight;
  }
  return out;
}

}  // namespace brisko
