#include "engine/action.h"

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
  a.m_RenameTemplate.AddComponent(NameTemplate::TextComponentId(TemplateKind::kRename), "P-");
  a.m_RenameTemplate.AddComponent(0);
  a.m_SubfolderTemplate.AddComponent(NameTemplate::TextComponentId(TemplateKind::kSubfolder), "event");
  a.m_BriskoExifCustomActionFieldsMap = {{"venue", "Hall"}, {"crew", "B"}};
  SpatialArea area;
  area.m_strDesc = "venue";
  area.m_iRadius = 250;
  a.m_SpatialAreaList.Add(area);
}

void ExpectSameStoredFields(const Action& a, const Action& b) {
  EXPECT_EQ(a.m_iType, b.m_iType);
  EXPECT_EQ(a.m_strName, b.m_strName);
  EXPECT_EQ(a.m_strSourceFolder, b.m_strSourceFolder);
  EXPECT_EQ(a.m_strDestFolder, b.m_strDestFolder);
  EXPECT_EQ(a.m_strFileSpec, b.m_strFileSpec);
  EXPECT_EQ(a.m_strFileSpecExclude, b.m_strFileSpecExclude);
  EXPECT_EQ(a.m_bUseRegexFilespec, b.m_bUseRegexFilespec);
  EXPECT_EQ(a.m_iFileAge, b.m_iFileAge);
  EXPECT_EQ(a.m_iFileAgeUnits, b.m_iFileAgeUnits);
  EXPECT_EQ(a.m_iLeaveMinFilecount, b.m_iLeaveMinFilecount);
  EXPECT_EQ(a.m_bDisplayIdTxtContents, b.m_bDisplayIdTxtContents);
  EXPECT_EQ(a.m_bCreateIDTxtFile, b.m_bCreateIDTxtFile);
  EXPECT_EQ(a.m_bCreateNewSubfolder, b.m_bCreateNewSubfolder);
  EXPECT_EQ(a.m_iCreateNewSubfolderFrequency, b.m_iCreateNewSubfolderFrequency);
  EXPECT_EQ(a.m_bRenameFile, b.m_bRenameFile);
  EXPECT_EQ(a.m_bEnabled, b.m_bEnabled);
  EXPECT_EQ(a.m_bUpdateFileTimestamp, b.m_bUpdateFileTimestamp);
  EXPECT_EQ(a.m_bModifyReadOnlyAttribute, b.m_bModifyReadOnlyAttribute);
  EXPECT_EQ(a.m_bMakeReadOnly, b.m_bMakeReadOnly);
  EXPECT_EQ(a.m_iScheduleType, b.m_iScheduleType);
  EXPECT_EQ(a.m_uiScheduleTime, b.m_uiScheduleTime);
  EXPECT_EQ(a.m_uiScheduleTimeMins, b.m_uiScheduleTimeMins);
  EXPECT_EQ(a.m_uiRunInterval, b.m_uiRunInterval);
  EXPECT_EQ(a.m_iuCommandIndex, b.m_iuCommandIndex);
  EXPECT_EQ(a.m_strExternalExeFilepath, b.m_strExternalExeFilepath);
  EXPECT_EQ(a.m_strExternalExeArgs, b.m_strExternalExeArgs);
  EXPECT_EQ(a.m_bUseExternalExe, b.m_bUseExternalExe);
  EXPECT_EQ(a.m_bUseExternalArgs, b.m_bUseExternalArgs);
  EXPECT_EQ(a.m_bAppendArgs, b.m_bAppendArgs);
  EXPECT_EQ(a.m_bAutoRotateJPG, b.m_bAutoRotateJPG);
  EXPECT_EQ(a.m_bAutoRotateUseSubfolder, b.m_bAutoRotateUseSubfolder);
  EXPECT_EQ(a.m_bAddOrUpdateBriskoExif, b.m_bAddOrUpdateBriskoExif);
  EXPECT_EQ(a.m_bSelectByOrientation, b.m_bSelectByOrientation);
  EXPECT_EQ(a.m_bSelectLandscape, b.m_bSelectLandscape);
  EXPECT_EQ(a.m_bIncludeSubFolders, b.m_bIncludeSubFolders);
  EXPECT_EQ(a.m_bDeleteEmptyFoldersOnly, b.m_bDeleteEmptyFoldersOnly);
  EXPECT_EQ(a.m_strBriskoPltFilepath, b.m_strBriskoPltFilepath);
  EXPECT_EQ(a.m_bOverwriteExistingFiles, b.m_bOverwriteExistingFiles);
  EXPECT_EQ(a.m_strPrintQueue, b.m_strPrintQueue);
  EXPECT_EQ(a.m_iPrintCopies, b.m_iPrintCopies);
  EXPECT_EQ(a.m_iPrintMaxCopies, b.m_iPrintMaxCopies);
  EXPECT_EQ(a.m_strPrintMedia, b.m_strPrintMedia);
  EXPECT_EQ(b.m_iPrintScaling, 2);
  EXPECT_EQ(b.m_bPrintBorderless, 1);
  EXPECT_EQ(a.m_bKeepShotsTogether, b.m_bKeepShotsTogether);
  EXPECT_TRUE(a.m_RenameTemplate == b.m_RenameTemplate);
  EXPECT_TRUE(a.m_SubfolderTemplate == b.m_SubfolderTemplate);
  EXPECT_EQ(a.m_BriskoExifCustomActionFieldsMap, b.m_BriskoExifCustomActionFieldsMap);
  ASSERT_EQ(a.m_SpatialAreaList.Count(), b.m_SpatialAreaList.Count());
  for (size_t i = 0; i < a.m_SpatialAreaList.Count(); ++i) {
    EXPECT_EQ(a.m_SpatialAreaList.At(i).m_strDesc, b.m_SpatialAreaList.At(i).m_strDesc);
    EXPECT_EQ(a.m_SpatialAreaList.At(i).m_iRadius, b.m_SpatialAreaList.At(i).m_iRadius);
  }
}

