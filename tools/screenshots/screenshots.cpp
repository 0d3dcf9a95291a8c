// Renders the main window and the main dialogs to PNG files for the user guide, so that its
// pictures always show the program as it is. Runs offscreen on a throw-away settings store:
//   QT_QPA_PLATFORM=offscreen brisko_screenshots OUTPUT_FOLDER
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QMenu>
#include <QMenuBar>
#include <QPixmap>
#include <QTemporaryDir>
#include <QTreeWidget>
#include <cstdio>
#include <memory>

#include "app/station.h"
#include "naming/exif_access.h"
#include "naming/naming_inputs.h"
#include "scheduler/id_txt.h"
#include "ui/actions_list_dialog.h"
#include "ui/command_names_dialog.h"
#include "ui/exit_dialog.h"
#include "ui/gps_area_dialogs.h"
#include "ui/id_txt_dialog.h"
#include "ui/main_window.h"
#include "ui/modify_action_dialog.h"
#include "ui/naming_dialogs.h"
#include "ui/operator_text_dialog.h"
#include "ui/paper_dialog.h"
#include "ui/password_dialogs.h"
#include "ui/qt_host.h"
#include "ui/scanner_dialog.h"
#include "ui/settings_dialog.h"
#include "ui/test_filespec_dialog.h"

using namespace brisko;

namespace {

QString g_out;
int g_failures = 0;

void Save(QWidget& widget, const char* name) {
  widget.show();
  QApplication::processEvents();
  const QString path = QDir(g_out).filePath(QString(name) + ".png");
  if (!widget.grab().save(path, "PNG")) {
    std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
    ++g_failures;
  }
  widget.hide();
}

void SampleActions(Station& station, const QString& root) {
  SettingsStore& s = station.Store();
  struct Row {
    const char* name;
    int type;
    int schedule;
    int enabled;
  };
  const Row rows[] = {{"Card to archive", kMoveFilesFromMedia, kScheduleContinuous, 1},
                      {"Hot folder to printer", kCopyFiles, kScheduleContinuous, 1},
                      {"Scan sorts the session", kMoveFiles, kScheduleBarcodeScan, 1},
                      {"Night clean-up", kDeleteFiles, kScheduleTime, 0},
                      {"Print the album", kCopyFiles, kScheduleOnCommand, 1}};
  int i = 0;
  for (const Row& row : rows) {
    const std::string section = ActionSectionName(i++);
    s.WriteProfileString(section, "m_strName", row.name);
    s.WriteProfileInt(section, "m_iType", row.type);
    s.WriteProfileInt(section, "m_iScheduleType", row.schedule);
    s.WriteProfileInt(section, "m_bEnabled", row.enabled);
    s.WriteProfileString(section, "m_strSourceFolder", (root + "/card").toStdString());
    s.WriteProfileString(section, "m_strDestFolder", (root + "/archive").toStdString());
  }
  s.WriteProfileInt("Actions", "NumActions", i);
  s.WriteProfileInt("Settings", "m_bEnableBarcodeEntry", 1);
  s.WriteProfileInt("Settings", "m_bEnableOperatorSelectedText", 1);
  s.WriteProfileInt("OperatorSelectableStrings", "NumStrings", 2);
  s.WriteProfileString("OperatorSelectableStrings", "String_0", "Studio A");
  s.WriteProfileString("OperatorSelectableStrings", "String_1", "Studio B");
  s.WriteProfileString("CommandNames", "m_strCommandNamesArray_4", "Print the album");
}

}  // namespace

