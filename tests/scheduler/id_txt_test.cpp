#include "scheduler/id_txt.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <filesystem>

#include "common/mounts.h"
#include "common/temp_dir.h"
#include "scheduler/id_txt_forms.h"
#include "support/settings_store.h"

using namespace brisko;
namespace fs = std::filesystem;

namespace {

struct StoreFixture : ::testing::Test {
  void SetUp() override { ASSERT_TRUE(store.Open(dir / "settings.db")); }
  int Counter() { return store.GetProfileInt("Actions", "m_iBatchID", 0); }
  std::string Folder(const std::string& name) {
    fs::create_directories(dir / name);
    return dir / name;
  }
  std::vector<std::string> Leftovers(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(folder)) names.push_back(e.path().filename().string());
    return names;
  }
  test::TempDir dir;
  SettingsStore store;
};

}  // namespace

TEST(AnIdTxtParser, readsLinesLenientlyButKeepsKeysAndValuesUntrimmed) {
  struct Row {
    std::string text;
    size_t field;
    std::optional<std::string> expected;
  };
  const Row rows[] = {
      {"photographerid=Anna\r\n", 0, "Anna"},
      {"EVENTID =Gala\r\n", 1, std::nullopt},  // the key is not trimmed
      {"CARDID= 12\r\n", 2, " 12"},
      {"USERID1=a=b\r\n", 3, "a=b"},
      {"USERID2=first\r\nuserid2=second\r\n", 4, "second"},
      {"=USERID3=x\r\nUSERID3\r\n", 5, std::nullopt},
      {"PHOTOGRAPHERID=Mac\rEVENTID=old\r", 0, "Mac"},
      {"PHOTOGRAPHERID=Mac\rEVENTID=old\r", 1, "old"},
      {"PHOTOGRAPHERID=unix\nCARDID=7", 2, "7"},
      {std::string("CARDID=ab\0cd\r\nEVENTID=e\r\n", 25), 2, "ab"},
      {"USERID1=\r\n", 3, ""},
      {"USERID1=tail\t \r\n", 3, "tail\t "},
  };
  for (const Row& row : rows) {
    IdTxtEntries e = ParseIdTxt(row.text);
    EXPECT_EQ(e.texts[row.field], row.expected) << row.text;
  }
}

TEST(AnIdTxtParser, dropsTheCutLastLineOfAnIncompleteReadOnly) {
  EXPECT_EQ(ParseIdTxt("CARDID=12345", false).texts[2], std::nullopt);
  EXPECT_EQ(ParseIdTxt("CARDID=12345", true).texts[2], "12345");
  EXPECT_EQ(ParseIdTxt("CARDID=1\r\nEVENTID=ab", false).texts[2], "1");
}

TEST(ABatchIdValue, readsLeadingDigitsLikeAtoiAndSaturates) {
  const std::pair<const char*, int> rows[] = {{"12", 12},
                                              {" 7x", 7},
                                              {"abc", 0},
                                              {"", 0},
                                              {"-3", -3},
                                              {"+4", 4},
                                              {"0009", 9},
                                              {"99999999999", INT_MAX},
                                              {"-99999999999", INT_MIN}};
  for (const auto& [text, value] : rows) EXPECT_EQ(ParseBatchIdValue(text), value) << text;
}

TEST_F(StoreFixture, newBatchIdCountsFromOneAndWrapsInsteadOfOverflowing) {
  EXPECT_EQ(NewBatchId(&store), 1);
  EXPECT_EQ(NewBatchId(&store), 2);
  EXPECT_EQ(Counter(), 2);
  store.WriteProfileInt("Actions", "m_iBatchID", INT_MAX);
  EXPECT_EQ(NewBatchId(&store), 1);
}

