// "Modify Action", "Test Filespec" and the folder picker as an operator meets them: controls
// found by their accessible names, the editors behind the buttons, the messages of OK.
#include "ui/modify_action_dialog.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileSystemModel>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSettings>
#include <QTest>
#include <QTimeEdit>
#include <QTimer>
#include <QTreeView>
#include <QTreeWidget>

#include "app/station.h"
#include "common/temp_dir.h"
#include "ui/folder_picker.h"
#include "ui/qt_host.h"
#include "ui/test_filespec_dialog.h"

namespace brisko {
namespace {

QString Q(const std::string& s) {
  return QString::fromStdString(s);
}

class TheModifyActionDialog : public ::testing::Test {
 protected:
  void SetUp() override {
    station.Init(dir / "settings.db");
    MakeFolder("in");
    MakeFolder("out");
    action = station.NewAction();
    action->m_strName = "Cards";
    action->m_strSourceFolder = dir / "in";
    action->m_strDestFolder = dir / "out";
    SetModifyActionMessageHook([this](QWidget*, const FormMessage& m) { messages.push_back(m.text); });
    CModifyAction::RemotesHook() = [] { return std::vector<std::string>{"gallery:", "backup:"}; };
  }
  void TearDown() override {
    SetModifyActionMessageHook(nullptr);
    CModifyAction::RemotesHook() = nullptr;
  }
  void MakeFolder(const std::string& rel) { QDir().mkpath(Q(dir / rel)); }

  // The control whose accessible name is `name` (the only one of that kind).
  template <typename T>
  T* ByName(QWidget& dialog, const QString& name) {
    T* found = nullptr;
    for (T* w : dialog.findChildren<T*>()) {
      if (w->accessibleName() != name) continue;
      EXPECT_EQ(found, nullptr) << "two controls named " << name.toStdString();
      found = w;
    }
    EXPECT_NE(found, nullptr) << name.toStdString();
    return found;
  }

