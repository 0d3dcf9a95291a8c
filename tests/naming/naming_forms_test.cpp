#include "naming/naming_forms.h"

#include <gtest/gtest.h>

#include "common/temp_dir.h"
#include "naming/fake_exif.h"

namespace brisko {
namespace {

TEST(TheStaticTextForm, RemovesForbiddenCharactersWithTheirMessage) {
  StaticTextForm file(TemplateKind::kRename);
  EXPECT_EQ(file.OnTextChanged("Party_"), std::nullopt);
  auto msg = file.OnTextChanged("a\\b/c:d");
  ASSERT_TRUE(msg);
  EXPECT_EQ(msg->caption, "Invalid character");
  EXPECT_EQ(msg->text, "File names cannot contain any of the following characters: \\/?*:\"<>|");
  EXPECT_EQ(file.Text(), "abcd");

  StaticTextForm folder(TemplateKind::kSubfolder);
  EXPECT_EQ(folder.OnTextChanged("Event\\Day1"), std::nullopt);
  EXPECT_EQ(folder.Text(), "Event\\Day1");
  msg = folder.OnTextChanged("a:b");
  ASSERT_TRUE(msg);
  EXPECT_EQ(msg->text, "Subfolder names cannot contain any of the following characters: /?*:\"<>|");
  EXPECT_EQ(folder.Text(), "ab");
  EXPECT_TRUE(folder.CanAdd());
  folder.OnTextChanged("");
  EXPECT_FALSE(folder.CanAdd());
}

TEST(TheSubstringEditor, FollowsTheSideAndSelectsTheRadioOfWhatWasTyped) {
  SubstringDef def;
  SubstringEditorForm form(def, "");
  EXPECT_EQ(form.Sample(), "SampleFilenameWithoutExtension");
  form.SetFromLeft(false);
  EXPECT_EQ(form.GroupCaption(), "Substring Defined from the RIGHT side");
  EXPECT_EQ(form.StartType0Label(), "from the end of the filename");
  form.SetFromLeft(true);
  EXPECT_EQ(form.GroupCaption(), "Substring Defined from the LEFT side");

  form.SetSample("IMG_0042");
  form.SetFromFirstMatch("_");
  EXPECT_EQ(def.m_iFromType, SubstringDef::kFromFirstMatch);
  EXPECT_EQ(form.Result(), "0042");
  EXPECT_EQ(form.SetLengthText("0"), "1");
  EXPECT_EQ(def.m_iLength, 1);
  EXPECT_EQ(def.m_iToType, SubstringDef::kToEnd);  // typing a length does not pick its radio
  form.SetToType(SubstringDef::kToLength);
  EXPECT_EQ(form.SetLengthText("2"), "2");
  EXPECT_EQ(form.Result(), "00");
  form.ChooseToOrdinal(5);
  EXPECT_EQ(def.m_iToType, SubstringDef::kToChar);
  EXPECT_EQ(form.Result(), "00");
  form.ChooseFromOrdinal(0);
  EXPECT_EQ(form.Result(), "IMG_00");
  form.SetToLastMatch("0");
  EXPECT_EQ(form.Result(), "IMG_0");
  form.SetToFirstMatch("_");
  EXPECT_EQ(form.Result(), "IMG");
  form.SetFromLastMatch("G");
  EXPECT_EQ(def.m_iFromType, SubstringDef::kFromLastMatch);
  EXPECT_EQ(form.Result(), "IMG_0042");  // the end falls before the start: the whole text
}

class TemplateEditorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
    ctx.now = 1211016600;  // 17 May 2008 09:30
    ctx.fileCounter = 5;
    ctx.barcodes[0] = "P/1";
  }
  test::FakeExif exif;
  NamingContext ctx;
};

TEST_F(TemplateEditorTest, RenameEditorAddsComponentsAndTestsTheSample) {
  NameTemplate t(TemplateKind::kRename);
  TemplateEditorForm form(t, ctx, exif);
  EXPECT_EQ(form.Sample(), "Brisko000123.JPG");
  auto items = form.Items();
  ASSERT_EQ(items.size(), 60u);
  EXPECT_EQ(items[11].id, 34u);                  // "12 EXIF Time ..." sorts between 11 and 14
  EXPECT_EQ(form.Result(), "Brisko000123.JPG");  // empty template

  EXPECT_EQ(form.Add(0), TemplateEditorForm::AddStep::kAdded);
  EXPECT_EQ(form.Add(3), TemplateEditorForm::AddStep::kNeedStaticText);
  form.CompleteAddText("");  // cancelled or empty: nothing
  form.CompleteAddText("_x_");
  EXPECT_EQ(form.Add(24), TemplateEditorForm::AddStep::kAdded);
  EXPECT_EQ(form.Add(4), TemplateEditorForm::AddStep::kAdded);
  EXPECT_EQ(form.Add(22), TemplateEditorForm::AddStep::kAdded);
  EXPECT_EQ(form.Add(16), TemplateEditorForm::AddStep::kAdded);
  EXPECT_EQ(form.TemplateLine(), "OrigFilename_x_BarcodePersonIDFileCounterBatchIDPhotogID");
  // The test runs with an empty ID.TXT record: no fall-back and no batch ID used.
  EXPECT_EQ(form.Result(), "Brisko000123_x_P10000050");

  EXPECT_EQ(form.Add(23), TemplateEditorForm::AddStep::kNeedSubstring);
  EXPECT_EQ(form.SubstringSample(), "Brisko000123");
  form.CompleteAddSubstring(nullptr);  // Cancel
  EXPECT_EQ(t.m_ComponentArray.size(), 6u);
  auto def = std::make_unique<SubstringDef>();
  def->m_iToType = SubstringDef::kToLength;
  def->m_iLength = 6;
  form.CompleteAddSubstring(std::move(def));
  EXPECT_EQ(form.Add(59), TemplateEditorForm::AddStep::kNeedKey);
  form.CompleteAddKey("Zone");
  EXPECT_EQ(form.TemplateLine(), "OrigFilename_x_BarcodePersonIDFileCounterBatchIDPhotogIDSubStringZone");

  form.SetSample("IMG_1.jpg");
  EXPECT_EQ(form.Result(), "IMG_1_x_P10000050IMG_1");
  form.SetSample("");  // an empty sample keeps the previous result
  EXPECT_EQ(form.Result(), "IMG_1_x_P10000050IMG_1");
  form.Clear();
  EXPECT_EQ(form.TemplateLine(), "");
  EXPECT_TRUE(t.m_SubstringPtrList.empty());
}

