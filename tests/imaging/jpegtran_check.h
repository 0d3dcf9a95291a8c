#pragma once
// jpegtran as the reference for lossless quarter turns, compared as decoded pixels.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "imaging/jpeg_transform.h"

namespace brisko::test {

// `rotated` decodes to the same pixels as `jpegtran -trim -rotate degrees` makes of `source`
// (partial edge blocks trimmed away); `scratch` takes jpegtran's file.
inline void ExpectPixelsLikeJpegtran(const std::string& source, const std::vector<uint8_t>& rotated,
                                     int degrees, const std::string& scratch) {
  ASSERT_EQ(std::system(("jpegtran -trim -rotate " + std::to_string(degrees) + " -outfile '" + scratch +
                         "' '" + source + "'")
                            .c_str()),
            0);
  std::vector<uint8_t> ref, pa, pb;
  int wa, ha, ca, wb, hb, cb;
  ASSERT_TRUE(ReadWholeFile(scratch, ref));
  ASSERT_TRUE(JpegDecodePixels(rotated, pa, wa, ha, ca));
  ASSERT_TRUE(JpegDecodePixels(ref, pb, wb, hb, cb));
  EXPECT_EQ(wa, wb);
  EXPECT_EQ(ha, hb);
  EXPECT_TRUE(pa == pb) << "decoded pixels differ from jpegtran's";
}

}  // namespace brisko::test