// The name's letter case does not matter, nor a slash after the folder.
TEST_F(StoreFixture, readsTheFirstFolderThatHoldsAnIdTxt) {
  std::string empty = Folder("empty"), first = Folder("first"), second = Folder("second");
  test::WriteFile(first + "/id.txt", "PHOTOGRAPHERID=Anna\r\nBATCHID=41\r\n");
  test::WriteFile(second + "/ID.TXT", "PHOTOGRAPHERID=Bert\r\nEVENTID=Ball\r\nBATCHID=99\r\n");
  CIdTxt record(&store);
  record.m_strEventID = "kept";
  ASSERT_TRUE(record.ReadFromFolders({empty, first + "/", second}));
  EXPECT_EQ(record.m_strFilePath, first + "/id.txt");
  EXPECT_EQ(record.m_strPhotographerID, "Anna");
  EXPECT_EQ(record.m_strEventID, "kept");  // absent keys leave the field alone
  EXPECT_EQ(record.m_iBatchID, 41);
  EXPECT_EQ(Counter(), 0);  // a usable BATCHID takes nothing from the counter
}

TEST_F(StoreFixture, takesANewBatchIdWhenBatchIdIsMissingZeroOrNotANumber) {
  std::string folder = Folder("card");
  int expected = 0;
  for (const char* text : {"CARDID=1\r\n", "BATCHID=0\r\n", "BATCHID=none\r\n", "batchid=\r\n"}) {
    test::WriteFile(folder + "/ID.TXT", text);
    CIdTxt record(&store);
    ASSERT_TRUE(record.ReadFromFolders({folder})) << text;
    EXPECT_EQ(record.m_iBatchID, ++expected) << text;
    EXPECT_EQ(Counter(), expected) << text;
  }
}

TEST_F(StoreFixture, reportsNotFoundAndLeavesTheRecordAloneWhenNoFileCanBeRead) {
  std::string none = Folder("none"), dirNamed = Folder("dir"), fifo = Folder("fifo");
  fs::create_directory(dirNamed + "/ID.TXT");
  fs::create_symlink(dir / "nowhere", none + "/id.txt");     // dangling: as good as absent
  ASSERT_EQ(::mkfifo((fifo + "/ID.TXT").c_str(), 0644), 0);  // nobody writes: must not hang
  for (const std::string& folder : {none, dirNamed, fifo, std::string("/nonexistent/brisko")}) {
    CIdTxt record(&store);
    record.m_strCardID = "before";
    record.m_iBatchID = 5;
    EXPECT_FALSE(record.ReadFromFolders({folder})) << folder;
    EXPECT_EQ(record.m_strCardID, "before");
    EXPECT_EQ(record.m_iBatchID, 5);
    EXPECT_EQ(record.m_strFilePath, "");
  }
  // The first ID.TXT found decides, even when it cannot be read.
  std::string good = Folder("good");
  test::WriteFile(good + "/ID.TXT", "CARDID=9\r\n");
  CIdTxt record(&store);
  EXPECT_FALSE(record.ReadFromFolders({dirNamed, good}));
  EXPECT_EQ(Counter(), 0);
}

TEST_F(StoreFixture, readsOnlyTheHeadOfAHugeOrBinaryFile) {
  std::string folder = Folder("huge");
  std::string data = "CARDID=head\r\n";
  data += std::string(kIdTxtMaxRead, '\xff');
  data += "\r\nEVENTID=beyond\r\n";
  for (int i = 0; i < 256; ++i) data += static_cast<char>(i);
  test::WriteFile(folder + "/ID.TXT", data);
  CIdTxt record(&store);
  ASSERT_TRUE(record.ReadFromFolders({folder}));
  EXPECT_EQ(record.m_strCardID, "head");
  EXPECT_EQ(record.m_strEventID, "");
}

TEST_F(StoreFixture, writesTheExactFormatAndReadsItBack) {
  std::string folder = Folder("out");
  CIdTxt record(&store);
  record.m_strPhotographerID = "Anna";
  record.m_strEventID = " Gala ";
  record.m_strCardID = "a=b";
  record.m_strUserID1 = "line\r\nBATCHID=7";  // must not become a line of its own
  record.m_iBatchID = 12;
  ASSERT_TRUE(record.Write(folder + "/ID.TXT", false));
  EXPECT_EQ(test::ReadFile(folder + "/ID.TXT"),
            "PHOTOGRAPHERID=Anna\r\nEVENTID= Gala \r\nCARDID=a=b\r\nUSERID1=lineBATCHID=7\r\n"
            "USERID2=\r\nUSERID3=\r\nBATCHID=12\r\n");
  EXPECT_EQ(Counter(), 0);
  CIdTxt back(&store);
  ASSERT_TRUE(back.ReadFromFolders({folder}));
  EXPECT_EQ(back.m_strEventID, " Gala ");
  EXPECT_EQ(back.m_iBatchID, 12);
  EXPECT_EQ(Leftovers(folder), std::vector<std::string>{"ID.TXT"});
}

