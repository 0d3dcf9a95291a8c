#include "engine/action/action.h"

#include <gtest/gtest.h>

#include "engine/fake_host.h"

namespace brisko {
namespace {

using test::FakeHost;

TEST(AnAction, TakesIncreasingTimerIds) {
  FakeHost host;
  host.Values().g_uiNextActionTimerId = 1133;
  Action a(host);
  Action b(host);
  EXPECT_EQ(a.m_uiTimerId, 1133u);
  EXPECT_EQ(b.m_uiTimerId, 1135u) << "the run-loop timer id is never given to an action";
}

TEST(AnAction, IsDescribedByNameAndTypeInLogLines) {
  FakeHost host;
  Action a(host);
  a.m_strName = "Card reader";
  a.m_iType = kMoveFilesFromMedia;
  EXPECT_EQ(a.GetDescription(), "Card reader (Move Files from Media)");
  a.LogMessage("Moving 3 file(s) from media");
  ASSERT_EQ(host.log.size(), 1u);
  EXPECT_EQ(host.log[0], "Card reader (Move Files from Media) Moving 3 file(s) from media");
  a.m_iType = 42;
  EXPECT_EQ(a.GetDescription(), "Card reader (Undefined action)");
}

TEST(AnAction, StopsItsRunningTimerWhenDestroyed) {
  FakeHost host;
  {
    Action a(host);
    a.m_uiTimerHandle = 77;
  }
  { Action idle(host); }
  EXPECT_EQ(host.killedTimers, std::vector<uint32_t>{77});
}

void SetEveryField(Action& a) {
  a.m_iType = kCopySubfolders;
  a.m_strName = "Studio";
  a.m_strSourceFolder = "/in";
  a.m_strDestFolder = "/out";
  a.m_strFileSpec = "*.jpg";
  a.m_strFileSpecExclude = "x*";
  a.m_bUseRegexFilespec = 1;
  a.m_iFileAge = 5;
  a.m_iFileAgeUnits = kAgeDays;
  a.m_iLeaveMinFilecount = 3;
  a.m_bDisplayIdTxtContents = 1;
  a.m_bCreateIDTxtFile = 1;
  a.m_bCreateNewSubfolder = 1;
  a.m_iCreateNewSubfolderFrequency = kUseTemplate;
  a.m_bRenameFile = 1;
  a.m_bEnabled = 0;
  a.m_bUpdateFileTimestamp = 1;
  a.m_bModifyReadOnlyAttribute = 1;
  a.m_bMakeReadOnly = 1;
  a.m_iScheduleType = kScheduleTime;
  a.m_uiScheduleTime = 0xFFFFFFFFu;
  a.m_uiScheduleTimeMins = 45;
  a.m_uiRunInterval = 90;
  a.m_iuCommandIndex = 19;
  a.m_strExternalExeFilepath = "/usr/bin/fix";
  a.m_strExternalExeArgs = "-q -v";
  a.m_iExternalExeTimeLimit = 300;
  a.m_bUseExternalExe = 1;
  a.m_bUseExternalArgs = 1;
  a.m_bAppendArgs = 1;
  a.m_bAutoRotateJPG = 1;
  a.m_bAutoRotateUseSubfolder = 1;
  a.m_bAddOrUpdateBriskoExif = 1;
  a.m_bSelectByOrientation = 1;
  a.m_bSelectLandscape = 1;
  a.m_bIncludeSubFolders = 1;
  a.m_bDeleteEmptyFoldersOnly = 1;
  a.m_strBriskoPltFilepath = "/t/a.plt";
  a.m_bOverwriteExistingFiles = 1;
  a.m_strPrintQueue = "Selphy";
  a.m_iPrintCopies = 0;
  a.m_iPrintMaxCopies = 4;
  a.m_strPrintMedia = "na_index-4x6_4x6in";
  a.m_iPrintScaling = 2;
  a.m_bPrintBorderless = 1;
  a.m_bKeepShotsTogether = 1;
  a.m_bVerifyCopies = 1;
  a.m_iUploadRateLimit = 512;
  a.m_iUploadLateMinutes = 45;
  a.m_bUploadInPlace = 1;
  a.m_RenameTemplate.AddComponent(NameTemplate::TextComponentId(TemplateKind::kRename), "P-");
  a.m_RenameTemplate.AddComponent(0);
  a.m_SubfolderTemplate.AddComponent(NameTemplate::TextComponentId(TemplateKind::kSubfolder), "event");
  a.m_BriskoExifCustomActionFieldsMap = {{"venue", "Hall"}, {"crew", "B"}};
  SpatialArea area;
  area.m_strDesc = "venue";
  area.m_iRadius = 250;
  a.m_SpatialAreaList.Add(area);
}

// The stored action of SetEveryField, as Save writes it: every name in its fixed order, with its
// value (the rename template only while renaming is on).
// clang-format off
const std::vector<std::string> kEveryFieldStored = {
    "m_iType=6", "m_strName=Studio", "m_strSourceFolder=/in", "m_strDestFolder=/out", "m_strFileSpec=*.jpg",
    "m_strFileSpecExclude=x*", "m_bUseRegexFilespec=1", "m_iFileAge=5", "m_iFileAgeUnits=2",
    "m_iLeaveMinFilecount=3", "m_bRenameFile=1", "m_bCreateNewSubfolder=1",
    "m_iCreateNewSubfolderFrequency=3", "m_iFileCounter=1", "m_iBatchCounter=1", "m_bEnabled=0",
    "m_ComponentArray_count=2", "m_ComponentArray_0=3", "m_ComponentArray_1=0", "m_StaticTextArray_count=1",
    "m_StaticTextArray_0=P-", "m_SubstringPtrList_count=0", "m_BriskoExifKeysArray_count=0",
    "m_SubFolderComponentArray_count=2", "m_SubFolderComponentArray_0=2", "m_SubFolderComponentArray_1=0",
    "m_SubFolderStaticTextArray_count=1", "m_SubFolderStaticTextArray_0=event",
    "m_SubFolderSubstringPtrList_count=0", "m_SubFolderBriskoExifKeysArray_count=0",
    "m_bDisplayIdTxtContents=1", "m_bCreateIDTxtFile=1", "m_bUpdateFileTimestamp=1",
    "m_bModifyReadOnlyAttribute=1", "m_bMakeReadOnly=1", "m_iScheduleType=2", "m_uiScheduleTime=4294967295",
    "m_uiScheduleTimeMins=45", "m_iuCommandIndex=19", "m_bUseExternalExe=1", "m_bUseExternalArgs=1",
    "m_bAppendArgs=1", "m_strExternalExeFilepath=/usr/bin/fix", "m_strExternalExeArgs=-q -v",
    "m_iExternalExeTimeLimit=300",
    "m_bAutoRotateJPG=1", "m_bAutoRotateUseSubfolder=1", "m_bAddOrUpdateBriskoExif=1",
    "m_BriskoExifCustomActionFieldsMap=crew=B|venue=Hall|", "m_bSelectByOrientation=1",
    "m_bSelectLandscape=1", "m_uiRunInterval=90", "m_bIncludeSubFolders=1", "m_bDeleteEmptyFoldersOnly=1",
    "m_SpatialAreaPtrList_count=1", "m_LLCenter_0=-35.282040,149.128677",
    "m_LLTopLeft_0=-33.856159,151.214630", "m_LLBottomRight_0=-33.857841,151.215469", "m_bInclude_0=1",
    "m_strDesc_0=venue", "m_iRadius_0=250", "m_bSquare_0=0", "m_strBriskoPltFilepath=/t/a.plt",
    "m_bOverwriteExistingFiles=1", "m_strPrintQueue=Selphy", "m_iPrintCopies=0", "m_iPrintMaxCopies=4",
    "m_strPrintMedia=na_index-4x6_4x6in", "m_bKeepShotsTogether=1", "m_bVerifyCopies=1", "m_iPrintScaling=2",
    "m_bPrintBorderless=1", "m_iUploadRateLimit=512", "m_iUploadLateMinutes=45", "m_bUploadInPlace=1"};
// clang-format on

// The values of stored action `index` as "name=value", in their stored order.
std::vector<std::string> StoredAction(SettingsStore& store, int index) {
  std::vector<std::string> values;
  for (const RegValue& v : store.EnumValues(store.RootPath() + "\\" + ActionSectionName(index))) {
    uint32_t n = 0;
    for (size_t k = 0; k < 4 && k < v.data.size(); ++k) n |= uint32_t(uint8_t(v.data[k])) << (8 * k);
    values.push_back(v.name + "=" + (v.type == kRegDword ? std::to_string(n) : v.data.c_str()));
  }
  return values;
}

TEST(ActionStorage, SaveThenLoadKeepsEveryStoredField) {
  FakeHost host;
  Action saved(host);
  SetEveryField(saved);
  saved.Save(2);
  EXPECT_EQ(StoredAction(host.Store(), 2), kEveryFieldStored);
  Action loaded(host);
  EXPECT_EQ(loaded.Load(2), 1);
  loaded.Save(3);
  EXPECT_EQ(StoredAction(host.Store(), 3), kEveryFieldStored) << "as loaded";
  EXPECT_EQ(host.Values().m_knownCustomFields.count("venue"), 1u) << "loaded fields become known names";
}

TEST(ActionStorage, RenameTemplateIsLostOnceRenamingIsSwitchedOff) {
  FakeHost host;
  Action a(host);
  a.m_RenameTemplate.AddComponent(0);
  a.m_bRenameFile = 0;
  a.Save(0);
  Action b(host);
  b.Load(0);
  EXPECT_TRUE(b.m_RenameTemplate.m_ComponentArray.empty());
  EXPECT_EQ(b.m_SubfolderTemplate.m_ComponentArray, std::vector<unsigned>{2}) << "the default current date";
}

TEST(ActionStorage, WritesTheCountersInEverySection) {
  FakeHost host;
  host.Values().m_iFileCounter = 41;
  host.Values().m_iBatchCounter = 7;
  Action a(host), b(host);
  a.Save(0);
  b.Save(1);
  for (int i = 0; i < 2; ++i) {
    const std::string section = ActionSectionName(i);
    EXPECT_EQ(host.Store().GetProfileInt(section, "m_iFileCounter", 0), 41);
    EXPECT_EQ(host.Store().GetProfileInt(section, "m_iBatchCounter", 0), 7);
  }
}

TEST(ActionStorage, MissingValuesTakeTheLoadDefaults) {
  FakeHost host;
  host.Values().m_iFileCounter = 99;
  host.Values().m_iBatchCounter = 98;
  // Every section loaded sets the counters, so the last of a list leaves them.
  host.Store().WriteProfileInt("Action_2", "m_iFileCounter", 20);
  Action(host).Load(2);
  EXPECT_EQ(host.Values().m_iFileCounter, 20);
  EXPECT_EQ(host.Values().m_iBatchCounter, 1);
  host.Store().WriteProfileInt("Action_3", "m_iType", kCopyFiles);  // the section exists, little else
  Action a(host);
  a.Load(3);
  EXPECT_EQ(a.m_strName, "Action_3");
  EXPECT_EQ(a.m_iType, kCopyFiles);
  EXPECT_EQ(a.m_strFileSpec, "");
  EXPECT_EQ(a.m_strSourceFolder, "");
  EXPECT_EQ(a.m_bEnabled, 1);
  EXPECT_EQ(a.m_uiRunInterval, 0u);
  EXPECT_EQ(a.m_iCreateNewSubfolderFrequency, 0);
  EXPECT_EQ(host.Values().m_iFileCounter, 1) << "a section without counters resets them to 1";
  EXPECT_EQ(host.Values().m_iBatchCounter, 1);
}

TEST(ActionStorage, OlderReadOnlySettingsAreTranslated) {
  struct Row {
    int remove;  // m_bRemoveReadOnlyAttribute, -1 = missing
    int modify;  // m_bModifyReadOnlyAttribute, -1 = missing
    int make;    // m_bMakeReadOnly, -1 = missing
    int expModify, expMake;
  };
  const Row rows[] = {
      {1, -1, -1, 1, 1}, {1, -1, 0, 1, 1},  // old release: modify and make read-only
      {1, 0, 1, 0, 1},   {1, 1, 0, 1, 0},   // newer values win
      {0, -1, -1, 0, 0}, {-1, 1, 1, 1, 1}, {-1, -1, -1, 0, 0},
  };
  for (const Row& r : rows) {
    FakeHost host;
    if (r.remove >= 0) host.Store().WriteProfileInt("Action_0", "m_bRemoveReadOnlyAttribute", r.remove);
    if (r.modify >= 0) host.Store().WriteProfileInt("Action_0", "m_bModifyReadOnlyAttribute", r.modify);
    if (r.make >= 0) host.Store().WriteProfileInt("Action_0", "m_bMakeReadOnly", r.make);
    Action a(host);
    a.Load(0);
    EXPECT_EQ(a.m_bModifyReadOnlyAttribute, r.expModify) << r.remove << r.modify << r.make;
    EXPECT_EQ(a.m_bMakeReadOnly, r.expMake) << r.remove << r.modify << r.make;
    a.Save(0);
    EXPECT_EQ(host.Store().GetProfileInt("Action_0", "m_bMakeReadOnly", -5), r.expMake);
  }
}

TEST(ActionCopy, CopiesStoredFieldsAndLeavesRuntimeFieldsAlone) {
  FakeHost host;
  Action source(host);
  SetEveryField(source);
  source.m_bRunPending = 1;
  source.m_tLastRun = 1234;
  source.m_uiTimerHandle = 5;
  Action clone(host);
  const uint32_t cloneTimer = clone.m_uiTimerId;
  clone.CopyFrom(source);
  clone.Save(0);
  EXPECT_EQ(StoredAction(host.Store(), 0), kEveryFieldStored);
  EXPECT_EQ(clone.m_bRunPending, 0);
  EXPECT_EQ(clone.m_tLastRun, 0);
  EXPECT_EQ(clone.m_uiTimerHandle, 0u);
  EXPECT_EQ(clone.m_uiTimerId, cloneTimer);
  source.m_uiTimerHandle = 0;
}

TEST(ActionEntryTest, DueRulesPerSchedule) {
  FakeHost host;
  host.now = 1'000'000;
  Action a(host);
  // Disabled, not pending, or inside a shell operation: never starts.
  a.m_bRunPending = 1;
  a.m_bEnabled = 0;
  EXPECT_FALSE(a.EntryTest());
  a.m_bEnabled = 1;
  host.Values().g_nShellOperationDepth = 1;
  EXPECT_FALSE(a.EntryTest());
  host.Values().g_nShellOperationDepth = 0;
  EXPECT_TRUE(a.EntryTest());
  EXPECT_TRUE(a.EntryTest()) << "continuous stays pending";

  a.m_iScheduleType = kScheduleStartup;
  EXPECT_TRUE(a.EntryTest());
  EXPECT_FALSE(a.EntryTest()) << "startup runs once until armed again";

  a.m_iScheduleType = kScheduleInterval;
  a.m_bRunPending = 1;
  a.m_uiRunInterval = 60;
  EXPECT_TRUE(a.EntryTest()) << "first time after loading";
  EXPECT_EQ(a.m_tLastRun, host.now);
  host.now += 59 * 60 + 59;
  EXPECT_FALSE(a.EntryTest());
  host.now += 1;
  EXPECT_TRUE(a.EntryTest());
  EXPECT_EQ(a.m_tLastRun, host.now);
}

}  // namespace
}  // namespace brisko
