#include "ui/settings_commands.h"

#include <gtest/gtest.h>

#include <QApplication>

#include "common/temp_dir.h"
#include "scheduler/backup_restore.h"
#include "support/settings_store.h"
#include "ui/password_dialogs.h"

using namespace brisko;

namespace {

class TheSettingsCommands : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(store.Open(dir / "settings.db"));
    store.WriteProfileInt("Actions", "NumActions", 3);
    ConfirmPasswordHook() = [](QWidget*, SettingsStore&) { return true; };
    SettingsCommandPromptHooks() = {
        [this](QWidget*, bool save) {
          pickedForSave.push_back(save);
          return QString::fromStdString(file);
        },
        [this](QWidget*, const QString& q) {
          questions.push_back(q.toStdString());
          return answerYes;
        },
        [this](QWidget*, const QString& m) { messages.push_back(m.toStdString()); }};
  }
  void TearDown() override {
    ConfirmPasswordHook() = nullptr;
    SettingsCommandPromptHooks() = {};
  }

  SettingsCommandContext Context() {
    return {store, [this] { events.push_back("pause"); }, [this] { events.push_back("resume"); },
            [this] { events.push_back("reload"); }};
  }

  test::TempDir dir;
  SettingsStore store;
  bool answerYes = true;
  std::string file = dir / "station.BriskoWorkflowBackup";
  std::vector<bool> pickedForSave;
  std::vector<std::string> questions;
  std::vector<std::string> messages;
  std::vector<std::string> events;
};

}  // namespace

// A restore from the window, answered Yes, is the main window's test.
TEST_F(TheSettingsCommands, backUpAndRestoreWhilePaused) {
  ASSERT_TRUE(BackupSettingsCommand(nullptr, Context()));
  EXPECT_TRUE(messages.empty());  // success shows nothing
  store.WriteProfileInt("Actions", "NumActions", 7);
  ASSERT_TRUE(RestoreSettingsCommand(nullptr, Context()));
  EXPECT_EQ(pickedForSave, (std::vector<bool>{true, false}));
  EXPECT_EQ(events, (std::vector<std::string>{"pause", "resume", "pause", "reload", "resume"}));
  EXPECT_EQ(store.GetProfileInt("Actions", "NumActions", 0), 3);
}

TEST_F(TheSettingsCommands, reportFailuresWithTheirMessages) {
  file = dir / "missing/folder.BriskoWorkflowBackup";
  EXPECT_FALSE(BackupSettingsCommand(nullptr, Context()));
  EXPECT_EQ(messages, std::vector<std::string>{"Error backing up settings"});

  file = dir / "broken.BriskoWorkflowBackup";
  test::WriteFile(file, "<k name=\"HKEY_LOCAL_MACHINE\"><=");
  messages.clear();
  events.clear();
  EXPECT_FALSE(RestoreSettingsCommand(nullptr, Context()));
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0].rfind("Parse error in line 1 : (", 0), 0u) << messages[0];
  EXPECT_EQ(messages[1], "Error restoring settings");
  EXPECT_EQ(events, (std::vector<std::string>{"pause", "resume"}));  // no reload
}

TEST_F(TheSettingsCommands, restoreNothingWhenTheAnswerIsNo) {
  ASSERT_TRUE(BackupSettingsCommand(nullptr, Context()));
  store.WriteProfileInt("Actions", "NumActions", 7);
  answerYes = false;
  pickedForSave.clear();
  EXPECT_FALSE(RestoreSettingsCommand(nullptr, Context()));
  EXPECT_TRUE(pickedForSave.empty());
  EXPECT_EQ(store.GetProfileInt("Actions", "NumActions", 0), 7);
}
