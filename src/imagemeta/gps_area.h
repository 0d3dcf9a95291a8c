#pragma once
// GPS filter areas: circles and squares that include or exclude photos by their EXIF position.
#include <memory>
#include <string>
#include <vector>

namespace brisko {

class SettingsStore;

constexpr double kEarthRadiusMetres = 6378000.0;

struct LatLong {
  float latitude = 0.0f;   // decimal degrees, north positive
  float longitude = 0.0f;  // decimal degrees, east positive
  std::string text;        // what it was last parsed from

  LatLong() = default;
  LatLong(float lat, float lon) : latitude(lat), longitude(lon) {}

  // "29.3434,-47.3235" or "29.3434N,47.3235W" (letters in either case). False leaves the
  // position unchanged.
  bool Parse(const std::string& text);
  std::string Format() const;  // "%f,%f"
};

// Haversine distance in metres on a sphere of radius kEarthRadiusMetres.
double GpsDistance(const LatLong& a, const LatLong& b);
// The position `metres` away from `start` along the initial bearing (degrees, 0 = north).
LatLong GpsDestination(const LatLong& start, double metres, double bearingDegrees);

struct SpatialArea {
  LatLong m_LLCenter{-35.282039f, 149.128675f};
  LatLong m_LLTopLeft{-33.856159f, 151.21463f};
  LatLong m_LLBottomRight{-33.85784f, 151.215468f};
  bool m_bInclude = true;
  std::string m_strDesc;
  int m_iRadius = 100;
  bool m_bSquare = false;

  bool Contains(const LatLong& position) const;
};

class SpatialAreaList {
 public:
  SpatialAreaList() = default;
  SpatialAreaList(const SpatialAreaList& other) { CopyFrom(other); }
  SpatialAreaList& operator=(const SpatialAreaList& other) {
    if (this != &other) CopyFrom(other);
    return *this;
  }

  // The last area that contains the position decides; no containing area means not allowed.
  bool IsAllowed(const LatLong& position) const;

  size_t Count() const { return m_SpatialAreaPtrList.size(); }
  bool IsEmpty() const { return m_SpatialAreaPtrList.empty(); }
  SpatialArea& At(size_t i) { return *m_SpatialAreaPtrList.at(i); }
  const SpatialArea& At(size_t i) const { return *m_SpatialAreaPtrList.at(i); }
  void Add(const SpatialArea& area) { m_SpatialAreaPtrList.push_back(std::make_unique<SpatialArea>(area)); }
  bool Remove(size_t i);
  bool Swap(size_t i, size_t j);
  void Clear() { m_SpatialAreaPtrList.clear(); }
  void CopyFrom(const SpatialAreaList& other);

  void Save(SettingsStore& store, const std::string& section) const;
  void Load(SettingsStore& store, const std::string& section);

 private:
  std::vector<std::unique_ptr<SpatialArea>> m_SpatialAreaPtrList;
};

// Map preview address. `urlTemplate` holds the placeholders {PATH}, {MARKERS} and {KEY};
// the default points at a public static-map service drawing 512 x 512 pictures.
extern const char* const kDefaultStaticMapUrl;
std::string BuildStaticMapUrl(const SpatialArea& area, const std::string& urlTemplate,
                              const std::string& key);

}  // namespace brisko
