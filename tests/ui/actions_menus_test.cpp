// The station configured from its window alone: the menus, the actions list editor and the
// dialogs it opens, driven as an operator would.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <filesystem>

#include "naming/brisko_exif_fields.h"
#include "naming/substring_def.h"
#include "scheduler/id_txt.h"
#include "ui/accessible_names.h"
#include "ui/actions_list_dialog.h"
#include "ui/command_names_dialog.h"
#include "ui/exit_dialog.h"
#include "ui/gps_area_dialogs.h"
#include "ui/id_txt_dialog.h"
#include "ui/modify_action_dialog.h"
#include "ui/naming_dialogs.h"
#include "ui/operator_text_dialog.h"
#include "ui/scanner_dialog.h"
#include "ui/settings_dialog.h"
#include "ui/user_guide.h"
#include "ui/window_test.h"

namespace brisko {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;
using test::WriteFile;

class ConfiguringTheStation : public test::WindowTest {
 protected:
  void SetUp() override {
    WindowTest::SetUp();
    UserGuideOpener() = [this](QWidget*, const QUrl& url) { guides << url; };
    station.Open();
    window.show();
  }
  void TearDown() override {
    ModifyActionEditor() = nullptr;
    ConfirmDeletePrompt() = nullptr;
    UserGuideOpener() = nullptr;
    WindowTest::TearDown();
  }

  // Clicks a menu item and lets `drive` work the actions list editor it opens.
  void ConfigureActions(const std::function<void(CActionsDlg&)>& drive) {
    bool opened = false;
    QTimer::singleShot(0, [&] {
      auto* dlg = qobject_cast<CActionsDlg*>(QApplication::activeModalWidget());
      ASSERT_NE(dlg, nullptr);
      opened = true;
      EXPECT_EQ(dlg->windowTitle(), "Brisko Event File Workflow Settings");
      EXPECT_TRUE(station.IsDialogOpen());
      drive(*dlg);
      if (dlg->isVisible()) dlg->reject();
    });
    window.MenuItem(window.SettingsMenu(), "Configure actions...")->trigger();
    EXPECT_TRUE(opened);
  }

  // What an operator types into "Modify Action" for a card-to-archive move.
  static void FillMoveFiles(Action& a, const std::string& name, const std::string& from,
                            const std::string& to, int schedule) {
    a.m_strName = name;
    a.m_iType = kMoveFiles;
    a.m_strSourceFolder = from;
    a.m_strDestFolder = to;
    a.m_strFileSpec = "*.jpg";
    a.m_iScheduleType = schedule;
  }

