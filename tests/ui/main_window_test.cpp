#include "ui/main_window.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTest>
#include <QTimer>

#include "engine/printing/paper_count.h"
#include "engine/printing/print_desk.h"
#include "print/print_service.h"
#include "scheduler/backup_restore.h"
#include "ui/exit_dialog.h"
#include "ui/paper_dialog.h"
#include "ui/settings_commands.h"
#include "ui/settings_dialog.h"
#include "ui/window_test.h"

namespace brisko {
namespace {

class TheMainWindow : public test::WindowTest {
 protected:
  void TearDown() override {
    SettingsCommandPromptHooks() = {};
    WindowTest::TearDown();
  }
};

TEST_F(TheMainWindow, ShowsItsControlsAsAtStart) {
  station.Open();
  window.show();
  EXPECT_TRUE(window.RunContinuouslyBox()->isChecked());
  EXPECT_FALSE(window.RunOnceButton()->isVisible());
  EXPECT_EQ(window.StatusText()->text(), "None");
  EXPECT_EQ(window.ActionText()->text(), "None");
  EXPECT_FALSE(window.BarcodeControls()->isVisible());
  EXPECT_FALSE(window.OperatorControls()->isVisible());
  EXPECT_TRUE(host.LoopTimerActive());

  EXPECT_FALSE(window.ScannerAction()->isEnabled());
  EXPECT_FALSE(window.ScannerMenu()->menuAction()->isVisible());
  EXPECT_EQ(MenuTexts(window.CommandsMenu()).value(19), "Command 20");

  window.RunContinuouslyBox()->setChecked(false);
  EXPECT_TRUE(window.RunOnceButton()->isVisible());
  EXPECT_FALSE(host.LoopTimerActive());
  EXPECT_FALSE(station.RunContinuously());
  window.RunContinuouslyBox()->setChecked(true);
  EXPECT_FALSE(window.RunOnceButton()->isVisible());
  EXPECT_TRUE(host.LoopTimerActive());

  window.SetProgress(30, 60, "Card (Move Files)", "Creating file list");
  EXPECT_EQ(window.Progress()->maximum(), 60);
  EXPECT_EQ(window.Progress()->value(), 30);
  EXPECT_EQ(window.StatusText()->text(), "Creating file list");
  EXPECT_EQ(window.ActionText()->text(), "Card (Move Files)");
}

TEST_F(TheMainWindow, EnablesOnlyCommandsThatHaveAnAction) {
  SettingsStore& s = station.Store();
  s.WriteProfileInt("Action_0", "m_iScheduleType", kScheduleOnCommand);
  s.WriteProfileInt("Action_0", "m_iuCommandIndex", 2);
  s.WriteProfileInt("Action_0", "m_bEnabled", 0);
  s.WriteProfileInt("Action_1", "m_iScheduleType", kScheduleContinuous);
  s.WriteProfileInt("Action_1", "m_iuCommandIndex", 5);
  s.WriteProfileInt("Actions", "NumActions", 2);
  station.LoadSettings();
  window.UpdateCommandMenu();
  for (int i = 0; i < 20; ++i) EXPECT_EQ(window.CommandAction(i)->isEnabled(), i == 2) << i;
  station.BeginPausingDialog();
  emit window.CommandsMenu()->aboutToShow();
  EXPECT_FALSE(window.CommandAction(2)->isEnabled());
  station.EndPausingDialog();
  emit window.CommandsMenu()->aboutToShow();
  EXPECT_TRUE(window.CommandAction(2)->isEnabled());
}

TEST_F(TheMainWindow, ShowsBarcodeAndOperatorControlsWhenEnabled) {
  SettingsStore& s = station.Store();
  s.WriteProfileInt("Settings", "m_bEnableBarcodeEntry", 1);
  s.WriteProfileInt("Settings", "m_bEnableOperatorSelectedText", 1);
  s.WriteProfileInt("OperatorSelectableStrings", "NumStrings", 2);
  s.WriteProfileString("OperatorSelectableStrings", "String_0", "Studio A");
  s.WriteProfileString("OperatorSelectableStrings", "String_1", "Studio B");
  s.WriteProfileInt("Action_0", "m_iScheduleType", kScheduleBarcodeScan);
  s.WriteProfileString("Action_0", "m_strName", "On scan");
  s.WriteProfileInt("Actions", "NumActions", 1);
  station.Open();
  window.UpdateOptionalControls();
  window.show();
  EXPECT_TRUE(window.BarcodeControls()->isVisible());
  EXPECT_TRUE(window.OperatorControls()->isVisible());
  EXPECT_TRUE(window.ScannerAction()->isEnabled());
  ASSERT_EQ(window.OperatorCombo()->count(), 2);
  EXPECT_EQ(window.OperatorCombo()->currentText(), "Studio A");
  window.OperatorCombo()->setCurrentIndex(1);
  emit window.OperatorCombo()->activated(1);
  EXPECT_EQ(station.Values().m_strOperatorSelectedText, "Studio B");

  QTest::keyClicks(window.BarcodeEdit(), "3Hall");
  window.BarcodeOk()->click();
  EXPECT_EQ(window.BarcodeEdit()->text(), "");
  EXPECT_EQ(window.BarcodeSummary()->text(), "3. Venue ID: Hall");
  EXPECT_EQ(station.Values().m_strBarcodeInputsArray[2], "Hall");
  EXPECT_EQ(window.LogList()->findItems("Barcode scanned - Running action: On scan", Qt::MatchExactly).size(),
            1);
}

TEST_F(TheMainWindow, KeepsAtMost501LogLinesNewestOnTop) {
  for (int i = 0; i < 600; ++i) station.AddToLog("line " + std::to_string(i));
  QListWidget* log = window.LogList();
  ASSERT_EQ(log->count(), 501);
  EXPECT_EQ(log->item(0)->text(), "line 599");
  EXPECT_EQ(log->item(500)->text(), "line 99");
}

TEST_F(TheMainWindow, TurnsEveryCloseIntoAShutdownRequest) {
  station.Open();
  window.show();
  EXPECT_FALSE(window.close());
  EXPECT_TRUE(window.isVisible());
  EXPECT_TRUE(station.ShutdownRequested());
  EXPECT_EQ(window.LogList()->item(0)->text(), "Shutdown requested");
  QTest::keyClick(&window, Qt::Key_Escape);
  EXPECT_EQ(window.LogList()->count(), 1);  // already requested
}

TEST_F(TheMainWindow, ExitDialogOffersThreeChoices) {
  struct Row {
    const char* caption;
    ExitChoice choice;
  };
  for (const Row& row : {Row{"Exit", ExitChoice::Exit}, Row{"Cancel", ExitChoice::Cancel},
                         Row{"Exit and ShutDown Computer", ExitChoice::ExitAndShutDown}}) {
    CExitDlg dlg;
    dlg.ChoiceFromCaption(row.caption)->click();
    EXPECT_EQ(dlg.Choice(), row.choice) << row.caption;
  }
  CExitDlg closed;
  closed.show();
  closed.close();
  EXPECT_EQ(closed.Choice(), ExitChoice::Cancel);
}

TEST_F(TheMainWindow, AppliesApplicationSettings) {
  QStringList titles;
  CSettingsDlg::FolderPicker saved = CSettingsDlg::Picker();
  CSettingsDlg::Picker() = [&](QWidget*, const QString& title, const QString&) {
    titles << title;
    return title.contains("Log") ? QString::fromStdString(dir / "logs") : QString();
  };
  QTimer::singleShot(0, [&] {
    auto* dlg = qobject_cast<CSettingsDlg*>(QApplication::activeModalWidget());
    ASSERT_NE(dlg, nullptr);
    EXPECT_EQ(dlg->windowTitle(), "Application settings");
    ASSERT_EQ(dlg->LevelCombo()->count(), 5);
    EXPECT_EQ(dlg->LevelCombo()->itemText(0), "debug (1)");
    dlg->LogFolderButton()->click();
    dlg->TempFolderButton()->click();  // cancelled: nothing changes
    dlg->LevelCombo()->setCurrentIndex(2);
    dlg->LogToFileBox()->setChecked(true);
    dlg->TempFolderEdit()->setText(QString::fromStdString(dir / "tmp2/"));
    EXPECT_TRUE(dlg->StaticMapUrlEdit()->text().contains("{KEY}"));  // the built-in service
    dlg->StaticMapUrlEdit()->setText(" https://maps.example/{PATH}{MARKERS}?k={KEY} ");
    dlg->StaticMapKeyEdit()->setText("abc123");
    dlg->accept();
  });
  window.OpenApplicationSettings();
  CSettingsDlg::Picker() = saved;
  EXPECT_EQ(titles, (QStringList{"Select Log Files Folder", "Select Temp Files Folder"}));
  EXPECT_EQ(station.GetLogger().GetPath(), dir / "logs/");
  EXPECT_EQ(station.GetLogger().GetSeverity(), 3);
  EXPECT_EQ(station.GetLogger().GetLogToFile(), 1);
  EXPECT_EQ(station.Values().m_TempPath, dir / "tmp2/");
  EXPECT_EQ(station.Store().GetProfileString("Settings", "m_TempPath", ""), dir / "tmp2/");
  EXPECT_EQ(station.Store().GetProfileString("Settings", "m_strStaticMapUrl", ""),
            "https://maps.example/{PATH}{MARKERS}?k={KEY}");
  EXPECT_EQ(station.Store().GetProfileString("Settings", "m_strStaticMapKey", ""), "abc123");
}

TEST_F(TheMainWindow, OpensNoSettingsCommandWithoutThePassword) {
  int asked = 0;
  ConfirmPasswordHook() = [&](QWidget*, SettingsStore&) {
    ++asked;
    return false;
  };
  bool dialogShown = false;
  QTimer guard;  // closes a dialog that should not have opened, so the test cannot hang
  guard.setSingleShot(true);
  QObject::connect(&guard, &QTimer::timeout, [&] {
    if (QWidget* w = QApplication::activeModalWidget()) {
      dialogShown = true;
      w->close();
    }
  });
  guard.start(0);
  window.OpenApplicationSettings();
  window.OpenBackupSettings();
  window.OpenRestoreSettings();
  EXPECT_EQ(asked, 3);
  EXPECT_FALSE(dialogShown);
  EXPECT_FALSE(station.IsDialogOpen());
}

TEST_F(TheMainWindow, RestoresSettingsAndReloadsThem) {
  station.Open();
  ASSERT_TRUE(station.Actions().empty());
  SettingsStore other;
  ASSERT_TRUE(other.Open(dir / "other.db"));
  other.WriteProfileInt("Actions", "NumActions", 1);
  other.WriteProfileString("Action_0", "m_strName", "Restored & <ready>");
  other.WriteProfileInt("Settings", "m_bEnableBarcodeEntry", 1);
  const std::string file = dir / "other.BriskoWorkflowBackup";
  ASSERT_TRUE(BackupSettings(other, file, other.RootPath()));

  std::vector<std::string> messages;
  bool pausedWhileAsked = false;
  SettingsCommandPromptHooks() = {[&](QWidget*, bool) { return QString::fromStdString(file); },
                                  [&](QWidget*, const QString&) {
                                    pausedWhileAsked = station.IsDialogOpen();
                                    return true;
                                  },
                                  [&](QWidget*, const QString& m) { messages.push_back(m.toStdString()); }};
  window.OpenRestoreSettings();
  EXPECT_EQ(messages, std::vector<std::string>{"Settings restored successfully."});
  EXPECT_TRUE(pausedWhileAsked);
  EXPECT_FALSE(station.IsDialogOpen());
  EXPECT_EQ(station.Countdown(), kStartupCountdown);
  ASSERT_EQ(station.Actions().size(), 1u);
  EXPECT_EQ(station.Actions()[0]->m_strName, "Restored & <ready>");
  EXPECT_FALSE(window.BarcodeControls()->isHidden());
}

// The window's log: newest first in plain words, a reason below the failure it explains.
TEST_F(TheMainWindow, LogShowsAReasonBelowItsFailureInPlainWords) {
  window.AddLogLine("Out (Move Files) Moved file from /in/z.jpg to /out/z.jpg");
  window.AddLogLine(
      "Out (Move Files) Failed (CopyOrMoveFilesUsingShell): Move file from /in/a.jpg to /o/a.jpg");
  window.AddLogLine("  Reason: Not a directory: /o");
  QStringList rows;
  for (int i = 0; i < window.LogList()->count(); ++i) rows << window.LogList()->item(i)->text();
  ASSERT_GE(rows.size(), 3);
  EXPECT_EQ(rows[0].toStdString(), "Out (Move Files) Failed: Move file from /in/a.jpg to /o/a.jpg");
  EXPECT_EQ(rows[1].toStdString(), "  Reason: Not a directory: /o");
  EXPECT_EQ(rows[2].toStdString(), "Out (Move Files) Moved file from /in/z.jpg to /out/z.jpg");
}

// "Paper loaded..." comes with the printer line; its dialog offers the count loaded last time
// and starts the count again.
TEST_F(TheMainWindow, PaperLoadedBesideThePrinterState) {
  EXPECT_EQ(window.PaperLoadedButton(), nullptr);
  window.SetPrinterState("Selphy: idle");
  ASSERT_NE(window.PaperLoadedButton(), nullptr);
  EXPECT_EQ(window.PaperLoadedButton()->accessibleName(), "Paper loaded...");

  std::unique_ptr<Action> print = station.NewAction();
  print->m_iType = kPrintFiles;
  print->m_strPrintQueue = "Selphy";
  station.AppendAction(std::move(print));
  PaperCount(station.Store()).Load("Selphy", 36);
  PaperDialog dialog(station, {"Selphy"});
  EXPECT_EQ(dialog.Count()->value(), 36);
  dialog.Count()->setValue(18);
  dialog.Apply();
  EXPECT_EQ(PaperCount(station.Store()).Left("Selphy"), 18);
  dialog.Counted()->setChecked(false);
  EXPECT_FALSE(dialog.Count()->isEnabled());
  dialog.Apply();
  EXPECT_EQ(PaperCount(station.Store()).Left("Selphy"), -1);
  EXPECT_EQ(dialog.Count()->accessibleName(), "Prints the new paper gives");
}

// A printer whose state the test sets, as CUPS would answer it.
class StatePrinter final : public PrintService {
 public:
  explicit StatePrinter(const std::vector<std::string>* reasons) : m_reasons(reasons) {}
  bool ListQueues(std::vector<std::string>* queues, std::string* defaultQueue, std::string*) override {
    *queues = {"Selphy"};
    *defaultQueue = "Selphy";
    return true;
  }
  bool ReadMedia(const std::string&, QueueMedia*, std::string*) override { return true; }
  bool DocumentFormats(const std::string&, std::vector<std::string>* formats, std::string*) override {
    *formats = {"image/jpeg"};
    return true;
  }
  int Submit(const JobRequest&, std::string* error, bool* refused) override {
    *error = "not in this test";
    *refused = true;
    return 0;
  }
  bool FindJobs(const std::string&, const std::string&, std::vector<JobInfo>*, std::string*) override {
    return true;
  }
  bool QueryStatus(const std::string&, PrinterStatus* status, std::string*) override {
    // The queue is idle; the printer behind it says what is wrong.
    status->state = PrinterStatus::Idle;
    status->deviceAsked = status->deviceAnswered = true;
    status->deviceReasons = *m_reasons;
    return true;
  }
  bool PagesCompletedSince(const std::string&, long long, int* pages, std::string*) override {
    *pages = 0;
    return true;
  }
  bool ResumeQueue(const std::string&, std::string*) override { return true; }
  bool PauseQueue(const std::string&, std::string*) override { return true; }