TEST_F(StoreFixture, aRunThatCreatesAnIdTxtUsesTwoBatchIdsAndOneThatReadsItUsesOne) {
  std::string card = Folder("card");
  // Create case: no file, a path and a new batch ID, then the write after the operation.
  CIdTxt created(&store);
  ASSERT_FALSE(created.ReadFromFolders({card}));
  created.m_strFilePath = card + "/ID.TXT";
  created.m_iBatchID = created.NewBatchId();
  ASSERT_TRUE(created.Write(created.m_strFilePath, true));
  EXPECT_EQ(created.m_iBatchID, 2);
  EXPECT_EQ(Counter(), 2);
  // Next batch from the same card: read (BATCHID 2 is kept), write back with a new one.
  CIdTxt next(&store);
  ASSERT_TRUE(next.ReadFromFolders({card}));
  EXPECT_EQ(next.m_iBatchID, 2);
  ASSERT_TRUE(next.Write(next.m_strFilePath, true));
  EXPECT_EQ(Counter(), 3);
  EXPECT_NE(test::ReadFile(card + "/ID.TXT").find("BATCHID=3\r\n"), std::string::npos);
}

TEST_F(StoreFixture, replacesAFileKeepingItsModeOrFailsWithACauseLeavingItAlone) {
  std::string folder = Folder("perm");
  std::string path = folder + "/ID.TXT";
  test::WriteFile(path, "old");
  ::chmod(path.c_str(), 0640);
  CIdTxt record(&store);
  record.m_iBatchID = 1;
  ASSERT_TRUE(record.Write(path, false));
  struct stat st;
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  EXPECT_EQ(test::ReadFile(path).substr(0, 15), "PHOTOGRAPHERID=");

  test::WriteFile(path, "keep");
  ::chmod(path.c_str(), 0444);
  EXPECT_FALSE(record.Write(path, false));
  EXPECT_EQ(record.LastError(), EACCES);
  EXPECT_EQ(test::ReadFile(path), "keep");
  EXPECT_FALSE(record.Write(dir / "missing/ID.TXT", false));
  EXPECT_EQ(record.LastError(), ENOENT);
  fs::create_directory(folder + "/sub");
  EXPECT_FALSE(record.Write(folder + "/sub", false));
  EXPECT_EQ(record.LastError(), EISDIR);
  EXPECT_EQ(Leftovers(folder).size(), 2u);
}

TEST_F(StoreFixture, leavesTheOldFileWholeWhenTheDiskIsFull) {
  std::string folder = Folder("small");
  test::SmallTmpfs tmpfs(folder, "16k");
  if (!tmpfs.Ok()) GTEST_SKIP() << "cannot mount a tmpfs here";
  test::WriteFile(folder + "/ID.TXT", "CARDID=old\r\n");
  test::WriteFile(folder + "/filler", std::string(64 * 1024, 'x'));  // fills what is left
  CIdTxt record(&store);
  record.m_strCardID = std::string(8192, 'n');
  EXPECT_FALSE(record.Write(folder + "/ID.TXT", false));
  EXPECT_EQ(record.LastError(), ENOSPC);
  EXPECT_EQ(test::ReadFile(folder + "/ID.TXT"), "CARDID=old\r\n");
  auto names = Leftovers(folder);
  EXPECT_EQ(names.size(), 2u);
}

