#include "scheduler/backup_restore.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <vector>

#include "common/mounts.h"
#include "common/temp_dir.h"
#include "scheduler/settings_password.h"
#include "support/settings_store.h"

using namespace brisko;

namespace {

std::string Dword(uint32_t v) {
  std::string d(4, '\0');
  for (int i = 0; i < 4; ++i) d[i] = static_cast<char>(v >> (8 * i));
  return d;
}

// Every key below the hive with every value, in enumeration order, as one comparable list.
void Dump(SettingsStore& store, const std::string& path, std::vector<std::string>& out) {
  out.push_back("K " + path);
  for (const RegValue& v : store.EnumValues(path))
    out.push_back("V " + v.name + " " + std::to_string(v.type) + " [" + v.data + "]");
  for (const std::string& k : store.EnumSubKeys(path)) Dump(store, path + "\\" + k, out);
}

std::vector<std::string> Dump(SettingsStore& store) {
  std::vector<std::string> out;
  for (const char* hive : {"HKEY_LOCAL_MACHINE", "HKEY_CURRENT_USER"})
    if (store.KeyExists(hive)) Dump(store, hive, out);
  return out;
}

class ABackup : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(store.Open(dir / "settings.db"));
    ASSERT_TRUE(target.Open(dir / "target.db"));
  }

  // Restores into `target`, collecting the messages.
  bool Restore(const std::string& file) {
    messages.clear();
    return RestoreSettings(target, file, [this](const std::string& m) { messages.push_back(m); });
  }

  void FillStation() {
    const std::string root = store.RootPath();
    store.WriteProfileString("Settings", "ps", "S3cret");
    store.WriteProfileString("Settings", "m_TempPath", "/var/tmp/brisko_temp/");
    store.WriteProfileInt("Settings", "m_bEnableBarcodeEntry", 1);
    store.WriteProfileInt("Actions", "NumActions", 2);
    store.WriteProfileInt("Actions", "m_iFileCounter", -5);
    store.WriteProfileInt("Actions", "m_iBatchCounter", INT32_MIN);
    store.WriteProfileString("Action_0", "m_strName", "Tom & Jerry \"best\" <shots>");
    store.WriteProfileString("Action_0", "m_strSourceFolder",
                             "/media/Caf\xc3\xa9 Fotograf\xc3\xad"
                             "as/\xe5\x86\x99\xe7\x9c\x9f");
    store.WriteProfileString("Action_0", "m_strArgs", "line1\r\nline2\nline3\rline4 &amp; &lt; '>'");
    store.WriteProfileString("Action_0", "m_strEmpty", "");
    store.WriteProfileInt("Action_0", "m_uiRunInterval", 60);
    store.WriteProfileString("Action_1", "m_strName", "  leading and trailing blanks  ");
    store.WriteProfileString("Action_1", "ps&amp;", "name with an entity");
    // Kinds the station itself never writes, but a store may hold.
    const std::string other = root + "\\Other";
    ASSERT_TRUE(store.CreateKey(other + "\\Nested\\Deeper"));
    ASSERT_TRUE(store.CreateKey(root + "\\Empty Section"));
    ASSERT_TRUE(store.SetValue(other, "", kRegSz, std::string("default text\0", 13)));
    ASSERT_TRUE(store.SetValue(other, "bin", kRegBinary, std::string("\x00\xff\x10 ", 4)));
    ASSERT_TRUE(store.SetValue(other, "q", kRegQword, std::string("\x08\x07\x06\x05\x04\x03\x02\x81", 8)));
    ASSERT_TRUE(store.SetValue(other, "multi", kRegMultiSz, std::string("a b\0\xc3\xbc\0c\0\0", 10)));
    ASSERT_TRUE(store.SetValue(other, "env", kRegExpandSz, std::string("%HOME%/x\0", 9)));
    ASSERT_TRUE(store.SetValue(other, "res", kRegResourceList, std::string("\x01\x02", 2)));
    ASSERT_TRUE(store.SetValue(other + "\\Nested\\Deeper", "d", kRegDword, Dword(0xdeadbeef)));
  }

  test::TempDir dir;
  SettingsStore store;
  SettingsStore target;
  std::vector<std::string> messages;
};

}  // namespace