int main(int argc, char** argv) {
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "usage: brisko_screenshots OUTPUT_FOLDER\n");
    return 2;
  }
  g_out = QString::fromLocal8Bit(argv[1]);
  QDir().mkpath(g_out);
  QTemporaryDir root;
  if (!root.isValid()) return 1;

  QtHost host;
  Station station(host);
  host.SetStation(&station);
  station.Init((root.path() + "/settings.db").toStdString());
  station.Store().WriteProfileString("Settings", "m_TempPath", (root.path() + "/temp/").toStdString());
  SampleActions(station, root.path());
  MainWindow window(station);
  host.SetWindow(&window);
  station.LoadSettings();
  window.UpdateOptionalControls();
  window.UpdateCommandMenu();
  window.RunContinuouslyBox()->setChecked(false);
  for (const char* line :
       {"Actions starting in 5s...", "Actions starting in 4s...", "Actions starting in 3s..."})
    station.AddToLog(line);
  station.OnBarcodeText("3Hall");
  station.OnBarcodeText("1Smith");
  station.AddToLog("Card to archive (Move Files from Media) Completed action");
  window.SetProgress(40, 100, "Card to archive (Move Files from Media)", "Moving files");
  window.SetPrinterState("Selphy: idle; 36 prints left");
  window.resize(760, 560);
  Save(window, "main_window");

  {
    CActionsDlg dlg(station);
    dlg.List()->setCurrentItem(dlg.List()->topLevelItem(0));
    Save(dlg, "actions_list");
  }
  {
    CSettingsDlg dlg("/home/station/.local/state/BriskoLogs/", 2, 1, "/var/tmp/brisko_temp/");
    dlg.SetStaticMap("https://maps.googleapis.com/maps/api/staticmap?size=512x512&{PATH}&{MARKERS}&key={KEY}",
                     "");
    // A documentation address and a made-up key: the picture shows what a phone scans.
    const StatusPageConfig page{true, "0.0.0.0", kDefaultStatusPagePort, "5f0c2a9e71d84b36a0e4c8d2b197f3a6"};
    dlg.SetStatusPage(page, QString("http://192.0.2.10:8642/?key=") + QString::fromStdString(page.key));
    Save(dlg, "application_settings");
  }
  {
    CEnterPasswordDlg dlg(station.Store());
    Save(dlg, "enter_password");
  }
  {
    OperatorTextDialog dlg({"Studio A", "Studio B"});
    Save(dlg, "operator_text");
  }
  {
    CommandNamesDialog dlg(station.CommandNames());
    Save(dlg, "command_names");
  }
  {
    ScannerDialog dlg([](const std::string&) {});
    Save(dlg, "scanner");
  }
  {
    CIdTxt record;
    record.m_strPhotographerID = "P07";
    record.m_strEventID = "GALA26";
    record.m_strCardID = "C3";
    IdTxtDialog dlg(record);
    Save(dlg, "id_txt");
  }
  {
    CExitDlg dlg;
    Save(dlg, "exit");
  }
  {
    SpatialAreaList areas;
    SpatialArea hall;
    hall.m_strDesc = "Convention centre";
    areas.Add(hall);
    CManageSpatialAreas dlg(areas, station.Store());
    Save(dlg, "gps_areas");
  }
  {
    NameTemplate tmpl(TemplateKind::kRename);
    tmpl.AddComponent(18);  // event ID
    tmpl.AddComponent(14);  // underscore
    tmpl.AddComponent(4);   // file counter
    tmpl.AddComponent(2);   // original extension
    NamingContext context;
    BriskoExifCustomMap known;
    TemplateEditorDialog dlg(tmpl, context, DefaultExifAccess(), known);
    Save(dlg, "rename_template");
  }
  {
    std::unique_ptr<Action> action = station.NewAction();
    action->m_strName = "Card to archive";
    action->m_iType = kMoveFilesFromMedia;
    action->m_strSourceFolder = "/media/card";
    action->m_strDestFolder = "/srv/archive";
    action->m_strFileSpec = "*.jpg|*.jpeg";
    action->m_bRenameFile = 1;
    action->m_RenameTemplate.AddComponent(18);  // event ID
    action->m_RenameTemplate.AddComponent(14);  // underscore
    action->m_RenameTemplate.AddComponent(4);   // file counter
    action->m_RenameTemplate.AddComponent(2);   // original extension
    action->m_bCreateNewSubfolder = 1;
    action->m_iCreateNewSubfolderFrequency = kEveryDay;
    CModifyAction dlg(station, *action);
    Save(dlg, "modify_action_move");
  }
  {
    std::unique_ptr<Action> action = station.NewAction();
    action->m_strName = "Album page";
    action->m_iType = kCreateImageWithPlt;
    action->m_strSourceFolder = "/srv/archive/selected";
    action->m_strDestFolder = "/srv/print-hot-folder";
    action->m_strFileSpec = "*.jpg";
    action->m_strBriskoPltFilepath = "/srv/albums/gala-page.plt";
    action->m_iScheduleType = kScheduleBarcodeScan;
    CModifyAction dlg(station, *action);
    Save(dlg, "modify_action_plt");
  }
  {
    std::unique_ptr<Action> action = station.NewAction();
    action->m_strName = "Booth prints";
    action->m_iType = kPrintFiles;
    action->m_strSourceFolder = "/srv/booth/selected";
    action->m_strDestFolder = "/srv/booth/printed";
    action->m_strFileSpec = "*.jpg";
    action->m_strPrintQueue = "Selphy";
    action->m_strPrintMedia = "na_index-4x6_4x6in";
    action->m_iPrintScaling = 2;
    action->m_bPrintBorderless = 1;
    action->m_iPrintCopies = 0;
    action->m_iPrintMaxCopies = 4;
    // The paper as a photo printer reports it, whatever print system this machine has.
    CModifyAction::PaperHook() = [](const std::string&) {
      QueueMedia media;
      media.defaultMedia = "na_index-4x6_4x6in";
      media.sizes = {{"na_index-4x6_4x6in", 10160, 15240, true},
                     {"na_5x7_5x7in", 12700, 17780, true},
                     {"iso_a6_105x148mm", 10500, 14800, true},
                     {"iso_a4_210x297mm", 21000, 29700, false}};
      return std::optional<QueueMedia>(media);
    };
    CModifyAction::PrintersHook() = [] { return std::vector<std::string>{"Selphy", "DNP"}; };
    CModifyAction dlg(station, *action);
    Save(dlg, "modify_action_print");
    CModifyAction::PaperHook() = nullptr;
    CModifyAction::PrintersHook() = nullptr;
  }
  {
    std::unique_ptr<Action> action = station.NewAction();
    action->m_strName = "Gallery";
    action->m_iType = kUploadFiles;
    action->m_strSourceFolder = "/srv/archive";
    action->m_strDestFolder = "gallery:events/gala/";
    action->m_strFileSpec = "*.jpg";
    action->m_iUploadRateLimit = 2048;
    // The remotes of a booth's rclone configuration, whatever this machine has.
    CModifyAction::RemotesHook() = [] { return std::vector<std::string>{"gallery:", "backup:"}; };
    CModifyAction dlg(station, *action);
    Save(dlg, "modify_action_upload");
    CModifyAction::RemotesHook() = nullptr;
  }
  {
    PaperDialog dlg(station, {"Selphy", "DNP"});
    Save(dlg, "paper_loaded");
  }
  {
    // A small card with a photo, a sidecar and a thumbnail to try the masks on.
    const QString card = root.path() + "/card";
    QDir().mkpath(card + "/DCIM");
    QDir().mkpath(root.path() + "/archive");
    for (const char* name : {"IMG_0001.JPG", "IMG_0002.jpg", "IMG_0002.xmp", "thumbs.db"}) {
      QFile file(card + "/" + name);
      if (file.open(QIODevice::WriteOnly)) file.write("x");
    }
    CTestFilespecDlg dlg("*.jpg|*.jpeg", "", false, card.toStdString());
    dlg.Search();
    Save(dlg, "test_filespec");
  }
  station.ClearActions();
  return g_failures == 0 ? 0 : 1;
}
