#include "imagemeta/gps_area_form.h"

#include <cerrno>
#include <cstdlib>

namespace brisko {
namespace {

const char* kFormatHint = " Lat Long value - it needs to be in the format 29.3434,-47.3235";

bool ParseRadius(const std::string& text, int& out) {
  const char* begin = text.c_str();
  char* end = nullptr;
  errno = 0;
  long v = std::strtol(begin, &end, 10);
  if (end == begin || errno == ERANGE || v <= 0 || v > 40000000) return false;
  out = static_cast<int>(v);
  return true;
}

}  // namespace

SpatialAreaForm::SpatialAreaForm(const SpatialArea& area)
    : description(area.m_strDesc),
      include(area.m_bInclude),
      square(area.m_bSquare),
      topLeft(area.m_LLTopLeft.Format()),
      bottomRight(area.m_LLBottomRight.Format()),
      centre(area.m_LLCenter.Format()),
      radius(std::to_string(area.m_iRadius)),
      m_area(area) {}

std::optional<SpatialAreaMessage> SpatialAreaForm::Preview(SpatialArea& out) const {
  SpatialArea area = m_area;
  area.m_strDesc = description;
  area.m_bInclude = include;
  area.m_bSquare = square;
  if (square) {
    if (!area.m_LLTopLeft.Parse(topLeft))
      return SpatialAreaMessage{std::string("Please check the Top/Left") + kFormatHint,
                                "Lat Long is invalid"};
    if (!area.m_LLBottomRight.Parse(bottomRight))
      return SpatialAreaMessage{std::string("Please check the Bottom/Right") + kFormatHint,
                                "Lat Long is invalid"};
  } else {
    if (!ParseRadius(radius, area.m_iRadius))
      return SpatialAreaMessage{"Please check the radius value - it needs to be a number greater then zero",
                                "Radius is invalid"};
    if (!area.m_LLCenter.Parse(centre))
      return SpatialAreaMessage{std::string("Please check the center") + kFormatHint, "Lat Long is invalid"};
  }
  out = area;
  return std::nullopt;
}

std::optional<SpatialAreaMessage> SpatialAreaForm::Accept() {
  if (description.empty()) return SpatialAreaMessage{"Please enter a description", "Description required"};
  SpatialArea area;
  if (auto message = Preview(area)) return message;
  if (square) {
    topLeft = area.m_LLTopLeft.Format();
    bottomRight = area.m_LLBottomRight.Format();
  } else {
    centre = area.m_LLCenter.Format();
  }
  m_area = area;
  return std::nullopt;
}

std::vector<std::string> SpatialAreasForm::Columns() {
  return {"Description", "Top/Left Lat Long", "Bottom/Right Lat Long", "Center Lat Long", "Radius (m)"};
}

std::string SpatialAreasForm::RowText(const SpatialArea& a) {
  return a.m_strDesc + ", " + (a.m_bInclude ? "Include area" : "Exclude area") + ", " +
         (a.m_bSquare ? "Square" : "Circle");
}

std::vector<std::string> SpatialAreasForm::Rows() const {
  std::vector<std::string> rows;
  for (size_t i = 0; i < m_areas.Count(); ++i) rows.push_back(RowText(m_areas.At(i)));
  return rows;
}

int SpatialAreasForm::Add(const SpatialArea& area) {
  m_areas.Add(area);
  return static_cast<int>(m_areas.Count()) - 1;
}

int SpatialAreasForm::Replace(int row, const SpatialArea& area) {
  if (row < 0 || static_cast<size_t>(row) >= m_areas.Count()) return -1;
  m_areas.At(static_cast<size_t>(row)) = area;
  return row;
}

int SpatialAreasForm::Remove(int row) {
  if (row < 0 || !m_areas.Remove(static_cast<size_t>(row))) return -1;
  int count = static_cast<int>(m_areas.Count());
  return count == 0 ? -1 : (row < count ? row : count - 1);
}

int SpatialAreasForm::MoveUp(int row) {
  if (row <= 0 || !m_areas.Swap(static_cast<size_t>(row), static_cast<size_t>(row - 1))) return row;
  return row - 1;
}

int SpatialAreasForm::MoveDown(int row) {
  if (row < 0 || !m_areas.Swap(static_cast<size_t>(row), static_cast<size_t>(row + 1))) return row;
  return row + 1;
}

}  // namespace brisko