 private:
  const std::vector<std::string>* m_reasons;
};

// The window's foot: a printer out of paper is a warning (marked, in its colour, and said so to
// a screen reader); once it prints again the line is plain text again.
TEST_F(TheMainWindow, PaperOutInTheFootIsAWarning) {
  std::vector<std::string> reasons = {"media-empty-error"};
  auto desk = std::make_shared<PrintDesk>([&reasons] { return std::make_unique<StatePrinter>(&reasons); },
                                          dir / "temp");
  station.Values().m_printing = desk;
  desk->Watch({"Selphy"});
  desk->Poll();
  ASSERT_EQ(station.PrinterSnapshots().size(), 1u);
  const std::string line = station.PrinterSnapshots()[0].Summary();
  ASSERT_NE(line.find("paper out"), std::string::npos) << line;
  window.SetPrinterState(QString::fromStdString(line));
  QLabel* foot = window.PrinterState();
  ASSERT_NE(foot, nullptr);
  EXPECT_TRUE(foot->text().startsWith(QString::fromUtf8("\u26a0 "))) << foot->text().toStdString();
  EXPECT_TRUE(foot->text().contains("paper out"));
  EXPECT_NE(foot->styleSheet(), "");
  EXPECT_EQ(foot->accessibleDescription(), "Warning");
  EXPECT_EQ(foot->accessibleName(), "Printer");

  reasons.clear();
  desk->Poll();
  window.SetPrinterState(QString::fromStdString(station.PrinterSnapshots()[0].Summary()));
  EXPECT_FALSE(foot->text().contains(QString::fromUtf8("\u26a0")));
  EXPECT_EQ(foot->styleSheet(), "");
  EXPECT_EQ(foot->accessibleDescription(), "");
  station.Values().m_printing.reset();
}

}  // namespace
}  // namespace brisko
