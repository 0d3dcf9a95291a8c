#include "imagemeta/gps_area.h"

#include <gtest/gtest.h>

#include "common/temp_dir.h"
#include "imagemeta/gps_area_form.h"
#include "support/settings_store.h"

using namespace brisko;

namespace {

LatLong At(const char* text) {
  LatLong p;
  EXPECT_TRUE(p.Parse(text)) << text;
  return p;
}

SpatialArea Circle(LatLong centre, int radius, bool include) {
  SpatialArea a;
  a.m_LLCenter = centre;
  a.m_iRadius = radius;
  a.m_bInclude = include;
  return a;
}

SpatialArea Square(LatLong tl, LatLong br, bool include) {
  SpatialArea a;
  a.m_bSquare = true;
  a.m_LLTopLeft = tl;
  a.m_LLBottomRight = br;
  a.m_bInclude = include;
  return a;
}

}  // namespace

TEST(ALatLong, parsesSignsLettersAndCommaRuns) {
  struct Row {
    const char* text;
    float lat, lon;
  } rows[] = {
      {"29.3434,-47.3235", 29.3434f, -47.3235f},
      {"29.3434N,47.3235W", 29.3434f, -47.3235f},
      {"29.3434n,47.3235w", 29.3434f, -47.3235f},
      {"-33.8568,151.2153", -33.8568f, 151.2153f},
      {"33.8568S,151.2153E", -33.8568f, 151.2153f},
      {"1.5,,,2.5,9,9", 1.5f, 2.5f},
      {"  1.5,  2.5xyz", 1.5f, 2.5f},
  };
  for (const Row& r : rows) {
    LatLong p;
    ASSERT_TRUE(p.Parse(r.text)) << r.text;
    EXPECT_FLOAT_EQ(p.latitude, r.lat) << r.text;
    EXPECT_FLOAT_EQ(p.longitude, r.lon) << r.text;
    EXPECT_EQ(p.text, r.text);
  }
  for (const char* bad : {"29.3434", "29.3434,", ",29.3434", "", "abc,def", "1,x", "nan,1", "inf,2"}) {
    LatLong p(1.0f, 2.0f);
    EXPECT_FALSE(p.Parse(bad)) << bad;
    EXPECT_FLOAT_EQ(p.latitude, 1.0f);
  }
  EXPECT_EQ(LatLong(-35.282039f, 149.128675f).Format(), "-35.282040,149.128677");
}

TEST(AGpsDistance, matchesAnIndependentHaversineForCityPairs) {
  // Reference figures computed separately on the same 6378 km sphere.
  EXPECT_NEAR(GpsDistance(At("-33.8688,151.2093"), At("-35.2809,149.1300")), 247032.0, 5.0);
  EXPECT_NEAR(GpsDistance(At("51.5074,-0.1278"), At("48.8566,2.3522")), 343933.5, 5.0);
  EXPECT_DOUBLE_EQ(GpsDistance(At("10,10"), At("10,10")), 0.0);
  EXPECT_NEAR(GpsDistance(At("0,0"), At("0,180")), 3.14159265 * kEarthRadiusMetres, 1.0);
}

TEST(AGpsDestination, landsAtTheGivenDistanceOnEachBearing) {
  LatLong centre = At("-35.282039,149.128675");
  for (double bearing : {0.0, 90.0, 180.0, 270.0}) {
    LatLong p = GpsDestination(centre, 1000.0, bearing);
    EXPECT_NEAR(GpsDistance(centre, p), 1000.0, 1.0) << bearing;
  }
  EXPECT_GT(GpsDestination(centre, 1000.0, 0.0).latitude, centre.latitude);
  EXPECT_GT(GpsDestination(centre, 1000.0, 90.0).longitude, centre.longitude);
  LatLong east = GpsDestination(At("0,179.9999"), 1000.0, 90.0);
  EXPECT_LT(east.longitude, -179.0f);  // wrapped over the meridian
}

