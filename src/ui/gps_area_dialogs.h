#pragma once
// The GPS area dialogs: "GPS Filter Areas" (an action's list of areas) and "GPS Filter Area" (one
// area). Both move values between widgets and the form models of imagemeta/gps_area_form.h,
// which hold the rules.
#include <QDialog>
#include <functional>
#include <optional>
#include <string>

#include "imagemeta/gps_area.h"
#include "imagemeta/gps_area_form.h"

class QLineEdit;
class QPushButton;
class QRadioButton;
class QTreeWidget;

namespace brisko {

class SettingsStore;

// How the dialogs show a message box; tests replace it. Null restores the real message box.
void SetGpsAreaMessageHook(std::function<void(QWidget* parent, const SpatialAreaMessage&)> hook);
// How the map preview opens its address; tests replace it so nothing is opened. Null restores
// the desktop's default handler. The hook returns false when the address could not be opened.
void SetOpenUrlHook(std::function<bool(const std::string& url)> hook);

// "GPS Filter Area": edits a copy of one area; Area() is the result after OK.
class CManageSpatialAreaDlg : public QDialog {
  Q_OBJECT
 public:
  // The store gives the static-map address template and key of the map preview.
  CManageSpatialAreaDlg(const SpatialArea& area, SettingsStore& store, QWidget* parent = nullptr);

  QLineEdit* DescriptionEdit() const { return m_description; }
  QRadioButton* IncludeRadio() const { return m_include; }
  QRadioButton* ExcludeRadio() const { return m_exclude; }
  QRadioButton* CircleRadio() const { return m_circle; }
  QRadioButton* SquareRadio() const { return m_square; }
  QLineEdit* TopLeftEdit() const { return m_topLeft; }
  QLineEdit* BottomRightEdit() const { return m_bottomRight; }
  QLineEdit* CentreEdit() const { return m_centre; }
  QLineEdit* RadiusEdit() const { return m_radius; }
  QPushButton* MapButton() const { return m_map; }

  const SpatialArea& Area() const { return m_form.Area(); }
  // The preview address of the fields as they stand, or nothing (after its message box) when
  // a position or the radius does not read.
  std::optional<std::string> MapUrl();
  void accept() override;

  // Modal; the edited area on OK.
  static std::optional<SpatialArea> Edit(QWidget* parent, const SpatialArea& area, SettingsStore& store);

 private:
  void ReadFields();
  void ShowShape();
  void OnMap();

  SpatialAreaForm m_form;
  SettingsStore& m_store;
  QLineEdit* m_description = nullptr;
  QRadioButton* m_include = nullptr;
  QRadioButton* m_exclude = nullptr;
  QRadioButton* m_circle = nullptr;
  QRadioButton* m_square = nullptr;
  QLineEdit* m_topLeft = nullptr;
  QLineEdit* m_bottomRight = nullptr;
  QLineEdit* m_centre = nullptr;
  QLineEdit* m_radius = nullptr;
  QPushButton* m_map = nullptr;
};

// "GPS Filter Areas": edits a copy of an action's areas; Areas() is the result after OK.
class CManageSpatialAreas : public QDialog {
  Q_OBJECT
 public:
  CManageSpatialAreas(const SpatialAreaList& areas, SettingsStore& store, QWidget* parent = nullptr);

  // Opens "GPS Filter Area" on an area (nothing when cancelled); tests replace it.
  std::function<std::optional<SpatialArea>(const SpatialArea&)> editArea;

  QTreeWidget* List() const { return m_list; }
  QPushButton* AddButton() const { return m_add; }
  QPushButton* EditButton() const { return m_edit; }
  QPushButton* RemoveButton() const { return m_remove; }
  QPushButton* UpButton() const { return m_up; }
  QPushButton* DownButton() const { return m_down; }
  const SpatialAreaList& Areas() const { return m_form.Areas(); }

  // Modal; the edited list on OK.
  static std::optional<SpatialAreaList> Edit(QWidget* parent, const SpatialAreaList& areas,
                                             SettingsStore& store);

 private:
  int CurrentRow() const;
  void Refill(int select);
  void UpdateButtons();
  void OnAdd();
  void OnEdit();

  SpatialAreasForm m_form;
  QTreeWidget* m_list = nullptr;
  QPushButton* m_add = nullptr;
  QPushButton* m_edit = nullptr;
  QPushButton* m_remove = nullptr;
  QPushButton* m_up = nullptr;
  QPushButton* m_down = nullptr;
};

}  // namespace brisko
