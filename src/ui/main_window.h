#pragma once
// The main window: the action log, the run controls, status and progress, and the menus.
// All decisions are the station's; the window shows and forwards.
#include <QMainWindow>
#include <array>
#include <memory>

class QAction;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QMenu;
class QProgressBar;
class QPushButton;
class QWidget;

namespace brisko {

class Station;
class EditIdTxtFlow;
struct SettingsCommandContext;

class MainWindow : public QMainWindow {
  Q_OBJECT
 public:
  explicit MainWindow(Station& station, QWidget* parent = nullptr);
  ~MainWindow() override;

  // Newest on top; the oldest line goes once there are more than 501.
  void AddLogLine(const QString& text);
  void SetProgress(int pos, int range, const QString& actionText, const QString& statusText);
  void SetBarcodeSummary(const QString& summary);
  // The status line at the foot of the window: the printers of the print actions.
  void SetPrinterState(const QString& text);
  // Shows or hides the barcode and operator-text controls from the station's enable flags,
  // refills the operator-text drop-down and enables the "Scanner" item.
  void UpdateOptionalControls();
  // Names and enabling of "Command 1".."Command 20".
  void UpdateCommandMenu();
  // Another start asked for this window.
  void BringForward();
  // The exit sequence has finished: let the window close.
  void CloseForGood();

  // Each asks for the settings password first. The actions list editor opens once no run is
  // in progress (a run in progress stops before its next action and finishes first).
  void OpenConfigureActions();
  void OpenApplicationSettings();
  void OpenBackupSettings();
  void OpenRestoreSettings();
  void OpenEditIdTxt();
  void OpenScanner();
  void OpenAbout();
  // "Paper loaded...": the operator put new paper in a printer.
  void OpenPaperLoaded();
  void OpenHelpContents();
  // True from the menu click until the actions list editor has closed.
  bool ConfigureActionsBusy() const { return m_configureBusy; }

  QListWidget* LogList() const { return m_log; }
  QCheckBox* RunContinuouslyBox() const { return m_runContinuously; }
  QPushButton* RunOnceButton() const { return m_runOnce; }
  QLabel* StatusText() const { return m_status; }
  QLabel* ActionText() const { return m_action; }
  QProgressBar* Progress() const { return m_progress; }
  QWidget* BarcodeControls() const { return m_barcodeBox; }
  QWidget* OperatorControls() const { return m_operatorBox; }
  QLineEdit* BarcodeEdit() const { return m_barcodeEdit; }
  QPushButton* BarcodeOk() const { return m_barcodeOk; }
  QLabel* BarcodeSummary() const { return m_barcodeSummary; }
  QComboBox* OperatorCombo() const { return m_operatorCombo; }
  QMenu* ScannerMenu() const { return m_scannerMenu; }
  QAction* ScannerAction() const { return m_scannerAction; }
  QMenu* SettingsMenu() const { return m_settingsMenu; }
  QMenu* CommandsMenu() const { return m_commandsMenu; }
  QMenu* HelpMenu() const { return m_helpMenu; }
  QAction* CommandAction(int index) const { return m_commandActions[size_t(index)]; }
  QLabel* PrinterState() const { return m_printerState; }
  QPushButton* PaperLoadedButton() const { return m_paperLoaded; }
  // A menu item by its text, for tests and the screenshots.
  QAction* MenuItem(QMenu* menu, const QString& text) const;

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void RequestShutdown();
  SettingsCommandContext SettingsContext();
  void RunActionsEditor();

  bool m_configureBusy = false;

  Station& m_station;
  bool m_closeForGood = false;
  QListWidget* m_log;
  int m_followUps = 0;  // reason lines below the newest log line
  QCheckBox* m_runContinuously;
  QPushButton* m_runOnce;
  QWidget* m_barcodeBox;
  QLineEdit* m_barcodeEdit;
  QPushButton* m_barcodeOk;
  QLabel* m_barcodeSummary;
  QLabel* m_printerState = nullptr;      // made with the first printer line
  QPushButton* m_paperLoaded = nullptr;  // beside it
  QWidget* m_operatorBox;
  QComboBox* m_operatorCombo;
  QLabel* m_status;
  QLabel* m_action;
  QProgressBar* m_progress;
  QMenu* m_settingsMenu;
  QMenu* m_commandsMenu;
  QMenu* m_scannerMenu;
  QAction* m_scannerAction;
  QMenu* m_helpMenu;
  std::unique_ptr<EditIdTxtFlow> m_idTxtFlow;
  std::array<QAction*, 20> m_commandActions{};
};

}  // namespace brisko