TEST_F(TemplateEditorTest, TheTestReadsTheBlockOfAnActualFile) {
  test::TempDir dir;
  std::string path = dir / "IMG_7.jpg";
  test::WriteFile(path, "x");
  exif.comments[path] = "BriskoExif:m_strEventID=Gala|Zone=B|";
  NameTemplate t(TemplateKind::kRename);
  t.AddComponent(49);
  t.AddComponent(59, "Zone");
  TemplateEditorForm form(t, ctx, exif);
  form.SelectActualFile(path);
  EXPECT_EQ(form.Sample(), "IMG_7.jpg");
  EXPECT_EQ(form.Result(), "GalaB");
}

TEST_F(TemplateEditorTest, SubfolderEditorTestsOnlyOnItsOwnSteps) {
  NameTemplate t(TemplateKind::kSubfolder);
  t.AddComponent(28);
  TemplateEditorForm form(t, ctx, exif);
  EXPECT_EQ(form.Items().size(), 54u);
  EXPECT_EQ(form.Result(), "2008-05-17");  // tested on opening
  EXPECT_EQ(form.Add(27), TemplateEditorForm::AddStep::kAdded);
  EXPECT_EQ(form.Add(0), TemplateEditorForm::AddStep::kNeedStaticText);
  form.CompleteAddText("Event\\Day1");
  EXPECT_EQ(form.TemplateLine(), "YYYY-MM-DD\\Event\\Day1");
  EXPECT_EQ(form.Result(), "2008-05-17/Event/Day1");
  EXPECT_EQ(form.Add(17), TemplateEditorForm::AddStep::kNeedSubstring);
  auto def = std::make_unique<SubstringDef>();
  form.CompleteAddSubstring(std::move(def));
  EXPECT_EQ(form.Result(), "2008-05-17/Event/Day1Brisko000123");
  form.SetSample("Other.jpg");  // typing does not test
  EXPECT_EQ(form.Result(), "2008-05-17/Event/Day1Brisko000123");
  form.SetSample("");
  form.Clear();  // an empty sample is tested too
  EXPECT_EQ(form.Result(), "");
}

TEST(TheCustomFieldsForm, ValidatesAddsDeletesAndMergesTheKnownNames) {
  BriskoExifCustomMap action;
  action.Set("Zone", "A");
  BriskoExifCustomMap known;
  known.Set("Venue", "x");
  CustomFieldsForm form(action, known);
  EXPECT_EQ(form.KnownNames(), std::vector<std::string>{"Venue"});
  EXPECT_EQ(form.Lines(), std::vector<std::string>{"Zone = A"});

  const FormMessage invalid{
      "Invalid character in name and/or value",
      "Please do not use any of the following characters in the name or value: \\/?*:\"<>|="};
  const FormMessage missing{"Please enter a name and value",
                            "Please enter a Name and Value for the new Custom BriskoEXIF field"};
  EXPECT_EQ(form.Add("a=b", "1"), invalid);
  EXPECT_EQ(form.Add("a", "1|2"), invalid);
  EXPECT_EQ(form.Add("", "1"), missing);
  EXPECT_EQ(form.Add("a", ""), missing);
  EXPECT_EQ(form.Add("Table", "7"), std::nullopt);
  EXPECT_EQ(form.Add("Zone", "C"), std::nullopt);
  EXPECT_EQ(form.Lines(), (std::vector<std::string>{"Table = 7", "Zone = C"}));
  form.Delete("Table = 7");
  EXPECT_EQ(action.ToText(), "Zone=A|");  // nothing changes before OK

  form.Ok(action, known);
  EXPECT_EQ(action.ToText(), "Zone=C|");
  EXPECT_EQ(known.ToText(), "Venue=x|Zone=C|");
}

TEST(TheSelectKeyForm, RefusesEmptyAndForbiddenNames) {
  BriskoExifCustomMap known;
  known.Set("Zone", "A");
  SelectKeyForm form(known);
  EXPECT_EQ(form.KnownNames(), std::vector<std::string>{"Zone"});
  EXPECT_EQ(form.Ok("Zone"), std::nullopt);
  EXPECT_EQ(form.Ok("Typed"), std::nullopt);
  for (const char* bad : {"", "a=b", "a/b", "a\\b", "a|b"}) {
    auto msg = form.Ok(bad);
    ASSERT_TRUE(msg) << bad;
    EXPECT_EQ(msg->caption, "Invalid character in key name");
    EXPECT_EQ(msg->text, "Please do not use any of the following characters in the key name: \\/?*:\"<>|=");
  }
}

}  // namespace
}  // namespace brisko
