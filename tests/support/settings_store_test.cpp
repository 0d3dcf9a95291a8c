#include "support/settings_store.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "common/temp_dir.h"

using namespace brisko;

namespace {

class AStore : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(store.Open(dir / "settings.db")); }
  test::TempDir dir;
  SettingsStore store;
};

}  // namespace

TEST_F(AStore, returnsDefaultsOnlyForMissingValues) {
  EXPECT_EQ(store.GetProfileInt("Actions", "NumActions", 7), 7);
  EXPECT_EQ(store.GetProfileString("Settings", "m_TempPath", "def"), "def");
  ASSERT_TRUE(store.WriteProfileInt("Actions", "NumActions", 0));
  EXPECT_EQ(store.GetProfileInt("Actions", "NumActions", 7), 0);
  ASSERT_TRUE(store.WriteProfileString("Settings", "ps", ""));
  EXPECT_EQ(store.GetProfileString("Settings", "ps", "def"), "");
  ASSERT_TRUE(store.WriteProfileInt("Actions", "neg", -5));
  EXPECT_EQ(store.GetProfileInt("Actions", "neg", 0), -5);
}

TEST_F(AStore, comparesKeyAndValueNamesWithoutCase) {
  ASSERT_TRUE(store.WriteProfileString("Action_0", "m_strName", "Cards"));
  EXPECT_EQ(store.GetProfileString("ACTION_0", "M_STRNAME", ""), "Cards");
  ASSERT_TRUE(store.WriteProfileString("action_0", "M_strName", "Hot folder"));
  auto values = store.EnumValues(store.RootPath() + "\\Action_0");
  ASSERT_EQ(values.size(), 1u);
  EXPECT_EQ(values[0].name, "m_strName");  // the first spelling stays
  EXPECT_EQ(store.GetProfileString("Action_0", "m_strName", ""), "Hot folder");
  EXPECT_TRUE(store.KeyExists("hkey_local_machine\\software\\brisko pty ltd\\briskofileworkflow"));
}

TEST_F(AStore, readsTextUpToAnEmbeddedZeroAndStoresTheTerminator) {
  ASSERT_TRUE(store.WriteProfileString("S", "t", std::string("ab\0cd", 5)));
  EXPECT_EQ(store.GetProfileString("S", "t", "x"), "ab");
  auto v = store.QueryValue(store.RootPath() + "\\S", "t");
  ASSERT_TRUE(v);
  EXPECT_EQ(v->type, kRegSz);
  EXPECT_EQ(v->data.size(), 6u);
}

TEST_F(AStore, givesTheDefaultForIntegersWiderThanFourBytes) {
  ASSERT_TRUE(store.CreateKey(store.RootPath() + "\\S"));
  ASSERT_TRUE(store.SetValue(store.RootPath() + "\\S", "q", kRegQword, std::string(8, '\1')));
  EXPECT_EQ(store.GetProfileInt("S", "q", 42), 42);
}

TEST_F(AStore, deletesValuesAndSectionsThroughTheNoneForms) {
  store.WriteProfileString("Sec", "a", "1");
  store.WriteProfileString("Sec", "b", "2");
  EXPECT_TRUE(store.DeleteProfileValue("Sec", "a"));
  EXPECT_EQ(store.GetProfileString("Sec", "a", "gone"), "gone");
  EXPECT_EQ(store.GetProfileString("Sec", "b", ""), "2");
  EXPECT_TRUE(store.SectionExists("Sec"));
  EXPECT_TRUE(store.DeleteProfileSection("Sec"));
  EXPECT_FALSE(store.SectionExists("Sec"));
  store.WriteProfileInt("Sec2", "x", 1);
  store.DeleteSection("Sec2");
  EXPECT_FALSE(store.SectionExists("Sec2"));
  EXPECT_EQ(store.GetProfileInt("Sec2", "x", 9), 9);
}

TEST_F(AStore, enumeratesInCreationOrderAndKeepsThePlaceOfUpdatedValues) {
  for (const char* name : {"zeta", "alpha", "mid"}) store.WriteProfileInt("Order", name, 1);
  store.WriteProfileInt("Order", "alpha", 2);
  auto values = store.EnumValues(store.RootPath() + "\\Order");
  ASSERT_EQ(values.size(), 3u);
  EXPECT_EQ(values[0].name, "zeta");
  EXPECT_EQ(values[1].name, "alpha");
  EXPECT_EQ(values[2].name, "mid");
  for (const char* sec : {"Settings", "Actions", "Action_0"}) store.WriteProfileInt(sec, "v", 1);
  auto keys = store.EnumSubKeys(store.RootPath());
  ASSERT_GE(keys.size(), 4u);
  EXPECT_EQ(keys[0], "Order");
  EXPECT_EQ(keys[1], "Settings");
  EXPECT_EQ(keys[3], "Action_0");
}

// An exit saves every action: values that did not change must cost no write.
TEST_F(AStore, writesNothingForAnUnchangedValueButStoresATypeChange) {
  const std::string key = store.RootPath() + "\\Same";
  ASSERT_TRUE(store.CreateKey(key));
  ASSERT_TRUE(store.SetValue(key, "v", kRegSz, std::string("ab\0", 3)));
  const auto wal = dir / "settings.db-wal";
  const auto before = std::filesystem::file_size(wal);
  ASSERT_TRUE(store.SetValue(key, "v", kRegSz, std::string("ab\0", 3)));
  EXPECT_EQ(std::filesystem::file_size(wal), before);
  ASSERT_TRUE(store.SetValue(key, "v", kRegBinary, std::string("ab\0", 3)));
  EXPECT_EQ(store.QueryValue(key, "v")->type, kRegBinary);
  ASSERT_TRUE(store.SetValue(key, "V", kRegBinary, std::string("ab\0", 4)));
  EXPECT_EQ(store.QueryValue(key, "v")->data, std::string("ab\0\0", 4));
}