TEST(ACircle, includesStrictlyInsideItsRadius) {
  LatLong centre = At("-35.282039,149.128675");
  SpatialAreaList list;
  list.Add(Circle(centre, 100, true));
  EXPECT_TRUE(list.IsAllowed(GpsDestination(centre, 99.0, 45.0)));
  EXPECT_FALSE(list.IsAllowed(GpsDestination(centre, 100.5, 45.0)));
  EXPECT_FALSE(list.IsAllowed(GpsDestination(centre, 5000.0, 45.0)));
}

TEST(AnAreaList, letsTheLastContainingAreaDecide) {
  SpatialArea square = Square(At("-33.85,151.20"), At("-33.87,151.22"), true);
  LatLong hole = At("-33.86,151.21");
  SpatialAreaList list;
  EXPECT_FALSE(list.IsAllowed(hole));  // no areas: nothing allowed
  list.Add(square);
  list.Add(Circle(hole, 200, false));
  EXPECT_FALSE(list.IsAllowed(hole));
  EXPECT_TRUE(list.IsAllowed(At("-33.851,151.201")));
  EXPECT_TRUE(list.IsAllowed(At("-33.85,151.22")));  // corners belong to the square
  EXPECT_FALSE(list.IsAllowed(At("-33.80,151.21")));
  list.Add(Circle(hole, 50, true));  // re-admits the middle of the hole
  EXPECT_TRUE(list.IsAllowed(hole));

  SpatialAreaList excludeOnly;
  excludeOnly.Add(Circle(hole, 200, false));
  EXPECT_FALSE(excludeOnly.IsAllowed(hole));
  EXPECT_FALSE(excludeOnly.IsAllowed(At("10,10")));

  SpatialAreaList acrossMeridian;
  acrossMeridian.Add(Square(At("10,179"), At("0,-179"), true));
  EXPECT_FALSE(acrossMeridian.IsAllowed(At("5,179.5")));
}

TEST(AnAreaList, survivesAStoreRoundTripAndFillsMissingPositions) {
  test::TempDir dir;
  SettingsStore store;
  ASSERT_TRUE(store.Open(dir / "s.db"));
  SpatialAreaList list;
  SpatialArea a = Circle(At("-35.5,149.25"), 250, false);
  a.m_strDesc = "Ceremony, \"lawn\"";
  list.Add(a);
  list.Add(Square(At("1,2"), At("0.5,3"), true));
  list.Save(store, "Action_3");
  EXPECT_EQ(store.GetProfileString("Action_3", "m_LLCenter_0", ""), "-35.500000,149.250000");
  EXPECT_EQ(store.GetProfileInt("Action_3", "m_SpatialAreaPtrList_count", 0), 2);

  SpatialAreaList back;
  back.Load(store, "Action_3");
  ASSERT_EQ(back.Count(), 2u);
  EXPECT_EQ(back.At(0).m_strDesc, "Ceremony, \"lawn\"");
  EXPECT_EQ(back.At(0).m_iRadius, 250);
  EXPECT_FALSE(back.At(0).m_bInclude);
  EXPECT_TRUE(back.At(1).m_bSquare);
  EXPECT_FLOAT_EQ(back.At(1).m_LLBottomRight.longitude, 3.0f);

  store.DeleteProfileValue("Action_3", "m_LLTopLeft_1");
  store.WriteProfileInt("Action_4", "m_SpatialAreaPtrList_count", -7);
  back.Load(store, "Action_3");
  EXPECT_FLOAT_EQ(back.At(1).m_LLTopLeft.latitude, 0.0f);
  back.Load(store, "Action_4");
  EXPECT_EQ(back.Count(), 0u);
}

