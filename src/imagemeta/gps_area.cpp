#include "imagemeta/gps_area.h"

#include <cmath>
#include <cstdio>

#include "support/settings_store.h"

namespace brisko {
namespace {

const double kPi = 4.0 * std::atan(1.0);

double Radians(double degrees) {
  return degrees * kPi / 180.0;
}
double Degrees(double radians) {
  return radians * 180.0 / kPi;
}

std::string Upper(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return s;
}

// Removes `letter`; true when it was there.
bool RemoveLetter(std::string& s, char letter) {
  bool found = false;
  std::string out;
  for (char c : s) {
    if (c == letter)
      found = true;
    else
      out += c;
  }
  s = out;
  return found;
}

// Like "%f": leading blanks skipped, trailing text ignored, at least one number character.
bool ScanFloat(const std::string& s, float& value) {
  float v = 0;
  if (std::sscanf(s.c_str(), "%f", &v) != 1) return false;
  value = v;
  return true;
}

std::string Key(const char* name, size_t i) {
  return std::string(name) + std::to_string(i);
}

std::string Replace(std::string text, const std::string& what, const std::string& with) {
  for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + with.size()))
    text.replace(p, what.size(), with);
  return text;
}

}  // namespace

bool LatLong::Parse(const std::string& input) {
  // Pieces split at commas; a run of commas counts as one.
  std::vector<std::string> pieces;
  size_t i = 0;
  while (i < input.size() && pieces.size() < 2) {
    size_t comma = input.find(',', i);
    if (comma == std::string::npos) comma = input.size();
    if (comma > i) pieces.push_back(input.substr(i, comma - i));
    i = comma + 1;
  }
  if (pieces.size() < 2) return false;
  std::string lat = Upper(pieces[0]);
  std::string lon = Upper(pieces[1]);
  RemoveLetter(lon, 'E');
  if (RemoveLetter(lon, 'W')) lon = "-" + lon;
  RemoveLetter(lat, 'N');
  if (RemoveLetter(lat, 'S')) lat = "-" + lat;
  float la = 0, lo = 0;
  if (!ScanFloat(lat, la) || !ScanFloat(lon, lo)) return false;
  if (!std::isfinite(la) || !std::isfinite(lo)) return false;
  latitude = la;
  longitude = lo;
  text = input;
  return true;
}

std::string LatLong::Format() const {
  char buf[128];
  std::snprintf(buf, sizeof buf, "%f,%f", static_cast<double>(latitude), static_cast<double>(longitude));
  return buf;
}

double GpsDistance(const LatLong& a, const LatLong& b) {
  double phiA = Radians(a.latitude), phiB = Radians(b.latitude);
  double dPhi = phiB - phiA;
  double dLambda = Radians(b.longitude) - Radians(a.longitude);
  double h = std::sin(dPhi / 2) * std::sin(dPhi / 2) +
             std::cos(phiA) * std::cos(phiB) * std::sin(dLambda / 2) * std::sin(dLambda / 2);
  if (h > 1.0) h = 1.0;  // rounding near antipodes would make sqrt(1 - h) NaN
  return 2.0 * std::atan2(std::sqrt(h), std::sqrt(1.0 - h)) * kEarthRadiusMetres;
}

LatLong GpsDestination(const LatLong& start, double metres, double bearingDegrees) {
  double delta = metres / kEarthRadiusMetres;
  double theta = Radians(bearingDegrees);
  double phi1 = Radians(start.latitude), lambda1 = Radians(start.longitude);
  double phi2 =
      std::asin(std::sin(phi1) * std::cos(delta) + std::cos(phi1) * std::sin(delta) * std::cos(theta));
  double lambda2 = lambda1 + std::atan2(std::sin(theta) * std::sin(delta) * std::cos(phi1),
                                        std::cos(delta) - std::sin(phi1) * std::sin(phi2));
  // Keep the longitude in [-180, 180) so the preview address stays valid near the meridian.
  double lon = std::fmod(Degrees(lambda2) + 540.0, 360.0) - 180.0;
  return LatLong(static_cast<float>(Degrees(phi2)), static_cast<float>(lon));
}

bool SpatialArea::Contains(const LatLong& p) const {
  if (m_bSquare) {
    return m_LLBottomRight.latitude <= p.latitude && p.latitude <= m_LLTopLeft.latitude &&
           m_LLTopLeft.longitude <= p.longitude && p.longitude <= m_LLBottomRight.longitude;
  }
  return GpsDistance(m_LLCenter, p) < static_cast<double>(m_iRadius);
}

bool SpatialAreaList::IsAllowed(const LatLong& position) const {
  bool allowed = false;
  for (const auto& area : m_SpatialAreaPtrList)
    if (area->Contains(position)) allowed = area->m_bInclude;
  return allowed;
}

