#pragma once
// Rules of the two GPS area dialogs, kept free of widgets so that tests drive them.
#include <optional>
#include <string>
#include <vector>

#include "imagemeta/gps_area.h"

namespace brisko {

// Named apart from the naming forms' message so both headers can meet in one program.
struct SpatialAreaMessage {
  std::string text;
  std::string caption;
};

// "GPS Filter Area": one area's edit fields.
class SpatialAreaForm {
 public:
  explicit SpatialAreaForm(const SpatialArea& area);

  std::string description;
  bool include = true;
  bool square = false;
  std::string topLeft, bottomRight, centre, radius;

  // OK: checks the fields in order; on the first failure returns its message box and the
  // dialog stays open. On success the area is updated and the position fields show "%f,%f".
  std::optional<SpatialAreaMessage> Accept();
  const SpatialArea& Area() const { return m_area; }

  // The area the fields describe now, for the map preview: the position and radius checks of
  // Accept (the description may still be empty); the fields and Area() stay as they are.
  std::optional<SpatialAreaMessage> Preview(SpatialArea& out) const;

 private:
  SpatialArea m_area;
};

// "GPS Filter Areas": the list of an action's areas.
class SpatialAreasForm {
 public:
  explicit SpatialAreasForm(const SpatialAreaList& areas) : m_areas(areas) {}

  static std::vector<std::string> Columns();
  // "%s, %s, %s": description, include or exclude, square or circle.
  static std::string RowText(const SpatialArea& area);
  std::vector<std::string> Rows() const;

  // Each returns the row to select afterwards (-1: none).
  int Add(const SpatialArea& area);
  int Replace(int row, const SpatialArea& area);
  int Remove(int row);
  int MoveUp(int row);
  int MoveDown(int row);

  const SpatialAreaList& Areas() const { return m_areas; }

 private:
  SpatialAreaList m_areas;
};

}  // namespace brisko