  test::TempDir dir;
  QtHost host;
  Station station{host};
  std::unique_ptr<Action> action;
  std::vector<std::string> messages;
};

TEST_F(TheModifyActionDialog, NamesEveryControlByItsCaption) {
  CModifyAction dialog(station, *action);
  EXPECT_EQ(dialog.windowTitle(), "Modify Action");
  for (QAbstractButton* b : dialog.findChildren<QAbstractButton*>()) {
    if (b->text().isEmpty()) continue;  // the time editor's own arrows
    EXPECT_EQ(b->accessibleName(), QString(b->text()).remove('&').trimmed()) << b->text().toStdString();
  }
  for (QLabel* label : dialog.findChildren<QLabel*>()) {
    if (!label->buddy()) continue;
    EXPECT_EQ(label->buddy()->accessibleName(), label->text().trimmed());
  }
  for (QWidget* w : dialog.findChildren<QWidget*>()) {
    if (qobject_cast<QLineEdit*>(w) || qobject_cast<QComboBox*>(w) || qobject_cast<QTimeEdit*>(w)) {
      if (w->parentWidget() && qobject_cast<QAbstractSpinBox*>(w->parentWidget())) continue;
      // The text field of an editable list is named as the list.
      if (auto* box = w->parentWidget() ? qobject_cast<QComboBox*>(w->parentWidget()) : nullptr) {
        EXPECT_EQ(w->accessibleName(), box->accessibleName()) << box->objectName().toStdString();
        continue;
      }
      EXPECT_FALSE(w->accessibleName().isEmpty()) << w->objectName().toStdString();
    }
  }
  EXPECT_EQ(ByName<QLineEdit>(dialog, "Action Name:")->text(), "Cards");
  EXPECT_TRUE(ByName<QCheckBox>(dialog, "Keep RAW+JPEG pairs and sidecars together")->isEnabled());
  EXPECT_TRUE(ByName<QCheckBox>(dialog, "Check each copy (read back and compare)")->isEnabled());
  ByName<QComboBox>(dialog, "Action Type:");
  ByName<QPushButton>(dialog, "Test filespec");
  ByName<QRadioButton>(dialog, "At this Interval:");
  ByName<QComboBox>(dialog, "Command");
  ByName<QComboBox>(dialog, "Remote (rclone):");
  ByName<QCheckBox>(dialog, "Send under the final name (a gallery may show a part)");
  ByName<QLineEdit>(dialog, "Rate limit (KiB/s, 0 = none):");
  ByName<QLineEdit>(dialog, "Late after (minutes, 0 = never):");
  ByName<QLineEdit>(dialog, "Time limit (seconds, 0 = none):");
}

TEST_F(TheModifyActionDialog, ShowsTheControlsOfTheChosenType) {
  CModifyAction dialog(station, *action);
  auto* type = dialog.Get<QComboBox>("type");
  auto shown = [&](const char* name) { return !dialog.Get<QWidget>(name)->isHidden(); };
  auto enabled = [&](const char* name) { return dialog.Get<QWidget>(name)->isEnabled(); };
  EXPECT_FALSE(shown("pltPath"));
  EXPECT_EQ(dialog.OutputGroup()->title(), "Execute external application on input file");

  type->setCurrentIndex(kCreateImageWithPlt);
  EXPECT_TRUE(shown("pltPath"));
  EXPECT_TRUE(shown("selectPlt"));
  EXPECT_FALSE(shown("sendToApp"));
  EXPECT_FALSE(shown("appPath"));
  EXPECT_EQ(dialog.OutputGroup()->title(), "Insert jpg file into PLT (Brisko Picture Layout Template)");

  // Which boxes a type forces or enables is the form's rule, tested with the form; here, that
  // the controls follow it.
  type->setCurrentIndex(kDeleteSubfolders);
  EXPECT_FALSE(shown("dest"));
  EXPECT_TRUE(shown("deleteEmptyOnly"));
  EXPECT_TRUE(dialog.Get<QCheckBox>("includeSubfolders")->isChecked());
  EXPECT_FALSE(enabled("includeSubfolders"));

  // Values for a BriskoExif block the type never writes are not offered either.
  for (int t : {kPrintFiles, kMoveFiles}) {
    type->setCurrentIndex(t);
    EXPECT_EQ(enabled("addValues"), enabled("addBriskoExif")) << ActionTypeName(t);
  }
  type->setCurrentIndex(kPrintFiles);
  EXPECT_FALSE(enabled("addValues"));

  type->setCurrentIndex(kMoveFiles);
  EXPECT_FALSE(enabled("readOnlyOn"));
  dialog.Get<QCheckBox>("modifyReadOnly")->click();
  EXPECT_TRUE(enabled("readOnlyOn"));

  // The program's time limit with the program; the upload's options with Upload Files, whose
  // remote takes the folder's place (offered from rclone's configuration).
  EXPECT_FALSE(enabled("exeTimeLimit"));
  dialog.Get<QCheckBox>("sendToApp")->click();
  EXPECT_TRUE(enabled("exeTimeLimit"));
  for (const char* name : {"uploadRemote", "uploadInPlace", "uploadRateLimit", "uploadLateMinutes"})
    EXPECT_FALSE(enabled(name)) << name;
  type->setCurrentIndex(kUploadFiles);
  for (const char* name : {"uploadRemote", "uploadInPlace", "uploadRateLimit", "uploadLateMinutes"})
    EXPECT_TRUE(enabled(name)) << name;
  EXPECT_FALSE(enabled("dest"));
  auto* remote = dialog.Get<QComboBox>("uploadRemote");
  EXPECT_EQ(remote->count(), 2);
  EXPECT_EQ(remote->itemText(0), "gallery:");
  EXPECT_EQ(remote->currentText(), Q(dir / "out")) << "the folder stays until a remote is chosen";
  remote->setEditText("backup:photos/");
  dialog.Get<QLineEdit>("uploadRateLimit")->setText("256");
  dialog.Get<QCheckBox>("uploadInPlace")->click();
  dialog.accept();
  EXPECT_TRUE(messages.empty());
  EXPECT_EQ(action->m_strDestFolder, "backup:photos/");
  EXPECT_EQ(action->m_iUploadRateLimit, 256);
  EXPECT_EQ(action->m_bUploadInPlace, 1);
}

TEST_F(TheModifyActionDialog, CreatesEachTypeOfAction) {
  for (int type = 0; type < kNumActionTypes; ++type) {
    SCOPED_TRACE(ActionTypeName(type));
    std::unique_ptr<Action> fresh = station.NewAction();
    CModifyAction dialog(station, *fresh);
    dialog.Get<QComboBox>("type")->setCurrentIndex(type);
    dialog.Get<QLineEdit>("name")->setText(ActionTypeName(type));
    dialog.Get<QLineEdit>("source")->setText(Q(dir / "in"));
    // An upload's destination is an rclone remote, not a folder.
    if (type == kUploadFiles)
      dialog.Get<QComboBox>("uploadRemote")->setEditText("gallery:events/");
    else
      dialog.Get<QLineEdit>("dest")->setText(Q(dir / "out"));
    dialog.accept();
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_EQ(fresh->m_iType, type);
    EXPECT_EQ(fresh->m_strName, ActionTypeName(type));
    if (type == kUploadFiles) {
      EXPECT_EQ(fresh->m_strDestFolder, "gallery:events/");
    }
  }
  EXPECT_TRUE(messages.empty());
}

TEST_F(TheModifyActionDialog, OkShowsTheFirstFaultAndWritesOnlyWhenAllIsWell) {
  // The order and texts of the checks are the form's, tested with it; the dialog shows the
  // first fault, stays open and writes nothing.
  CModifyAction dialog(station, *action);
  dialog.Get<QLineEdit>("name")->setText("Sort");
  dialog.Get<QCheckBox>("createSubfolder")->click();
  dialog.Get<QRadioButton>("useTemplate")->click();
  dialog.editTemplate = [](NameTemplate& t) {
    t.Clear();
    return true;
  };
  dialog.Get<QPushButton>("subfolderDefine")->click();
  dialog.accept();
  EXPECT_EQ(messages, (std::vector<std::string>{"Create Subfolder template must be defined."}));
  EXPECT_EQ(action->m_strName, "Cards");
  EXPECT_EQ(dialog.result(), QDialog::Rejected);

  dialog.editTemplate = [](NameTemplate& t) {
    return t.AddComponent(NameTemplate::TextComponentId(TemplateKind::kSubfolder), "ev");
  };
  dialog.Get<QPushButton>("subfolderDefine")->click();
  EXPECT_EQ(dialog.Get<QLineEdit>("subfolderText")->text().toStdString(),
            dialog.Form().SubfolderTemplate().GetDisplayString());
  dialog.Get<QRadioButton>("atTime")->click();
  dialog.Get<QTimeEdit>("time")->setTime(QTime(7, 5));
  dialog.accept();
  EXPECT_EQ(messages.size(), 1u);
  EXPECT_EQ(dialog.result(), QDialog::Accepted);
  EXPECT_EQ(action->m_strName, "Sort");
  EXPECT_EQ(action->m_iScheduleType, kScheduleTime);
  EXPECT_EQ(action->m_uiScheduleTime, 7u);
  EXPECT_EQ(action->m_uiScheduleTimeMins, 5u);
  EXPECT_NE(action->m_uiTimerHandle, 0u) << "armed for 07:05";
  EXPECT_EQ(action->m_iCreateNewSubfolderFrequency, kUseTemplate);
}

TEST_F(TheModifyActionDialog, ButtonsOpenTheirEditorsOnTheEditorsCopies) {
  CModifyAction dialog(station, *action);
  QStringList titles;
  dialog.pickFolder = [&](const QString& title, const std::string&) -> std::optional<std::string> {
    titles << title;
    return title.contains("Source") ? std::optional<std::string>(dir / "new") : std::nullopt;
  };
  dialog.Get<QPushButton>("sourceChange")->click();
  dialog.Get<QPushButton>("destChange")->click();
  EXPECT_EQ(titles, (QStringList{"Select Source Folder", "Select Destination Folder"}));
  EXPECT_EQ(dialog.Get<QLineEdit>("source")->text(), Q(dir / "new"));
  EXPECT_EQ(dialog.Get<QLineEdit>("dest")->text(), Q(dir / "out"));

  dialog.editAreas = [](const SpatialAreaList&) {
    SpatialAreaList areas;
    areas.Add(SpatialArea{});
    return std::optional<SpatialAreaList>(areas);
  };
  dialog.Get<QPushButton>("gpsFilters")->click();
  EXPECT_EQ(dialog.Form().Areas().Count(), 1u);
  EXPECT_TRUE(action->m_SpatialAreaList.IsEmpty());

  dialog.editCustomFields = [](const BriskoExifCustomMap&) {
    BriskoExifCustomMap fields;
    fields.Set("Client", "Acme");
    return std::optional<BriskoExifCustomMap>(fields);
  };
  dialog.Get<QPushButton>("addValues")->click();
  EXPECT_EQ(action->m_BriskoExifCustomActionFieldsMap.count("Client"), 1u) << "at once";
  EXPECT_EQ(station.Values().m_knownCustomFields.count("Client"), 1u);

  dialog.Get<QComboBox>("command")->setCurrentIndex(3);
  dialog.editCommands = [](CommandNameArray names) {
    names[3] = "Print";
    return std::optional<CommandNameArray>(names);
  };
  dialog.Get<QPushButton>("commands")->click();
  EXPECT_EQ(dialog.Get<QComboBox>("command")->currentText(), "Print");
  EXPECT_EQ(station.Store().GetProfileString("CommandNames", "m_strCommandNamesArray_3", ""), "Print");

  std::vector<std::string> tested;
  dialog.testFilespec = [&](const std::string& include, const std::string& exclude, bool regex,
                            const std::string& folder) {
    tested = {include, exclude, regex ? "regex" : "wildcards", folder};
  };
  dialog.Get<QLineEdit>("fileSpec")->setText("*.jpg");
  dialog.Get<QPushButton>("testFilespec")->click();
  EXPECT_EQ(tested, (std::vector<std::string>{"*.jpg", "", "wildcards", dir / "new"}));

  const std::string notes = dir / "notes.txt";
  test::WriteFile(notes, "x");
  dialog.pickApp = [&] { return std::optional<std::string>(notes); };
  dialog.Get<QCheckBox>("sendToApp")->click();
  dialog.Get<QPushButton>("selectApp")->click();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(dialog.Get<QLineEdit>("appPath")->text(), "");
  dialog.pickApp = [] { return std::optional<std::string>("/bin/sh"); };
  dialog.Get<QPushButton>("selectApp")->click();
  EXPECT_EQ(dialog.Get<QLineEdit>("appPath")->text(), "/bin/sh");

  dialog.Get<QCheckBox>("createSubfolder")->click();
  dialog.Get<QRadioButton>("hour")->click();
  dialog.reject();
  EXPECT_EQ(action->m_SubfolderTemplate.m_ComponentArray, std::vector<unsigned>{4}) << "kept after Cancel";
  EXPECT_EQ(action->m_strSourceFolder, dir / "in");
  EXPECT_TRUE(action->m_SpatialAreaList.IsEmpty());
}

TEST(TheTestFilespecDialog, ListsIncludedAndExcludedFilesOrThePatternError) {
  test::TempDir dir;
  for (const char* name : {"a.jpg", "b.JPEG", "c.txt"}) test::WriteFile(dir / name, "x");
  CTestFilespecDlg dialog("*.jpg|*.jpeg", "", false, dir.Path());
  EXPECT_EQ(dialog.IncludeEdit()->accessibleName(), "Filespec include:");
  dialog.SearchButton()->click();
  QStringList included = dialog.IncludedBox()->toPlainText().split('\n', Qt::SkipEmptyParts);
  included.sort();
  EXPECT_EQ(included, (QStringList{"a.jpg", "b.JPEG"}));
  EXPECT_EQ(dialog.ExcludedBox()->toPlainText(), "c.txt\n");

  dialog.RegexBox()->setChecked(true);
  dialog.IncludeEdit()->setText("(a");
  dialog.SearchButton()->click();
  EXPECT_TRUE(dialog.IncludedBox()->toPlainText().startsWith("Error on regex"))
      << dialog.IncludedBox()->toPlainText().toStdString();
  EXPECT_EQ(dialog.ExcludedBox()->toPlainText(), "");

  dialog.pickFolder = [](const std::string&) { return std::optional<std::string>("/elsewhere"); };
  dialog.ChangeButton()->click();
  EXPECT_EQ(dialog.FolderEdit()->text(), "/elsewhere");
}

class TheFolderPicker : public ::testing::Test {
 protected:
  void SetUp() override {
    FolderHistory::SetProfilePath(Q(dir / "profile.ini"));
    SetFolderPickerMessageHook([this](QWidget*, const QString& text) { messages << text; });
  }
  void TearDown() override {
    FolderHistory::SetProfilePath(QString());
    SetFolderPickerMessageHook(nullptr);
  }
  test::TempDir dir;
  QStringList messages;
};

TEST_F(TheFolderPicker, RefusesAFolderThatCannotBeOpenedAndRemembersChosenOnes) {
  QDir().mkpath(Q(dir / "a"));
  FolderPickerDialog picker("Select Source Folder", Q(dir / "a"), nullptr);
  EXPECT_EQ(picker.windowTitle(), "Select Source Folder");
  EXPECT_EQ(picker.NameCombo()->accessibleName(), "Folder name:");
  EXPECT_EQ(picker.NameCombo()->currentText(), Q(dir / "a"));
  picker.NameCombo()->setEditText(Q(dir / "gone"));
  picker.accept();
  EXPECT_EQ(messages, QStringList{"The folder '" + Q(dir / "gone") + "' isn't accessible."});
  EXPECT_EQ(picker.result(), QDialog::Rejected);
  picker.NameCombo()->setEditText(Q(dir / "a"));
  picker.accept();
  EXPECT_EQ(picker.Chosen(), Q(dir / "a"));
  EXPECT_EQ(FolderHistory::Load().Folders(), QStringList{Q(dir / "a")});

  FolderPickerDialog next("Select Temp Files Folder", QString(), nullptr);
  EXPECT_EQ(next.NameCombo()->currentText(), Q(dir / "a")) << "opens at the last folder";
  EXPECT_EQ(next.NameCombo()->count(), 1);
}

TEST_F(TheFolderPicker, ListsCamerasAndTakesACameraNameForTheFolder) {
  FolderPickerDialog picker("Select Source Folder", Q(dir.Path()), nullptr);
  auto* cameras = picker.findChild<QTreeWidget*>();
  ASSERT_NE(cameras, nullptr);
  EXPECT_EQ(cameras->accessibleName(), "Cameras");
  QTreeWidgetItem* top = cameras->topLevelItem(0);
  ASSERT_EQ(top->text(0), "Cameras");
  // The bus scan ends beside the window (this machine has no camera).
  EXPECT_TRUE(QTest::qWaitFor([&] { return top->child(1)->text(0) != "Looking for cameras..."; }, 15000));
  cameras->setCurrentItem(top->child(0));
  EXPECT_EQ(picker.NameCombo()->currentText(), "camera:");
  picker.NameCombo()->setEditText("camera:usb:4");
  picker.accept();
  ASSERT_EQ(messages.size(), 1);
  EXPECT_TRUE(messages[0].startsWith("'camera:usb:4' names no camera: a USB camera is named"));
  picker.NameCombo()->setEditText("camera:usb:001,004");
  picker.accept();
  EXPECT_EQ(picker.Chosen(), "camera:usb:001,004");
}

// "card:" is chosen as a folder is, though no folder of that name exists.
TEST_F(TheFolderPicker, OffersAnyMemoryCard) {
  FolderPickerDialog picker("Select Source Folder", "card:", nullptr);
  auto* cameras = picker.findChild<QTreeWidget*>();
  ASSERT_NE(cameras, nullptr);
  QTreeWidgetItem* cards = cameras->topLevelItem(1);
  ASSERT_EQ(cards->text(0), "Memory cards");
  cameras->setCurrentItem(cards->child(0));
  EXPECT_EQ(picker.NameCombo()->currentText(), "card:");
  picker.accept();
  EXPECT_TRUE(messages.isEmpty()) << messages.join("|").toStdString();
  EXPECT_EQ(picker.Chosen(), "card:");
}

// The camera in use is listed and opens the tree at its folder; a missing folder is a warning.
TEST_F(TheFolderPicker, KeepsTheCameraInUseAndOnlyWarnsOfAMissingFolder) {
  QDir().mkpath(Q(dir / "cam"));
  const QString inUse = "camera:disk:" + Q(dir / "cam");
  FolderPickerDialog picker("Select Source Folder", inUse, nullptr);
  QTreeWidgetItem* top = picker.findChild<QTreeWidget*>()->topLevelItem(0);
  EXPECT_TRUE(QTest::qWaitFor([&] { return top->child(1)->text(0) != "Looking for cameras..."; }, 15000));
  EXPECT_EQ(top->child(1)->text(0), "In use  (" + inUse + ")");
  EXPECT_EQ(top->child(2)->text(0), "No camera found");
  EXPECT_FALSE(top->child(2)->flags() & Qt::ItemIsSelectable);
  EXPECT_EQ(picker.Tree()->currentIndex().data(QFileSystemModel::FilePathRole).toString(), Q(dir / "cam"));
  picker.NameCombo()->setEditText("camera:disk:" + Q(dir / "later"));
  picker.accept();
  ASSERT_EQ(messages.size(), 1);
  EXPECT_TRUE(messages[0].startsWith("The camera folder " + Q(dir / "later") + " does not exist;"))
      << messages[0].toStdString();
  EXPECT_EQ(picker.Chosen(), "camera:disk:" + Q(dir / "later"));
}

TEST_F(TheFolderPicker, HistoryKeepsTheNewestTwentyAndDropsStaleEntriesOnSave) {
  {
    QSettings profile(Q(dir / "profile.ini"), QSettings::IniFormat);
    for (int i = 0; i < 30; ++i)
      profile.setValue(QString("FolderHistory/Folder%1").arg(i, 4, 10, QChar('0')), i);
    profile.setValue("FolderHistory/Folder0040", "beyond a gap");
  }
  FolderHistory history = FolderHistory::Load();
  EXPECT_EQ(history.Folders().size(), 20);
  history.Remember("/photos");
  history.Remember("/cards");
  history.Remember("/photos");
  QSettings profile(Q(dir / "profile.ini"), QSettings::IniFormat);
  profile.beginGroup("FolderHistory");
  EXPECT_EQ(profile.value("Folder0000").toString(), "/photos");
  EXPECT_EQ(profile.value("Folder0001").toString(), "/cards");
  EXPECT_EQ(profile.value("Folder0002").toString(), "0");
  EXPECT_EQ(profile.value("Folder0019").toString(), "17");
  EXPECT_FALSE(profile.contains("Folder0020"));
  EXPECT_FALSE(profile.contains("Folder0029"));
  EXPECT_TRUE(profile.contains("Folder0040")) << "deletion stops at the first missing number";
  EXPECT_EQ(profile.value("Last").toString(), "/photos");
}

}  // namespace
}  // namespace brisko
