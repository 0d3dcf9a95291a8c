#pragma once
// "Modify Action" (CModifyAction): the one dialog where an action is edited. The rules live in
// engine/action_form.h; this binds the widgets to that form and opens the editors its buttons
// lead to.
#include <QDialog>
#include <functional>
#include <optional>
#include <string>

#include "engine/action/action_form.h"
#include "scheduler/operator_lists.h"

class QButtonGroup;
class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QTimeEdit;

namespace brisko {

class Station;

// How the dialog shows a message box; tests replace it. Null restores the real message box.
void SetModifyActionMessageHook(std::function<void(QWidget* parent, const FormMessage&)> hook);

class CModifyAction : public QDialog {
  Q_OBJECT
 public:
  CModifyAction(Station& station, Action& action, QWidget* parent = nullptr);

  // The dialogs the buttons open; tests replace them. Each returns nothing when cancelled.
  std::function<std::optional<std::string>(const QString& title, const std::string& start)> pickFolder;
  std::function<std::optional<std::string>()> pickApp;
  std::function<std::optional<std::string>()> pickPlt;
  std::function<bool(NameTemplate& tmpl)> editTemplate;  // true on OK, template edited in place
  std::function<std::optional<SpatialAreaList>(const SpatialAreaList&)> editAreas;
  std::function<std::optional<BriskoExifCustomMap>(const BriskoExifCustomMap& fields)> editCustomFields;
  std::function<std::optional<CommandNameArray>(const CommandNameArray&)> editCommands;
  // What the print system offers: its queues (the default first) and a queue's paper (none
  // when the printer could not be asked).
  std::function<std::vector<std::string>()> listPrinters;
  std::function<std::optional<QueueMedia>(const std::string& queue)> readPaper;
  // Stand-ins for the print system in every dialog made while they are set (tests, pictures).
  static std::function<std::vector<std::string>()>& PrintersHook();
  static std::function<std::optional<QueueMedia>(const std::string& queue)>& PaperHook();
  // The remotes of the rclone configuration ("gallery:"), for Upload Files; and its stand-in.
  std::function<std::vector<std::string>()> listRemotes;
  static std::function<std::vector<std::string>()>& RemotesHook();
  std::function<void(const std::string& include, const std::string& exclude, bool useRegex,
                     const std::string& folder)>
      testFilespec;

  ActionForm& Form() { return m_form; }
  // The control named `objectName` (every control has one; see the constructor).
  template <typename T>
  T* Get(const char* objectName) const {
    return findChild<T*>(QString::fromLatin1(objectName));
  }
  QGroupBox* OutputGroup() const { return m_outputGroup; }

  void accept() override;

 private:
  void Build();
  void Connect();
  void Pull();  // widgets -> form
  void Push();  // form -> widgets and control states
  void Changed();
  void FillCommands();
  // The printer and paper lists, asked once the type is Print Files (and the paper again when
  // another printer is chosen).
  void FillPrinters();
  // The IPP name of the chosen paper ("" the printer's default).
  std::string PaperValue() const;
  void FillPaper();
  // The remote list, asked once the type is Upload Files.
  void FillRemotes();
  void ShowMessage(const FormMessage& message);

  Station& m_station;
  ActionForm m_form;
  bool m_pushing = false;

  QLineEdit *m_name, *m_source, *m_dest, *m_fileSpec, *m_fileSpecExclude, *m_fileAge, *m_leaveMin,
      *m_interval, *m_args, *m_appPath, *m_pltPath, *m_renameSample, *m_subfolderText;
  QComboBox *m_type, *m_command, *m_printQueue, *m_printMedia, *m_printScaling;
  QCheckBox* m_printBorderless;
  QLabel* m_printScalingLabel;
  QLineEdit *m_printCopies, *m_printMaxCopies;
  QLabel *m_printQueueLabel, *m_printMediaLabel, *m_printCopiesLabel, *m_printMaxLabel;
  bool m_printersAsked = false;
  std::string m_paperQueue = "\n";  // the queue whose paper the list shows
  QCheckBox *m_enabled, *m_useRegex, *m_deleteEmptyOnly, *m_includeSubfolders, *m_selectByOrientation,
      *m_modifyReadOnly, *m_updateTimestamp, *m_autoRotate, *m_rotatedFolder, *m_sendToApp, *m_includeArgs,
      *m_followInfile, *m_renameFile, *m_createSubfolder, *m_displayIdTxt, *m_createIdTxt, *m_addBriskoExif,
      *m_overwrite, *m_keepShots, *m_verifyCopies;
  QButtonGroup *m_ageUnits, *m_orientation, *m_readOnly, *m_frequency, *m_schedule;
  QPushButton *m_sourceChange, *m_destChange, *m_testFilespec, *m_gps, *m_selectApp, *m_selectPlt,
      *m_renameDefine, *m_subfolderDefine, *m_addValues, *m_commands;
  QLabel *m_destLabel, *m_pltLabel, *m_minutesLabel;
  QGroupBox* m_uploadGroup;
  QComboBox* m_uploadRemote;
  QCheckBox* m_uploadInPlace;
  QLineEdit *m_uploadRate, *m_uploadLate, *m_exeTimeLimit;
  QLabel *m_uploadRemoteLabel, *m_uploadRateLabel, *m_uploadLateLabel, *m_exeTimeLabel;
  bool m_remotesAsked = false;
  QTimeEdit* m_time;
  QGroupBox* m_outputGroup;
};

// Modal; edits `action` in place on OK (true). Cancel leaves it as it was, except for the
// subfolder template set by "hour", "day" or "month" and the custom fields of "Add values",
// which reach the action at once.
bool RunModifyActionDialog(QWidget* parent, Station& station, Action& action);

}  // namespace brisko