TEST_F(StoreFixture, failsOnAReadOnlyCard) {
  std::string folder = Folder("ro");
  test::WriteFile(folder + "/ID.TXT", "CARDID=ro\r\n");
  test::ReadOnlyBind card(folder);
  if (!card.Ok()) GTEST_SKIP() << "cannot bind-mount here";
  CIdTxt record(&store);
  ASSERT_TRUE(record.ReadFromFolders({folder}));
  EXPECT_FALSE(record.Write(record.m_strFilePath, true));
  EXPECT_EQ(record.LastError(), EROFS);
  EXPECT_EQ(test::ReadFile(folder + "/ID.TXT"), "CARDID=ro\r\n");
}

TEST_F(StoreFixture, theEditorIsAViewerUntilEditIsPressed) {
  CIdTxt record(&store);
  record.m_strPhotographerID = "Anna";
  record.m_iBatchID = 8;
  {
    IdTxtEditForm form(record);
    EXPECT_FALSE(form.CancelVisible());
    EXPECT_TRUE(form.EditVisible());
    EXPECT_EQ(form.Box(0), "Anna");
    EXPECT_EQ(form.BatchText(), "8");
    form.Box(0) = "changed";
    EXPECT_EQ(form.PressOk(), IdTxtEditForm::Result::Cancel);
    EXPECT_EQ(record.m_strPhotographerID, "Anna");
  }
  {
    IdTxtEditForm form(record);
    form.Edit();
    EXPECT_FALSE(form.EditVisible());
    EXPECT_STREQ(form.OkCaption(), "OK");
    form.Box(5) = "u3";
    EXPECT_EQ(form.PressCancel(), IdTxtEditForm::Result::Cancel);
    EXPECT_EQ(record.m_strUserID3, "");
    EXPECT_EQ(form.PressOk(), IdTxtEditForm::Result::Ok);
    EXPECT_EQ(record.m_strUserID3, "u3");
    EXPECT_EQ(record.m_iBatchID, 8);
  }
}

TEST_F(StoreFixture, theEditFlowStartsAtHomeThenAtTheLastFolderAndWritesOnlyAfterOk) {
  std::string home = Folder("home"), card = Folder("card");
  ::setenv("HOME", home.c_str(), 1);
  EditIdTxtFlow flow(&store);
  std::vector<std::string> starts;
  auto pick = [&](std::optional<std::string> answer) {
    return [&, answer](const std::string& title, const std::string& start) {
      EXPECT_EQ(title, "Select ID.TXT Folder");
      starts.push_back(start);
      return answer;
    };
  };
  // Cancelled picker: nothing remembered.
  EXPECT_EQ(flow.Run(pick(std::nullopt), nullptr).outcome, EditIdTxtFlow::Outcome::PickerCancelled);
  // No ID.TXT, "Close": no file, one batch ID used.
  auto closeEditor = [](CIdTxt&) { return false; };
  auto r = flow.Run(pick(card), closeEditor);
  EXPECT_EQ(r.outcome, EditIdTxtFlow::Outcome::EditorClosed);
  EXPECT_EQ(r.path, card + "/ID.TXT");
  EXPECT_FALSE(fs::exists(card + "/ID.TXT"));
  EXPECT_EQ(Counter(), 1);
  // Edited and OK: written with the batch ID the editor showed, no further one taken.
  int shown = 0;
  auto editEvent = [&](CIdTxt& rec) {
    shown = rec.m_iBatchID;
    rec.m_strEventID = "Gala";
    return true;
  };
  r = flow.Run(pick(card), editEvent);
  EXPECT_EQ(r.outcome, EditIdTxtFlow::Outcome::Written);
  EXPECT_EQ(shown, 2);
  EXPECT_EQ(Counter(), 2);
  EXPECT_NE(test::ReadFile(card + "/ID.TXT").find("EVENTID=Gala\r\n"), std::string::npos);
  EXPECT_NE(test::ReadFile(card + "/ID.TXT").find("BATCHID=2\r\n"), std::string::npos);
  EXPECT_EQ(starts, (std::vector<std::string>{home, home, card}));
  // A folder that vanished before the write.
  std::string gone = Folder("gone");
  r = flow.Run(pick(gone), [&](CIdTxt&) {
    fs::remove(gone);
    return true;
  });
  EXPECT_EQ(r.outcome, EditIdTxtFlow::Outcome::WriteFailed);
  EXPECT_EQ(r.error, ENOENT);
}
