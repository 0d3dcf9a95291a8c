#include "ui/main_window.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QShortcut>
#include <QStatusBar>
#include <QTimer>
#include <QVBoxLayout>

#include "app/failure_advice.h"
#include "app/station.h"
#include "imagemeta/gps_area.h"
#include "scheduler/id_txt_forms.h"
#include "ui/actions_list_dialog.h"
#include "ui/id_txt_dialog.h"
#include "ui/paper_dialog.h"
#include "ui/password_dialogs.h"
#include "ui/scanner_dialog.h"
#include "ui/settings_commands.h"
#include "ui/settings_dialog.h"
#include "ui/user_guide.h"

namespace brisko {

MainWindow::MainWindow(Station& station, QWidget* parent) : QMainWindow(parent), m_station(station) {
  setWindowTitle(kProductName);
  auto* central = new QWidget(this);
  auto* layout = new QVBoxLayout(central);

  layout->addWidget(new QLabel("Action log:", central));
  m_log = new QListWidget(central);
  m_log->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  m_log->setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
  m_log->setSelectionMode(QAbstractItemView::SingleSelection);
  layout->addWidget(m_log, 1);

  auto* runRow = new QHBoxLayout;
  m_runContinuously = new QCheckBox("Run continuously", central);
  m_runContinuously->setChecked(true);
  m_runOnce = new QPushButton("Run Once", central);
  m_runOnce->setVisible(false);
  runRow->addWidget(m_runContinuously);
  runRow->addWidget(m_runOnce);
  runRow->addStretch(1);
  layout->addLayout(runRow);

  m_barcodeBox = new QWidget(central);
  auto* barcodeGrid = new QGridLayout(m_barcodeBox);
  barcodeGrid->setContentsMargins(0, 0, 0, 0);
  barcodeGrid->addWidget(new QLabel("Barcode input box:", m_barcodeBox), 0, 0);
  m_barcodeEdit = new QLineEdit(m_barcodeBox);
  m_barcodeOk = new QPushButton("Ok", m_barcodeBox);
  m_barcodeSummary = new QLabel(m_barcodeBox);
  m_barcodeSummary->setTextInteractionFlags(Qt::TextSelectableByMouse);
  m_barcodeSummary->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  barcodeGrid->addWidget(m_barcodeEdit, 1, 0);
  barcodeGrid->addWidget(m_barcodeOk, 1, 1);
  barcodeGrid->addWidget(m_barcodeSummary, 0, 2, 2, 1);
  barcodeGrid->setColumnStretch(2, 1);
  layout->addWidget(m_barcodeBox);

  m_operatorBox = new QWidget(central);
  auto* operatorRow = new QVBoxLayout(m_operatorBox);
  operatorRow->setContentsMargins(0, 0, 0, 0);
  operatorRow->addWidget(new QLabel("Operator selected text:", m_operatorBox));
  m_operatorCombo = new QComboBox(m_operatorBox);
  operatorRow->addWidget(m_operatorCombo);
  layout->addWidget(m_operatorBox);

  auto* statusGrid = new QGridLayout;
  statusGrid->addWidget(new QLabel("Status: ", central), 0, 0);
  m_status = new QLabel("None", central);
  statusGrid->addWidget(m_status, 0, 1);
  statusGrid->addWidget(new QLabel("Action:", central), 1, 0);
  m_action = new QLabel("None", central);
  statusGrid->addWidget(m_action, 1, 1);
  statusGrid->setColumnStretch(1, 1);
  layout->addLayout(statusGrid);
  m_progress = new QProgressBar(central);
  m_progress->setRange(0, 100);
  m_progress->setValue(0);
  m_progress->setTextVisible(false);
  m_progress->setAccessibleName("Progress");
  m_barcodeSummary->setAccessibleName("Barcode values");
  m_status->setAccessibleName("Status");
  m_action->setAccessibleName("Action");
  layout->addWidget(m_progress);
  setCentralWidget(central);
  resize(760, 520);

  m_settingsMenu = menuBar()->addMenu("Settings");
  m_settingsMenu->addAction("Configure actions...", this, &MainWindow::OpenConfigureActions);
  m_settingsMenu->addAction("Application settings...", this, &MainWindow::OpenApplicationSettings);
  m_settingsMenu->addAction("Edit ID.TXT file...", this, &MainWindow::OpenEditIdTxt);
  m_settingsMenu->addAction("Backup settings...", this, &MainWindow::OpenBackupSettings);
  m_settingsMenu->addAction("Restore settings...", this, &MainWindow::OpenRestoreSettings);
  m_settingsMenu->addSeparator();
  m_settingsMenu->addAction("Exit", this, &MainWindow::RequestShutdown);

  m_commandsMenu = menuBar()->addMenu("Commands");
  for (int i = 0; i < kNumCommands; ++i) {
    m_commandActions[size_t(i)] =
        m_commandsMenu->addAction(QString("Command %1").arg(i + 1), this, [this, i] {
          if (m_station.IsCommandEnabled(i)) m_station.ExecuteCommand(i);
        });
  }
  connect(m_commandsMenu, &QMenu::aboutToShow, this, &MainWindow::UpdateCommandMenu);

  m_scannerMenu = menuBar()->addMenu("Scanner");
  m_scannerAction = m_scannerMenu->addAction("Run in scanner input mode...", this, &MainWindow::OpenScanner);

  m_helpMenu = menuBar()->addMenu("Help");
  m_helpMenu->addAction("Help contents", this, &MainWindow::OpenHelpContents);
  m_helpMenu->addSeparator();
  m_helpMenu->addAction("About...", this, &MainWindow::OpenAbout);

  connect(m_runContinuously, &QCheckBox::toggled, this, [this](bool on) {
    m_runOnce->setVisible(!on);
    m_station.SetRunContinuously(on);
  });
  connect(m_operatorCombo, &QComboBox::activated, this,
          [this](int index) { m_station.ChooseOperatorText(index); });
  connect(m_runOnce, &QPushButton::clicked, this, [this] { m_station.RunOnce(); });
  auto submitBarcode = [this] {
    std::string text = m_barcodeEdit->text().toStdString();
    m_barcodeEdit->clear();
    m_station.OnBarcodeText(text);  // an empty scan still runs the Barcode Scan actions
  };
  connect(m_barcodeOk, &QPushButton::clicked, this, submitBarcode);
  connect(m_barcodeEdit, &QLineEdit::returnPressed, this, submitBarcode);
  // Escape closes a dialog-style window: here it asks to shut down like every other close.
  connect(new QShortcut(QKeySequence(Qt::Key_Escape), this), &QShortcut::activated, this,
          &MainWindow::RequestShutdown);

  m_idTxtFlow = std::make_unique<EditIdTxtFlow>(&m_station.Store());
  UpdateOptionalControls();
  UpdateCommandMenu();
}

MainWindow::~MainWindow() = default;

void MainWindow::AddLogLine(const QString& text) {
  while (m_log->count() >= kMaxLogLines) delete m_log->takeItem(m_log->count() - 1);
  // The plain words (the log file and the console keep the line as written); newest first, but
  // a reason stays below the line it explains.
  const std::string line = text.toStdString();
  const QString shown = QString::fromStdString(PlainLogText(line));
  if (IsFollowUpLine(line) && m_followUps + 1 <= m_log->count()) {
    m_log->insertItem(++m_followUps, shown);
  } else {
    m_log->insertItem(0, shown);
    m_followUps = 0;
  }
}

void MainWindow::SetProgress(int pos, int range, const QString& actionText, const QString& statusText) {
  m_progress->setRange(0, std::max(range, 0));
  m_progress->setValue(std::clamp(pos, 0, std::max(range, 0)));
  m_status->setText(statusText);
  m_action->setText(actionText);
}

void MainWindow::SetPrinterState(const QString& text) {
  if (!m_printerState) {
    if (text.isEmpty()) return;
    m_printerState = new QLabel(this);
    m_printerState->setAccessibleName("Printer");
    statusBar()->addWidget(m_printerState, 1);
    m_paperLoaded = new QPushButton("Paper loaded...", this);
    m_paperLoaded->setAccessibleName(m_paperLoaded->text());
    m_paperLoaded->setToolTip("New paper in a printer: start counting its prints again");
    connect(m_paperLoaded, &QPushButton::clicked, this, &MainWindow::OpenPaperLoaded);
    statusBar()->addPermanentWidget(m_paperLoaded);
  }
  // A printer that cannot print is a warning, not a plain remark.
  const std::vector<PrinterSnapshot> printers = m_station.PrinterSnapshots();
  const bool warn = std::any_of(printers.begin(), printers.end(),
                                [](const PrinterSnapshot& p) { return p.polled && !p.canPrint; });
  m_printerState->setText(warn ? QString::fromUtf8("\u26a0 ") + text : text);
  m_printerState->setStyleSheet(warn ? "QLabel { color: #a00000; font-weight: bold; }" : "");
  m_printerState->setAccessibleDescription(warn ? "Warning" : "");
  statusBar()->setVisible(!text.isEmpty());
}

void MainWindow::OpenPaperLoaded() {
  PaperDialog::Ask(m_station, this);
}

void MainWindow::SetBarcodeSummary(const QString& summary) {
  m_barcodeSummary->setText(summary.trimmed());
}

void MainWindow::UpdateOptionalControls() {
  m_barcodeBox->setVisible(m_station.EnableBarcodeEntry());
  m_scannerAction->setEnabled(m_station.EnableBarcodeEntry());
  m_scannerMenu->menuAction()->setVisible(m_station.EnableBarcodeEntry());
  m_operatorBox->setVisible(m_station.EnableOperatorSelectedText());
  m_operatorCombo->clear();
  for (const std::string& text : m_station.OperatorStrings())
    m_operatorCombo->addItem(QString::fromStdString(text));
  m_operatorCombo->setCurrentIndex(m_station.OperatorIndex());
  if (m_station.EnableBarcodeEntry()) m_barcodeEdit->setFocus();
}

void MainWindow::UpdateCommandMenu() {
  for (int i = 0; i < kNumCommands; ++i) {
    QAction* action = m_commandActions[size_t(i)];
    action->setText(QString::fromStdString(m_station.CommandName(i)));
    action->setEnabled(m_station.IsCommandEnabled(i));
  }
}

void MainWindow::BringForward() {
  if (isMinimized())
    showNormal();
  else
    show();
  raise();
  activateWindow();
}

void MainWindow::CloseForGood() {
  m_closeForGood = true;
  close();
}

QAction* MainWindow::MenuItem(QMenu* menu, const QString& text) const {
  for (QAction* action : menu->actions())
    if (action->text() == text) return action;
  return nullptr;
}

void MainWindow::OpenConfigureActions() {
  if (m_configureBusy) return;
  if (!ConfirmPassword(this, m_station.Store())) return;
  m_configureBusy = true;
  // From here runs stop before their next action and Time actions wait.
  m_station.BeginEditingActions();
  if (!m_station.IsRunInProgress()) {
    RunActionsEditor();
    return;
  }
  // Clicked inside a run's event dispatch: return so that the run can end, then open.
  m_station.AddToLog("Waiting for the running action to finish...");
  auto* wait = new QTimer(this);
  wait->setInterval(50);
  connect(wait, &QTimer::timeout, this, [this, wait] {
    if (m_station.IsRunInProgress()) return;
    wait->stop();
    wait->deleteLater();
    if (m_station.ShutdownStarted()) {  // the exit sequence came first
      m_station.EndEditingActions();
      m_configureBusy = false;
      return;
    }
    RunActionsEditor();
  });
  wait->start();
}

void MainWindow::RunActionsEditor() {
  {
    CActionsDlg dlg(m_station, this);
    if (dlg.exec() == QDialog::Accepted)
      dlg.Form().Accept();
    else
      dlg.Form().Reject();
  }
  m_station.EndEditingActions();
  m_configureBusy = false;
  UpdateOptionalControls();
  UpdateCommandMenu();
}

void MainWindow::OpenHelpContents() {
  OpenUserGuide(this);
}

void MainWindow::OpenApplicationSettings() {
  if (!ConfirmPassword(this, m_station.Store())) return;
  Logger& logger = m_station.GetLogger();
  logger.Flush();
  SettingsStore& store = m_station.Store();
  CSettingsDlg dlg(QString::fromStdString(logger.GetPath()), logger.GetSeverity(), logger.GetLogToFile(),
                   QString::fromStdString(m_station.Values().m_TempPath), this);
  dlg.SetStaticMap(
      QString::fromStdString(store.GetProfileString("Settings", "m_strStaticMapUrl", kDefaultStaticMapUrl)),
      QString::fromStdString(store.GetProfileString("Settings", "m_strStaticMapKey", "")));
  StatusPageConfig page = LoadStatusPageConfig(store);
  if (page.key.empty()) page.key = MakeStatusPageKey();
  dlg.SetStatusPage(page, QString::fromStdString(m_station.StatusPageUrl()));
  if (dlg.exec() != QDialog::Accepted) return;
  m_station.ApplyApplicationSettings(dlg.LogFolder().toStdString(), dlg.Level(), dlg.LogToFile(),
                                     dlg.TempFolder().toStdString());
  store.WriteProfileString("Settings", "m_strStaticMapUrl", dlg.StaticMapUrl().toStdString());
  store.WriteProfileString("Settings", "m_strStaticMapKey", dlg.StaticMapKey().toStdString());
  const StatusPageConfig chosen = dlg.StatusPage();
  const StatusPageConfig stored = LoadStatusPageConfig(store);
  // A page running as asked is left alone; any change restarts it.
  const bool same = chosen.enabled == stored.enabled && chosen.address == stored.address &&
                    chosen.port == stored.port && chosen.key == stored.key &&
                    chosen.enabled == !m_station.StatusPageUrl().empty();
  std::string error;
  if (!same && !m_station.ApplyStatusPageSettings(chosen, &error))
    QMessageBox::warning(this, "Application settings", QString::fromStdString(error));
}

void MainWindow::OpenBackupSettings() {
  BackupSettingsCommand(this, SettingsContext());
}

void MainWindow::OpenRestoreSettings() {
  RestoreSettingsCommand(this, SettingsContext());
}

SettingsCommandContext MainWindow::SettingsContext() {
  return {m_station.Store(), [this] { m_station.BeginPausingDialog(); },
          [this] { m_station.EndPausingDialog(); },
          [this] {
            // Logger settings take effect at the next start; everything else now.
            m_station.LoadSettings();
            UpdateOptionalControls();
            UpdateCommandMenu();
          }};
}

void MainWindow::OpenEditIdTxt() {
  RunEditIdTxtFile(this, *m_idTxtFlow);
}

void MainWindow::OpenScanner() {
  if (!m_station.EnableBarcodeEntry()) return;
  ScannerDialog dlg([this](const std::string& text) { m_station.OnBarcodeText(text); }, this);
  dlg.exec();
}

void MainWindow::OpenAbout() {
  m_station.BeginPausingDialog();
  QMessageBox::about(this, "About Brisko Event File Workflow",
                     QString("%1\nVersion %2").arg(kProductName, BRISKO_VERSION));
  m_station.EndPausingDialog();
}

void MainWindow::RequestShutdown() {
  if (!m_station.ShutdownRequested()) m_station.RequestShutdown();
}

void MainWindow::closeEvent(QCloseEvent* event) {
  if (m_closeForGood) {
    event->accept();
    return;
  }
  event->ignore();
  RequestShutdown();
}

}  // namespace brisko
