#include "naming/substring_def.h"

#include <gtest/gtest.h>

#include "common/temp_dir.h"
#include "support/settings_store.h"

namespace brisko {
namespace {

struct SubstringCase {
  const char* text;
  bool fromLeft;
  int fromType, fromChar;
  const char* fromMatch;
  int toType, toChar, length;
  const char* toMatch;
  const char* expected;
};

SubstringDef Make(const SubstringCase& c) {
  SubstringDef d;
  d.m_bFromLeft = c.fromLeft;
  d.m_iFromType = c.fromType;
  d.m_iFromChar = c.fromChar;
  d.m_strFromFirstMatch = d.m_strFromLastMatch = c.fromMatch;
  d.m_iToType = c.toType;
  d.m_iToChar = c.toChar;
  d.m_iLength = c.length;
  d.m_strToFirstMatch = d.m_strToLastMatch = c.toMatch;
  return d;
}

TEST(ASubstringDef, EvaluatesTheDocumentedCases) {
  const SubstringCase cases[] = {
      // 5th character to the end
      {"IMG_0042", true, 1, 4, "", 0, 0, 0, "", "0042"},
      // following the first "_", length 2
      {"IMG_0042", true, 2, 0, "_", 2, 0, 2, "", "00"},
      // following the last "_" to the end
      {"2008_05_17_A123", true, 3, 0, "_", 0, 0, 0, "", "A123"},
      // following the first "_" to the last "_"
      {"2008_05_17_A123", true, 2, 0, "_", 4, 0, 0, "_", "05_17"},
      // from the right: from the end to the first "-" (the right-most one)
      {"EVENT-12-B", false, 0, 0, "", 3, 0, 0, "-", "B"},
      // from the right: the 2nd to the 3rd character from the right end
      {"ABCDEF", false, 1, 1, "", 1, 2, 0, "", "DE"},
      // from the right: following the last (left-most) "-" to the end (the beginning)
      {"EVENT-12-B", false, 3, 0, "-", 0, 0, 0, "", "EVENT"},
      // end below start gives the whole text
      {"ABC", true, 1, 4, "", 0, 0, 0, "", "ABC"},
      // start beyond the text gives an empty piece
      {"ABC", true, 1, 4, "", 2, 0, 2, "", ""},
      // a piece running past the end is clipped
      {"ABC", true, 0, 0, "", 1, 9, 0, "", "ABC"},
      // a start match that does not occur starts at the first character
      {"ABCD", true, 2, 0, "X", 2, 0, 2, "", "AB"},
      // an empty "to the first occurrence" text gives the whole text
      {"ABCD", true, 1, 1, "", 3, 0, 0, "", "ABCD"},
      // the end match is searched at or after the start
      {"a-b-c", true, 2, 0, "-", 3, 0, 0, "-", "b"},
      // "to the last occurrence" searches the whole text
      {"a-b-c", true, 0, 0, "", 4, 0, 0, "-", "a-b"},
      // a negative stored position gives nothing rather than reading before the text
      {"ABC", true, 1, -5, "", 2, 0, 3, "", ""},
      // huge lengths do not overflow
      {"ABC", true, 1, 1, "", 2, 0, 2147483647, "", "BC"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Make(c).Evaluate(c.text), c.expected) << c.text << " from " << c.fromType << " to " << c.toType;
  }
}

TEST(ASubstringDef, RoundTripsWithAndWithoutTheFolderPrefix) {
  test::TempDir dir;
  SettingsStore store;
  ASSERT_TRUE(store.Open(dir / "s.db"));
  SubstringDef d;
  d.m_iFromType = 3;
  d.m_iToType = 4;
  d.m_bFromLeft = false;
  d.m_iFromChar = 7;
  d.m_iToChar = 9;
  d.m_iLength = 2;
  d.m_strFromFirstMatch = "a";
  d.m_strFromLastMatch = "b";
  d.m_strToFirstMatch = "c";
  d.m_strToLastMatch = "d";
  ASSERT_TRUE(d.Save(store, "Action_0", 1, true));
  EXPECT_EQ(store.GetProfileInt("Action_0", "CreateFolder_m_iFromType_1", -1), 3);
  EXPECT_EQ(store.GetProfileString("Action_0", "CreateFolder_m_strToLastMatch_1", ""), "d");
  EXPECT_EQ(store.GetProfileInt("Action_0", "m_iFromType_1", -1), -1);

  // Without the prefix every value is missing: the whole text, from the right.
  SubstringDef plain;
  ASSERT_TRUE(plain.Load(store, "Action_0", 1, false));
  SubstringDef missing;
  missing.m_bFromLeft = false;
  EXPECT_EQ(plain, missing);
  EXPECT_EQ(plain.Evaluate("Hello"), "Hello");
  SubstringDef back;
  back.Load(store, "Action_0", 1, true);
  EXPECT_EQ(back, d);
}

}  // namespace
}  // namespace brisko
