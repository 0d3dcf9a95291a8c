// Stored fields set by name from text, through the editor's form model and its rules.
#include "engine/action/action_field_edit.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string_view>

#include "engine/action/action_fields.h"
#include "engine/action/action_form.h"
#include "engine/fake_host.h"

namespace brisko {
namespace {

class FieldsByName : public ::testing::Test {
 protected:
  void SetUp() override {
    mkdir((host.Dir() + "/in").c_str(), 0755);
    mkdir((host.Dir() + "/out").c_str(), 0755);
  }
  std::string In() const { return host.Dir() + "/in"; }
  std::string Out() const { return host.Dir() + "/out"; }

  // The reason the edit was refused, "" when it was taken.
  std::string Apply(Action& action, const std::vector<FieldAssignment>& fields) {
    ActionForm form(action);
    return ApplyFieldAssignments(form, fields).value_or("");
  }
  std::vector<FieldAssignment> Folders() const {
    return {{"m_strSourceFolder", In()}, {"m_strDestFolder", Out()}};
  }

  test::FakeHost host;
};

TEST_F(FieldsByName, RefusesWithTheEditorsReasonOrTheFieldsOwn) {
  struct Row {
    std::vector<FieldAssignment> fields;
    std::string reason;  // a part of it
  };
  const std::vector<Row> rows = {
      {{{"m_strFoo", "1"}}, "no action field is named m_strFoo"},
      {{{"m_iFileAgeUnits", "7"}}, "m_iFileAgeUnits takes a whole number from 0 to 3, not '7'"},
      {{{"m_iFileAge", "ten"}}, "m_iFileAge takes a whole number"},
      {{{"m_bEnabled", "maybe"}}, "m_bEnabled takes 1 or 0, not 'maybe'"},
      {{{"m_iType", "Print Photos"}}, "m_iType takes a type number from 0 to"},
      {{{"m_strName", "two\nlines"}}, "m_strName cannot hold a line break"},
      {{{"m_iFileCounter", "5"}}, "the file counter is the station's"},
      {{{"m_SpatialAreaPtrList", "1"}}, "GPS filter areas are edited in the window"},
      {{{"m_ComponentArray", "4,99"}}, "m_ComponentArray takes component numbers from 0 to 59"},
      {{{"m_StaticTextArray_0", "a/b"}}, "File names cannot contain any of the following characters"},
      {{{"m_StaticTextArray_3", "ab"}}, "numbered from 0 without gaps"},
      {{{"m_BriskoExifCustomActionFieldsMap", "Ev:nt=1|"}}, ""},  // refused by the custom field rules
      // The editor's OK checks, with its texts.
      {{{"m_strName", ""}}, "Please give the action a name."},
      {{{"m_strSourceFolder", "/nonexistent/in"}, {"m_strDestFolder", "/tmp"}},
       "Source folder is invalid.  Please confirm you have read/write capability."},
      {{{"m_strSourceFolder", "/tmp"}, {"m_strDestFolder", "/tmp/"}},
       "The source and destination folders must be different"},
      {{{"m_bRenameFile", "1"}, {"m_ComponentArray", ""}}, "File Rename template must be defined."},
      // A value the type has no use for is not quietly dropped.
      {{{"m_iType", "2"}, {"m_bOverwriteExistingFiles", "1"}}, "does not apply to a Copy Files action"},
      {{{"m_iType", "0"}, {"m_bKeepShotsTogether", "1"}}, "does not apply to a Delete Files action"},
      {{{"m_bUploadInPlace", "1"}}, "does not apply to a Move Files action"},
      {{{"m_iUploadRateLimit", "-1"}}, "m_iUploadRateLimit takes a whole number from 0 to"},
  };
  for (const Row& row : rows) {
    Action action(host);
    action.m_strName = "Cards";
    action.m_strSourceFolder = In();
    action.m_strDestFolder = Out();
    const std::string reason = Apply(action, row.fields);
    SCOPED_TRACE(row.fields.front().name + "=" + row.fields.front().value);
    EXPECT_FALSE(reason.empty());
    EXPECT_NE(reason.find(row.reason), std::string::npos) << reason;
  }
}

TEST_F(FieldsByName, SetsAMoveFromMediaWithARenameTemplateAsTheEditorWould) {
  Action action(host);
  std::vector<FieldAssignment> fields = Folders();
  fields.insert(fields.end(), {{"m_iType", "Move Files from Media"},
                               {"m_strName", "Cards in"},
                               {"M_BRENAMEFILE", "1"},  // names without regard to case
                               {"m_ComponentArray", "35, 14, 3, 14, 4, 2"},
                               {"m_statictextarray_0", "Wedding"},
                               {"m_iScheduleType", "3"},
                               {"m_uiRunInterval", "15"},
                               {"m_bIncludeSubFolders", "0"}});
  // Move Files from Media always takes subfolders: the editor checks and greys the box.
  EXPECT_NE(Apply(action, fields).find("m_bIncludeSubFolders=0 does not apply"), std::string::npos);
  fields.pop_back();
  ASSERT_EQ(Apply(action, fields), "");
  EXPECT_EQ(action.m_iType, kMoveFilesFromMedia);
  EXPECT_EQ(action.m_strName, "Cards in");
  EXPECT_EQ(action.m_bIncludeSubFolders, 1);
  EXPECT_EQ(action.m_RenameTemplate.GetDisplayString(), "yyyy-mm-dd_Wedding_FileCounter.OrigExt");
  EXPECT_EQ(action.m_iScheduleType, kScheduleInterval);
  EXPECT_EQ(action.m_uiRunInterval, 15u);
}

// What "show" prints pastes back into "set": every settable line of one action, applied to a
// fresh one, gives the same fields.
TEST_F(FieldsByName, ShownFieldsSetAnotherActionToTheSame) {
  Action first(host);
  std::vector<FieldAssignment> fields = Folders();
  fields.insert(fields.end(), {{"m_iType", "1"},
                               {"m_strName", "Sort"},
                               {"m_strFileSpec", "*.jpg|*.cr2"},
                               {"m_iFileAge", "2"},
                               {"m_iFileAgeUnits", "3"},
                               {"m_bCreateNewSubfolder", "1"},
                               {"m_iCreateNewSubfolderFrequency", "3"},
                               {"m_SubFolderComponentArray", "0,27,1"},
                               {"m_SubFolderStaticTextArray_0", "Event"},
                               {"m_bAutoRotateJPG", "1"},
                               {"m_bAddOrUpdateBriskoExif", "1"},
                               {"m_BriskoExifCustomActionFieldsMap", "Venue=Hall|Event=Gala|"},
                               {"m_bModifyReadOnlyAttribute", "1"},
                               {"m_bMakeReadOnly", "1"},
                               {"m_iScheduleType", "2"},
                               {"m_uiScheduleTime", "18"},
                               {"m_uiScheduleTimeMins", "30"},
                               {"m_iExternalExeTimeLimit", "90"},
                               {"m_iUploadLateMinutes", "12"}});
  ASSERT_EQ(Apply(first, fields), "");
  EXPECT_EQ(first.m_iExternalExeTimeLimit, 90);
  EXPECT_EQ(first.m_iUploadLateMinutes, 12);
  const std::vector<FieldLine> shown = DescribeActionFields(first);
  std::vector<FieldAssignment> again;
  for (const FieldLine& line : shown) {
    EXPECT_FALSE(line.meaning.empty()) << line.name;
    if (line.settable) again.push_back({line.name, line.value});
  }
  Action second(host);
  ASSERT_EQ(Apply(second, again), "");
  const std::vector<FieldLine> shownAgain = DescribeActionFields(second);
  ASSERT_EQ(shownAgain.size(), shown.size());
  for (size_t i = 0; i < shown.size(); ++i) {
    EXPECT_EQ(shownAgain[i].name, shown[i].name);
    EXPECT_EQ(shownAgain[i].value, shown[i].value) << shown[i].name;
  }
  EXPECT_EQ(second.m_SubfolderTemplate.GetDisplayString(), "Event\\BatchCounter");
}

// Every stored value has its meaning, so "show" and the guide never leave one unexplained.
TEST_F(FieldsByName, EveryStoredFieldHasAMeaning) {
  for (const ActionField& field : ActionFields()) {
    const std::string key = field.key;
    if (key == "templates" || key == "m_bRemoveReadOnlyAttribute" || key.find(',') != std::string::npos)
      continue;
    EXPECT_FALSE(FieldMeaning(key).empty()) << key;
  }
  for (const char* name :
       {"m_iFileCounter", "m_iBatchCounter", "m_ComponentArray", "m_SubFolderComponentArray"})
    EXPECT_FALSE(FieldMeaning(name).empty()) << name;
}

// People write backup files by hand: the guide's table names every value an action stores.
TEST_F(FieldsByName, TheGuideDescribesEveryStoredField) {
  const std::string guide = test::ReadFile(std::string(BRISKO_TEST_DATA) + "/../../docs/guide/index.html");
  ASSERT_NE(guide.find("id=\"backup-format\""), std::string::npos);
  const std::string table = guide.substr(guide.find("id=\"backup-format\""));
  Action action(host);
  for (const FieldLine& line : DescribeActionFields(action)) {
    std::string name = line.name;
    // Lists are stored as NAME_count and NAME_0, NAME_1, ...
    for (std::string_view list : {"Array", "PtrList"}) {
      const size_t at = name.find(list);
      if (at != std::string::npos) name = name.substr(0, at + list.size()) + "_count";
    }
    EXPECT_NE(table.find("<code>" + name + "</code>"), std::string::npos) << name;
  }
}

}  // namespace
}  // namespace brisko
