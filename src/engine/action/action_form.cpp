#include "engine/action/action_form.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

#include "camera/camera_source.h"
#include "engine/action/action_fields.h"
#include "engine/base/card_source.h"
#include "print/media_names.h"
#include "support/file_ops.h"
#include "support/path_util.h"
#include "support/settings_store.h"
#include "support/text.h"
#include "upload/rclone_daemon.h"

namespace brisko {

namespace {

// Subfolder components the frequency buttons put in the template.
constexpr unsigned kHourComponent = 4;   // "06 Current hour HH"
constexpr unsigned kDayComponent = 2;    // "03 Current Date (DD-MM-YY)"
constexpr unsigned kMonthComponent = 3;  // "05 Current Month (MM-YY)"

bool OneOf(int type, std::initializer_list<int> types) {
  for (int t : types) {
    if (t == type) return true;
  }
  return false;
}

std::string Decimal(int64_t value) {
  return std::to_string(value);
}

FormMessage Message(const char* text) {
  return FormMessage{ActionForm::kCaption, text};
}

}  // namespace

int32_t ReadDecimal(const std::string& text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  int64_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > int64_t(INT32_MAX) + 1) value = int64_t(INT32_MAX) + 1;  // no overflow on long input
  }
  if (negative) value = -value;
  if (value > INT32_MAX) value = INT32_MAX;
  return static_cast<int32_t>(value);
}

bool FolderIsReadWrite(const std::string& folder) {
  if (folder.empty()) return false;
  // Opening the folder for reading proves it can be listed; the test file is made relative to
  // it so a folder text without a trailing separator is the folder itself, not its parent.
  const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return false;
  bool ok = false;
  for (int attempt = 0; attempt < 100; ++attempt) {
    // One of the file layer's hidden temporary names, so a test file that could not be removed
    // is passed over by folder scans and swept. O_EXCL: never empties or replaces a file.
    const std::string name = HiddenTempName("", "test");
    const int fd = ::openat(dir, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) {
      ::close(fd);
      ::unlinkat(dir, name.c_str(), 0);
      ok = true;
      break;
    }
    if (errno != EEXIST) break;
  }
  ::close(dir);
  return ok;
}

ActionForm::ActionForm(Action& action)
    : m_action(action),
      m_rename(action.m_RenameTemplate),
      m_subfolder(action.m_SubfolderTemplate),
      m_areas(action.m_SpatialAreaList) {
  const Action& a = action;
  for (const ActionField& field : ActionFields()) {
    if (auto box = std::get_if<bool ActionForm::*>(&field.control))
      this->*(*box) = a.*std::get<int32_t Action::*>(field.member) != 0;
    if (auto text = std::get_if<std::string ActionForm::*>(&field.control))
      this->*(*text) = a.*std::get<std::string Action::*>(field.member);
  }
  fileAge = Decimal(a.m_iFileAge);
  leaveMin = Decimal(a.m_iLeaveMinFilecount);
  printCopies = Decimal(a.m_iPrintCopies);
  printMaxCopies = Decimal(a.m_iPrintMaxCopies);
  uploadRateLimit = Decimal(a.m_iUploadRateLimit);
  uploadLateMinutes = Decimal(a.m_iUploadLateMinutes);
  exeTimeLimit = Decimal(a.m_iExternalExeTimeLimit);
  printScaling =
      a.m_iPrintScaling >= 0 && a.m_iPrintScaling < int(kScalingChoices.size()) ? a.m_iPrintScaling : 0;
  ageUnits = a.m_iFileAgeUnits >= kAgeMinutes && a.m_iFileAgeUnits <= kAgeSeconds ? a.m_iFileAgeUnits : -1;
  frequency =
      a.m_iCreateNewSubfolderFrequency >= kEveryHour && a.m_iCreateNewSubfolderFrequency <= kUseTemplate
          ? a.m_iCreateNewSubfolderFrequency
          : -1;
  schedule = a.m_iScheduleType >= 1 && a.m_iScheduleType < kNumScheduleTypes ? a.m_iScheduleType
                                                                             : kScheduleContinuous;
  commandIndex = a.m_iuCommandIndex >= 0 && a.m_iuCommandIndex < 20 ? a.m_iuCommandIndex : -1;
  type = a.m_iType >= 0 && a.m_iType < kNumActionTypes ? a.m_iType : -1;
  // Shown as the signed value it is stored as, like every other number field.
  interval = Decimal(static_cast<int32_t>(a.m_uiRunInterval));
  modifyReadOnly = a.m_bModifyReadOnlyAttribute != 0;
  readOnlyOn = a.m_bMakeReadOnly == 1;
  landscape = a.m_bSelectLandscape == 1;
  // A stored time the picker cannot hold (0xFFFFFFFF after an editor without a time, or a
  // hand-edited store) shows as 00:00; the action keeps it unless OK is pressed.
  if (a.m_uiScheduleTime <= 23 && a.m_uiScheduleTimeMins <= 59) {
    hour = static_cast<int>(a.m_uiScheduleTime);
    minute = static_cast<int>(a.m_uiScheduleTimeMins);
  }
  Update();
}

