// "Modify Action" through its form model: control rules, the OK checks in order, the write-back,
// the edits that reach the action at once, and actions made here run by the program itself.
#include "engine/action/action_form.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <numeric>
#include <optional>
#include <random>
#include <set>

#include "common/program_runner.h"
#include "engine/engine_test_util.h"
#include "engine/fake_host.h"
#include "engine/in_out_test.h"

namespace brisko {
namespace {

using namespace brisko::test;
namespace fs = std::filesystem;

class ActionFormTest : public InOutTest {
 protected:
  void SetUp() override {
    InOutTest::SetUp();
    action->m_strName = "Job";
  }
  // OK with an arm hook that records what the schedule looked like when it was armed.
  std::optional<FormMessage> Ok(ActionForm& form) {
    return form.Ok([this](Action& a) { armed.push_back({a.m_iScheduleType, a.m_uiScheduleTime}); });
  }
  std::string OkText(ActionForm& form) {
    auto m = Ok(form);
    return m ? m->text : "";
  }

  std::vector<std::pair<int, uint32_t>> armed;
};

// ---- Control rules ----

// What choosing a type does to the values it forces, starting from every box checked.
TEST_F(ActionFormTest, ChoosingATypeForcesItsBoxesAndMovesContinuousAway) {
  struct Row {
    int type;
    bool rename, includeSub, createSub;
    int schedule;
  } rows[] = {
      {kDeleteFiles, false, false, false, kScheduleContinuous},
      {kMoveFiles, true, false, true, kScheduleContinuous},
      {kCopyFiles, false, false, true, kScheduleContinuous},
      {kMoveFilesFromMedia, true, true, true, kScheduleContinuous},
      {kDeleteSubfolders, false, true, false, kScheduleContinuous},
      {kMoveSubfolders, false, true, false, kScheduleInterval},
      {kCopySubfolders, false, true, false, kScheduleInterval},
      {kCreateImageWithPlt, true, false, true, kScheduleContinuous},
      {kPrintFiles, false, false, true, kScheduleContinuous},
      {kUploadFiles, true, false, true, kScheduleContinuous},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(ActionTypeName(r.type));
    ActionForm form(*action);
    form.renameFile = form.createSubfolder = true;
    form.includeSubfolders = false;
    form.type = r.type;
    form.Update();
    EXPECT_EQ(form.renameFile, r.rename);
    EXPECT_EQ(form.includeSubfolders, r.includeSub);
    EXPECT_EQ(form.createSubfolder, r.createSub);
    EXPECT_EQ(form.schedule, r.schedule);
    EXPECT_EQ(form.State(ActionControl::kContinuous).enabled, r.schedule == kScheduleContinuous);
    EXPECT_EQ(form.State(ActionControl::kRenameFile).visible, r.rename);
    EXPECT_EQ(form.OutputGroupCaption(), r.type == kCreateImageWithPlt ? ActionForm::kPltGroup
                                         : r.type == kPrintFiles       ? ActionForm::kPrintGroup
                                                                       : ActionForm::kAppGroup);
    EXPECT_EQ(form.State(ActionControl::kSendToApp).visible,
              r.type != kCreateImageWithPlt && r.type != kPrintFiles);
    EXPECT_EQ(form.State(ActionControl::kPlt).visible, r.type == kCreateImageWithPlt);
    EXPECT_EQ(form.State(ActionControl::kPrint).visible, r.type == kPrintFiles);
    EXPECT_EQ(form.State(ActionControl::kAddBriskoExif).enabled, r.rename && r.type != kUploadFiles);
    // Checks are for the types that copy photos; the box is stored 0 for the others.
    const bool copies = r.type == kMoveFiles || r.type == kCopyFiles || r.type == kMoveFilesFromMedia ||
                        r.type == kMoveSubfolders || r.type == kCopySubfolders;
    EXPECT_EQ(form.State(ActionControl::kVerifyCopies).enabled, copies);
  }
}

TEST_F(ActionFormTest, DependentControlsFollowTheirBoxesOnlyWhereTheTypeAllowsThem) {
  ActionForm form(*action);
  form.type = kCopyFiles;
  form.modifyReadOnly = form.autoRotate = form.sendToApp = form.selectByOrientation = true;
  form.Update();
  EXPECT_FALSE(form.State(ActionControl::kReadOnlyOnOff).enabled) << "Copy Files keeps attributes";
  EXPECT_FALSE(form.State(ActionControl::kRotatedFolder).enabled);
  EXPECT_TRUE(form.State(ActionControl::kAppDetails).enabled);
  EXPECT_TRUE(form.State(ActionControl::kPortraitLandscape).enabled);
  form.type = kMoveSubfolders;
  form.Update();
  EXPECT_FALSE(form.State(ActionControl::kAppDetails).enabled);
  EXPECT_FALSE(form.State(ActionControl::kPortraitLandscape).enabled);
  EXPECT_FALSE(form.State(ActionControl::kSelectByOrientation).enabled);
  form.type = kMoveFiles;
  form.sendToApp = false;
  form.Update();
  EXPECT_TRUE(form.State(ActionControl::kReadOnlyOnOff).enabled);
  EXPECT_TRUE(form.State(ActionControl::kRotatedFolder).enabled);
  EXPECT_FALSE(form.State(ActionControl::kAppDetails).enabled);
}

// The overwrite box comes from the action when it becomes available; the operator's choice
// then survives clicks on other boxes (overwriting must never switch itself back on).
TEST_F(ActionFormTest, OverwriteChoiceSurvivesOtherClicksAndIsClearedForOtherTypes) {
  action->m_bOverwriteExistingFiles = 1;
  ActionForm form(*action);
  EXPECT_TRUE(form.overwrite);
  form.overwrite = false;
  form.renameFile = true;
  form.Update();
  EXPECT_FALSE(form.overwrite);
  form.type = kCopyFiles;
  form.Update();
  EXPECT_FALSE(form.State(ActionControl::kOverwrite).enabled);
  form.type = kMoveFilesFromMedia;
  form.Update();
  EXPECT_TRUE(form.overwrite) << "taken from the action again";
}

TEST_F(ActionFormTest, TemplateTextsShowOnlyWhileTheirBoxesAreChecked) {
  action->m_RenameTemplate.AddComponent(NameTemplate::TextComponentId(TemplateKind::kRename), "P-");
  ActionForm form(*action);
  EXPECT_EQ(form.RenameSample(), "");
  form.renameFile = true;
  form.createSubfolder = true;
  form.Update();
  EXPECT_NE(form.RenameSample(), "");
  EXPECT_EQ(form.SubfolderText(), action->m_SubfolderTemplate.GetDisplayString());
  EXPECT_FALSE(form.State(ActionControl::kSubfolderDefine).enabled) << "day is chosen";
  form.ChooseFrequency(kUseTemplate);
  EXPECT_TRUE(form.State(ActionControl::kSubfolderDefine).enabled);
}

// ---- OK checks ----

TEST_F(ActionFormTest, OkChecksInOrderAndWritesNothingOnFailure) {
  const std::string missing = host.Dir() + "/missing";
  const char* const badSource = "Source folder is invalid.  Please confirm you have read/write capability.";
  const char* const same = "The source and destination folders must be different";
  const char* const inside = "The destination folder cannot be contained within the source folder";
  // What the form holds beyond the fixture's action, and the first message OK gives ("" accepted).
  struct Row {
    const char* what;
    const char* message;
    int type = -1;  // -1: the action's own
    const char* name = nullptr;
    std::optional<std::string> source = std::nullopt, dest = std::nullopt;
    bool disabled = false, includeSubfolders = false, noRenameTemplate = false, noSubfolderTemplate = false;
  };
  const Row rows[] = {
      {.what = "empty name before bad folders",
       .message = "Please give the action a name.",
       .name = "",
       .source = missing},
      {.what = "source", .message = badSource, .source = missing},
      {.what = "empty source is no folder", .message = badSource, .source = ""},
      {.what = "destination",
       .message = "Destination folder is invalid.  Please confirm you have read/write capability.",
       .dest = missing},
      {.what = "Delete Files has no destination", .message = "", .type = kDeleteFiles, .dest = missing},
      {.what = "disabled: no folder test",
       .message = "",
       .source = missing,
       .dest = missing,
       .disabled = true},
      {.what = "same folder in another case", .message = same, .dest = host.Dir() + "/IN"},
      {.what = "same folder", .message = same, .dest = src + "/"},
      {.what = "same folder, Delete Subfolders", .message = "", .type = kDeleteSubfolders, .dest = src},
      {.what = "same folder, PLT", .message = "", .type = kCreateImageWithPlt, .dest = src},
      {.what = "camera source for a copy", .message = "", .type = kCopyFiles, .source = "camera:usb:1,4"},
      {.what = "camera source for Delete Files",
       .message = "A camera can only be the source of Copy Files, Move Files and Move Files from Media.",
       .type = kDeleteFiles,
       .source = "camera:"},
      {.what = "broken camera name",
       .message = "Source camera is invalid: a USB camera is named camera:usb:BUS,DEV (for example "
                  "camera:usb:001,004).",
       .source = "camera:usb:4"},
      {.what = "destination inside a folder camera",
       .message = inside,
       .source = "camera:disk:" + host.Dir()},
      {.what = "inside the source with subfolders",
       .message = inside,
       .type = kCopyFiles,
       .dest = src + "/sub",
       .includeSubfolders = true},
      {.what = "inside the source without subfolders",
       .message = "",
       .type = kCopyFiles,
       .dest = src + "/sub"},
      {.what = "rename template empty",
       .message = "File Rename template must be defined.",
       .noRenameTemplate = true},
      {.what = "subfolder template empty after the rename check",
       .message = "Create Subfolder template must be defined.",
       .noSubfolderTemplate = true},
  };
  MakeFolder(src + "/sub");
  MakeFolder(host.Dir() + "/IN");
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    Action fresh(host);
    fresh.CopyFrom(*action);
    ActionForm form(fresh);
    if (r.type >= 0) form.type = r.type;
    if (r.name) form.name = r.name;
    if (r.source) form.sourceFolder = *r.source;
    if (r.dest) form.destFolder = *r.dest;
    if (r.disabled) form.enabled = false;
    if (r.includeSubfolders) form.includeSubfolders = true;
    if (r.noRenameTemplate) {
      form.renameFile = true;
      form.RenameTemplate().Clear();
    }
    if (r.noSubfolderTemplate) {
      form.createSubfolder = true;
      form.SubfolderTemplate().Clear();
    }
    const std::string nameBefore = fresh.m_strName;
    std::optional<FormMessage> m = form.Ok(nullptr);
    EXPECT_EQ(m ? m->text : "", r.message);
    if (m) {
      EXPECT_EQ(m->caption, "Modify Action");
      EXPECT_EQ(fresh.m_strName, nameBefore);
      EXPECT_EQ(fresh.m_strSourceFolder, src);
    }
  }
  EXPECT_EQ(EntryNames(src), std::set<std::string>{"sub"}) << "folder tests leave nothing behind";
}

TEST_F(ActionFormTest, FolderTestNeverTouchesExistingFilesAndTestsTheNamedFolderItself) {
  MakeFile(src + "/photo.jpg", "keep");
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(FolderIsReadWrite(src));
  EXPECT_EQ(ReadFile(src + "/photo.jpg"), "keep");
  EXPECT_EQ(EntryNames(src), std::set<std::string>{"photo.jpg"});
  // "/x/in" without a separator is the folder "in": a missing one fails and its parent gets
  // nothing.
  const std::set<std::string> parentBefore = EntryNames(host.Dir());
  EXPECT_FALSE(FolderIsReadWrite(host.Dir() + "/gone"));
  EXPECT_FALSE(FolderIsReadWrite(src + "/photo.jpg"));
  EXPECT_EQ(EntryNames(host.Dir()), parentBefore);
  ReadOnlyBind readOnly(dst);
  if (readOnly.Ok()) {
    EXPECT_FALSE(FolderIsReadWrite(dst));
  }
}

// ---- Write-back ----

TEST_F(ActionFormTest, UntouchedFormWritesTheActionBackUnchanged) {
  Action& a = *action;
  a.m_iType = kMoveFilesFromMedia;
  a.m_strFileSpec = "*.jpg|*.cr2";
  a.m_strFileSpecExclude = "*.tmp";
  a.m_bUseRegexFilespec = 1;
  a.m_iFileAge = 90;
  a.m_iFileAgeUnits = kAgeSeconds;
  a.m_iLeaveMinFilecount = 3;
  a.m_bDisplayIdTxtContents = a.m_bCreateIDTxtFile = 1;
  a.m_bCreateNewSubfolder = 1;
  a.m_iCreateNewSubfolderFrequency = kEveryMonth;
  a.m_bUpdateFileTimestamp = a.m_bModifyReadOnlyAttribute = a.m_bMakeReadOnly = 1;
  a.m_iScheduleType = kScheduleOnCommand;
  a.m_iuCommandIndex = 7;
  a.m_uiScheduleTime = 13;
  a.m_uiScheduleTimeMins = 45;
  a.m_uiRunInterval = 15;
  a.m_bAutoRotateJPG = a.m_bAutoRotateUseSubfolder = a.m_bAddOrUpdateBriskoExif = 1;
  a.m_bSelectByOrientation = a.m_bSelectLandscape = 1;
  a.m_bOverwriteExistingFiles = 1;
  a.m_strExternalExeArgs = "-q";
  a.m_SpatialAreaList.Add(SpatialArea{});
  a.Save(0);
  ActionForm form(a);
  ASSERT_EQ(OkText(form), "");
  a.Save(1);
  for (const char* field :
       {"m_iType", "m_iFileAge", "m_iFileAgeUnits", "m_iLeaveMinFilecount", "m_bCreateIDTxtFile",
        "m_iCreateNewSubfolderFrequency", "m_bMakeReadOnly", "m_iScheduleType", "m_iuCommandIndex",
        "m_uiScheduleTime", "m_uiScheduleTimeMins", "m_uiRunInterval", "m_bSelectLandscape",
        "m_bOverwriteExistingFiles", "m_bUseRegexFilespec", "m_bAutoRotateUseSubfolder"}) {
    EXPECT_EQ(host.Store().GetProfileInt("Action_0", field, -5),
              host.Store().GetProfileInt("Action_1", field, -6))
        << field;
  }
  for (const char* field : {"m_strFileSpec", "m_strFileSpecExclude", "m_strExternalExeArgs", "m_strName"}) {
    EXPECT_EQ(host.Store().GetProfileString("Action_0", field, "a"),
              host.Store().GetProfileString("Action_1", field, "b"))
        << field;
  }
  EXPECT_EQ(a.m_SpatialAreaList.Count(), 1u);
  EXPECT_EQ(armed, (std::vector<std::pair<int, uint32_t>>{{kScheduleOnCommand, 13u}}));
}

TEST_F(ActionFormTest, OkWritesWhatOnlyTheTypeAllowsAndReadsNumbersLeniently) {
  action->m_bModifyReadOnlyAttribute = 1;
  action->m_bMakeReadOnly = 1;
  action->m_iFileAgeUnits = kAgeDays;
  ActionForm form(*action);
  form.type = kCopyFiles;
  form.Update();
  form.displayIdTxt = form.createIdTxt = form.updateTimestamp = true;
  form.modifyReadOnly = false;
  form.fileAge = "12 min";
  form.leaveMin = "many";
  form.interval = "-5";
  form.ageUnits = -1;
  form.verifyCopies = true;
  ASSERT_EQ(OkText(form), "");
  EXPECT_EQ(action->m_bVerifyCopies, 1);
  EXPECT_EQ(action->m_bDisplayIdTxtContents + action->m_bCreateIDTxtFile + action->m_bUpdateFileTimestamp, 0);
  EXPECT_EQ(action->m_bModifyReadOnlyAttribute, 1) << "other types keep it";
  EXPECT_EQ(action->m_bMakeReadOnly, 1);
  EXPECT_EQ(action->m_iFileAge, 12);
  EXPECT_EQ(action->m_iLeaveMinFilecount, 0);
  EXPECT_EQ(action->m_uiRunInterval, 0u);
  EXPECT_EQ(action->m_iFileAgeUnits, kAgeDays) << "no unit checked keeps the old one";
  ActionForm deleting(*action);
  EXPECT_TRUE(deleting.verifyCopies);
  deleting.type = kDeleteFiles;
  deleting.Update();
  ASSERT_EQ(OkText(deleting), "");
  EXPECT_EQ(action->m_bVerifyCopies, 0) << "a type that copies nothing stores no check";
  EXPECT_EQ(ReadDecimal(" +77x"), 77);
  EXPECT_EQ(ReadDecimal("99999999999999999999"), INT32_MAX);
  EXPECT_EQ(ReadDecimal("-99999999999999999999"), INT32_MIN);
}

// The upload options apply to Upload Files alone (whose remote stands in for the folder); the
// program's time limit only where a program is run. Each round-trips, and is read leniently.
TEST_F(ActionFormTest, UploadAndProgramOptionsApplyOnlyWhereTheyDo) {
  for (int type = 0; type < kNumActionTypes; ++type) {
    SCOPED_TRACE(ActionTypeName(type));
    for (const bool sendToApp : {false, true}) {
      ActionForm form(*action);
      form.type = type;
      form.sendToApp = sendToApp;
      form.Update();
      EXPECT_EQ(form.State(ActionControl::kUpload).enabled, type == kUploadFiles);
      if (type == kUploadFiles) {
        EXPECT_FALSE(form.State(ActionControl::kDestFolder).enabled);
      }
      EXPECT_EQ(form.State(ActionControl::kExeTimeLimit), form.State(ActionControl::kAppDetails));
      EXPECT_EQ(form.State(ActionControl::kExeTimeLimit).enabled,
                sendToApp && (type == kMoveFiles || type == kCopyFiles || type == kCopySubfolders));
    }
  }

  action->m_iType = kUploadFiles;
  action->m_strDestFolder = "gallery:events/";
  action->m_bUploadInPlace = 1;
  action->m_iUploadRateLimit = 512;
  action->m_iUploadLateMinutes = 45;
  action->m_iExternalExeTimeLimit = 30;
  {
    ActionForm form(*action);
    EXPECT_TRUE(form.uploadInPlace);
    EXPECT_EQ(form.uploadRateLimit, "512");
    EXPECT_EQ(form.uploadLateMinutes, "45");
    EXPECT_EQ(form.exeTimeLimit, "30");
    ASSERT_EQ(OkText(form), "");
    EXPECT_EQ(action->m_bUploadInPlace + action->m_iUploadRateLimit + action->m_iUploadLateMinutes +
                  action->m_iExternalExeTimeLimit,
              1 + 512 + 45 + 30);
  }
  {
    ActionForm form(*action);
    form.uploadInPlace = false;
    form.uploadRateLimit = "-3";
    form.uploadLateMinutes = "15 min";
    form.exeTimeLimit = "";
    // A folder is no remote; nor is a remote that carries its password.
    for (const char* dest : {"/srv/gallery", "gallery,pass=secret:events/"}) {
      form.destFolder = dest;
      EXPECT_EQ(OkText(form),
                "The destination must be an rclone remote, as gallery:events/ (set up with rclone config).")
          << dest;
      EXPECT_EQ(action->m_iUploadRateLimit, 512) << "nothing written";
    }
    form.destFolder = "gallery:";
    ASSERT_EQ(OkText(form), "");
    EXPECT_EQ(action->m_strDestFolder, "gallery:");
    EXPECT_EQ(action->m_bUploadInPlace, 0);
    EXPECT_EQ(action->m_iUploadRateLimit, 0);
    EXPECT_EQ(action->m_iUploadLateMinutes, 15);
    EXPECT_EQ(action->m_iExternalExeTimeLimit, 0);
  }
  {
    // Another type does not keep the upload's box.
    ActionForm form(*action);
    form.uploadInPlace = true;
    form.type = kCopyFiles;
    form.destFolder = dst;
    form.Update();
    ASSERT_EQ(OkText(form), "");
    EXPECT_EQ(action->m_bUploadInPlace, 0);
  }
}

TEST_F(ActionFormTest, StoredTimeOutOfRangeShowsMidnightAndStaysUntilOk) {
  action->m_iScheduleType = kScheduleTime;
  action->m_uiScheduleTime = 0xFFFFFFFF;
  action->m_uiScheduleTimeMins = 75;
  {
    ActionForm form(*action);
    EXPECT_EQ(form.hour, 0);
    EXPECT_EQ(form.minute, 0);
    EXPECT_TRUE(form.State(ActionControl::kTimePicker).enabled);
  }  // Cancel
  EXPECT_EQ(action->m_uiScheduleTime, 0xFFFFFFFFu);
  EXPECT_EQ(action->m_uiScheduleTimeMins, 75u);
  ActionForm form(*action);
  form.hour = 6;
  form.minute = 30;
  ASSERT_EQ(OkText(form), "");
  EXPECT_EQ(action->m_uiScheduleTime, 6u);
  EXPECT_EQ(action->m_uiScheduleTimeMins, 30u);
  EXPECT_EQ(armed, (std::vector<std::pair<int, uint32_t>>{{kScheduleTime, 6u}}));
}

// ---- Edits that reach the action at once, and Cancel ----

TEST_F(ActionFormTest, CancelDropsEditedCopiesButKeepsFrequencyTemplatesAndCustomFields) {
  action->m_SpatialAreaList.Add(SpatialArea{});
  host.Values().m_knownCustomFields = {{"Venue", "Hall"}};
  {
    ActionForm form(*action);
    form.name = "Changed";
    form.Areas().Clear();
    form.RenameTemplate().AddComponent(0);
    form.ChooseFrequency(kEveryHour);
    EXPECT_EQ(form.SubfolderTemplate(), action->m_SubfolderTemplate);
    form.ChooseFrequency(kEveryDay);
    BriskoExifCustomMap fields;
    fields.Set("Client", "Acme");
    form.ApplyCustomFields(fields);
  }  // Cancel
  EXPECT_EQ(action->m_strName, "Job");
  EXPECT_EQ(action->m_SpatialAreaList.Count(), 1u);
  EXPECT_TRUE(action->m_RenameTemplate.m_ComponentArray.empty());
  EXPECT_EQ(action->m_SubfolderTemplate.m_ComponentArray, std::vector<unsigned>{2});
  EXPECT_EQ(action->m_BriskoExifCustomActionFieldsMap,
            (std::map<std::string, std::string>{{"Client", "Acme"}}));
  EXPECT_EQ(host.Values().m_knownCustomFields,
            (std::map<std::string, std::string>{{"Client", "Acme"}, {"Venue", "Hall"}}));

  ActionForm form(*action);
  form.ChooseFrequency(kEveryMonth);
  EXPECT_EQ(action->m_SubfolderTemplate.m_ComponentArray, std::vector<unsigned>{3});
  EXPECT_EQ(action->m_iCreateNewSubfolderFrequency, kEveryDay) << "the radio itself waits for OK";
}

TEST_F(ActionFormTest, SelectAppTakesOnlyFilesThatCanBeStarted) {
  const std::string script = host.Dir() + "/tool.sh", text = host.Dir() + "/notes.txt";
  MakeFile(script, "#!/bin/sh\n");
  ::chmod(script.c_str(), 0755);
  MakeFile(text, "x");
  ::chmod(text.c_str(), 0644);
  ActionForm form(*action);
  for (const std::string& bad : {text, host.Dir(), host.Dir() + "/none"}) {
    std::optional<FormMessage> m = form.ChooseApplication(bad);
    ASSERT_TRUE(m) << bad;
    EXPECT_EQ(m->text,
              "'" + bad + "' is not a program that can be started.\nPlease choose an executable file.");
    EXPECT_EQ(form.appPath, "");
  }
  EXPECT_FALSE(form.ChooseApplication(script));
  EXPECT_EQ(form.appPath, script);
}

TEST_F(ActionFormTest, TemplatePreviewShowsTheNextBatchIdWithoutTakingIt) {
  host.Store().WriteProfileInt("Actions", "m_iBatchID", 41);
  ActionForm form(*action);
  NamingContext context = form.PreviewContext();
  EXPECT_EQ(context.newBatchId(), 42);
  EXPECT_EQ(context.newBatchId(), 42);
  EXPECT_EQ(host.Store().GetProfileInt("Actions", "m_iBatchID", 0), 41);
}

// ---- Made in the editor, run by the program ----

int RunOnce(FakeHost& host, std::string& output) {
  host.Store().WriteProfileString("Settings", "m_TempPath", host.Dir() + "/temp/");
  return RunStationOnce(host.Store().Path(), host.Dir(), output);
}

// An action made in the editor, run by the program. Folders list in no set order here: photos
// are numbered in name order, and the first gets the number the editor's preview showed.
TEST_F(ActionFormTest, MovedPhotosAreNumberedInNameOrderFromThePreviewedNumber) {
  auto photo = [](int k) {
    char name[16];
    std::snprintf(name, sizeof name, "IMG_%04d", k);
    return std::string(name);
  };
  std::vector<int> order(50);
  std::iota(order.begin(), order.end(), 1);
  std::shuffle(order.begin(), order.end(), std::mt19937(28));
  for (int k : order) MakeFile(src + "/" + photo(k) + ".jpg", photo(k), 1000);
  host.Store().WriteProfileInt("Actions", "m_iFileCounter", 41);
  host.Values().m_iFileCounter = 41;

  Action move(host);
  ActionForm form(move);
  form.name = "Number";
  form.sourceFolder = src;
  form.destFolder = dst;
  form.fileSpec = "*.jpg";
  form.renameFile = true;
  for (unsigned id : {4u, 13u, 0u, 2u}) form.RenameTemplate().AddComponent(id);  // counter-name.ext
  form.createSubfolder = true;
  form.ChooseFrequency(kUseTemplate);
  form.SubfolderTemplate().Clear();
  form.SubfolderTemplate().AddComponent(NameTemplate::TextComponentId(TemplateKind::kSubfolder), "gala");
  const std::string preview = form.RenameTemplate().GenerateNewName(
      src + "/" + photo(1) + ".jpg", nullptr, BriskoExifFields(), true, form.PreviewContext());
  ASSERT_EQ(OkText(form), "");
  move.Save(0);
  host.Store().WriteProfileInt("Actions", "NumActions", 1);

  std::string output;
  ASSERT_EQ(RunOnce(host, output), 0) << output;
  EXPECT_EQ(ReadFile(dst + "/gala/" + preview), photo(1)) << preview << "\n" << output;
  for (int k = 1; k <= 50; ++k) {
    char number[16];
    std::snprintf(number, sizeof number, "%06d", 41 + k);
    EXPECT_EQ(ReadFile(dst + "/gala/" + number + "-" + photo(k) + ".jpg"), photo(k)) << output;
  }
}

}  // namespace
}  // namespace brisko