bool SpatialAreaList::Remove(size_t i) {
  if (i >= m_SpatialAreaPtrList.size()) return false;
  m_SpatialAreaPtrList.erase(m_SpatialAreaPtrList.begin() + static_cast<std::ptrdiff_t>(i));
  return true;
}

bool SpatialAreaList::Swap(size_t i, size_t j) {
  if (i >= m_SpatialAreaPtrList.size() || j >= m_SpatialAreaPtrList.size()) return false;
  std::swap(m_SpatialAreaPtrList[i], m_SpatialAreaPtrList[j]);
  return true;
}

void SpatialAreaList::CopyFrom(const SpatialAreaList& other) {
  m_SpatialAreaPtrList.clear();
  for (const auto& area : other.m_SpatialAreaPtrList) Add(*area);
}

void SpatialAreaList::Save(SettingsStore& store, const std::string& section) const {
  store.WriteProfileInt(section, "m_SpatialAreaPtrList_count", static_cast<int>(m_SpatialAreaPtrList.size()));
  for (size_t i = 0; i < m_SpatialAreaPtrList.size(); ++i) {
    const SpatialArea& a = *m_SpatialAreaPtrList[i];
    store.WriteProfileString(section, Key("m_LLCenter_", i), a.m_LLCenter.Format());
    store.WriteProfileString(section, Key("m_LLTopLeft_", i), a.m_LLTopLeft.Format());
    store.WriteProfileString(section, Key("m_LLBottomRight_", i), a.m_LLBottomRight.Format());
    store.WriteProfileInt(section, Key("m_bInclude_", i), a.m_bInclude ? 1 : 0);
    store.WriteProfileString(section, Key("m_strDesc_", i), a.m_strDesc);
    store.WriteProfileInt(section, Key("m_iRadius_", i), a.m_iRadius);
    store.WriteProfileInt(section, Key("m_bSquare_", i), a.m_bSquare ? 1 : 0);
  }
}

void SpatialAreaList::Load(SettingsStore& store, const std::string& section) {
  m_SpatialAreaPtrList.clear();
  int count = store.GetProfileInt(section, "m_SpatialAreaPtrList_count", 0);
  // A damaged count must not make us loop for billions of missing areas.
  if (count < 0 || count > 10000) count = 0;
  for (int n = 0; n < count; ++n) {
    size_t i = static_cast<size_t>(n);
    SpatialArea a;
    auto position = [&](const char* name, LatLong& out) {
      if (!out.Parse(store.GetProfileString(section, Key(name, i), "0.0,0.0"))) out = LatLong(0.0f, 0.0f);
    };
    position("m_LLCenter_", a.m_LLCenter);
    position("m_LLTopLeft_", a.m_LLTopLeft);
    position("m_LLBottomRight_", a.m_LLBottomRight);
    a.m_bInclude = store.GetProfileInt(section, Key("m_bInclude_", i), 1) != 0;
    a.m_strDesc = store.GetProfileString(section, Key("m_strDesc_", i), "");
    a.m_iRadius = store.GetProfileInt(section, Key("m_iRadius_", i), 100);
    a.m_bSquare = store.GetProfileInt(section, Key("m_bSquare_", i), 0) != 0;
    Add(a);
  }
}

const char* const kDefaultStaticMapUrl =
    "https://maps.googleapis.com/maps/api/staticmap?size=512x512&{PATH}&{MARKERS}&key={KEY}";

std::string BuildStaticMapUrl(const SpatialArea& area, const std::string& urlTemplate,
                              const std::string& key) {
  auto pos = [](const LatLong& p) { return p.Format(); };
  std::string path, markers = "markers=";
  if (area.m_bSquare) {
    LatLong tl = area.m_LLTopLeft, br = area.m_LLBottomRight;
    LatLong tr(tl.latitude, br.longitude), bl(br.latitude, tl.longitude);
    path = "path=rgb:0x0000ff,weight:5";
    for (const LatLong& p : {tl, tr, br, bl, tl}) path += "%7C" + pos(p);
    markers += pos(tl) + "%7C" + pos(br);
  } else {
    markers += pos(area.m_LLCenter);
    for (double bearing : {0.0, 90.0, 180.0, 270.0})
      markers += "%7C" + pos(GpsDestination(area.m_LLCenter, area.m_iRadius, bearing));
  }
  std::string url = Replace(urlTemplate, "{PATH}", path);
  url = Replace(url, "{MARKERS}", markers);
  url = Replace(url, "{KEY}", key);
  // A circle has no path: drop the empty parameter it leaves behind.
  return Replace(url, "&&", "&");
}

}  // namespace brisko
