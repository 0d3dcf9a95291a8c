#include "ui/gps_area_dialogs.h"

#include <gtest/gtest.h>

#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTreeWidget>

#include "common/temp_dir.h"
#include "support/settings_store.h"

using namespace brisko;

namespace {

// Collects the message boxes and opened addresses instead of showing or opening them.
struct Seams {
  Seams() {
    SetGpsAreaMessageHook([this](QWidget*, const SpatialAreaMessage& m) { shown.push_back(m); });
    SetOpenUrlHook([this](const std::string& url) {
      opened.push_back(url);
      return opens;
    });
  }
  ~Seams() {
    SetGpsAreaMessageHook(nullptr);
    SetOpenUrlHook(nullptr);
  }
  std::vector<SpatialAreaMessage> shown;
  std::vector<std::string> opened;
  bool opens = true;
};

struct Store {
  Store() { EXPECT_TRUE(store.Open(dir / "settings.db")); }
  test::TempDir dir;
  SettingsStore store;
};

void Type(QLineEdit* edit, const char* text) {
  edit->clear();
  QTest::keyClicks(edit, text);
}

SpatialArea Named(const char* desc, bool square, bool include) {
  SpatialArea a;
  a.m_strDesc = desc;
  a.m_bSquare = square;
  a.m_bInclude = include;
  return a;
}

std::vector<std::string> FirstColumn(QTreeWidget* list) {
  std::vector<std::string> texts;
  for (int i = 0; i < list->topLevelItemCount(); ++i)
    texts.push_back(list->topLevelItem(i)->text(0).toStdString());
  return texts;
}

}  // namespace

TEST(TheAreaDialog, keepsItselfOpenOnEachFailedCheckAndWritesBackAcceptedPositions) {
  Seams seams;
  Store s;
  CManageSpatialAreaDlg dialog(SpatialArea{}, s.store);
  EXPECT_TRUE(dialog.CircleRadio()->isChecked());
  EXPECT_FALSE(dialog.TopLeftEdit()->isEnabled());

  // The order and texts of the checks are the form's; the dialog shows each and stays open.
  dialog.accept();
  dialog.SquareRadio()->setChecked(true);
  EXPECT_TRUE(dialog.TopLeftEdit()->isEnabled());
  EXPECT_FALSE(dialog.RadiusEdit()->isEnabled());
  QTest::keyClicks(dialog.DescriptionEdit(), "Wharf");
  Type(dialog.TopLeftEdit(), "33.85s,151.21e");
  Type(dialog.BottomRightEdit(), ",151.3");
  dialog.accept();
  ASSERT_EQ(seams.shown.size(), 2u);
  EXPECT_EQ(seams.shown[0].caption, "Description required");
  EXPECT_NE(dialog.result(), QDialog::Accepted);

  Type(dialog.BottomRightEdit(), "-33.9,151.3");
  dialog.ExcludeRadio()->setChecked(true);
  Type(dialog.RadiusEdit(), "0");  // not checked for a square
  dialog.accept();
  EXPECT_EQ(seams.shown.size(), 2u);
  EXPECT_EQ(dialog.result(), QDialog::Accepted);
  EXPECT_EQ(dialog.TopLeftEdit()->text(), "-33.849998,151.210007");  // float, as stored
  const SpatialArea& area = dialog.Area();
  EXPECT_EQ(area.m_strDesc, "Wharf");
  EXPECT_TRUE(area.m_bSquare);
  EXPECT_FALSE(area.m_bInclude);
  EXPECT_FLOAT_EQ(area.m_LLBottomRight.latitude, -33.9f);
  EXPECT_EQ(area.m_iRadius, 100);
}

