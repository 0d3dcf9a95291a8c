#include "print/media_names.h"

#include <cups/cups.h>
#include <cups/pwg.h>

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <optional>

namespace brisko {

namespace {

constexpr size_t kLongestName = 255;

struct Dimensions {
  double width = 0, height = 0;
  std::string_view text;  // "4x6", "210x297"
  bool inches = false;
};

// "4x6in", "8.5x11in", "210x297mm".
std::optional<Dimensions> ReadDimensions(std::string_view s) {
  Dimensions d;
  if (s.size() > 2 && s.substr(s.size() - 2) == "in")
    d.inches = true;
  else if (!(s.size() > 2 && s.substr(s.size() - 2) == "mm"))
    return std::nullopt;
  d.text = s.substr(0, s.size() - 2);
  const size_t x = d.text.find('x');
  if (x == std::string_view::npos || x == 0 || x + 1 == d.text.size()) return std::nullopt;
  auto number = [](std::string_view n) -> std::optional<double> {
    if (n.size() > 12 || n.find_first_not_of("0123456789.") != std::string_view::npos || n.front() == '.')
      return std::nullopt;
    return std::strtod(std::string(n).c_str(), nullptr);
  };
  const auto w = number(d.text.substr(0, x)), h = number(d.text.substr(x + 1));
  if (!w || !h || *w <= 0 || *h <= 0) return std::nullopt;
  d.width = *w;
  d.height = *h;
  return d;
}

// "letter" -> "Letter", "photo-l" -> "Photo L"; ISO and JIS names in capitals ("A4", "DL").
std::string Title(std::string_view name, bool capitals) {
  std::string out;
  bool start = true;
  for (char c : name) {
    if (c == '-' || c == '_') {
      out += ' ';
      start = true;
      continue;
    }
    const auto u = static_cast<unsigned char>(c);
    out += static_cast<char>(capitals || start ? std::toupper(u) : u);
    start = false;
  }
  return out;
}

std::string Centimetres(double inches) {
  return std::to_string(static_cast<int>(std::lround(inches * 2.54)));
}

}  // namespace

bool MediaDimensions(const std::string& ippName, int* width, int* height) {
  pwg_media_t* media = ippName.empty() ? nullptr : pwgMediaForPWG(ippName.c_str());
  if (!media || media->width <= 0 || media->length <= 0) return false;
  *width = media->width;
  *height = media->length;
  return true;
}

std::string ReadableMediaName(std::string_view ippName) {
  const std::string fallback(ippName.substr(0, kLongestName));
  if (ippName.size() > kLongestName) return fallback;
  // class_name_dimensions; the name itself may hold "_" only in the class part's custom forms.
  const size_t first = ippName.find('_');
  const size_t last = ippName.rfind('_');
  if (first == std::string_view::npos || first == last) return fallback;
  const std::string_view klass = ippName.substr(0, first);
  std::string_view name = ippName.substr(first + 1, last - first - 1);
  const auto d = ReadDimensions(ippName.substr(last + 1));
  if (!d || name.empty() || klass == "custom") return fallback;
  const std::string dims = std::string(d->text) + (d->inches ? " in" : " mm");
  // Names that only repeat the size ("index-4x6", "5x7") say it by the size.
  if (name.rfind("index-", 0) == 0) name.remove_prefix(6);
  const bool bySize = name == d->text;
  if (d->inches) {
    const std::string metric = Centimetres(d->width) + "x" + Centimetres(d->height) + " cm";
    return bySize ? dims + " (" + metric + ")" : Title(name, false) + " (" + dims + ", " + metric + ")";
  }
  if (bySize) return dims;
  return Title(name, klass == "iso" || klass == "jis") + " (" + dims + ")";
}

}  // namespace brisko
