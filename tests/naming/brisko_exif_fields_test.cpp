#include "naming/brisko_exif_fields.h"

#include <gtest/gtest.h>

#include "common/temp_dir.h"
#include "naming/fake_exif.h"
#include "support/settings_store.h"

namespace brisko {
namespace {

TEST(ABriskoExifBlock, IsBuiltInTheFixedOrderWithEmptyValuesLeftOut) {
  BriskoExifFields f;
  f.m_strPhotoGrapherID = "P7";
  f.m_strBarcodeInputsArray[0] = "1234";
  EXPECT_EQ(f.BuildBlock(), "BriskoExif:m_strPhotoGrapherID=P7|m_strBarcodeInputsArray_0=1234|");

  BriskoExifFields all;
  all.m_strOperatorSelectedText = "op";
  all.m_strIDFilepath = "/m/ID.TXT";
  all.m_strPhotoGrapherID = "p";
  all.m_strEventID = "e";
  all.m_strCardID = "c";
  all.m_strUserID1 = "u1";
  all.m_strUserID2 = "u2";
  all.m_strUserID3 = "u3";
  all.m_iBatchID = 42;
  all.m_origFilename = "a.jpg";
  all.m_origFilepath = "/in/a.jpg";
  all.m_BriskoExifOrigUserComments = "old";
  all.m_strBarcodeInputsArray[9] = "alpha";
  all.m_CustomFields.Set("Zone", "B");
  EXPECT_EQ(all.BuildBlock(),
            "BriskoExif:m_strOperatorSelectedText=op|m_strIDFilepath=/m/ID.TXT|m_strPhotoGrapherID=p|"
            "m_strEventID=e|m_strCardID=c|m_strUserID1=u1|m_strUserID2=u2|m_strUserID3=u3|m_iBatchID=42|"
            "m_origFilename=a.jpg|m_origFilepath=/in/a.jpg|m_BriskoExifOrigUserComments=old|"
            "m_strBarcodeInputsArray_9=alpha|Zone=B|");

  BriskoExifFields back;
  back.ParseBlock(all.BuildBlock());
  EXPECT_EQ(back, all);
}

TEST(ABriskoExifBlock, ParsesLenientlyAsDocumented) {
  struct Case {
    const char* comment;
    const char* customText;  // the custom map after parsing
  };
  const Case cases[] = {
      {"BriskoExif:a=1||b=2|", "a=1|b=2|"},
      {"BriskoExif:c=|=d|e==f|", "e=f|"},
      {"Nice shot", ""},
      {"xBriskoExif:a=1|", ""},
      {"BriskoExif:a=1|BriskoExif:b=2|", "a=1|b=2|"},
      {"BriskoExif:a=BriskoBriskoExif:Exif:1|", "a=1|"},
      {"BriskoExif:a=1|a=2|", "a=2|"},
      {"BriskoExif:a=x=y=z|", "a=x|"},
      {"BriskoExif:a", ""},
      {"", ""},
  };
  for (const auto& c : cases) {
    BriskoExifFields f;
    f.m_CustomFields.Set("stale", "1");
    f.ParseBlock(c.comment);
    EXPECT_EQ(f.m_CustomFields.ToText(), c.customText) << c.comment;
  }
}

TEST(ABriskoExifBlock, KeepsKnownFieldsThatTheBlockLacks) {
  BriskoExifFields f;
  f.m_strEventID = "Gala";
  f.m_iBatchID = 5;
  f.ParseBlock("Nice shot");
  EXPECT_EQ(f.m_strEventID, "Gala");
  EXPECT_EQ(f.m_iBatchID, 5);
  f.ParseBlock("BriskoExif:m_strCardID=C1|m_strBarcodeInputsArray_3=prod|m_strBarcodeInputsArray_10=x|");
  EXPECT_EQ(f.m_strEventID, "Gala");
  EXPECT_EQ(f.m_strCardID, "C1");
  EXPECT_EQ(f.m_strBarcodeInputsArray[3], "prod");
  // Slot 10 does not exist: it is a custom field.
  EXPECT_EQ(f.m_CustomFields.ToText(), "m_strBarcodeInputsArray_10=x|");
}

TEST(ABriskoExifBlock, ReadsTheBatchIdFromItsLeadingNumber) {
  const std::pair<const char*, int> cases[] = {
      {"12abc", 12},
      {" -7", -7},
      {"+3", 3},
      {"abc", 0},
      {"99999999999", 2147483647},
      {"-99999999999", -2147483647 - 1},
  };
  for (const auto& [text, expected] : cases) {
    BriskoExifFields f;
    f.ParseBlock(std::string("BriskoExif:m_iBatchID=") + text + "|");
    EXPECT_EQ(f.m_iBatchID, expected) << text;
  }
}

// Values are cut at the separators and at a NUL.
TEST(ABriskoExifBlock, CannotBeInjectedThroughAValue) {
  BriskoExifFields f;
  f.m_strBarcodeInputsArray[0] = "1|m_strEventID=Forged";
  f.m_strOperatorSelectedText = std::string("op\0|m_strCardID=X", 17);
  f.m_strCardID = "c=d";
  f.m_CustomFields.Set("a|b", "1");
  f.m_CustomFields.Set("k", "v|m_iBatchID=9");
  EXPECT_EQ(f.BuildBlock(),
            "BriskoExif:m_strOperatorSelectedText=op|m_strCardID=c|m_strBarcodeInputsArray_0=1|k=v|");
}

TEST(ABriskoExifFile, PreservesAForeignCommentBehindATilde) {
  test::FakeExif exif;
  exif.comments["/in/a.jpg"] = "Nice shot";
  BriskoExifFields f;
  f.m_BriskoExifOrigUserComments = "old";
  ASSERT_TRUE(f.WriteToFile("/in/a.jpg", "/tmp/a.jpg", exif));
  EXPECT_EQ(f.m_BriskoExifOrigUserComments, "old~Nice shot");
  EXPECT_EQ(exif.written["/tmp/a.jpg"], "BriskoExif:m_BriskoExifOrigUserComments=old~Nice shot|");

  BriskoExifFields fresh;
  fresh.WriteToFile("/in/a.jpg", "/tmp/b.jpg", exif);
  EXPECT_EQ(fresh.m_BriskoExifOrigUserComments, "Nice shot");

  // A block already in the source is not a foreign comment.
  exif.comments["/in/b.jpg"] = "BriskoExif:m_strEventID=E|";
  BriskoExifFields tagged;
  tagged.WriteToFile("/in/b.jpg", "/tmp/c.jpg", exif);
  EXPECT_EQ(tagged.m_BriskoExifOrigUserComments, "");

  exif.writeResult = false;
  EXPECT_FALSE(tagged.WriteToFile("/in/b.jpg", "/tmp/d.jpg", exif));
}

TEST(ABriskoExifFile, WithoutACommentLeavesTheFieldSetAsItWas) {
  test::FakeExif exif;
  BriskoExifFields f;
  f.m_CustomFields.Set("k", "v");
  f.ReadFromFile("/in/none.jpg", exif);
  EXPECT_EQ(f.m_CustomFields.ToText(), "k=v|");
  exif.comments["/in/a.jpg"] = "BriskoExif:m_strEventID=E|";
  f.ReadFromFile("/in/a.jpg", exif);
  EXPECT_EQ(f.m_strEventID, "E");
  EXPECT_TRUE(f.m_CustomFields.Empty());
}

TEST(TheCopyMoveFilling, KeepsTheFirstNameAndOverwritesTheCurrentValues) {
  BriskoExifFields f;
  f.m_origFilename = "first.jpg";
  f.m_strBarcodeInputsArray[2] = "old venue";
  f.m_strCardID = "old card";
  f.m_CustomFields.Set("Zone", "A");
  f.m_CustomFields.Set("Keep", "1");
  std::array<std::string, kBarcodeSlots> barcodes;
  barcodes[0] = "P1";
  BriskoExifCustomMap action;
  action.Set("Zone", "B");

  CompleteFieldsForWrite(f, "/in/now.jpg", nullptr, barcodes, "op", action);
  EXPECT_EQ(f.m_origFilename, "first.jpg");
  EXPECT_EQ(f.m_origFilepath, "/in/now.jpg");
  EXPECT_EQ(f.m_strCardID, "old card");  // no ID.TXT record: kept
  EXPECT_EQ(f.m_strBarcodeInputsArray[0], "P1");
  EXPECT_EQ(f.m_strBarcodeInputsArray[2], "");  // empty current values overwrite too
  EXPECT_EQ(f.m_strOperatorSelectedText, "op");
  EXPECT_EQ(f.m_CustomFields.ToText(), "Keep=1|Zone=B|");

  CIdTxt id;
  id.m_strFilePath = "/card/ID.TXT";
  id.m_strCardID = "";
  id.m_iBatchID = 9;
  CompleteFieldsForWrite(f, "/in/other.jpg", &id, barcodes, "", action);
  EXPECT_EQ(f.m_origFilepath, "/in/now.jpg");
  EXPECT_EQ(f.m_strCardID, "");
  EXPECT_EQ(f.m_strIDFilepath, "/card/ID.TXT");
  EXPECT_EQ(f.m_iBatchID, 9);
}

TEST(TheActionCustomFields, RoundTripAndFeedTheKnownNames) {
  test::TempDir dir;
  SettingsStore store;
  ASSERT_TRUE(store.Open(dir / "s.db"));
  BriskoExifCustomMap fields;
  fields.Set("Zone", "B");
  fields.Set("Table", "7");
  ASSERT_TRUE(SaveActionCustomFields(store, "Action_1", fields));
  EXPECT_EQ(store.GetProfileString("Action_1", "m_BriskoExifCustomActionFieldsMap", ""), "Table=7|Zone=B|");
  BriskoExifCustomMap loaded, known;
  loaded.Set("stale", "x");
  known.Set("Zone", "A");
  known.Set("Venue", "V");
  LoadActionCustomFields(store, "Action_1", loaded, known);
  EXPECT_EQ(loaded, fields);
  EXPECT_EQ(known.ToText(), "Table=7|Venue=V|Zone=B|");
}

}  // namespace
}  // namespace brisko