void ActionForm::Update() {
  const int t = type;
  for (ControlState& state : m_states) state = ControlState{};

  // The type's overwrite setting comes from the action when the box becomes available; while
  // the type stays, the operator's choice stands (re-reading the action at every click would
  // silently switch overwriting back on or off).
  const bool overwriteType = OneOf(t, {kMoveFiles, kMoveFilesFromMedia});
  if (!overwriteType) {
    overwrite = false;
  } else if (!m_overwriteTypeShown) {
    overwrite = m_action.m_bOverwriteExistingFiles != 0;
  }
  m_overwriteTypeShown = overwriteType;
  Set(ActionControl::kOverwrite).enabled = overwriteType;

  Set(ActionControl::kDestFolder).visible = !OneOf(t, {kDeleteFiles, kDeleteSubfolders});
  Set(ActionControl::kDeleteEmptyOnly).visible = t == kDeleteSubfolders;

  const bool renames = OneOf(t, {kMoveFiles, kMoveFilesFromMedia, kCreateImageWithPlt, kUploadFiles});
  if (!renames) renameFile = false;
  Set(ActionControl::kRenameFile).visible = renames;
  Set(ActionControl::kRenameDefine) = {renames, renameFile};

  if (OneOf(t, {kMoveFilesFromMedia, kDeleteSubfolders, kMoveSubfolders, kCopySubfolders})) {
    includeSubfolders = true;
    Set(ActionControl::kIncludeSubfolders).enabled = false;
  }

  if (OneOf(t, {kDeleteFiles, kDeleteSubfolders, kMoveSubfolders, kCopySubfolders})) {
    createSubfolder = false;
    Set(ActionControl::kCreateSubfolder).enabled = false;
  }
  Set(ActionControl::kFrequency).enabled = createSubfolder;
  Set(ActionControl::kSubfolderDefine).enabled = createSubfolder && frequency == kUseTemplate;

  // An upload sends the photo as it is: no block is written.
  Set(ActionControl::kAddBriskoExif).enabled = renames && t != kUploadFiles;

  const bool fileOptions = overwriteType;
  Set(ActionControl::kUpdateTimestamp).enabled = fileOptions;
  Set(ActionControl::kModifyReadOnly).enabled = fileOptions;
  Set(ActionControl::kReadOnlyOnOff).enabled = fileOptions && modifyReadOnly;
  // A copy is turned upright too (its source stays as it is); only moves put turned photos apart.
  Set(ActionControl::kAutoRotate).enabled = fileOptions || t == kCopyFiles;
  Set(ActionControl::kRotatedFolder).enabled = fileOptions && autoRotate;

  Set(ActionControl::kIdTxt).enabled = t == kMoveFilesFromMedia;
  Set(ActionControl::kKeepShotsTogether).enabled = OneOf(t, {kMoveFiles, kCopyFiles, kMoveFilesFromMedia});
  Set(ActionControl::kVerifyCopies).enabled =
      OneOf(t, {kMoveFiles, kCopyFiles, kMoveFilesFromMedia, kCopySubfolders, kMoveSubfolders});

  if (OneOf(t, {kMoveSubfolders, kCopySubfolders})) {
    Set(ActionControl::kContinuous).enabled = false;
    if (schedule == kScheduleContinuous) schedule = kScheduleInterval;
  }
  Set(ActionControl::kTimePicker).enabled = schedule == kScheduleTime;
  Set(ActionControl::kInterval).enabled = schedule == kScheduleInterval;
  Set(ActionControl::kCommand).enabled = schedule == kScheduleOnCommand;

  const bool plt = t == kCreateImageWithPlt;
  const bool sends = OneOf(t, {kMoveFiles, kCopyFiles, kCopySubfolders});
  const bool print = t == kPrintFiles;
  Set(ActionControl::kSendToApp) = {!plt && !print, sends};
  Set(ActionControl::kAppDetails) = {!plt && !print, sends && sendToApp};
  Set(ActionControl::kExeTimeLimit) = State(ActionControl::kAppDetails);
  // An upload's destination is a remote, chosen beside its other options, not a folder.
  Set(ActionControl::kUpload).enabled = t == kUploadFiles;
  if (t == kUploadFiles) Set(ActionControl::kDestFolder).enabled = false;
  Set(ActionControl::kPlt).visible = plt;
  Set(ActionControl::kPrint).visible = print;
  // Borderless needs a paper the printer offers without margins. While the printer's paper is not
  // known the stored choice stays as it is.
  const int paper = PaperIndexOf(printMedia);
  const bool offered = !printMedia.empty() && paper >= 0 && m_paper[size_t(paper)].borderless;
  if (m_media && !offered) printBorderless = false;
  Set(ActionControl::kBorderless) = {print, offered};

  const bool orientation = !OneOf(t, {kDeleteSubfolders, kMoveSubfolders, kCopySubfolders});
  Set(ActionControl::kSelectByOrientation).enabled = orientation;
  Set(ActionControl::kPortraitLandscape).enabled = orientation && selectByOrientation;
}

