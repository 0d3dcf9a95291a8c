#pragma once
// The rules of "Modify Action" (CModifyAction) without widgets: filling the controls from an
// action, which controls apply to the chosen type, the buttons that edit parts of the action,
// the OK checks and the write-back. The dialog only moves values between its widgets and this.
#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "engine/action/action.h"
#include "naming/naming_forms.h"
#include "print/print_service.h"

namespace brisko {

// Controls whose visibility or enabled state follows the type and the check boxes.
enum class ActionControl {
  kDestFolder,  // the destination text and its "Change..."
  kOverwrite,
  kDeleteEmptyOnly,
  kRenameFile,
  kRenameDefine,  // the rename "Define..." and its sample text
  kIncludeSubfolders,
  kCreateSubfolder,
  kFrequency,  // "hour", "day", "month", "use template" and the template text
  kSubfolderDefine,
  kAddBriskoExif,
  kUpdateTimestamp,
  kModifyReadOnly,
  kReadOnlyOnOff,
  kAutoRotate,
  kRotatedFolder,
  kIdTxt,  // "Display ID.TXT contents after move", "Create ID.TXT if doesn't exist"
  kContinuous,
  kTimePicker,
  kInterval,  // the minutes and "Minutes"
  kCommand,   // the command drop-down
  kSendToApp,
  kAppDetails,  // "Include args:", "follow infile", the arguments, the path, "Select App"
  kSelectByOrientation,
  kPortraitLandscape,
  kPlt,         // "PLT File:", the path and "Select PLT"
  kPrint,       // the printer, paper, copies and scaling of Print Files
  kBorderless,  // "Borderless": only for a paper the printer offers with zero margins
  kKeepShotsTogether,
  kUpload,        // the remote, in place, the rate limit and the late minutes of Upload Files
  kExeTimeLimit,  // how long the external program may run
  kVerifyCopies,
  kCount
};

// One entry of the paper list: the IPP name stored and sent, and what the operator reads.
struct PaperChoice {
  std::string value;  // "": the printer's default
  std::string label;  // "4x6 in (10x15 cm)"
  bool borderless = false;
  bool operator==(const PaperChoice&) const = default;
};

struct ControlState {
  bool visible = true;
  bool enabled = true;
  bool operator==(const ControlState&) const = default;
};

class ActionForm {
 public:
  static constexpr const char* kCaption = "Modify Action";
  static constexpr const char* kPltGroup = "Insert jpg file into PLT (Brisko Picture Layout Template)";
  static constexpr const char* kAppGroup = "Execute external application on input file";
  static constexpr const char* kKeepShotsCaption = "Keep RAW+JPEG pairs and sidecars together";
  static constexpr const char* kVerifyCopiesCaption = "Check each copy (read back and compare)";
  static constexpr const char* kPrintGroup = "Print each file, then move it to the destination folder";
  static constexpr const char* kBorderlessCaption = "Borderless";
  static constexpr const char* kUploadGroup = "Upload";
  static constexpr const char* kRemoteCaption = "Remote (rclone):";
  static constexpr const char* kInPlaceCaption = "Send under the final name (a gallery may show a part)";
  static constexpr const char* kRateCaption = "Rate limit (KiB/s, 0 = none):";
  static constexpr const char* kLateCaption = "Late after (minutes, 0 = never):";
  static constexpr const char* kExeTimeCaption = "Time limit (seconds, 0 = none):";
  // The scaling drop-down, in PrintScaling order.
  static constexpr std::array<const char*, 3> kScalingChoices = {
      "Printer's choice", "Fit: the whole photo, margins may show", "Fill: the paper covered, edges cut"};

  // Step 1: takes copies of the templates and areas and fills every control from `action`,
  // then brings the control states up to date.
  explicit ActionForm(Action& action);