TEST(TheAreaDialog, opensTheMapOfTheFieldsAsTheyStandWithTheStoredServiceSettings) {
  Seams seams;
  Store s;
  CManageSpatialAreaDlg dialog(Named("Park", false, true), s.store);
  Type(dialog.CentreEdit(), "-35.3,149.1");
  Type(dialog.RadiusEdit(), "500");
  SpatialArea expected = Named("Park", false, true);
  expected.m_LLCenter = LatLong(-35.3f, 149.1f);
  expected.m_iRadius = 500;

  QTest::mouseClick(dialog.MapButton(), Qt::LeftButton);
  ASSERT_EQ(seams.opened.size(), 1u);
  EXPECT_EQ(seams.opened[0], BuildStaticMapUrl(expected, kDefaultStaticMapUrl, ""));
  EXPECT_EQ(seams.opened[0].rfind("https://", 0), 0u);

  s.store.WriteProfileString("Settings", "m_strStaticMapUrl",
                             "https://maps.example/s?{MARKERS}&{PATH}&k={KEY}");
  s.store.WriteProfileString("Settings", "m_strStaticMapKey", "abc123");
  dialog.SquareRadio()->setChecked(true);
  expected.m_bSquare = true;
  QTest::mouseClick(dialog.MapButton(), Qt::LeftButton);
  ASSERT_EQ(seams.opened.size(), 2u);
  EXPECT_EQ(seams.opened[1],
            BuildStaticMapUrl(expected, "https://maps.example/s?{MARKERS}&{PATH}&k={KEY}", "abc123"));
  EXPECT_NE(seams.opened[1].find("path=rgb:0x0000ff,weight:5"), std::string::npos);
  EXPECT_TRUE(seams.shown.empty());
  EXPECT_EQ(dialog.Area().m_iRadius, 100);  // previewing takes nothing into the area

  // A position that does not read gives its message and opens nothing; a failed open says so.
  Type(dialog.TopLeftEdit(), "nowhere");
  QTest::mouseClick(dialog.MapButton(), Qt::LeftButton);
  dialog.CircleRadio()->setChecked(true);
  seams.opens = false;
  QTest::mouseClick(dialog.MapButton(), Qt::LeftButton);
  EXPECT_EQ(seams.opened.size(), 3u);
  ASSERT_EQ(seams.shown.size(), 2u);
  EXPECT_EQ(seams.shown[0].caption, "Lat Long is invalid");
  EXPECT_EQ(seams.shown[1].caption, "Map preview");
}

TEST(TheAreaListDialog, showsRowsAndEditsACopyOfTheList) {
  Seams seams;
  Store s;
  SpatialAreaList original;
  original.Add(Named("Town", true, true));
  original.Add(Named("Church", false, false));
  CManageSpatialAreas dialog(original, s.store);
  QTreeWidget* list = dialog.List();
  EXPECT_EQ(FirstColumn(list),
            (std::vector<std::string>{"Town, Include area, Square", "Church, Exclude area, Circle"}));
  EXPECT_EQ(list->topLevelItem(0)->text(1).toStdString(), SpatialArea{}.m_LLTopLeft.Format());
  EXPECT_EQ(list->topLevelItem(0)->text(3), "");
  EXPECT_EQ(list->topLevelItem(1)->text(4), "100");
  EXPECT_FALSE(dialog.UpButton()->isEnabled());  // first row selected

  std::vector<std::string> asked;
  std::optional<SpatialArea> answer = Named("Hall", false, true);
  dialog.editArea = [&](const SpatialArea& a) {
    asked.push_back(a.m_strDesc);
    return answer;
  };
  QTest::mouseClick(dialog.AddButton(), Qt::LeftButton);
  EXPECT_EQ(FirstColumn(list).back(), "Hall, Include area, Circle");
  EXPECT_FALSE(dialog.DownButton()->isEnabled());  // the new last row is selected

  QTest::mouseClick(dialog.UpButton(), Qt::LeftButton);
  QTest::mouseClick(dialog.UpButton(), Qt::LeftButton);
  EXPECT_EQ(FirstColumn(list)[0], "Hall, Include area, Circle");
  answer.reset();  // cancelled: nothing changes
  QTest::mouseClick(dialog.EditButton(), Qt::LeftButton);
  answer = Named("Hall 2", true, false);
  QTest::mouseClick(dialog.EditButton(), Qt::LeftButton);
  EXPECT_EQ(asked, (std::vector<std::string>{"", "Hall", "Hall"}));
  QTest::mouseClick(dialog.DownButton(), Qt::LeftButton);
  EXPECT_EQ(FirstColumn(list),
            (std::vector<std::string>{"Town, Include area, Square", "Hall 2, Exclude area, Square",
                                      "Church, Exclude area, Circle"}));
  QTest::mouseClick(dialog.RemoveButton(), Qt::LeftButton);
  EXPECT_EQ(dialog.Areas().Count(), 2u);
  EXPECT_EQ(dialog.Areas().At(1).m_strDesc, "Church");
  EXPECT_EQ(list->topLevelItem(1)->isSelected(), true);
  EXPECT_EQ(original.Count(), 2u);
  EXPECT_EQ(original.At(1).m_strDesc, "Church");
  EXPECT_TRUE(seams.shown.empty());
}

TEST(TheAreaListDialog, disablesRowButtonsWhenNothingIsSelected) {
  Store s;
  CManageSpatialAreas dialog(SpatialAreaList{}, s.store);
  EXPECT_EQ(dialog.List()->topLevelItemCount(), 0);
  for (QPushButton* b : {dialog.EditButton(), dialog.RemoveButton(), dialog.UpButton(), dialog.DownButton()})
    EXPECT_FALSE(b->isEnabled()) << b->text().toStdString();
  EXPECT_TRUE(dialog.AddButton()->isEnabled());
}