TEST_F(AStore, refusesToDeleteAKeyWithSubKeysUnlessAskedForTheTree) {
  std::string a = store.RootPath() + "\\A";
  ASSERT_TRUE(store.CreateKey(a + "\\B\\C"));
  store.SetValue(a + "\\B\\C", "v", kRegSz, std::string("x\0", 2));
  store.CreateKey(store.RootPath() + "\\AB");  // a sibling whose name starts the same way
  EXPECT_FALSE(store.DeleteKey(a));
  EXPECT_TRUE(store.DeleteKeyTree(a));
  EXPECT_FALSE(store.KeyExists(a + "\\B"));
  EXPECT_TRUE(store.KeyExists(store.RootPath() + "\\AB"));
  EXPECT_FALSE(store.SetValue(a, "v", kRegSz, "x"));  // no implicit key creation
}

TEST(TwoStores, seeEachOthersWritesWithoutACache) {
  test::TempDir dir;
  SettingsStore one, two;
  ASSERT_TRUE(one.Open(dir / "s.db"));
  ASSERT_TRUE(two.Open(dir / "s.db"));
  EXPECT_EQ(two.GetProfileInt("Actions", "m_iFileCounter", 1), 1);
  one.WriteProfileInt("Actions", "m_iFileCounter", 57);
  EXPECT_EQ(two.GetProfileInt("Actions", "m_iFileCounter", 1), 57);
  two.DeleteSection("Actions");
  EXPECT_FALSE(one.SectionExists("Actions"));
}

TEST(AStoreFile, isPrivateAndCreatedWithItsFolders) {
  test::TempDir dir;
  SettingsStore store;
  std::string path = dir / "a/b/settings.db";
  ASSERT_TRUE(store.Open(path));
  store.WriteProfileString("Settings", "ps", "secret");
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

// Only a real but damaged store is moved aside; a missing one is made only where allowed, and
// a file that is no database at all (a backup or a photo passed by mistake) stays untouched.
TEST(AStoreFile, isCreatedOnlyWhenAllowedAndMovedAsideOnlyWhenADamagedDatabase) {
  const std::string garbage = std::string(5000, 'G') + "not a database";
  const std::string damaged = std::string("SQLite format 3\0", 16) + std::string(5000, 'G');
  enum Setup { Nothing, Garbage, Damaged, Empty, Folder };
  struct Case {
    Setup setup;
    SettingsStore::Creation creation;
    bool opens;
    std::string report;  // the start of the report
    bool movedAside;
  } cases[] = {
      {Nothing, SettingsStore::Creation::Refuse, false, "No settings store at ", false},
      {Nothing, SettingsStore::Creation::Allow, true, "Created a new settings store at ", false},
      {Garbage, SettingsStore::Creation::Allow, false, "", false},
      {Damaged, SettingsStore::Creation::Refuse, true, "Settings store ", true},
      {Empty, SettingsStore::Creation::Refuse, true, "", false},
      {Folder, SettingsStore::Creation::Allow, false, "", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(int(c.setup));
    test::TempDir dir;
    const std::string path = dir / "settings.db";
    const std::string before = c.setup == Garbage ? garbage : c.setup == Damaged ? damaged : "";
    if (c.setup == Garbage || c.setup == Damaged || c.setup == Empty) test::WriteFile(path, before);
    if (c.setup == Folder) std::filesystem::create_directory(path);
    SettingsStore store;
    std::string report;
    EXPECT_EQ(store.Open(path, &report, c.creation), c.opens) << report;
    EXPECT_EQ(report.rfind(c.report, 0), 0u) << report;
    if (c.setup == Garbage) {
      EXPECT_EQ(report, SettingsStore::NotDatabaseMessage(path));
    }
    if (c.opens) {
      EXPECT_TRUE(store.WriteProfileInt("Actions", "NumActions", 3));
      EXPECT_EQ(store.GetProfileInt("Actions", "NumActions", 0), 3);
    }
    EXPECT_EQ(std::filesystem::exists(path), c.setup != Nothing || c.opens);
    int asides = 0;
    for (auto& e : std::filesystem::directory_iterator(dir.Path())) {
      if (e.path().filename().string().rfind("settings.db.corrupt-", 0) == 0) {
        ++asides;
        EXPECT_EQ(test::ReadFile(e.path()), before);
      }
    }
    EXPECT_EQ(asides, c.movedAside ? 1 : 0);
    if (c.setup == Garbage) {
      EXPECT_EQ(test::ReadFile(path), garbage);
    }
  }
}

TEST(AStoreFile, thatCannotBeOpenedReadsAsEmpty) {
  SettingsStore store;
  EXPECT_FALSE(store.Open("/proc/brisko-no-such/settings.db"));
  EXPECT_EQ(store.GetProfileInt("Actions", "NumActions", 4), 4);
  EXPECT_FALSE(store.WriteProfileInt("Actions", "NumActions", 1));
}
