#include "naming/name_template.h"

#include <gtest/gtest.h>
#include <sys/time.h>

#include <cstdlib>
#include <ctime>

#include "common/temp_dir.h"
#include "naming/brisko_exif_fields.h"
#include "naming/fake_exif.h"
#include "naming/naming_text.h"
#include "support/settings_store.h"

namespace brisko {
namespace {

// 17 May 2008 09:30:00 UTC; tests run with TZ=UTC so local times are predictable.
constexpr std::time_t kMay17 = 1211016600;

class NamingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
    ctx.now = kMay17;
    ctx.exif = &exif;
    ctx.newBatchId = [this] { return ++storedBatchId; };
  }

  // Creates the file with a known modification time and returns its path.
  std::string MakeFile(const std::string& name, std::time_t mtime = kMay17) {
    std::string path = dir / name;
    test::WriteFile(path, "x");
    struct timeval tv[2] = {{mtime, 0}, {mtime, 0}};
    utimes(path.c_str(), tv);
    return path;
  }

  // The name a rename template of `ids` gives the file, and the folder a subfolder template gives.
  std::string Name(std::initializer_list<unsigned> ids, const std::string& path, const CIdTxt* id = nullptr) {
    NameTemplate t(TemplateKind::kRename);
    t.m_ComponentArray = ids;
    return t.GenerateNewName(path, id, fields, false, ctx);
  }
  std::string Folder(std::initializer_list<unsigned> ids, const std::string& path,
                     const CIdTxt* id = nullptr) {
    NameTemplate t(TemplateKind::kSubfolder);
    t.m_ComponentArray = ids;
    return t.GenerateSubfolderName(id, fields, path, ctx);
  }

  test::TempDir dir;
  test::FakeExif exif;
  NamingContext ctx;
  BriskoExifFields fields;
  int storedBatchId = 41;
};

TEST_F(NamingTest, RenameBuildsTheDocumentedNames) {
  struct Case {
    std::initializer_list<unsigned> ids;
    const char* file;
    const char* expected;
  };
  ctx.fileCounter = 7;
  ctx.batchCounter = 1234567;
  const Case cases[] = {
      {{}, "IMG_0042.JPG", "IMG_0042.JPG"},
      {{0, 13, 4, 2}, "IMG_0042.JPG", "IMG_0042-000007.JPG"},
      {{1, 2}, "DSC12a34.jpg", "1234.jpg"},
      {{1, 2}, "photo.jpg", ".jpg"},
      {{5}, "a.jpg", "1234567"},  // "%06d" pads only
      {{0, 14, 6, 15, 9}, "a.jpg", "a_2008-05-17.09~30~00"},
      {{8, 11, 12}, "a.jpg", "2008-05-1709~30~001211016600"},
      {{2}, "noext", "noext"},  // the extension is empty, so the name is kept
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Name(c.ids, MakeFile(c.file)), c.expected) << c.file;
  }
}

TEST_F(NamingTest, RenameFallsBackOnlyForIdTxtTextsWithoutARecord) {
  std::string path = MakeFile("a.jpg");
  EXPECT_EQ(Name({0, 16}, path), "a.jpg");
  EXPECT_EQ(Name({0, 21}, path), "a.jpg");

  CIdTxt id;
  id.m_strPhotographerID = "P7";
  id.m_strUserID1 = "x\\y";
  id.m_iBatchID = 12;
  EXPECT_EQ(Name({16, 14, 0, 19, 22}, path, &id), "P7_ax\\y12");
  // An empty record still counts as a record.
  CIdTxt empty;
  EXPECT_EQ(Name({0, 16}, path, &empty), "a");
  EXPECT_EQ(storedBatchId, 41);
}

TEST_F(NamingTest, EachBatchIdComponentWithoutARecordConsumesOneBatchId) {
  std::string path = MakeFile("a.jpg");
  EXPECT_EQ(Name({0, 22}, path), "a42");
  EXPECT_EQ(Name({22, 13, 22}, path), "43-44");
  EXPECT_EQ(Folder({16}, path), "45");
  CIdTxt id;
  id.m_iBatchID = 7;
  EXPECT_EQ(Folder({16}, path, &id), "7");
  EXPECT_EQ(storedBatchId, 45);
}