  // ---- The controls' values (the dialog reads and writes these) ----
  std::string name;
  int type = kMoveFiles;  // the type drop-down's selection, -1 for none
  bool enabled = true;
  std::string sourceFolder, destFolder, pltPath;
  std::string printQueue, printMedia;       // "": the default destination / the queue's paper
  std::string printCopies, printMaxCopies;  // texts of the number fields; copies 0: the Quantity
  int printScaling = 0;                     // index into kScalingChoices (a PrintScaling)
  bool printBorderless = false;
  std::string fileSpec, fileSpecExclude;
  bool useRegex = false;
  std::string fileAge, leaveMin, interval;  // texts of the number fields
  int ageUnits = kAgeMinutes;               // checked radio, -1 for none
  bool createSubfolder = false;
  int frequency = kEveryDay;  // checked radio, -1 for none
  int schedule = kScheduleContinuous;
  int commandIndex = 0;  // drop-down selection, -1 for none
  bool renameFile = false;
  bool displayIdTxt = false, createIdTxt = false;
  bool updateTimestamp = false;
  bool modifyReadOnly = false, readOnlyOn = false;
  bool sendToApp = false, includeArgs = false, followInfile = false;
  std::string args, appPath;
  bool autoRotate = false, rotatedFolder = false;
  bool selectByOrientation = false, landscape = false;
  bool addBriskoExif = false;
  bool includeSubfolders = false;
  bool deleteEmptyOnly = false;
  bool overwrite = false;
  bool keepShotsTogether = false;
  bool verifyCopies = false;
  int hour = 0, minute = 0;  // the time picker
  // Upload Files sends to the remote in destFolder (rclone's "gallery:events/").
  bool uploadInPlace = false;
  std::string uploadRateLimit, uploadLateMinutes, exeTimeLimit;  // texts of the number fields

  // Step 2, after the type or one of the check boxes and radios changed: applies the checks the
  // type forces and recomputes the states.
  void Update();

  // The paper the chosen printer reports (none while it could not be asked): the paper list
  // becomes its sizes, readable, after the printer's default; "Borderless" follows the paper.
  void SetQueueMedia(std::optional<QueueMedia> media);
  const std::vector<PaperChoice>& PaperChoices() const { return m_paper; }
  // The paper list entry showing `value`; -1 when it is not listed (typed, or not reported).
  int PaperIndexOf(const std::string& value) const;
  const ControlState& State(ActionControl control) const { return m_states[static_cast<size_t>(control)]; }
  std::string OutputGroupCaption() const {
    return type == kCreateImageWithPlt ? kPltGroup : type == kPrintFiles ? kPrintGroup : kAppGroup;
  }
  // The display strings of the editor's templates while their boxes are checked, else "".
  std::string RenameSample() const;
  std::string SubfolderText() const;

  // ---- Step 3: buttons ----
  // The editor's copies, for "Define..." and "GPS filters".
  NameTemplate& RenameTemplate() { return m_rename; }
  NameTemplate& SubfolderTemplate() { return m_subfolder; }
  SpatialAreaList& Areas() { return m_areas; }
  // A radio of the frequency. "hour", "day" and "month" write their one-component template into
  // the action at once (Cancel keeps it) and into the editor's copy.
  void ChooseFrequency(int frequency);
  // "Add values" OK: the action's custom fields are replaced at once (Cancel keeps them) and
  // their names join the station's known names.
  void ApplyCustomFields(const BriskoExifCustomMap& fields);
  // The station's values for the template editors' test. A preview never hands out a batch ID
  // or a file number: it shows the ones the next file of the chosen type would get.
  NamingContext PreviewContext() const;
  // "Select App": only a regular file that may be executed is taken; otherwise the message.
  std::optional<FormMessage> ChooseApplication(const std::string& path);

  // ---- Steps 4 and 5 ----
  // OK: the checks in order; the first failure is returned and nothing is written. Otherwise
  // every field is written and `armSchedule` is called where the schedule is complete.
  std::optional<FormMessage> Ok(const std::function<void(Action&)>& armSchedule);

  Action& Target() { return m_action; }

 private:
  std::optional<FormMessage> Check() const;
  void WriteBack(const std::function<void(Action&)>& armSchedule);
  ControlState& Set(ActionControl control) { return m_states[static_cast<size_t>(control)]; }

  Action& m_action;
  NameTemplate m_rename;
  NameTemplate m_subfolder;
  SpatialAreaList m_areas;
  bool m_overwriteTypeShown = false;
  std::optional<QueueMedia> m_media;
  std::vector<PaperChoice> m_paper;
  std::array<ControlState, static_cast<size_t>(ActionControl::kCount)> m_states{};
};

// The folder test of OK: a new, uniquely named hidden file is created inside `folder` (never
// over an existing one) and removed again. A text without a trailing separator names the folder
// itself. False when the folder cannot be listed or written.
bool FolderIsReadWrite(const std::string& folder);

// A number field read as a decimal integer the way the editor reads it: optional blanks and
// sign, then digits up to the first other character; no digits read as 0. Clamped to 32 bits.
int32_t ReadDecimal(const std::string& text);

}  // namespace brisko