  QList<QUrl> guides;
};

TEST_F(ConfiguringTheStation, OffersEveryMenuItem) {
  EXPECT_EQ(MenuTexts(window.SettingsMenu()),
            (QStringList{"Configure actions...", "Application settings...", "Edit ID.TXT file...",
                         "Backup settings...", "Restore settings...", "Exit"}));
  EXPECT_EQ(MenuTexts(window.HelpMenu()), (QStringList{"Help contents", "About..."}));
  EXPECT_EQ(MenuTexts(window.ScannerMenu()), QStringList{"Run in scanner input mode..."});
  EXPECT_EQ(window.CommandsMenu()->actions().size(), 20);

  window.MenuItem(window.HelpMenu(), "Help contents")->trigger();
  ASSERT_EQ(guides.size(), 1);
  EXPECT_TRUE(guides[0].isLocalFile());
  EXPECT_TRUE(fs::exists(guides[0].toLocalFile().toStdString())) << guides[0].toString().toStdString();
}

TEST_F(ConfiguringTheStation, BuildsAWorkingCardToArchiveStationFromTheMenus) {
  window.RunContinuouslyBox()->setChecked(false);
  for (const char* folder : {"card/DCIM", "hot", "archive", "prints"}) fs::create_directories(dir / folder);
  WriteFile(dir / "card/DCIM/a.jpg", "photo a");
  WriteFile(dir / "card/DCIM/notes.txt", "not a photo");
  WriteFile(dir / "hot/b.jpg", "photo b");

  int modifyOpened = 0;
  ModifyActionEditor() = [&](QWidget* parent, Station& s, Action& a) {
    EXPECT_EQ(&s, &station);
    EXPECT_NE(parent, nullptr);
    ++modifyOpened;
    if (modifyOpened == 1) {
      // The real "Modify Action", filled in as an operator would.
      QTimer::singleShot(0, [&] {
        auto* edit = qobject_cast<CModifyAction*>(QApplication::activeModalWidget());
        ASSERT_NE(edit, nullptr);
        edit->Get<QComboBox>("type")->setCurrentIndex(kMoveFiles);
        edit->Get<QLineEdit>("name")->setText("Card to archive");
        edit->Get<QLineEdit>("source")->setText(QString::fromStdString(dir / "card/DCIM"));
        edit->Get<QLineEdit>("dest")->setText(QString::fromStdString(dir / "archive"));
        edit->Get<QLineEdit>("fileSpec")->setText("*.jpg");
        edit->accept();
      });
      return RunModifyActionDialog(parent, s, a);
    }
    if (modifyOpened == 2) {
      FillMoveFiles(a, "Scan to prints", dir / "hot", dir / "prints", kScheduleBarcodeScan);
      a.m_iType = kCopyFiles;
    }
    return modifyOpened <= 2;  // the third one is cancelled
  };
  int deleteQuestions = 0;
  ConfigureActions([&](CActionsDlg& dlg) {
    dlg.Button("Add")->click();
    dlg.Button("Add")->click();
    dlg.Button("Add")->click();
    EXPECT_EQ(dlg.RowTexts(), (QStringList{"Card to archive\tMove Files\tContinuous\tEnabled",
                                           "Scan to prints\tCopy Files\tBarcode Scan\tEnabled"}));
    dlg.List()->setCurrentItem(dlg.List()->topLevelItem(0));
    dlg.Button("Clone")->click();
    EXPECT_EQ(dlg.RowTexts().value(2), "Copy of Card to archive\tMove Files\tContinuous\tDisabled");
    // Delete the clone, answering No in the real "Confirm Delete" box.
    dlg.List()->setCurrentItem(dlg.List()->topLevelItem(2));
    QTimer::singleShot(0, [&] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      ASSERT_NE(box, nullptr);
      ++deleteQuestions;
      EXPECT_EQ(box->windowTitle(), "Confirm Delete");
      EXPECT_EQ(box->text(),
                "Are you sure you want to delete the following action:\n 'Copy of Card to archive'");
      box->button(QMessageBox::No)->click();
    });
    dlg.Button("Delete")->click();
    EXPECT_EQ(dlg.RowTexts().size(), 3);
    ConfirmDeletePrompt() = [](QWidget*, const QString&) { return true; };
    dlg.Button("Delete")->click();
    EXPECT_EQ(dlg.RowTexts().size(), 2);
    dlg.BarcodeEntryBox()->click();
    dlg.Button("Help")->click();
    dlg.Button("OK")->click();
  });
  EXPECT_EQ(passwordPrompts, 1);
  EXPECT_EQ(deleteQuestions, 1);
  EXPECT_EQ(guides.size(), 1);
  EXPECT_FALSE(station.IsDialogOpen());
  EXPECT_EQ(station.Store().GetProfileInt("Actions", "NumActions", 0), 2);
  EXPECT_EQ(station.Store().GetProfileString("Action_1", "m_strName", ""), "Scan to prints");

  // Run Once moves the card's photo and nothing else; the barcode action waits for a scan.
  window.RunOnceButton()->click();
  EXPECT_EQ(ReadFile(dir / "archive/a.jpg"), "photo a");
  EXPECT_FALSE(fs::exists(dir / "card/DCIM/a.jpg"));
  EXPECT_TRUE(fs::exists(dir / "card/DCIM/notes.txt"));
  EXPECT_FALSE(fs::exists(dir / "prints/b.jpg"));

  // Bar code entry was switched on in the editor: the box shows without a restart.
  EXPECT_TRUE(window.BarcodeControls()->isVisible());
  EXPECT_TRUE(window.ScannerAction()->isEnabled());
  QTest::keyClicks(window.BarcodeEdit(), "1Smith");
  QTest::keyClick(window.BarcodeEdit(), Qt::Key_Return);
  EXPECT_EQ(ReadFile(dir / "prints/b.jpg"), "photo b");
  EXPECT_TRUE(fs::exists(dir / "hot/b.jpg"));
}

TEST_F(ConfiguringTheStation, CancelDropsTheEditsButKeepsTheEnableFlags) {
  station.Store().WriteProfileInt("Settings", "m_bEnableOperatorSelectedText", 1);
  station.LoadSettings();
  window.UpdateOptionalControls();
  EXPECT_TRUE(window.OperatorControls()->isVisible());
  ModifyActionEditor() = [&](QWidget*, Station&, Action& a) {
    FillMoveFiles(a, "Unsaved", dir / "in", dir / "out", kScheduleContinuous);
    return true;
  };
  ConfigureActions([&](CActionsDlg& dlg) {
    EXPECT_TRUE(dlg.OperatorTextBox()->isChecked());
    dlg.Button("Add")->click();
    dlg.OperatorTextBox()->click();
    // "Configure operator selected text" stores its list at once; the drop-down follows on OK only.
    QTimer::singleShot(0, [&] {
      auto* text = qobject_cast<OperatorTextDialog*>(QApplication::activeModalWidget());
      ASSERT_NE(text, nullptr);
      text->Box()->setPlainText("Hall A\n\nHall B");
      text->accept();
    });
    QPushButton* configure = dlg.Button("Configure operator selected text");
    ASSERT_NE(configure, nullptr);
    configure->click();
    dlg.Button("Cancel")->click();
  });
  EXPECT_TRUE(station.Actions().empty());
  EXPECT_EQ(station.Store().GetProfileInt("Settings", "m_bEnableOperatorSelectedText", 1), 0);
  EXPECT_FALSE(window.OperatorControls()->isVisible());
  EXPECT_EQ(station.Store().GetProfileString("OperatorSelectableStrings", "String_1", ""), "Hall B");
}