TEST(TheAreaForm, checksFieldsInOrderAndWritesBackAcceptedPositions) {
  SpatialAreaForm form{SpatialArea{}};
  form.description = "";
  ASSERT_TRUE(form.Accept());
  EXPECT_EQ(form.Accept()->caption, "Description required");

  form.description = "Church";
  form.square = true;
  form.topLeft = "29.3434";
  form.bottomRight = "nonsense";
  EXPECT_EQ(form.Accept()->text,
            "Please check the Top/Left Lat Long value - it needs to be in the format 29.3434,-47.3235");
  form.topLeft = "29.5N,47.5W";
  EXPECT_EQ(form.Accept()->text,
            "Please check the Bottom/Right Lat Long value - it needs to be in the format 29.3434,-47.3235");
  form.bottomRight = "29.1,-47.1";
  EXPECT_FALSE(form.Accept());
  EXPECT_EQ(form.topLeft, "29.500000,-47.500000");
  EXPECT_TRUE(form.Area().m_bSquare);

  form.square = false;
  for (const char* bad : {"0", "-5", "abc", ""}) {
    form.radius = bad;
    auto msg = form.Accept();
    ASSERT_TRUE(msg) << bad;
    EXPECT_EQ(msg->caption, "Radius is invalid");
  }
  form.radius = "150";
  form.centre = "1";
  EXPECT_EQ(form.Accept()->text,
            "Please check the center Lat Long value - it needs to be in the format 29.3434,-47.3235");
  form.centre = "1S,2E";
  EXPECT_FALSE(form.Accept());
  EXPECT_EQ(form.centre, "-1.000000,2.000000");
  EXPECT_EQ(form.Area().m_iRadius, 150);
}

TEST(TheAreaForm, previewsTheFieldsWithoutADescriptionAndWithoutTakingThem) {
  SpatialAreaForm form{SpatialArea{}};
  form.description = "";
  form.centre = "10N,20W";
  form.radius = "250";
  SpatialArea shown;
  EXPECT_FALSE(form.Preview(shown));
  EXPECT_FLOAT_EQ(shown.m_LLCenter.longitude, -20.0f);
  EXPECT_EQ(shown.m_iRadius, 250);
  EXPECT_EQ(form.centre, "10N,20W");
  EXPECT_EQ(form.Area().m_iRadius, 100);

  form.square = true;
  form.topLeft = "north";
  auto msg = form.Preview(shown);
  ASSERT_TRUE(msg);
  EXPECT_EQ(msg->caption, "Lat Long is invalid");
  EXPECT_EQ(shown.m_iRadius, 250);  // untouched on failure
}

TEST(TheAreaListForm, showsRowsAndMovesSelection) {
  SpatialAreasForm form{SpatialAreaList{}};
  SpatialArea a;
  a.m_strDesc = "A";
  SpatialArea b = Square(At("1,1"), At("0,2"), false);
  b.m_strDesc = "B";
  EXPECT_EQ(form.Add(a), 0);
  EXPECT_EQ(form.Add(b), 1);
  EXPECT_EQ(form.Rows(), (std::vector<std::string>{"A, Include area, Circle", "B, Exclude area, Square"}));
  EXPECT_EQ(form.MoveUp(1), 0);
  EXPECT_EQ(form.Areas().At(0).m_strDesc, "B");
  EXPECT_EQ(form.MoveUp(0), 0);
  EXPECT_EQ(form.MoveDown(1), 1);
  EXPECT_EQ(form.Remove(1), 0);
  EXPECT_EQ(form.Remove(0), -1);
  EXPECT_EQ(form.Remove(0), -1);
}

TEST(TheMapPreview, drawsThePathOfASquareAndTheRadiusMarkersOfACircle) {
  SpatialArea sq = Square(At("1,2"), At("0,3"), true);
  std::string url = BuildStaticMapUrl(sq, kDefaultStaticMapUrl, "KEY1");
  EXPECT_NE(url.find("size=512x512"), std::string::npos);
  EXPECT_NE(
      url.find("path=rgb:0x0000ff,weight:5%7C1.000000,2.000000%7C1.000000,3.000000%7C0.000000,3.000000"),
      std::string::npos)
      << url;
  EXPECT_NE(url.find("markers=1.000000,2.000000%7C0.000000,3.000000"), std::string::npos) << url;
  EXPECT_NE(url.find("key=KEY1"), std::string::npos);

  SpatialArea circle = Circle(At("0,0"), 1000, true);
  url = BuildStaticMapUrl(circle, "https://maps.example/?{PATH}&{MARKERS}", "");
  EXPECT_EQ(url.find("path="), std::string::npos);
  EXPECT_NE(url.find("markers=0.000000,0.000000%7C0.008983,0.000000%7C"), std::string::npos) << url;
}