TEST_F(ABackup, restoresIntoAnEmptyStoreIdentically) {
  FillStation();
  const std::string file = dir / "station.BriskoWorkflowBackup";
  ASSERT_TRUE(BackupSettings(store, file, store.RootPath()));
  ASSERT_TRUE(Restore(file));
  EXPECT_TRUE(messages.empty());
  EXPECT_EQ(Dump(target), Dump(store));
  EXPECT_EQ(GetSettingsPassword(target), "S3cret");

  struct stat st {};
  ASSERT_EQ(stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  const std::string text = test::ReadFile(file);
  EXPECT_NE(text.find("value=\"Tom &amp; Jerry &quot;best&quot; &lt;shots>\""), std::string::npos);
  EXPECT_NE(text.find("<v name=\"(Default)\" value=\"default text\"/>"), std::string::npos);
}

TEST_F(ABackup, writesTheDocumentedLayout) {
  const std::string root = store.RootPath();
  store.WriteProfileInt("Actions", "NumActions", 2);
  ASSERT_TRUE(store.CreateKey(root + "\\Empty"));
  store.WriteProfileString("Settings", "m_TempPath", "a&b");
  const std::string file = dir / "layout.BriskoWorkflowBackup";
  ASSERT_TRUE(BackupSettings(store, file, root));
  // The root has no values: its sections follow the application's element directly.
  EXPECT_EQ(test::ReadFile(file),
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
            " <k name=\"HKEY_LOCAL_MACHINE\">\r\n"
            "  <k name=\"SOFTWARE\">\r\n"
            "   <k name=\"Brisko Pty Ltd\">\r\n"
            "    <k name=\"BriskoFileWorkflow\">\r\n"
            "     <k name=\"Actions\">\r\n"
            "      <v name=\"NumActions\" value=\"0x00000002 (2)\" type=\"REG_DWORD\"/>\r\n"
            "     </k>\r\n"
            "     <k name=\"Empty\"/>\r\n"
            "     <k name=\"Settings\">\r\n"
            "      <v name=\"m_TempPath\" value=\"a&amp;b\"/>\r\n"
            "     </k>\r\n"
            "    </k>\r\n"
            "   </k>\r\n"
            "  </k>\r\n"
            " </k>\r\n");
}

TEST(BackupValueText, formatsEveryStoreType) {
  const struct {
    uint32_t type;
    std::string data;
    const char* value;
    const char* typeName;
  } rows[] = {
      {kRegDword, Dword(5), "0x00000005 (5)", "REG_DWORD"},
      {kRegDword, Dword(0xffffffff), "0xffffffff (-1)", "REG_DWORD"},
      {kRegDwordBigEndian, std::string("\0\0\0\x3c", 4), "0x0000003c (60)", "REG_DWORD"},
      {kRegQword, std::string("\x08\x07\x06\x05\x04\x03\x02\x01", 8), "0x0102030405060708", "REG_QWORD"},
      {kRegBinary, std::string("\x00\xab\x10", 3), "00 ab 10", "REG_BINARY"},
      {kRegBinary, "", "", "REG_BINARY"},
      {kRegResourceRequirementsList, "\x7f", "7f", "REG_RESOURCE_REQUIREMENTS_LIST"},
      {kRegMultiSz, std::string("a\0b\0\0", 5), "a\r\nb", "REG_MULTI_SZ"},
      {kRegExpandSz, std::string("%PATH%\0", 7), "%PATH%", "REG_EXPAND_SZ"},
      {kRegSz, std::string("abc\0", 4), "abc", ""},
      {kRegNone, "raw", "raw", ""},
      {kRegLink, "ln", "6c 6e", "REG_BINARY"},
  };
  for (const auto& row : rows) {
    const BackupValueText text = FormatBackupValue(row.type, row.data);
    EXPECT_EQ(text.value, row.value) << row.type;
    EXPECT_EQ(text.type, row.typeName) << row.type;
  }
}

TEST(BackupValueText, refusesTextsTooShortOrNotHexForTheirType) {
  const struct {
    const char* type;
    std::string text;
    std::optional<std::string> data;
  } rows[] = {
      {"REG_DWORD", "0x0000003c (60)", Dword(60)},
      {"reg_dword", "0X0000003C", Dword(60)},
      {"REG_DWORD", "0xdeadbeef", Dword(0xdeadbeef)},
      {"REG_DWORD", "", Dword(0)},
      {"REG_DWORD", "0x1234567", std::nullopt},
      {"REG_DWORD", "0x0000zz00", std::nullopt},
      {"REG_QWORD", "0x0102030405060708", std::string("\x08\x07\x06\x05\x04\x03\x02\x01", 8)},
      {"REG_QWORD", "0x01020304", std::nullopt},
      {"REG_BINARY", "", std::string(1, '\0')},
      {"REG_BINARY", "a", std::nullopt},
      {"REG_BINARY", "ab", "\xab"},
      {"REG_BINARY", "ab c", "\xab"},  // a lone last digit makes no byte
      {"REG_BINARY", "00 ff 10", std::string("\x00\xff\x10", 3)},
      {"REG_BINARY", "00 fg", std::nullopt},
      {"REG_RESOURCE_LIST", "01 02", "\x01\x02"},
      {"REG_MULTI_SZ", "a\r\nb", std::string("a\0b\0\0", 5)},
      {"REG_MULTI_SZ", "", std::string("\0\0", 2)},
      {"REG_EXPAND_SZ", "%HOME%", std::string("%HOME%\0", 7)},
      {"REG_SZ", "x", std::string("x\0", 2)},
      {"", "0x12", std::string("0x12\0", 5)},
      {"REG_LINK", "t", std::string("t\0", 2)},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(ParseBackupValue(ParseBackupType(row.type), row.text), row.data) << row.type << " " << row.text;
  }
}

TEST_F(ABackup, restoresAHandWrittenFileWithTheRightTypes) {
  const std::string file = dir / "hand.BriskoWorkflowBackup";
  test::WriteFile(file,
                  "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
                  "<k name=\"HKEY_LOCAL_MACHINE\"><k name=\"SOFTWARE\">\r\n"
                  " <K NAME=\"Brisko Pty Ltd\"><k name=\"BriskoFileWorkflow\">\r\n"
                  "  <k name=\"Types\">\r\n"
                  "   <v name=\"d\" value=\"0x0000003c (60)\" type=\"REG_DWORD\"/>\r\n"
                  "   <v name=\"s\" value=\"text &amp; more\" type=\"REG_SZ\"/>\r\n"
                  "   <v name=\"plain\" value=\"no type\"/>\r\n"
                  "   <v name=\"q\" value=\"0x00000001ffffffff\" type=\"reg_qword\"/>\r\n"
                  "   <V Name=\"e\" Value=\"%TEMP%\" Type=\"REG_EXPAND_SZ\"/>\r\n"
                  "   <v name=\"short\" value=\"0x12\" type=\"REG_DWORD\"/>\r\n"
                  "   <v name=\"(default)\" value=\"unnamed\"/>\r\n"
                  "  </k>\r\n"
                  " </k></k>\r\n"
                  "</k></k>\r\n");
  ASSERT_TRUE(Restore(file));
  EXPECT_EQ(messages, std::vector<std::string>{"couldn't set value short"});
  const std::string key = target.RootPath() + "\\Types";
  const struct {
    const char* name;
    uint32_t type;
    std::string data;
  } rows[] = {
      {"d", kRegDword, Dword(60)},
      {"s", kRegSz, std::string("text & more\0", 12)},
      {"plain", kRegSz, std::string("no type\0", 8)},
      {"q", kRegQword, std::string("\xff\xff\xff\xff\x01\0\0\0", 8)},
      {"e", kRegExpandSz, std::string("%TEMP%\0", 7)},
      {"", kRegSz, std::string("unnamed\0", 8)},
  };
  for (const auto& row : rows) {
    auto v = target.QueryValue(key, row.name);
    ASSERT_TRUE(v) << row.name;
    EXPECT_EQ(v->type, row.type) << row.name;
    EXPECT_EQ(v->data, row.data) << row.name;
  }
  EXPECT_FALSE(target.QueryValue(key, "short"));
  EXPECT_EQ(target.GetProfileInt("Types", "d", 0), 60);
}

// A backup saved again by another XML tool writes the references it likes; the values come back
// exactly as the operator typed them.
TEST_F(ABackup, restoresEveryReferenceOtherToolsWrite) {
  const std::string file = dir / "other.BriskoWorkflowBackup";
  test::WriteFile(file,
                  "<?xml version=\"1.0\"?>\n<k name=\"HKEY_LOCAL_MACHINE\"><k name=\"S&apos;&#x3C;\">"
                  "<v name=\"a\" value=\"&lt;script&gt; &apos;x&apos; "
                  "&quot;&#60;&#x3c;&#X41;&#233;&#x1F4F7;&amp;gt; & &bogus;\"/>"
                  "</k></k>");
  ASSERT_TRUE(Restore(file)) << (messages.empty() ? "" : messages[0]);
  const auto value = target.QueryValue("HKEY_LOCAL_MACHINE\\S'<", "a");
  ASSERT_TRUE(value);
  EXPECT_EQ(value->data, std::string("<script> 'x' \"<<&#X41;\xC3\xA9\xF0\x9F\x93\xB7&gt; & &bogus;") + '\0');
}

TEST_F(ABackup, onlyAddsAndOverwritesOnRestore) {
  for (int i = 0; i < 5; ++i)
    target.WriteProfileString("OperatorSelectableStrings", "String_" + std::to_string(i), "old");
  target.WriteProfileInt("OperatorSelectableStrings", "NumStrings", 5);
  for (int i = 0; i < 3; ++i)
    store.WriteProfileString("OperatorSelectableStrings", "String_" + std::to_string(i), "new");
  store.WriteProfileInt("OperatorSelectableStrings", "NumStrings", 3);
  const std::string file = dir / "strings.BriskoWorkflowBackup";
  ASSERT_TRUE(BackupSettings(store, file, store.RootPath()));
  ASSERT_TRUE(Restore(file));
  EXPECT_EQ(target.GetProfileInt("OperatorSelectableStrings", "NumStrings", 0), 3);
  EXPECT_EQ(target.GetProfileString("OperatorSelectableStrings", "String_2", ""), "new");
  EXPECT_EQ(target.GetProfileString("OperatorSelectableStrings", "String_3", ""), "old");
  EXPECT_EQ(target.GetProfileString("OperatorSelectableStrings", "String_4", ""), "old");
}

TEST_F(ABackup, keepsValuesInTheRightKeyWhatEverTheNesting) {
  const std::string file = dir / "stack.BriskoWorkflowBackup";
  test::WriteFile(file,
                  "<k name=\"HKEY_LOCAL_MACHINE\"><k name=\"S\">\r\n"
                  "<k></k>\r\n"  // names no key: must not close "S"
                  "<k name=\"A\" name=\"B\"><v name=\"x\" value=\"in A\"/></k>\r\n"
                  "<x><v name=\"y\" value=\"in S\"/></x>\r\n"
                  "</k></k>\r\n"
                  "<v name=\"outside\" value=\"1\"/>\r\n"
                  "<k name=\"HKEY_CURRENT_USER\"/>\r\n");
  ASSERT_TRUE(Restore(file));
  EXPECT_EQ(messages, std::vector<std::string>{"couldn't set value outside"});
  EXPECT_TRUE(target.QueryValue("HKEY_LOCAL_MACHINE\\S\\A", "x"));
  EXPECT_TRUE(target.QueryValue("HKEY_LOCAL_MACHINE\\S", "y"));
  EXPECT_FALSE(target.KeyExists("HKEY_LOCAL_MACHINE\\S\\A\\B"));
  EXPECT_TRUE(target.KeyExists("HKEY_CURRENT_USER"));
}

// Every broken file fails with a message and leaves the store exactly as it was.
TEST_F(ABackup, refusesBrokenFilesAndLeavesTheStoreUntouched) {
  target.WriteProfileString("Settings", "m_TempPath", "/keep/");
  target.WriteProfileInt("Actions", "NumActions", 4);
  const std::vector<std::string> before = Dump(target);

  std::string deep = "<k name=\"HKEY_LOCAL_MACHINE\">";
  for (int i = 0; i < 70; ++i) deep += "<k name=\"d\">";
  for (int i = 0; i < 71; ++i) deep += "</k>";
  std::string binary;
  for (int i = 0; i < 4096; ++i) binary += static_cast<char>((i * 7919) & 0xff);
  const std::string valid =
      "<k name=\"HKEY_LOCAL_MACHINE\"><k name=\"S\"><v name=\"a\" value=\"1\"/></k></k>";

  const struct {
    const char* label;
    std::string content;
    const char* message;  // the start of the first message
  } rows[] = {
      {"empty", "", "Parse error in line "},
      {"binary", binary, "Parse error in line "},
      {"unclosed", valid.substr(0, valid.size() - 4), "Parse error in line 1 : (Unexpected end of file)"},
      {"bad tag", "<k name=\"HKEY_LOCAL_MACHINE\"><k name=\"S\" <v/></k></k>",
       "Parse error in line 1 : (Bad '<' symbol)"},
      {"late parse error", valid + "\r\n<k name=\"HKEY_LOCAL_MACHINE\"><=></k>", "Parse error in line 2"},
      {"unknown hive", "<k name=\"HKEY_NOWHERE\"><k name=\"S\"/></k>", "couldn't create key HKEY_NOWHERE\\"},
      {"empty key name", "<k name=\"HKEY_LOCAL_MACHINE\"><k name=\"\"/></k>",
       "couldn't create key HKEY_LOCAL_MACHINE\\"},
      {"separator in name", "<k name=\"HKEY_LOCAL_MACHINE\"><k name=\"a\\b\"/></k>",
       "couldn't create key HKEY_LOCAL_MACHINE\\a\\b"},
      {"long key name", "<k name=\"HKEY_LOCAL_MACHINE\"><k name=\"" + std::string(256, 'n') + "\"/></k>",
       "couldn't create key HKEY_LOCAL_MACHINE\\nnn"},
      {"too deep", deep, "couldn't create key HKEY_LOCAL_MACHINE\\d\\d"},
      {"no settings", "<?xml version=\"1.0\"?>\r\n<other a=\"b\"/>\r\n", nullptr},
      {"absurd action count",
       "<k name=\"HKEY_LOCAL_MACHINE\"><k name=\"S\"><k name=\"Actions\"><v name=\"NumActions\" "
       "value=\"0x7fffffff (2147483647)\" type=\"REG_DWORD\"/></k></k></k>",
       "NumActions 2147483647 in HKEY_LOCAL_MACHINE\\S\\Actions is outside 0 to 1000"},
      {"negative list count",
       "<k name=\"HKEY_LOCAL_MACHINE\"><k name=\"S\"><v name=\"a\" value=\"1\"/><v name=\"m_x_count\" "
       "value=\"0xffffffff (-1)\" type=\"REG_DWORD\"/></k></k>",
       "m_x_count -1 in HKEY_LOCAL_MACHINE\\S is outside 0 to 10000"},
      {"reference to no character",
       "<k name=\"HKEY_LOCAL_MACHINE\"><k name=\"S\"><v name=\"a\" value=\"x&#0;\"/></k></k>",
       "The backup holds the reference &#0;, which names no character"},
  };
  for (const auto& row : rows) {
    const std::string file = dir / "broken.BriskoWorkflowBackup";
    test::WriteFile(file, row.content);
    EXPECT_FALSE(Restore(file)) << row.label;
    ASSERT_FALSE(messages.empty()) << row.label;
    if (row.message) {
      EXPECT_EQ(messages[0].rfind(row.message, 0), 0u) << row.label << ": " << messages[0];
    }
    EXPECT_EQ(Dump(target), before) << row.label;
  }
}

TEST_F(ABackup, refusesEveryTruncationOfABackup) {
  FillStation();
  const std::string full = dir / "full.BriskoWorkflowBackup";
  ASSERT_TRUE(BackupSettings(store, full, store.RootPath()));
  const std::string text = test::ReadFile(full);
  const size_t lastTag = text.rfind('>');
  target.WriteProfileInt("Actions", "NumActions", 9);
  const std::vector<std::string> before = Dump(target);
  const std::string cut = dir / "cut.BriskoWorkflowBackup";
  for (size_t n = 0; n <= lastTag; n += 13) {
    test::WriteFile(cut, text.substr(0, n));
    ASSERT_FALSE(Restore(cut)) << n;
    ASSERT_EQ(Dump(target), before) << n;
  }
}

TEST_F(ABackup, refusesWhatIsNoBackupFile) {
  const std::string huge = dir / "huge.BriskoWorkflowBackup";
  { std::ofstream(huge) << "<k name=\"HKEY_LOCAL_MACHINE\">"; }
  std::filesystem::resize_file(huge, kMaxRestoreFileSize + 1);  // sparse, costs no disk
  const struct {
    std::string path;
    const char* message;
  } rows[] = {
      {huge, "is too large"},
      {dir / "missing.BriskoWorkflowBackup", "No such file"},
      {dir.Path(), "is not a regular file"},
  };
  for (const auto& row : rows) {
    EXPECT_FALSE(Restore(row.path)) << row.path;
    ASSERT_EQ(messages.size(), 1u) << row.path;
    EXPECT_NE(messages[0].find(row.message), std::string::npos) << messages[0];
  }
  EXPECT_TRUE(Dump(target).empty());
}

TEST_F(ABackup, failsWithoutTouchingAnExistingFile) {
  FillStation();
  const std::string file = dir / "old.BriskoWorkflowBackup";
  test::WriteFile(file, "previous backup");
  std::string reason;

  EXPECT_FALSE(BackupSettings(
      store, file, store.RootPath(), [] { return false; }, &reason));
  EXPECT_EQ(reason, "cancelled");
  EXPECT_FALSE(BackupSettings(store, file, store.RootPath() + "\\Missing", {}, &reason));
  EXPECT_EQ(test::ReadFile(file), "previous backup");
  for (const auto& entry : std::filesystem::directory_iterator(dir.Path()))
    EXPECT_NE(entry.path().filename().string()[0], '.') << entry.path();  // no temporary leftovers

  EXPECT_FALSE(
      BackupSettings(store, dir / "no/such/folder/x.BriskoWorkflowBackup", store.RootPath(), {}, &reason));
  EXPECT_NE(reason.find("No such file"), std::string::npos) << reason;

  int pumped = 0;
  ASSERT_TRUE(BackupSettings(store, file, store.RootPath(), [&] { return ++pumped > 0; }));
  EXPECT_GT(pumped, 5);  // once per key
  ASSERT_TRUE(Restore(file));
  EXPECT_EQ(Dump(target), Dump(store));
}

TEST_F(ABackup, failsCleanlyOnAFullDisk) {
  const std::string small = dir / "small";
  test::SmallTmpfs tmpfs(small, "64k");
  if (!tmpfs.Ok()) GTEST_SKIP() << "cannot mount a tmpfs here";
  FillStation();
  store.WriteProfileString("Settings", "big", std::string(200000, 'x'));
  const std::string file = small + "/full.BriskoWorkflowBackup";
  test::WriteFile(file, "previous backup");
  std::string reason;
  EXPECT_FALSE(BackupSettings(store, file, store.RootPath(), {}, &reason));
  EXPECT_NE(reason.find("No space left"), std::string::npos) << reason;
  EXPECT_EQ(test::ReadFile(file), "previous backup");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(small), {}), 1);
}