TEST_F(ConfiguringTheStation, OpensTheEditorOnlyAfterTheRunInProgressEnded) {
  SettingsStore& s = station.Store();
  for (int i = 0; i < 3; ++i)
    s.WriteProfileString(ActionSectionName(i), "m_strName", "A" + std::to_string(i));
  s.WriteProfileInt("Actions", "NumActions", 3);
  station.LoadSettings();
  window.RunContinuouslyBox()->setChecked(false);
  std::vector<std::string> runs;
  bool dialogSeenDuringRun = false;
  station.SetActionRunner([&](Action& a) {
    runs.push_back(a.m_strName);
    if (runs.size() == 1) {
      // The operator picks the menu item while the first action runs.
      window.MenuItem(window.SettingsMenu(), "Configure actions...")->trigger();
      dialogSeenDuringRun = QApplication::activeModalWidget() != nullptr;
    }
    return true;
  });
  bool opened = false;
  QTimer watcher;
  QObject::connect(&watcher, &QTimer::timeout, [&] {
    if (auto* dlg = qobject_cast<CActionsDlg*>(QApplication::activeModalWidget())) {
      opened = true;
      EXPECT_FALSE(station.IsRunInProgress());
      dlg->reject();
    }
  });
  watcher.start(0);
  window.RunOnceButton()->click();
  EXPECT_FALSE(dialogSeenDuringRun);
  EXPECT_EQ(runs, std::vector<std::string>{"A0"});  // the run stopped before its next action
  EXPECT_TRUE(QTest::qWaitFor([&] { return !window.ConfigureActionsBusy(); }));
  EXPECT_TRUE(opened);
  EXPECT_FALSE(station.IsDialogOpen());
}

// Every control of every window has a name a screen reader can say.
TEST_F(ConfiguringTheStation, NamesEveryControlForAssistiveTechnology) {
  CIdTxt record;
  SpatialAreaList areas;
  SpatialArea area{};
  BriskoExifCustomMap fields, known;
  SubstringDef substring;
  std::vector<std::unique_ptr<QWidget>> windows;
  windows.emplace_back(new CActionsDlg(station));
  windows.emplace_back(new CSettingsDlg("/var/log/", 2, 1, "/var/tmp/"));
  windows.emplace_back(new OperatorTextDialog({"Hall A"}));
  windows.emplace_back(new CommandNamesDialog(station.CommandNames()));
  windows.emplace_back(new CExitDlg);
  windows.emplace_back(new CEnterPasswordDlg(station.Store()));
  windows.emplace_back(new CChangePasswordDlg(station.Store()));
  windows.emplace_back(new ScannerDialog([](const std::string&) {}));
  windows.emplace_back(new IdTxtDialog(record));
  windows.emplace_back(new CManageSpatialAreas(areas, station.Store()));
  windows.emplace_back(new CManageSpatialAreaDlg(area, station.Store()));
  windows.emplace_back(new StaticTextDialog(TemplateKind::kRename));
  windows.emplace_back(new SubstringDialog(substring, "IMG_0001.JPG"));
  windows.emplace_back(new CustomFieldsDialog(fields, known));
  windows.emplace_back(new SelectKeyDialog(known));
  NameAccessibly(&window);
  EXPECT_EQ(window.BarcodeEdit()->accessibleName(), "Barcode input box");
  EXPECT_EQ(window.OperatorCombo()->accessibleName(), "Operator selected text");
  EXPECT_EQ(window.LogList()->accessibleName(), "Action log");
  for (auto& w : windows) NameAccessibly(w.get());
  windows.emplace_back(&window);
  for (auto& w : windows) {
    const std::string where = w->windowTitle().toStdString();
    EXPECT_FALSE(w->accessibleName().isEmpty()) << where;
    for (QWidget* c : w->findChildren<QWidget*>()) {
      if (!NeedsAccessibleName(c)) continue;
      EXPECT_FALSE(c->accessibleName().isEmpty())
          << where << ": " << c->metaObject()->className() << " " << c->objectName().toStdString();
    }
  }
  windows.back().release();  // the fixture owns the main window
}

}  // namespace
}  // namespace brisko
