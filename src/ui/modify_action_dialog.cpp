#include "ui/modify_action_dialog.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QTimeEdit>
#include <QVBoxLayout>
#include <algorithm>

#include "app/station.h"
#include "camera/camera_source.h"
#include "print/print_service.h"
#include "ui/command_names_dialog.h"
#include "ui/folder_picker.h"
#include "ui/gps_area_dialogs.h"
#include "ui/naming_dialogs.h"
#include "ui/test_filespec_dialog.h"

namespace brisko {

namespace {

std::function<void(QWidget*, const FormMessage&)>& MessageHook() {
  static std::function<void(QWidget*, const FormMessage&)> hook;
  return hook;
}

QString Q(const std::string& text) {
  return QString::fromStdString(text);
}
std::string S(const QString& text) {
  return text.toStdString();
}

// The accessible name of a control: its caption without the mnemonic marker and trailing blanks.
QString NameOf(const QString& caption) {
  QString name = caption;
  name.remove(QRegularExpression("&(?!&)"));
  return name.trimmed();
}

template <typename T>
T* Named(T* widget, const char* objectName, const QString& accessibleName) {
  widget->setObjectName(objectName);
  widget->setAccessibleName(NameOf(accessibleName));
  return widget;
}

QCheckBox* Check(QWidget* parent, const char* caption, const char* objectName) {
  return Named(new QCheckBox(caption, parent), objectName, caption);
}

QPushButton* Button(QWidget* parent, const char* caption, const char* objectName,
                    const char* description = "") {
  auto* button = Named(new QPushButton(caption, parent), objectName, caption);
  if (*description) button->setAccessibleDescription(description);
  return button;
}

QLineEdit* Edit(QWidget* parent, const char* objectName, const QString& accessibleName) {
  return Named(new QLineEdit(parent), objectName, accessibleName);
}

// A read-only text showing what a template makes.
QLineEdit* Display(QWidget* parent, const char* objectName, const char* accessibleName) {
  auto* edit = Edit(parent, objectName, accessibleName);
  edit->setReadOnly(true);
  return edit;
}

// A label whose buddy carries its caption as accessible name.
QLabel* Label(QWidget* parent, const char* caption, QWidget* buddy) {
  auto* label = new QLabel(caption, parent);
  label->setBuddy(buddy);
  buddy->setAccessibleName(NameOf(caption));
  return label;
}

QRadioButton* Radio(QWidget* parent, QButtonGroup* group, int id, const char* caption,
                    const char* objectName) {
  auto* radio = Named(new QRadioButton(caption, parent), objectName, caption);
  group->addButton(radio, id);
  return radio;
}

void SetRadio(QButtonGroup* group, int id) {
  QAbstractButton* button = group->button(id);
  if (button) {
    button->setChecked(true);
    return;
  }
  // No radio for the value: none is checked (an exclusive group refuses to uncheck).
  group->setExclusive(false);
  for (QAbstractButton* b : group->buttons()) b->setChecked(false);
  group->setExclusive(true);
}

void Apply(const ControlState& state, std::initializer_list<QWidget*> widgets) {
  for (QWidget* w : widgets) {
    w->setVisible(state.visible);
    w->setEnabled(state.enabled);
  }
}

QHBoxLayout* Row(std::initializer_list<QWidget*> widgets, bool stretch = true) {
  auto* row = new QHBoxLayout;
  for (QWidget* w : widgets) row->addWidget(w);
  if (stretch) row->addStretch();
  return row;
}

}  // namespace

std::function<std::vector<std::string>()>& CModifyAction::PrintersHook() {
  static std::function<std::vector<std::string>()> hook;
  return hook;
}

std::function<std::optional<QueueMedia>(const std::string&)>& CModifyAction::PaperHook() {
  static std::function<std::optional<QueueMedia>(const std::string&)> hook;
  return hook;
}

std::function<std::vector<std::string>()>& CModifyAction::RemotesHook() {
  static std::function<std::vector<std::string>()> hook;
  return hook;
}

void SetModifyActionMessageHook(std::function<void(QWidget*, const FormMessage&)> hook) {
  MessageHook() = std::move(hook);
}

CModifyAction::CModifyAction(Station& station, Action& action, QWidget* parent)
    : QDialog(parent), m_station(station), m_form(action) {
  setWindowTitle(ActionForm::kCaption);
  Build();

  pickFolder = [this](const QString& title, const std::string& start) {
    return PickFolder(this, title, Q(start));
  };
  pickApp = [this]() -> std::optional<std::string> {
    // Linux programs carry no extension: every file is offered, the form refuses what cannot run.
    QString path = QFileDialog::getOpenFileName(this, "Select App", m_appPath->text(), "All files (*)");
    if (path.isEmpty()) return std::nullopt;
    return S(path);
  };
  // Short timeouts: the dialog waits for these.
  listPrinters = [] {
    if (PrintersHook()) return PrintersHook()();
    std::vector<std::string> queues;
    std::string def, error;
    if (!MakeCupsPrintService({"", 1500, 1000})->ListQueues(&queues, &def, &error)) return queues;
    std::stable_partition(queues.begin(), queues.end(), [&](const std::string& q) { return q == def; });
    return queues;
  };
  readPaper = [](const std::string& queue) -> std::optional<QueueMedia> {
    if (PaperHook()) return PaperHook()(queue);
    std::string error;
    QueueMedia media;
    auto service = MakeCupsPrintService({"", 1500, 1000});
    std::string name = queue;
    if (name.empty()) {
      std::vector<std::string> queues;
      service->ListQueues(&queues, &name, &error);
    }
    if (name.empty() || !service->ReadMedia(name, &media, &error)) return std::nullopt;
    return media;
  };
  // The names only: `rclone listremotes` prints no settings, so no password reaches the dialog.
  listRemotes = [this] {
    if (RemotesHook()) return RemotesHook()();
    std::vector<std::string> remotes;
    QStringList args = {"listremotes", "--ask-password=false"};
    const std::string config = m_station.Store().GetProfileString("Settings", "m_strRcloneConfig", "");
    if (!config.empty()) args << "--config" << Q(config);
    QProcess rclone;
    rclone.start("rclone", args, QIODevice::ReadOnly);
    if (!rclone.waitForFinished(3000)) {
      rclone.kill();
      rclone.waitForFinished(1000);
      return remotes;
    }
    for (const QByteArray& line : rclone.readAllStandardOutput().left(64 * 1024).split('\n')) {
      const QString name = QString::fromUtf8(line).trimmed();
      if (name.endsWith(':') && remotes.size() < 200) remotes.push_back(S(name));
    }
    return remotes;
  };
  pickPlt = [this]() -> std::optional<std::string> {
    QFileDialog dialog(this, "Select PLT", m_pltPath->text(), "Brisko PLT files (*.plt)");
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setDefaultSuffix("plt");
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
    return S(dialog.selectedFiles().first());
  };
  editTemplate = [this](NameTemplate& tmpl) {
    return TemplateEditorDialog::Edit(this, tmpl, m_form.PreviewContext(),
                                      BriskoExifCustomMap(m_station.Values().m_knownCustomFields),
                                      &m_station.Store());
  };
  editAreas = [this](const SpatialAreaList& areas) {
    return CManageSpatialAreas::Edit(this, areas, m_station.Store());
  };
  editCustomFields = [this](const BriskoExifCustomMap& fields) -> std::optional<BriskoExifCustomMap> {
    BriskoExifCustomMap edited = fields;
    BriskoExifCustomMap known(m_station.Values().m_knownCustomFields);
    CustomFieldsDialog dialog(edited, known, this);
    if (dialog.exec() != QDialog::Accepted) return std::nullopt;
    return edited;
  };
  editCommands = [this](const CommandNameArray& names) { return CommandNamesDialog::Edit(this, names); };
  testFilespec = [this](const std::string& include, const std::string& exclude, bool useRegex,
                        const std::string& folder) {
    CTestFilespecDlg dialog(include, exclude, useRegex, folder, this);
    dialog.exec();
  };

  Connect();
  Push();
}

void CModifyAction::Build() {
  // ---- What and where
  auto* what = Named(new QGroupBox("What and where", this), "whatGroup", "What and where");
  m_name = Edit(what, "name", "");
  m_type = Named(new QComboBox(what), "type", "");
  for (int t = 0; t < kNumActionTypes; ++t) m_type->addItem(ActionTypeName(t));
  m_enabled = Check(what, "Enable Action", "enabled");
  m_source = Edit(what, "source", "");
  m_sourceChange = Button(what, "Change...", "sourceChange", "Select Source Folder");
  m_dest = Edit(what, "dest", "");
  m_destChange = Button(what, "Change...", "destChange", "Select Destination Folder");
  m_overwrite = Check(what, "Overwrite existing files", "overwrite");
  m_deleteEmptyOnly = Check(what, "Delete empty folders only", "deleteEmptyOnly");
  auto* whatGrid = new QGridLayout(what);
  whatGrid->addWidget(Label(what, "Action Name:", m_name), 0, 0);
  whatGrid->addWidget(m_name, 0, 1);
  whatGrid->addWidget(m_enabled, 0, 2);
  whatGrid->addWidget(Label(what, "Action Type:", m_type), 1, 0);
  whatGrid->addWidget(m_type, 1, 1);
  whatGrid->addWidget(Label(what, "Source Folder:", m_source), 2, 0);
  whatGrid->addWidget(m_source, 2, 1);
  whatGrid->addWidget(m_sourceChange, 2, 2);
  m_destLabel = Label(what, "Dest Folder:", m_dest);
  whatGrid->addWidget(m_destLabel, 3, 0);
  whatGrid->addWidget(m_dest, 3, 1);
  whatGrid->addWidget(m_destChange, 3, 2);
  whatGrid->addLayout(Row({m_overwrite, m_deleteEmptyOnly}), 4, 1, 1, 2);
  whatGrid->setColumnStretch(1, 1);

  // ---- Upload Files
  m_uploadGroup =
      Named(new QGroupBox(ActionForm::kUploadGroup, this), "uploadGroup", ActionForm::kUploadGroup);
  m_uploadRemote = Named(new QComboBox(m_uploadGroup), "uploadRemote", "");
  m_uploadRemote->setEditable(true);
  m_uploadRemote->setToolTip("A remote of rclone config and a path on it, as gallery:events/");
  m_uploadRemoteLabel = Label(m_uploadGroup, ActionForm::kRemoteCaption, m_uploadRemote);
  m_uploadRemote->lineEdit()->setAccessibleName(m_uploadRemote->accessibleName());
  m_uploadInPlace = Check(m_uploadGroup, ActionForm::kInPlaceCaption, "uploadInPlace");
  m_uploadRate = Edit(m_uploadGroup, "uploadRateLimit", "");
  m_uploadRate->setMaximumWidth(70);
  m_uploadRateLabel = Label(m_uploadGroup, ActionForm::kRateCaption, m_uploadRate);
  m_uploadLate = Edit(m_uploadGroup, "uploadLateMinutes", "");
  m_uploadLate->setMaximumWidth(70);
  m_uploadLate->setToolTip("The board turns amber when a photo waits longer");
  m_uploadLateLabel = Label(m_uploadGroup, ActionForm::kLateCaption, m_uploadLate);
  auto* uploadGrid = new QGridLayout(m_uploadGroup);
  uploadGrid->addWidget(m_uploadRemoteLabel, 0, 0);
  uploadGrid->addWidget(m_uploadRemote, 0, 1);
  uploadGrid->addWidget(m_uploadInPlace, 1, 0, 1, 2);
  uploadGrid->addWidget(m_uploadRateLabel, 2, 0);
  uploadGrid->addLayout(Row({m_uploadRate}), 2, 1);
  uploadGrid->addWidget(m_uploadLateLabel, 3, 0);
  uploadGrid->addLayout(Row({m_uploadLate}), 3, 1);
  uploadGrid->setColumnStretch(1, 1);

  // ---- Which files
  auto* which = Named(new QGroupBox("Which files", this), "whichGroup", "Which files");
  m_fileSpec = Edit(which, "fileSpec", "");
  m_fileSpecExclude = Edit(which, "fileSpecExclude", "");
  m_useRegex = Check(which, "Use Regular Expressions", "useRegex");
  m_testFilespec = Button(which, "Test filespec", "testFilespec");
  m_fileAge = Edit(which, "fileAge", "");
  m_fileAge->setMaximumWidth(70);
  m_ageUnits = new QButtonGroup(this);
  const char* const ageNames[] = {"ageMins", "ageHours", "ageDays", "ageSecs"};
  std::vector<QWidget*> ageRadios;
  for (int u = kAgeMinutes; u <= kAgeSeconds; ++u)
    ageRadios.push_back(Radio(which, m_ageUnits, u, FileAgeUnitsName(u), ageNames[u]));
  m_leaveMin = Edit(which, "leaveMin", "");
  m_leaveMin->setMaximumWidth(70);
  m_includeSubfolders = Check(which, "Include files in subfolders", "includeSubfolders");
  m_selectByOrientation = Check(which, "Select by orientation (JPG files only)", "selectByOrientation");
  m_orientation = new QButtonGroup(this);
  auto* portrait = Radio(which, m_orientation, 0, "portrait", "portrait");
  auto* landscape = Radio(which, m_orientation, 1, "landscape", "landscape");
  m_gps = Button(which, "GPS filters", "gpsFilters");
  auto* whichGrid = new QGridLayout(which);
  whichGrid->addWidget(Label(which, "Filespec include:", m_fileSpec), 0, 0);
  whichGrid->addWidget(m_fileSpec, 0, 1);
  whichGrid->addWidget(Label(which, "Filespec exclude:", m_fileSpecExclude), 1, 0);
  whichGrid->addWidget(m_fileSpecExclude, 1, 1);
  whichGrid->addLayout(Row({m_useRegex, m_testFilespec}), 2, 1);
  whichGrid->addWidget(Label(which, "File Age:", m_fileAge), 3, 0);
  auto* ageRow = Row({m_fileAge}, false);
  for (QWidget* r : ageRadios) ageRow->addWidget(r);
  ageRow->addStretch();
  whichGrid->addLayout(ageRow, 3, 1);
  whichGrid->addWidget(Label(which, "Leave at least: ", m_leaveMin), 4, 0);
  whichGrid->addLayout(Row({m_leaveMin, new QLabel("files", which)}), 4, 1);
  whichGrid->addWidget(m_includeSubfolders, 5, 1);
  whichGrid->addLayout(Row({m_selectByOrientation, portrait, landscape}), 6, 1);
  whichGrid->addLayout(Row({m_gps}), 7, 1);
  whichGrid->setColumnStretch(1, 1);

  // ---- When
  auto* when = Named(new QGroupBox("When", this), "whenGroup", "When");
  m_schedule = new QButtonGroup(this);
  auto* continuous = Radio(when, m_schedule, kScheduleContinuous, "Continuous", "continuous");
  auto* atStart = Radio(when, m_schedule, kScheduleStartup, "At Start", "atStart");
  auto* atShutdown = Radio(when, m_schedule, kScheduleShutdown, "At Shutdown", "atShutdown");
  auto* barcode = Radio(when, m_schedule, kScheduleBarcodeScan, "Barcode Scanned", "barcodeScanned");
  auto* atTime = Radio(when, m_schedule, kScheduleTime, "At this Time:", "atTime");
  m_time = Named(new QTimeEdit(when), "time", "Time of day");
  m_time->setDisplayFormat("HH':'mm");
  auto* atInterval = Radio(when, m_schedule, kScheduleInterval, "At this Interval:", "atInterval");
  m_interval = Edit(when, "interval", "");
  m_interval->setMaximumWidth(70);
  m_minutesLabel = Label(when, "Minutes", m_interval);
  auto* onCommand = Radio(when, m_schedule, kScheduleOnCommand, "On Command:", "onCommand");
  m_command = Named(new QComboBox(when), "command", "Command");
  m_commands = Button(when, "Commands...", "commands");
  auto* whenGrid = new QGridLayout(when);
  whenGrid->addLayout(Row({continuous, atStart, atShutdown, barcode}), 0, 0, 1, 2);
  whenGrid->addWidget(atTime, 1, 0);
  whenGrid->addLayout(Row({m_time}), 1, 1);
  whenGrid->addWidget(atInterval, 2, 0);
  whenGrid->addLayout(Row({m_interval, m_minutesLabel}), 2, 1);
  whenGrid->addWidget(onCommand, 3, 0);
  whenGrid->addLayout(Row({m_command, m_commands}), 3, 1);
  whenGrid->setColumnStretch(1, 1);

  // ---- What else happens to each file
  auto* each = Named(new QGroupBox("What else happens to each file", this), "eachGroup",
                     "What else happens to each file");
  m_renameFile = Check(each, "Rename files", "renameFile");
  m_renameSample = Display(each, "renameSample", "Rename template");
  m_renameDefine = Button(each, "Define...", "renameDefine", "Rename File Template Editor");
  m_createSubfolder = Check(each, "Create new subfolder every", "createSubfolder");
  m_frequency = new QButtonGroup(this);
  auto* hour = Radio(each, m_frequency, kEveryHour, "hour", "hour");
  auto* day = Radio(each, m_frequency, kEveryDay, "day", "day");
  auto* month = Radio(each, m_frequency, kEveryMonth, "month", "month");
  auto* useTemplate = Radio(each, m_frequency, kUseTemplate, "use template", "useTemplate");
  m_subfolderDefine = Button(each, "Define...", "subfolderDefine", "Edit Subfolder Name Template");
  m_subfolderText = Display(each, "subfolderText", "Subfolder template");
  m_modifyReadOnly = Check(each, "Modify read only attribute", "modifyReadOnly");
  m_readOnly = new QButtonGroup(this);
  auto* on = Radio(each, m_readOnly, 1, "On", "readOnlyOn");
  auto* off = Radio(each, m_readOnly, 0, "Off", "readOnlyOff");
  m_updateTimestamp = Check(each, "Make file date/time current", "updateTimestamp");
  m_autoRotate = Check(each, "Auto rotate JPG from EXIF", "autoRotate");
  m_rotatedFolder = Check(each, "Into \"Rotated\" subfolder", "rotatedFolder");
  m_addBriskoExif = Check(each, "Add / Update Brisko Exif", "addBriskoExif");
  m_addValues = Button(each, "Add values", "addValues", "Manage Custom BriskoEXIF Fields");
  m_displayIdTxt = Check(each, "Display ID.TXT contents after move", "displayIdTxt");
  m_createIdTxt = Check(each, "Create ID.TXT if doesn't exist", "createIdTxt");
  m_keepShots = Check(each, ActionForm::kKeepShotsCaption, "keepShotsTogether");
  m_verifyCopies = Check(each, ActionForm::kVerifyCopiesCaption, "verifyCopies");

  m_outputGroup = Named(new QGroupBox(ActionForm::kAppGroup, each), "outputGroup", "");
  m_sendToApp = Check(m_outputGroup, "Send file to application", "sendToApp");
  m_selectApp = Button(m_outputGroup, "Select App", "selectApp");
  m_appPath = Edit(m_outputGroup, "appPath", "Application path");
  m_includeArgs = Check(m_outputGroup, "Include args:", "includeArgs");
  m_args = Edit(m_outputGroup, "args", "Arguments");
  m_followInfile = Check(m_outputGroup, "follow infile", "followInfile");
  m_exeTimeLimit = Edit(m_outputGroup, "exeTimeLimit", "");
  m_exeTimeLimit->setMaximumWidth(70);
  m_exeTimeLabel = Label(m_outputGroup, ActionForm::kExeTimeCaption, m_exeTimeLimit);
  m_pltPath = Edit(m_outputGroup, "pltPath", "");
  m_pltLabel = Label(m_outputGroup, "PLT File:", m_pltPath);
  m_selectPlt = Button(m_outputGroup, "Select PLT", "selectPlt");
  m_printQueue = Named(new QComboBox(m_outputGroup), "printQueue", "Printer");
  m_printQueue->setEditable(true);
  m_printQueue->setToolTip("A CUPS queue; empty: the default printer");
  m_printQueueLabel = Label(m_outputGroup, "Printer:", m_printQueue);
  m_printMedia = Named(new QComboBox(m_outputGroup), "printMedia", "Paper");
  m_printMedia->setEditable(true);
  m_printMedia->setToolTip("The paper the printer reports; empty: the printer's default");
  m_printMediaLabel = Label(m_outputGroup, "Paper:", m_printMedia);
  m_printScaling = Named(new QComboBox(m_outputGroup), "printScaling", "Scaling");
  for (const char* choice : ActionForm::kScalingChoices) m_printScaling->addItem(choice);
  m_printScaling->setToolTip("How the photo meets the paper; sent to the printer with each job");
  m_printScalingLabel = Label(m_outputGroup, "Scaling:", m_printScaling);
  m_printBorderless = Check(m_outputGroup, ActionForm::kBorderlessCaption, "printBorderless");
  m_printBorderless->setToolTip("Only for a paper the printer offers without margins");
  // Screen readers land in the text field of an editable list: it carries the list's name.
  for (QComboBox* box : {m_printQueue, m_printMedia})
    box->lineEdit()->setAccessibleName(box->accessibleName());
  m_printCopies = Edit(m_outputGroup, "printCopies", "");
  m_printCopies->setMaximumWidth(70);
  m_printCopies->setToolTip("0: the barcode Quantity value when the photo was taken");
  m_printCopiesLabel = Label(m_outputGroup, "Copies (0 = Quantity):", m_printCopies);
  m_printMaxCopies = Edit(m_outputGroup, "printMaxCopies", "");
  m_printMaxCopies->setMaximumWidth(70);
  m_printMaxLabel = Label(m_outputGroup, "at most:", m_printMaxCopies);
  auto* outputGrid = new QGridLayout(m_outputGroup);
  outputGrid->addWidget(m_printQueueLabel, 4, 0);
  outputGrid->addWidget(m_printQueue, 4, 1, 1, 2);
  outputGrid->addWidget(m_printMediaLabel, 5, 0);
  outputGrid->addWidget(m_printMedia, 5, 1, 1, 2);
  outputGrid->addWidget(m_printScalingLabel, 6, 0);
  outputGrid->addLayout(Row({m_printScaling, m_printBorderless}), 6, 1, 1, 2);
  outputGrid->addWidget(m_printCopiesLabel, 7, 0);
  outputGrid->addLayout(Row({m_printCopies, m_printMaxLabel, m_printMaxCopies}), 7, 1, 1, 2);
  outputGrid->addWidget(m_sendToApp, 0, 0, 1, 3);
  outputGrid->addWidget(m_selectApp, 1, 0);
  outputGrid->addWidget(m_appPath, 1, 1, 1, 2);
  outputGrid->addWidget(m_includeArgs, 2, 0);
  outputGrid->addWidget(m_args, 2, 1);
  outputGrid->addWidget(m_followInfile, 2, 2);
  outputGrid->addWidget(m_exeTimeLabel, 8, 0);
  outputGrid->addLayout(Row({m_exeTimeLimit}), 8, 1, 1, 2);
  outputGrid->addWidget(m_pltLabel, 3, 0);
  outputGrid->addWidget(m_pltPath, 3, 1);
  outputGrid->addWidget(m_selectPlt, 3, 2);
  outputGrid->setColumnStretch(1, 1);

  auto* eachGrid = new QGridLayout(each);
  eachGrid->addWidget(m_renameFile, 0, 0);
  eachGrid->addWidget(m_renameSample, 0, 1);
  eachGrid->addWidget(m_renameDefine, 0, 2);
  eachGrid->addWidget(m_createSubfolder, 1, 0);
  eachGrid->addLayout(Row({hour, day, month, useTemplate}), 1, 1);
  eachGrid->addWidget(m_subfolderDefine, 1, 2);
  eachGrid->addWidget(m_subfolderText, 2, 1);
  eachGrid->addWidget(m_modifyReadOnly, 3, 0);
  eachGrid->addLayout(Row({on, off}), 3, 1);
  eachGrid->addWidget(m_updateTimestamp, 4, 0, 1, 2);
  eachGrid->addWidget(m_autoRotate, 5, 0);
  eachGrid->addWidget(m_rotatedFolder, 5, 1);
  eachGrid->addWidget(m_addBriskoExif, 6, 0);
  eachGrid->addLayout(Row({m_addValues}), 6, 1);
  eachGrid->addWidget(m_displayIdTxt, 7, 0, 1, 2);
  eachGrid->addWidget(m_createIdTxt, 8, 0, 1, 2);
  eachGrid->addWidget(m_keepShots, 9, 0, 1, 2);
  eachGrid->addWidget(m_verifyCopies, 10, 0, 1, 2);
  eachGrid->addWidget(m_outputGroup, 11, 0, 1, 3);
  eachGrid->setColumnStretch(1, 1);

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  for (QAbstractButton* b : buttons->buttons()) b->setAccessibleName(NameOf(b->text()));
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

  auto* left = new QVBoxLayout;
  left->addWidget(what);
  left->addWidget(which);
  left->addWidget(m_uploadGroup);
  left->addStretch();
  auto* right = new QVBoxLayout;
  right->addWidget(each);
  right->addWidget(when);
  auto* columns = new QHBoxLayout;
  columns->addLayout(left, 1);
  columns->addLayout(right, 1);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(columns);
  layout->addWidget(buttons);
  FillCommands();
}

void CModifyAction::FillCommands() {
  const int selected = m_command->currentIndex();
  m_command->clear();
  for (const std::string& name : m_station.CommandNames()) m_command->addItem(Q(name));
  m_command->setCurrentIndex(selected);
}

void CModifyAction::Connect() {
  // Every box and radio brings the states up to date; the form's rules are idempotent, so it
  // does no harm for the few the rules do not name.
  for (QCheckBox* box : findChildren<QCheckBox*>())
    connect(box, &QCheckBox::toggled, this, [this] { Changed(); });
  for (QButtonGroup* group : {m_ageUnits, m_orientation, m_readOnly, m_schedule})
    connect(group, &QButtonGroup::idToggled, this, [this](int, bool checked) {
      if (checked) Changed();
    });
  connect(m_type, &QComboBox::currentIndexChanged, this, [this] { Changed(); });
  // The paper decides whether "Borderless" may be chosen.
  connect(m_printMedia, &QComboBox::currentIndexChanged, this, [this] { Changed(); });
  connect(m_printMedia->lineEdit(), &QLineEdit::editingFinished, this, [this] { Changed(); });
  // "hour", "day" and "month" write the action's subfolder template at once.
  connect(m_frequency, &QButtonGroup::idClicked, this, [this](int id) {
    Pull();
    m_form.ChooseFrequency(id);
    Push();
  });

  auto chooseFolder = [this](QLineEdit* edit, const char* title) {
    if (auto chosen = pickFolder(title, S(edit->text()))) edit->setText(Q(*chosen));
  };
  connect(m_sourceChange, &QPushButton::clicked, this,
          [this, chooseFolder] { chooseFolder(m_source, "Select Source Folder"); });
  connect(m_destChange, &QPushButton::clicked, this,
          [this, chooseFolder] { chooseFolder(m_dest, "Select Destination Folder"); });
  auto define = [this](NameTemplate& tmpl) {
    Pull();
    NameTemplate working = tmpl;
    if (editTemplate(working)) tmpl = working;
    Push();
  };
  connect(m_renameDefine, &QPushButton::clicked, this, [this, define] { define(m_form.RenameTemplate()); });
  connect(m_subfolderDefine, &QPushButton::clicked, this,
          [this, define] { define(m_form.SubfolderTemplate()); });
  connect(m_gps, &QPushButton::clicked, this, [this] {
    if (auto areas = editAreas(m_form.Areas())) m_form.Areas() = *areas;
  });
  connect(m_addValues, &QPushButton::clicked, this, [this] {
    if (auto fields =
            editCustomFields(BriskoExifCustomMap(m_form.Target().m_BriskoExifCustomActionFieldsMap)))
      m_form.ApplyCustomFields(*fields);
  });
  connect(m_testFilespec, &QPushButton::clicked, this, [this] {
    testFilespec(S(m_fileSpec->text()), S(m_fileSpecExclude->text()), m_useRegex->isChecked(),
                 S(m_source->text()));
  });
  connect(m_commands, &QPushButton::clicked, this, [this] {
    if (auto names = editCommands(m_station.CommandNames())) {
      m_station.SetCommandNames(*names);
      FillCommands();
    }
  });
  connect(m_selectApp, &QPushButton::clicked, this, [this] {
    auto path = pickApp();
    if (!path) return;
    if (auto message = m_form.ChooseApplication(*path)) {
      ShowMessage(*message);
      return;
    }
    m_appPath->setText(Q(m_form.appPath));
  });
  connect(m_selectPlt, &QPushButton::clicked, this, [this] {
    if (auto path = pickPlt()) m_pltPath->setText(Q(*path));
  });
  connect(m_printQueue, &QComboBox::activated, this, [this] { FillPaper(); });
  connect(m_printQueue->lineEdit(), &QLineEdit::editingFinished, this, [this] { FillPaper(); });
}

void CModifyAction::FillPrinters() {
  m_printersAsked = true;
  const QString current = m_printQueue->currentText();
  m_printQueue->clear();
  for (const std::string& queue : listPrinters()) m_printQueue->addItem(Q(queue));
  m_printQueue->setEditText(current);
  FillPaper();
}

void CModifyAction::FillRemotes() {
  m_remotesAsked = true;
  const QString current = m_uploadRemote->currentText();
  m_uploadRemote->clear();
  for (const std::string& remote : listRemotes()) m_uploadRemote->addItem(Q(remote));
  m_uploadRemote->setEditText(current);
}

void CModifyAction::FillPaper() {
  const std::string queue = S(m_printQueue->currentText());
  if (queue == m_paperQueue) return;
  m_paperQueue = queue;
  Pull();
  m_form.SetQueueMedia(readPaper(queue));
  {
    const QSignalBlocker block(m_printMedia);
    m_printMedia->clear();
    for (const PaperChoice& choice : m_form.PaperChoices())
      m_printMedia->addItem(Q(choice.label), Q(choice.value));
  }
  Push();
}

std::string CModifyAction::PaperValue() const {
  // A listed size shows its readable name and stands for its IPP name; typed text is the name.
  const int index = m_printMedia->currentIndex();
  if (index >= 0 && m_printMedia->currentText() == m_printMedia->itemText(index))
    return S(m_printMedia->itemData(index).toString());
  return S(m_printMedia->currentText());
}

void CModifyAction::Changed() {
  if (m_pushing) return;
  Pull();
  m_form.Update();
  Push();
}

void CModifyAction::Pull() {
  ActionForm& f = m_form;
  // An upload's destination is its remote; the type it was shown for says which field holds it.
  f.destFolder = S(f.type == kUploadFiles ? m_uploadRemote->currentText() : m_dest->text());
  f.name = S(m_name->text());
  f.type = m_type->currentIndex();
  f.enabled = m_enabled->isChecked();
  f.sourceFolder = S(m_source->text());
  f.pltPath = S(m_pltPath->text());
  f.printQueue = S(m_printQueue->currentText());
  f.printMedia = PaperValue();
  f.printScaling = m_printScaling->currentIndex();
  f.printBorderless = m_printBorderless->isChecked();
  f.printCopies = S(m_printCopies->text());
  f.printMaxCopies = S(m_printMaxCopies->text());
  f.fileSpec = S(m_fileSpec->text());
  f.fileSpecExclude = S(m_fileSpecExclude->text());
  f.useRegex = m_useRegex->isChecked();
  f.fileAge = S(m_fileAge->text());
  f.leaveMin = S(m_leaveMin->text());
  f.interval = S(m_interval->text());
  f.ageUnits = m_ageUnits->checkedId();
  f.createSubfolder = m_createSubfolder->isChecked();
  f.frequency = m_frequency->checkedId();
  f.schedule = m_schedule->checkedId();
  f.commandIndex = m_command->currentIndex();
  f.renameFile = m_renameFile->isChecked();
  f.displayIdTxt = m_displayIdTxt->isChecked();
  f.createIdTxt = m_createIdTxt->isChecked();
  f.updateTimestamp = m_updateTimestamp->isChecked();
  f.modifyReadOnly = m_modifyReadOnly->isChecked();
  f.readOnlyOn = m_readOnly->checkedId() == 1;
  f.sendToApp = m_sendToApp->isChecked();
  f.includeArgs = m_includeArgs->isChecked();
  f.followInfile = m_followInfile->isChecked();
  f.args = S(m_args->text());
  f.appPath = S(m_appPath->text());
  f.autoRotate = m_autoRotate->isChecked();
  f.rotatedFolder = m_rotatedFolder->isChecked();
  f.selectByOrientation = m_selectByOrientation->isChecked();
  f.landscape = m_orientation->checkedId() == 1;
  f.addBriskoExif = m_addBriskoExif->isChecked();
  f.includeSubfolders = m_includeSubfolders->isChecked();
  f.deleteEmptyOnly = m_deleteEmptyOnly->isChecked();
  f.overwrite = m_overwrite->isChecked();
  f.keepShotsTogether = m_keepShots->isChecked();
  f.uploadInPlace = m_uploadInPlace->isChecked();
  f.uploadRateLimit = S(m_uploadRate->text());
  f.uploadLateMinutes = S(m_uploadLate->text());
  f.exeTimeLimit = S(m_exeTimeLimit->text());
  f.verifyCopies = m_verifyCopies->isChecked();
  f.hour = m_time->time().hour();
  f.minute = m_time->time().minute();
}

void CModifyAction::Push() {
  m_pushing = true;
  const QSignalBlocker blockType(m_type);
  const ActionForm& f = m_form;
  auto text = [](QLineEdit* edit, const std::string& value) {
    if (edit->text() != Q(value)) edit->setText(Q(value));
  };
  text(m_name, f.name);
  m_type->setCurrentIndex(f.type);
  m_enabled->setChecked(f.enabled);
  text(m_source, f.sourceFolder);
  text(m_dest, f.destFolder);
  const QString remote = f.type == kUploadFiles ? Q(f.destFolder) : QString();
  if (m_uploadRemote->currentText() != remote) m_uploadRemote->setEditText(remote);
  m_uploadInPlace->setChecked(f.uploadInPlace);
  text(m_uploadRate, f.uploadRateLimit);
  text(m_uploadLate, f.uploadLateMinutes);
  text(m_exeTimeLimit, f.exeTimeLimit);
  text(m_pltPath, f.pltPath);
  if (m_printQueue->currentText() != Q(f.printQueue)) m_printQueue->setEditText(Q(f.printQueue));
  if (PaperValue() != f.printMedia) {
    const int paper = m_form.PaperIndexOf(f.printMedia);
    if (paper >= 0)
      m_printMedia->setCurrentIndex(paper);
    else
      m_printMedia->setEditText(Q(f.printMedia));
  }
  m_printScaling->setCurrentIndex(f.printScaling);
  m_printBorderless->setChecked(f.printBorderless);
  text(m_printCopies, f.printCopies);
  text(m_printMaxCopies, f.printMaxCopies);
  text(m_fileSpec, f.fileSpec);
  text(m_fileSpecExclude, f.fileSpecExclude);
  m_useRegex->setChecked(f.useRegex);
  text(m_fileAge, f.fileAge);
  text(m_leaveMin, f.leaveMin);
  text(m_interval, f.interval);
  SetRadio(m_ageUnits, f.ageUnits);
  m_createSubfolder->setChecked(f.createSubfolder);
  SetRadio(m_frequency, f.frequency);
  SetRadio(m_schedule, f.schedule);
  m_command->setCurrentIndex(f.commandIndex);
  m_renameFile->setChecked(f.renameFile);
  m_displayIdTxt->setChecked(f.displayIdTxt);
  m_createIdTxt->setChecked(f.createIdTxt);
  m_updateTimestamp->setChecked(f.updateTimestamp);
  m_modifyReadOnly->setChecked(f.modifyReadOnly);
  SetRadio(m_readOnly, f.readOnlyOn ? 1 : 0);
  m_sendToApp->setChecked(f.sendToApp);
  m_includeArgs->setChecked(f.includeArgs);
  m_followInfile->setChecked(f.followInfile);
  text(m_args, f.args);
  text(m_appPath, f.appPath);
  m_autoRotate->setChecked(f.autoRotate);
  m_rotatedFolder->setChecked(f.rotatedFolder);
  m_selectByOrientation->setChecked(f.selectByOrientation);
  SetRadio(m_orientation, f.landscape ? 1 : 0);
  m_addBriskoExif->setChecked(f.addBriskoExif);
  m_includeSubfolders->setChecked(f.includeSubfolders);
  m_deleteEmptyOnly->setChecked(f.deleteEmptyOnly);
  m_overwrite->setChecked(f.overwrite);
  m_keepShots->setChecked(f.keepShotsTogether);
  m_verifyCopies->setChecked(f.verifyCopies);
  m_time->setTime(QTime(f.hour, f.minute));
  m_renameSample->setText(Q(m_form.RenameSample()));
  m_subfolderText->setText(Q(m_form.SubfolderText()));
  m_outputGroup->setTitle(Q(m_form.OutputGroupCaption()));
  m_outputGroup->setAccessibleName(m_outputGroup->title());

  using C = ActionControl;
  auto state = [this](C c) { return m_form.State(c); };
  Apply(state(C::kDestFolder), {m_destLabel, m_dest, m_destChange});
  Apply(state(C::kOverwrite), {m_overwrite});
  Apply(state(C::kDeleteEmptyOnly), {m_deleteEmptyOnly});
  Apply(state(C::kRenameFile), {m_renameFile});
  Apply(state(C::kRenameDefine), {m_renameSample, m_renameDefine});
  Apply(state(C::kIncludeSubfolders), {m_includeSubfolders});
  Apply(state(C::kCreateSubfolder), {m_createSubfolder});
  for (QAbstractButton* b : m_frequency->buttons()) Apply(state(C::kFrequency), {b});
  Apply(state(C::kFrequency), {m_subfolderText});
  Apply(state(C::kSubfolderDefine), {m_subfolderDefine});
  // The values belong to the box: a type that writes no BriskoExif offers neither.
  Apply(state(C::kAddBriskoExif), {m_addBriskoExif, m_addValues});
  Apply(state(C::kUpdateTimestamp), {m_updateTimestamp});
  Apply(state(C::kModifyReadOnly), {m_modifyReadOnly});
  for (QAbstractButton* b : m_readOnly->buttons()) Apply(state(C::kReadOnlyOnOff), {b});
  Apply(state(C::kAutoRotate), {m_autoRotate});
  Apply(state(C::kRotatedFolder), {m_rotatedFolder});
  Apply(state(C::kIdTxt), {m_displayIdTxt, m_createIdTxt});
  Apply(state(C::kKeepShotsTogether), {m_keepShots});
  Apply(state(C::kVerifyCopies), {m_verifyCopies});
  Apply(state(C::kContinuous), {m_schedule->button(kScheduleContinuous)});
  Apply(state(C::kTimePicker), {m_time});
  Apply(state(C::kInterval), {m_interval, m_minutesLabel});
  Apply(state(C::kCommand), {m_command});
  Apply(state(C::kSendToApp), {m_sendToApp});
  Apply(state(C::kAppDetails), {m_includeArgs, m_followInfile, m_args, m_appPath, m_selectApp});
  Apply(state(C::kSelectByOrientation), {m_selectByOrientation});
  for (QAbstractButton* b : m_orientation->buttons()) Apply(state(C::kPortraitLandscape), {b});
  Apply(state(C::kPlt), {m_pltLabel, m_pltPath, m_selectPlt});
  Apply(state(C::kPrint),
        {m_printQueueLabel, m_printQueue, m_printMediaLabel, m_printMedia, m_printScalingLabel,
         m_printScaling, m_printCopiesLabel, m_printCopies, m_printMaxLabel, m_printMaxCopies});
  Apply(state(C::kBorderless), {m_printBorderless});
  Apply(state(C::kUpload), {m_uploadRemoteLabel, m_uploadRemote, m_uploadInPlace, m_uploadRateLabel,
                            m_uploadRate, m_uploadLateLabel, m_uploadLate});
  Apply(state(C::kExeTimeLimit), {m_exeTimeLabel, m_exeTimeLimit});
  if (state(C::kPrint).visible && !m_printersAsked) FillPrinters();
  if (state(C::kUpload).enabled && !m_remotesAsked) FillRemotes();
  m_pushing = false;
}

void CModifyAction::ShowMessage(const FormMessage& message) {
  if (MessageHook()) {
    MessageHook()(this, message);
    return;
  }
  QMessageBox::warning(this, Q(message.caption), Q(message.text));
}

void CModifyAction::accept() {
  Pull();
  if (auto message = m_form.Ok([this](Action& a) { m_station.ArmSchedule(a); })) {
    ShowMessage(*message);
    return;
  }
  if (const std::string warning = CameraSourceWarning(m_form.sourceFolder); !warning.empty())
    ShowMessage({"Modify Action", warning});
  QDialog::accept();
}

bool RunModifyActionDialog(QWidget* parent, Station& station, Action& action) {
  CModifyAction dialog(station, action, parent);
  return dialog.exec() == QDialog::Accepted;
}

}  // namespace brisko
