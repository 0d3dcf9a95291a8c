#pragma once
// What an action stores and the editor edits: its type, folders, file tests, naming, schedule
// and type options. A run reads them through a const view; field names are also the value names
// in the action's store section.
#include <cstdint>
#include <map>
#include <string>

#include "imagemeta/gps_area.h"
#include "naming/brisko_exif_fields.h"
#include "naming/name_template.h"

namespace brisko {

enum ActionType : int32_t {
  kDeleteFiles = 0,
  kMoveFiles = 1,
  kCopyFiles = 2,
  kMoveFilesFromMedia = 3,
  kDeleteSubfolders = 4,
  kMoveSubfolders = 5,
  kCopySubfolders = 6,
  kCreateImageWithPlt = 7,
  kPrintFiles = 8,
  kUploadFiles = 9,
};
inline constexpr int kNumActionTypes = 10;

enum ScheduleType : int32_t {
  kScheduleContinuous = 0,
  kScheduleShutdown = 1,
  kScheduleTime = 2,
  kScheduleInterval = 3,
  kScheduleStartup = 4,
  kScheduleOnCommand = 5,
  kScheduleBarcodeScan = 6,
};
inline constexpr int kNumScheduleTypes = 7;

// File age units (m_iFileAgeUnits) and subfolder frequencies (m_iCreateNewSubfolderFrequency).
enum FileAgeUnits : int32_t { kAgeMinutes = 0, kAgeHours = 1, kAgeDays = 2, kAgeSeconds = 3 };
enum SubfolderFrequency : int32_t { kEveryHour = 0, kEveryDay = 1, kEveryMonth = 2, kUseTemplate = 3 };

// "Delete Files" .. "Print Files"; "Undefined action" for any other value.
const char* ActionTypeName(int type);
// "Continuous" .. "Barcode Scan"; "" for any other value.
const char* ScheduleTypeName(int type);
// The editor's radio captions: "Continuous", "At Shutdown", "At this Time:", ...
const char* ScheduleTypeCaption(int type);
// "mins", "hours", "days", "secs"; "" for any other value.
const char* FileAgeUnitsName(int units);
// "hour", "day", "month", "use template"; "" for any other value.
const char* SubfolderFrequencyName(int frequency);

// Section name of the action at a list index: "Action_%d".
std::string ActionSectionName(int index);

// The file age in the unit's own range: minutes and seconds up to 59, hours up to 23.
int32_t CappedFileAge(int32_t age, int32_t units);

struct ActionSettings {
  std::string GetTypeName() const;
  std::string GetDescription() const;  // name + " (" + type name + ")"

  // Store value names; their defaults and store order are in the field table (action_fields.cpp).
  int32_t m_iType;
  std::string m_strName;
  std::string m_strSourceFolder;
  std::string m_strDestFolder;
  std::string m_strFileSpec;
  std::string m_strFileSpecExclude;
  int32_t m_bUseRegexFilespec;
  int32_t m_iFileAge;
  int32_t m_iFileAgeUnits;
  int32_t m_iLeaveMinFilecount;
  int32_t m_bDisplayIdTxtContents;
  int32_t m_bCreateIDTxtFile;
  int32_t m_bCreateNewSubfolder;
  int32_t m_iCreateNewSubfolderFrequency;
  NameTemplate m_SubfolderTemplate{TemplateKind::kSubfolder};  // a new action's: component 2, current date
  NameTemplate m_RenameTemplate{TemplateKind::kRename};
  int32_t m_bRenameFile;
  int32_t m_bEnabled;
  int32_t m_bUpdateFileTimestamp;
  int32_t m_bModifyReadOnlyAttribute;
  int32_t m_bMakeReadOnly;
  int32_t m_iScheduleType;
  uint32_t m_uiScheduleTime;      // hour; 0xFFFFFFFF when the editor held no valid time
  uint32_t m_uiScheduleTimeMins;  // minute; as above
  uint32_t m_uiRunInterval;       // minutes
  int32_t m_iuCommandIndex;       // 0 to 19
  std::string m_strExternalExeFilepath;
  std::string m_strExternalExeArgs;
  int32_t m_bUseExternalExe;
  int32_t m_bUseExternalArgs;
  int32_t m_bAppendArgs;
  int32_t m_iExternalExeTimeLimit;  // seconds a program may run before it is ended; 0: no limit
  int32_t m_bAutoRotateJPG;
  int32_t m_bAutoRotateUseSubfolder;
  int32_t m_bAddOrUpdateBriskoExif;
  std::map<std::string, std::string> m_BriskoExifCustomActionFieldsMap;
  int32_t m_bSelectByOrientation;
  int32_t m_bSelectLandscape;
  int32_t m_bIncludeSubFolders;
  int32_t m_bDeleteEmptyFoldersOnly;
  SpatialAreaList m_SpatialAreaList;  // GPS filter areas; none: no GPS test
  std::string m_strBriskoPltFilepath;
  int32_t m_bOverwriteExistingFiles;
  std::string m_strPrintQueue;  // a CUPS queue; empty: the default destination
  int32_t m_iPrintCopies;       // 0: the photo's barcode Quantity value
  int32_t m_iPrintMaxCopies;    // 0: no cap
  std::string m_strPrintMedia;  // an IPP media name; empty: the queue's default
  int32_t m_iPrintScaling;      // PrintScaling: the printer's own choice, fit or fill
  int32_t m_bPrintBorderless;   // zero margins, where the queue offers them for the paper
  // RAW+JPEG pairs and their sidecars move, rename and file as one.
  int32_t m_bKeepShotsTogether;
  // Each copy is read back from the disk and compared by hash before it counts (and before a
  // move removes its source).
  int32_t m_bVerifyCopies;
  int32_t m_iUploadRateLimit;    // KiB per second while this action sends; 0: no limit
  int32_t m_iUploadLateMinutes;  // a photo waiting longer turns the board amber; 0: never
  // Writes straight under the final names, not a hidden name renamed into place: as fast as a
  // plain rclone copy where the server renames slowly, but a photo shows half-written meanwhile.
  int32_t m_bUploadInPlace;
};

}  // namespace brisko