void ActionForm::SetQueueMedia(std::optional<QueueMedia> media) {
  m_media = std::move(media);
  m_paper.clear();
  std::string def = "Printer's default";
  if (m_media && !m_media->defaultMedia.empty()) def += " (" + ReadableMediaName(m_media->defaultMedia) + ")";
  m_paper.push_back({"", def, false});
  if (m_media) {
    for (const MediaSize& size : m_media->sizes)
      m_paper.push_back({size.name, ReadableMediaName(size.name), size.borderless});
  }
  Update();
}

int ActionForm::PaperIndexOf(const std::string& value) const {
  for (size_t i = 0; i < m_paper.size(); ++i) {
    if (m_paper[i].value == value) return static_cast<int>(i);
  }
  return -1;
}

std::string ActionForm::RenameSample() const {
  return renameFile ? m_rename.GetDisplayString() : std::string();
}

std::string ActionForm::SubfolderText() const {
  return createSubfolder ? m_subfolder.GetDisplayString() : std::string();
}

void ActionForm::ChooseFrequency(int chosen) {
  frequency = chosen;
  const unsigned component = chosen == kEveryHour    ? kHourComponent
                             : chosen == kEveryDay   ? kDayComponent
                             : chosen == kEveryMonth ? kMonthComponent
                                                     : 0;
  if (component != 0) {
    m_action.m_SubfolderTemplate.Clear();
    m_action.m_SubfolderTemplate.AddComponent(component);
    m_subfolder = m_action.m_SubfolderTemplate;
  }
  Update();
}