TEST_F(NamingTest, StaticTextsSubstringsAndKeysAreUsedInTurn) {
  NameTemplate t(TemplateKind::kRename);
  ASSERT_TRUE(t.AddComponent(3, "Party_"));
  ASSERT_TRUE(t.AddComponent(0));
  ASSERT_TRUE(t.AddComponent(3, "%d"));
  auto def = std::make_unique<SubstringDef>();
  def->m_iFromType = SubstringDef::kFromChar;
  def->m_iFromChar = 1;
  t.AddSubstring(std::move(def));
  ASSERT_TRUE(t.AddComponent(59, "Missing"));
  ASSERT_TRUE(t.AddComponent(59, "Zone"));
  fields.m_CustomFields.Set("Zone", "B");
  EXPECT_EQ(t.GenerateNewName(MakeFile("a%s.jpg"), nullptr, fields, false, ctx), "Party_a%s%d%sB");
  EXPECT_EQ(t.GetDisplayString(), "Party_OrigFilename%dSubStringMissingZone");

  // A list edited outside the editor may run short: those components add nothing.
  t.m_StaticTextArray.pop_back();
  t.m_SubstringPtrList.clear();
  EXPECT_EQ(t.GenerateNewName(MakeFile("a%s.jpg"), nullptr, fields, false, ctx), "Party_a%sB");
}

TEST_F(NamingTest, CleansOnlyBarcodesAndOperatorText) {
  ctx.barcodes[0] = "12/34";
  ctx.barcodes[9] = "a\\b?c*d:e\"f<g>h|i";
  ctx.operatorText = "Op:1";
  CIdTxt id;
  id.m_strUserID2 = "u:2";
  std::string path = MakeFile("a.jpg");
  EXPECT_EQ(Name({24, 14, 36, 14, 33, 14, 20}, path, &id), "1234_abcdefghi_Op1_u:2");
  // Subfolders keep backslashes: they separate nested folders.
  EXPECT_EQ(Folder({18, 27, 32}, path, &id), "1234/a/bcdefghi");
}

TEST_F(NamingTest, ExifValuesComeOnlyFromJpgFiles) {
  std::string jpg = MakeFile("a.JPG");
  std::string jpeg = MakeFile("b.jpeg");
  exif.dates[jpg] = exif.dates[jpeg] = kMay17 + 3600;
  exif.comments[jpg] = exif.comments[jpeg] = "Nice";
  EXPECT_EQ(Name({35, 14, 34, 14, 37}, jpg), "2008-05-17_10~30~00_Nice");
  EXPECT_EQ(Name({35, 14, 34, 14, 37}, jpeg), "__");
  EXPECT_EQ(Folder({31, 27, 30, 33}, jpg), "2008-05-17/10~30~00Nice");
}

TEST_F(NamingTest, FieldSetComponentsReadTheFieldSet) {
  for (int i = 0; i < kBarcodeSlots; ++i) fields.m_strBarcodeInputsArray[i] = std::to_string(i);
  fields.m_strPhotoGrapherID = "P";
  fields.m_strEventID = "E";
  fields.m_strCardID = "C";
  fields.m_strUserID1 = "1";
  fields.m_strUserID2 = "2";
  fields.m_strUserID3 = "3";
  fields.m_strOperatorSelectedText = "O";
  fields.m_BriskoExifOrigUserComments = "U";
  fields.m_origFilename = "first.JPG";
  std::string path = MakeFile("a.jpg");
  EXPECT_EQ(Name({38, 39, 40, 41, 42, 43, 44, 45, 46, 47}, path), "0123456789");
  EXPECT_EQ(Name({48, 49, 50, 51, 52, 53, 54, 57, 58, 55, 56}, path), "PEC123OUfirst.JPG");
  fields.m_iBatchID = 31;
  EXPECT_EQ(Name({54}, path), "31");
  EXPECT_EQ(Folder({34, 43, 44, 45, 46, 47, 48, 49, 50, 51, 52}, path), "09PEC12331OU");
}

TEST_F(NamingTest, AnUnreadableFileGetsNoNameOutsideTheTest) {
  std::string missing = dir / "Brisko000123.JPG";
  EXPECT_EQ(Name({0, 13, 6}, missing), "");
  NameTemplate t(TemplateKind::kRename);
  t.m_ComponentArray = {0, 13, 6};
  // The editor's test borrows the program file's times.
  std::string name = t.GenerateNewName(missing, nullptr, fields, true, ctx);
  EXPECT_EQ(name.rfind("Brisko000123-", 0), 0u) << name;
  EXPECT_EQ(name.size(), std::string("Brisko000123-yyyy-mm-dd").size());
}

