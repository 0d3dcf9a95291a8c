// The filters' view of RAW and HEIF files: upright shape and position, from real camera files.
#include "engine/runs/photo_filters.h"

#include <gtest/gtest.h>

namespace brisko {
namespace {

TEST(PhotoFilters, RawAndHeifFilesByTheirOwnMetadata) {
  const std::string raw = std::string(BRISKO_TEST_DATA) + "/raw/";
  struct Case {
    const char* file;
    std::optional<bool> landscape;
    std::optional<std::pair<float, float>> position;
  } cases[] = {
      {"canon_eos350d_cr2_1.cr2", true, std::nullopt},
      {"sony_zve10_arw_2.arw", false, std::nullopt},  // orientation 6: shot upright
      {"apple_iphone12pro_dng_1.dng", false, std::pair{34.059608f, -84.681725f}},
      {"canon_eosr6_cr3_2.cr3", true, std::pair{37.386505f, -122.076462f}},
      {"nikon_d5300_heic_1.heic", true, std::pair{51.178281f, -1.826639f}},
      {"sigma_dp2_x3f_1.x3f", std::nullopt, std::nullopt},  // not readable: the filter lets it pass
      {"missing.nef", std::nullopt, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    EXPECT_EQ(PhotoLandscape(raw + c.file), c.landscape);
    const std::optional<LatLong> at = PhotoGpsPosition(raw + c.file);
    ASSERT_EQ(at.has_value(), c.position.has_value());
    if (at) {
      EXPECT_NEAR(at->latitude, c.position->first, 1e-4);
      EXPECT_NEAR(at->longitude, c.position->second, 1e-4);
    }
  }
}

}  // namespace
}  // namespace brisko