void ActionForm::ApplyCustomFields(const BriskoExifCustomMap& fields) {
  m_action.m_BriskoExifCustomActionFieldsMap = fields.Entries();
  BriskoExifCustomMap known(m_action.Host().Values().m_knownCustomFields);
  known.Merge(fields);
  m_action.Host().Values().m_knownCustomFields = known.Entries();
}

NamingContext ActionForm::PreviewContext() const {
  RunHost& host = m_action.Host();
  const StationValues& values = host.Values();
  NamingContext context;
  context.barcodes = values.m_strBarcodeInputsArray;
  context.operatorText = values.m_strOperatorSelectedText;
  // A move raises the counter before it names the file, so the next moved file gets the one after.
  const bool moves = type == kMoveFiles || type == kMoveFilesFromMedia;
  context.fileCounter = values.m_iFileCounter + (moves && values.m_iFileCounter < INT_MAX ? 1 : 0);
  context.batchCounter = values.m_iBatchCounter;
  SettingsStore* store = &host.Store();
  context.newBatchId = [store] {
    const int last = store->GetProfileInt("Actions", "m_iBatchID", 0);
    return last == INT_MAX ? 1 : last + 1;
  };
  context.now = host.Now();
  return context;
}

std::optional<FormMessage> ActionForm::ChooseApplication(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || ::access(path.c_str(), X_OK) != 0 ||
      (st.st_mode & (S_IXUSR | S_IXGRP | S_IXOTH)) == 0) {
    return FormMessage{"Select App", "'" + path +
                                         "' is not a program that can be started.\nPlease choose an "
                                         "executable file."};
  }
  appPath = path;
  return std::nullopt;
}

std::optional<FormMessage> ActionForm::Check() const {
  if (name.empty()) return Message("Please give the action a name.");
  if (enabled && IsCardSourceText(sourceFolder)) {
    // Cards come and go: only the destination can be tested now.
    if (!OneOf(type, {kMoveFiles, kCopyFiles, kMoveFilesFromMedia}))
      return Message("A card can only be the source of Copy Files, Move Files and Move Files from Media.");
    if (!FolderIsReadWrite(destFolder))
      return Message("Destination folder is invalid.  Please confirm you have read/write capability.");
  } else if (enabled && IsCameraSourceText(sourceFolder)) {
    // A camera is a card without a file system: the actions that take files from it.
    if (!OneOf(type, {kMoveFiles, kCopyFiles, kMoveFilesFromMedia}))
      return Message("A camera can only be the source of Copy Files, Move Files and Move Files from Media.");
    std::string why;
    const std::optional<CameraSource> camera = ParseCameraSource(sourceFolder, &why);
    if (!camera) return Message(("Source camera is invalid: " + why + ".").c_str());
    if (!FolderIsReadWrite(destFolder))
      return Message("Destination folder is invalid.  Please confirm you have read/write capability.");
    const std::string inside = TrimTrailingSeparators(camera->port.substr(camera->port.find(':') + 1)) + "/";
    if (camera->kind == CameraSource::Kind::Disk && (destFolder + "/").rfind(inside, 0) == 0)
      return Message("The destination folder cannot be contained within the source folder");
  } else if (enabled) {
    if (!FolderIsReadWrite(sourceFolder))
      return Message("Source folder is invalid.  Please confirm you have read/write capability.");
    // An upload's destination is an rclone remote; its passwords stay in rclone's configuration.
    if (type == kUploadFiles && !IsPlainRemote(destFolder))
      return Message(
          "The destination must be an rclone remote, as gallery:events/ (set up with rclone config).");
    if (type != kDeleteFiles && type != kUploadFiles && !FolderIsReadWrite(destFolder))
      return Message("Destination folder is invalid.  Please confirm you have read/write capability.");
    if (OneOf(type,
              {kMoveFiles, kCopyFiles, kMoveFilesFromMedia, kMoveSubfolders, kCopySubfolders, kPrintFiles})) {
      // "/in" and "/in/" are one folder: copying a folder into itself would duplicate every
      // file at each pass.
      const std::string source = TrimTrailingSeparators(sourceFolder);
      const std::string dest = TrimTrailingSeparators(destFolder);
      if (EqualsNoCase(source, dest)) return Message("The source and destination folders must be different");
      if (includeSubfolders && destFolder.find(sourceFolder) != std::string::npos)
        return Message("The destination folder cannot be contained within the source folder");
    }
  }
  if (renameFile && m_rename.GetDisplayString().empty())
    return Message("File Rename template must be defined.");
  if (createSubfolder && m_subfolder.GetDisplayString().empty())
    return Message("Create Subfolder template must be defined.");
  return std::nullopt;
}