TEST_F(NamingTest, SubfolderBuildsTheDocumentedPaths) {
  struct Case {
    std::initializer_list<unsigned> ids;
    const char* expected;
  };
  ctx.barcodes[0] = "A/B\\C";
  ctx.batchCounter = 3;
  const Case cases[] = {
      {{28, 27, 18}, "2008-05-17/AB/C"},
      {{2}, "17-05-08"},
      {{3}, "05-08"},
      {{4}, "09"},
      {{5}, "09~30"},
      {{6}, "1211016600"},
      {{1, 7, 8, 9}, "000003-_."},
      {{10, 11, 12}, ""},  // no ID.TXT record and no fall-back
      {{}, ""},
  };
  std::string path = MakeFile("a.jpg");
  for (const auto& c : cases) {
    EXPECT_EQ(Folder(c.ids, path), c.expected);
  }
  NameTemplate t(TemplateKind::kSubfolder);
  t.AddComponent(10);
  t.AddComponent(0, "_set");
  EXPECT_EQ(t.GenerateSubfolderName(nullptr, fields, path, ctx), "_set");
  auto def = std::make_unique<SubstringDef>();
  def->m_iToType = SubstringDef::kToLength;
  def->m_iLength = 3;
  t.AddSubstring(std::move(def));
  EXPECT_EQ(t.GenerateSubfolderName(nullptr, fields, dir / "IMG_1.jpg", ctx), "_setIMG");
  EXPECT_EQ(t.GetDisplayString(), "PhotogID_setSubString");
}

// A text that goes into a name, and the name it gives.
struct TextCase {
  const char* text;
  const char* expected;
};

TEST_F(NamingTest, GeneratedFileNamesNeverMakeAPath) {
  // The texts are ID.TXT event IDs, which are not cleaned.
  const TextCase cases[] = {
      {"../../etc/passwd", "....etcpasswd"},
      {"a/b", "ab"},
      {".", "a.jpg"},
      {"..", "a.jpg"},
      {"/", "a.jpg"},
      {"./.", "a.jpg"},  // ".." once the slash goes: the file keeps its name
  };
  std::string path = MakeFile("a.jpg");
  for (const auto& c : cases) {
    CIdTxt id;
    id.m_strEventID = c.text;
    EXPECT_EQ(Name({18}, path, &id), c.expected) << c.text;
  }
  CIdTxt nul;
  nul.m_strEventID = std::string("x\0y", 3);
  EXPECT_EQ(Name({18}, path, &nul), "xy");
}

TEST_F(NamingTest, AHugeCommentIsCutTo255BytesKeepingTheExtension) {
  std::string path = MakeFile("a.jpg");
  exif.comments[path] = std::string(60000, 'c');
  std::string name = Name({37, 2}, path);
  EXPECT_EQ(name, std::string(251, 'c') + ".jpg");
  // A multi-byte character is never split.
  exif.comments[path] = std::string(250, 'c') + "\xC3\xA9\xC3\xA9";
  name = Name({37, 2}, path);
  EXPECT_EQ(name, std::string(250, 'c') + ".jpg");
  exif.comments[path] = std::string(60000, 'c');
  std::string folder = Folder({33, 27, 33}, path);
  EXPECT_EQ(folder, std::string(255, 'c') + "/" + std::string(255, 'c'));
}

TEST_F(NamingTest, GeneratedSubfoldersNeverLeaveTheDestination) {
  // The texts are static texts as stored (the editor would refuse some of these).
  const TextCase cases[] = {
      {"..\\..\\etc", "etc"},
      {"\\abs", "abs"},
      {"/abs/x", "abs/x"},
      {"a\\.\\b", "a/b"},
      {"a\\..", "a"},
      {"a\\\\b\\", "a/b"},
      {"..", ""},
      {"...", "..."},
      {"Event\\Day1", "Event/Day1"},
  };
  std::string path = MakeFile("a.jpg");
  for (const auto& c : cases) {
    NameTemplate t(TemplateKind::kSubfolder);
    t.AddComponent(0, c.text);
    EXPECT_EQ(t.GenerateSubfolderName(nullptr, fields, path, ctx), c.expected) << c.text;
  }
  exif.comments[path] = std::string(20000, '\\');
  exif.comments[path].replace(0, 3, "a\\b");
  for (size_t i = 4; i < 20000; i += 2) exif.comments[path][i] = 'x';
  std::string deep = Folder({33}, path);
  EXPECT_LE(deep.size(), kMaxSubfolderPathBytes);
  EXPECT_EQ(deep.substr(0, 6), "a/b/x/");

  CIdTxt id;
  id.m_strEventID = "/../../root";
  EXPECT_EQ(Folder({12}, path, &id), "root");
}