TEST(ActionStorage, SaveThenLoadKeepsEveryStoredField) {
  FakeHost host;
  Action saved(host);
  SetEveryField(saved);
  saved.Save(2);
  Action loaded(host);
  EXPECT_EQ(loaded.Load(2), 1);
  ExpectSameStoredFields(saved, loaded);
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

TEST(ActionStorage, WritesValuesInTheFixedOrderWithCountersInEverySection) {
  FakeHost host;
  host.Values().m_iFileCounter = 41;
  host.Values().m_iBatchCounter = 7;
  Action a(host), b(host);
  a.Save(0);
  b.Save(1);
  SettingsStore& store = host.Store();
  for (int i = 0; i < 2; ++i) {
    const std::string section = ActionSectionName(i);
    EXPECT_EQ(store.GetProfileInt(section, "m_iFileCounter", 0), 41);
    EXPECT_EQ(store.GetProfileInt(section, "m_iBatchCounter", 0), 7);
  }
  std::vector<std::string> names;
  for (const RegValue& v : store.EnumValues(store.RootPath() + "\\Action_0")) names.push_back(v.name);
  const std::vector<std::string> expected = {
      "m_iType", "m_strName", "m_strSourceFolder", "m_strDestFolder", "m_strFileSpec", "m_strFileSpecExclude",
      "m_bUseRegexFilespec", "m_iFileAge", "m_iFileAgeUnits", "m_iLeaveMinFilecount", "m_bRenameFile",
      "m_bCreateNewSubfolder", "m_iCreateNewSubfolderFrequency", "m_iFileCounter", "m_iBatchCounter",
      "m_bEnabled",
      // the subfolder template (the rename template only while renaming is on)
      "m_SubFolderComponentArray_count", "m_SubFolderComponentArray_0", "m_SubFolderStaticTextArray_count",
      "m_SubFolderSubstringPtrList_count", "m_SubFolderBriskoExifKeysArray_count", "m_bDisplayIdTxtContents",
      "m_bCreateIDTxtFile", "m_bUpdateFileTimestamp", "m_bModifyReadOnlyAttribute", "m_bMakeReadOnly",
      "m_iScheduleType", "m_uiScheduleTime", "m_uiScheduleTimeMins", "m_iuCommandIndex", "m_bUseExternalExe",
      "m_bUseExternalArgs", "m_bAppendArgs", "m_strExternalExeFilepath", "m_strExternalExeArgs",
      "m_bAutoRotateJPG", "m_bAutoRotateUseSubfolder", "m_bAddOrUpdateBriskoExif",
      "m_BriskoExifCustomActionFieldsMap", "m_bSelectByOrientation", "m_bSelectLandscape", "m_uiRunInterval",
      "m_bIncludeSubFolders", "m_bDeleteEmptyFoldersOnly", "m_SpatialAreaPtrList_count",
      "m_strBriskoPltFilepath", "m_bOverwriteExistingFiles", "m_strPrintQueue", "m_iPrintCopies",
      "m_iPrintMaxCopies", "m_strPrintMedia", "m_bKeepShotsTogether", "m_iPrintScaling",
      "m_bPrintBorderless"};
  EXPECT_EQ(names, expected);
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
  ExpectSameStoredFields(source, clone);
  EXPECT_EQ(clone.m_bRunPending, 0);
  EXPECT_EQ(clone.m_tLastRun, 0);
  EXPECT_EQ(clone.m_uiTimerHandle, 0u);
  EXPECT_EQ(clone.m_uiTimerId, cloneTimer);
  EXPECT_EQ(clone.m_pIdTxt, nullptr);
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