std::optional<FormMessage> ActionForm::Ok(const std::function<void(Action&)>& armSchedule) {
  if (auto message = Check()) return message;
  WriteBack(armSchedule);
  return std::nullopt;
}

void ActionForm::WriteBack(const std::function<void(Action&)>& armSchedule) {
  Action& a = m_action;
  const bool fileOptions = OneOf(type, {kMoveFiles, kMoveFilesFromMedia});
  for (const ActionField& field : ActionFields()) {
    const bool kept = field.types == kAllActionTypes ||
                      (type >= 0 && type < kNumActionTypes && (field.types & TypeBit(type)) != 0);
    if (auto box = std::get_if<bool ActionForm::*>(&field.control))
      a.*std::get<int32_t Action::*>(field.member) = kept && this->*(*box);
    if (auto text = std::get_if<std::string ActionForm::*>(&field.control))
      a.*std::get<std::string Action::*>(field.member) = this->*(*text);
  }
  a.m_iType = type;
  a.m_SpatialAreaList = m_areas;
  a.m_iFileAge = ReadDecimal(fileAge);
  if (ageUnits >= 0) a.m_iFileAgeUnits = ageUnits;
  a.m_iLeaveMinFilecount = ReadDecimal(leaveMin);
  a.m_iPrintCopies = std::max(0, ReadDecimal(printCopies));
  a.m_iPrintMaxCopies = std::max(0, ReadDecimal(printMaxCopies));
  a.m_iUploadRateLimit = std::max(0, ReadDecimal(uploadRateLimit));
  a.m_iUploadLateMinutes = std::max(0, ReadDecimal(uploadLateMinutes));
  a.m_iExternalExeTimeLimit = std::max(0, ReadDecimal(exeTimeLimit));
  a.m_iPrintScaling = type == kPrintFiles && printScaling > 0 && printScaling < int(kScalingChoices.size())
                          ? printScaling
                          : 0;
  if (frequency >= 0) a.m_iCreateNewSubfolderFrequency = frequency;
  a.m_RenameTemplate = m_rename;
  a.m_SubfolderTemplate = m_subfolder;
  if (fileOptions) {
    a.m_bModifyReadOnlyAttribute = modifyReadOnly;
    if (modifyReadOnly) a.m_bMakeReadOnly = readOnlyOn;
  }
  a.m_iScheduleType = schedule >= 0 && schedule < kNumScheduleTypes ? schedule : kScheduleContinuous;
  const bool validTime = hour >= 0 && hour <= 23 && minute >= 0 && minute <= 59;
  a.m_uiScheduleTime = validTime ? static_cast<uint32_t>(hour) : 0xFFFFFFFFu;
  a.m_uiScheduleTimeMins = validTime ? static_cast<uint32_t>(minute) : 0xFFFFFFFFu;
  if (armSchedule) armSchedule(a);
  a.m_iuCommandIndex = commandIndex;
  const int32_t minutes = ReadDecimal(interval);
  a.m_uiRunInterval = minutes < 0 ? 0u : static_cast<uint32_t>(minutes);
  a.m_bSelectLandscape = landscape;
}

}  // namespace brisko
