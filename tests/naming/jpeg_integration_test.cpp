// The naming code over real JPEG files through the station's EXIF reader-writer, with exiftool
// as the independent reader.
#include <gtest/gtest.h>

#include <cstdlib>

#include "common/jpeg_builder.h"
#include "common/temp_dir.h"
#include "common/tools.h"
#include "imagemeta/jpeg_exif_file.h"
#include "naming/brisko_exif_fields.h"
#include "naming/exif_access.h"
#include "naming/name_template.h"

namespace brisko {
namespace {

class JpegNamingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::HaveExiftool()) GTEST_SKIP() << "exiftool is not installed";
    setenv("TZ", "UTC", 1);
    tzset();
    source = dir / "IMG_0042.jpg";
    test::Save(source, test::MakeJpeg(32, 16));
  }
  test::TempDir dir;
  std::string source;
};

TEST_F(JpegNamingTest, TheWrittenBlockIsTheUserCommentExiftoolReads) {
  ASSERT_TRUE(WriteExifUserComment("Nice shot", source, dir / "commented.jpg"));
  BriskoExifFields fields;
  fields.ReadFromFile(dir / "commented.jpg", DefaultExifAccess());
  EXPECT_TRUE(fields.m_CustomFields.Empty());

  CIdTxt id;
  id.m_strPhotographerID = "P7";
  id.m_strEventID = "Gala";
  id.m_iBatchID = 3;
  std::array<std::string, kBarcodeSlots> barcodes;
  barcodes[0] = "1234";
  BriskoExifCustomMap action;
  action.Set("Zone", "B");
  CompleteFieldsForWrite(fields, source, &id, barcodes, "", action);
  ASSERT_TRUE(fields.WriteToFile(dir / "commented.jpg", dir / "tagged.jpg", DefaultExifAccess()));

  const std::string expected =
      "BriskoExif:m_strPhotoGrapherID=P7|m_strEventID=Gala|m_iBatchID=3|m_origFilename=IMG_0042.jpg|"
      "m_origFilepath=" +
      source + "|m_BriskoExifOrigUserComments=Nice shot|m_strBarcodeInputsArray_0=1234|Zone=B|";
  EXPECT_EQ(test::CommandOutput("exiftool -s3 -UserComment '" + (dir / "tagged.jpg") + "'"), expected + "\n");

  BriskoExifFields back;
  back.ReadFromFile(dir / "tagged.jpg", DefaultExifAccess());
  EXPECT_EQ(back, fields);
}

TEST_F(JpegNamingTest, NamesAndFoldersUseTheDateTaken) {
  ASSERT_EQ(std::system(("exiftool -q -overwrite_original -ModifyDate='2008:05:17 09:30:00' '" + source +
                         "' >/dev/null 2>&1")
                            .c_str()),
            0);
  NamingContext ctx;
  BriskoExifFields fields;
  NameTemplate rename(TemplateKind::kRename);
  rename.m_ComponentArray = {35, 14, 34, 2};
  EXPECT_EQ(rename.GenerateNewName(source, nullptr, fields, false, ctx), "2008-05-17_09~30~00.jpg");
  NameTemplate folder(TemplateKind::kSubfolder);
  folder.m_ComponentArray = {31, 27, 30};
  EXPECT_EQ(folder.GenerateSubfolderName(nullptr, fields, source, ctx), "2008-05-17/09~30~00");
}

// A RAW or HEIF file names itself by the date it was taken, read through the RAW reader.
TEST(RawNaming, NamesUseTheDateTakenOfRawAndHeifFiles) {
  setenv("TZ", "UTC", 1);
  tzset();
  NamingContext ctx;
  BriskoExifFields fields;
  NameTemplate rename(TemplateKind::kRename);
  rename.m_ComponentArray = {35, 14, 34, 2};
  const std::string raw = std::string(BRISKO_TEST_DATA) + "/raw/";
  EXPECT_EQ(rename.GenerateNewName(raw + "canon_eos350d_cr2_1.cr2", nullptr, fields, false, ctx),
            "2005-08-03_18~59~18.cr2");
  EXPECT_EQ(rename.GenerateNewName(raw + "nikon_d5300_heic_1.heic", nullptr, fields, false, ctx),
            "2015-07-16_15~38~54.heic");
}

}  // namespace
}  // namespace brisko