TEST_F(NamingTest, AddComponentRefusesEmptyTextsAndUnknownIds) {
  NameTemplate t(TemplateKind::kRename);
  EXPECT_FALSE(t.AddComponent(3, ""));
  EXPECT_FALSE(t.AddComponent(59, ""));
  EXPECT_FALSE(t.AddComponent(60));
  EXPECT_TRUE(t.m_ComponentArray.empty());
  NameTemplate s(TemplateKind::kSubfolder);
  EXPECT_FALSE(s.AddComponent(0, ""));
  EXPECT_FALSE(s.AddComponent(53, ""));
  EXPECT_TRUE(s.AddComponent(27));
  EXPECT_FALSE(s.AddComponent(53));  // a key is needed
  EXPECT_EQ(s.m_ComponentArray.size(), 1u);
}

class TemplateStoreTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(store.Open(dir / "s.db")); }

  static NameTemplate Filled(TemplateKind kind) {
    NameTemplate t(kind);
    t.AddComponent(NameTemplate::TextComponentId(kind), "Ev\\");
    t.AddComponent(1);
    auto def = std::make_unique<SubstringDef>();
    def->m_iFromType = 2;
    def->m_strFromFirstMatch = "_";
    t.AddSubstring(std::move(def));
    t.AddSubstring(std::make_unique<SubstringDef>());
    t.AddComponent(NameTemplate::CustomKeyComponentId(kind), "Zone");
    return t;
  }

  test::TempDir dir;
  SettingsStore store;
};

TEST_F(TemplateStoreTest, BothTemplatesRoundTripUnderTheirOwnNames) {
  NameTemplate rename = Filled(TemplateKind::kRename);
  NameTemplate subfolder = Filled(TemplateKind::kSubfolder);
  ASSERT_TRUE(SaveActionTemplates(store, "Action_2", true, rename, subfolder));
  EXPECT_EQ(store.GetProfileInt("Action_2", "m_ComponentArray_count", 0), 5);
  EXPECT_EQ(store.GetProfileInt("Action_2", "m_SubFolderComponentArray_count", 0), 5);
  EXPECT_EQ(store.GetProfileInt("Action_2", "m_SubFolderComponentArray_2", 0), 17);
  EXPECT_EQ(store.GetProfileString("Action_2", "m_SubFolderBriskoExifKeysArray_0", ""), "Zone");
  EXPECT_EQ(store.GetProfileString("Action_2", "CreateFolder_m_strFromFirstMatch_0", ""), "_");
  EXPECT_EQ(store.GetProfileString("Action_2", "m_strFromFirstMatch_0", ""), "_");

  NameTemplate r2(TemplateKind::kRename), s2(TemplateKind::kSubfolder);
  LoadActionTemplates(store, "Action_2", true, r2, s2);
  EXPECT_EQ(r2, rename);
  EXPECT_EQ(s2, subfolder);
  NameTemplate copy = s2;
  EXPECT_NE(copy.m_SubstringPtrList[0].get(), s2.m_SubstringPtrList[0].get());
  EXPECT_EQ(copy, s2);
}

TEST_F(TemplateStoreTest, ARenameTemplateSwitchedOffIsLost) {
  NameTemplate rename = Filled(TemplateKind::kRename);
  NameTemplate subfolder(TemplateKind::kSubfolder);
  subfolder.AddComponent(2);
  ASSERT_TRUE(SaveActionTemplates(store, "Action_0", false, rename, subfolder));
  EXPECT_EQ(store.GetProfileInt("Action_0", "m_ComponentArray_count", -1), -1);

  NameTemplate r2(TemplateKind::kRename), s2(TemplateKind::kSubfolder);
  LoadActionTemplates(store, "Action_0", true, r2, s2);
  EXPECT_TRUE(r2.m_ComponentArray.empty());
  EXPECT_EQ(s2, subfolder);
}

TEST_F(TemplateStoreTest, MissingAndDamagedValuesLoadBounded) {
  store.WriteProfileInt("Action_0", "m_ComponentArray_count", 2147483647);
  store.WriteProfileInt("Action_0", "m_StaticTextArray_count", -5);
  NameTemplate t(TemplateKind::kRename);
  t.Load(store, "Action_0");
  EXPECT_EQ(t.m_ComponentArray.size(), static_cast<size_t>(kMaxStoredTemplateEntries));
  EXPECT_TRUE(t.m_StaticTextArray.empty());
  EXPECT_EQ(t.m_ComponentArray[5], 0u);
}

}  // namespace
}  // namespace brisko
