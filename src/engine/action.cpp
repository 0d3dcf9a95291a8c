#include "engine/action.h"

#include <cstdio>

#include "engine/selection_cache.h"
#include "naming/brisko_exif_fields.h"
#include "support/settings_store.h"

namespace brisko {

namespace {

const char* const kActionTypeNames[kNumActionTypes] = {
    "Delete Files",      "Move Files",      "Copy Files",      "Move Files from Media",
    "Delete Subfolders", "Move Subfolders", "Copy Subfolders", "Create Image with PLT"};

const char* const kScheduleNames[kNumScheduleTypes] = {"Continuous", "Shutdown",   "Time",        "Interval",
                                                       "Startup",    "On Command", "Barcode Scan"};

const char* const kScheduleCaptions[kNumScheduleTypes] = {
    "Continuous", "At Shutdown", "At this Time:",  "At this Interval:",
    "At Start",   "On Command:", "Barcode Scanned"};

const char* const kAgeUnitNames[] = {"mins", "hours", "days", "secs"};
const char* const kFrequencyNames[] = {"hour", "day", "month", "use template"};

// Takes the next per-action timer id, never one of the station's own ids.
uint32_t TakeTimerId(StationValues& values) {
  uint32_t id;
  do {
    id = values.g_uiNextActionTimerId++;
  } while (id < kFirstActionTimerId || id == kRunLoopTimerId);
  return id;
}

}  // namespace

const char* ActionTypeName(int type) {
  return type >= 0 && type < kNumActionTypes ? kActionTypeNames[type] : "Undefined action";
}

const char* ScheduleTypeName(int type) {
  return type >= 0 && type < kNumScheduleTypes ? kScheduleNames[type] : "";
}

const char* ScheduleTypeCaption(int type) {
  return type >= 0 && type < kNumScheduleTypes ? kScheduleCaptions[type] : "";
}

const char* FileAgeUnitsName(int units) {
  return units >= 0 && units < 4 ? kAgeUnitNames[units] : "";
}

const char* SubfolderFrequencyName(int frequency) {
  return frequency >= 0 && frequency < 4 ? kFrequencyNames[frequency] : "";
}

std::string ActionSectionName(int index) {
  return "Action_" + std::to_string(index);
}

Action::Action(RunHost& host) : m_host(&host) {
  m_SubfolderTemplate.AddComponent(2);
  m_strSourceFolder = GetTempFolder();
  m_strDestFolder = m_strSourceFolder;
  m_uiTimerId = TakeTimerId(host.Values());
}

Action::~Action() {
  if (m_uiTimerHandle != 0) m_host->KillActionTimer(m_uiTimerHandle);
}

int Action::Save(int index) {
  SettingsStore& store = m_host->Store();
  StationValues& values = m_host->Values();
  const std::string section = ActionSectionName(index);
  auto putInt = [&](const char* name, int64_t value) {
    store.WriteProfileInt(section, name, static_cast<int>(static_cast<uint32_t>(value)));
  };
  auto putText = [&](const char* name, const std::string& text) {
    store.WriteProfileString(section, name, text);
  };

  putInt("m_iType", m_iType);
  putText("m_strName", m_strName);
  putText("m_strSourceFolder", m_strSourceFolder);
  putText("m_strDestFolder", m_strDestFolder);
  putText("m_strFileSpec", m_strFileSpec);
  putText("m_strFileSpecExclude", m_strFileSpecExclude);
  putInt("m_bUseRegexFilespec", m_bUseRegexFilespec);
  putInt("m_iFileAge", m_iFileAge);
  putInt("m_iFileAgeUnits", m_iFileAgeUnits);
  putInt("m_iLeaveMinFilecount", m_iLeaveMinFilecount);
  putInt("m_bRenameFile", m_bRenameFile);
  putInt("m_bCreateNewSubfolder", m_bCreateNewSubfolder);
  putInt("m_iCreateNewSubfolderFrequency", m_iCreateNewSubfolderFrequency);
  putInt("m_iFileCounter", values.m_iFileCounter);
  putInt("m_iBatchCounter", values.m_iBatchCounter);
  putInt("m_bEnabled", m_bEnabled);
  SaveActionTemplates(store, section, m_bRenameFile != 0, m_RenameTemplate, m_SubfolderTemplate);
  putInt("m_bDisplayIdTxtContents", m_bDisplayIdTxtContents);
  putInt("m_bCreateIDTxtFile", m_bCreateIDTxtFile);
  putInt("m_bUpdateFileTimestamp", m_bUpdateFileTimestamp);
  putInt("m_bModifyReadOnlyAttribute", m_bModifyReadOnlyAttribute);
  putInt("m_bMakeReadOnly", m_bMakeReadOnly);
  putInt("m_iScheduleType", m_iScheduleType);
  putInt("m_uiScheduleTime", m_uiScheduleTime);
  putInt("m_uiScheduleTimeMins", m_uiScheduleTimeMins);
  putInt("m_iuCommandIndex", m_iuCommandIndex);
  putInt("m_bUseExternalExe", m_bUseExternalExe);
  putInt("m_bUseExternalArgs", m_bUseExternalArgs);
  putInt("m_bAppendArgs", m_bAppendArgs);
  putText("m_strExternalExeFilepath", m_strExternalExeFilepath);
  putText("m_strExternalExeArgs", m_strExternalExeArgs);
  putInt("m_bAutoRotateJPG", m_bAutoRotateJPG);
  putInt("m_bAutoRotateUseSubfolder", m_bAutoRotateUseSubfolder);
  putInt("m_bAddOrUpdateBriskoExif", m_bAddOrUpdateBriskoExif);
  SaveActionCustomFields(store, section, BriskoExifCustomMap(m_BriskoExifCustomActionFieldsMap));
  putInt("m_bSelectByOrientation", m_bSelectByOrientation);
  putInt("m_bSelectLandscape", m_bSelectLandscape);
  putInt("m_uiRunInterval", m_uiRunInterval);
  putInt("m_bIncludeSubFolders", m_bIncludeSubFolders);
  putInt("m_bDeleteEmptyFoldersOnly", m_bDeleteEmptyFoldersOnly);
  m_SpatialAreaList.Save(store, section);
  putText("m_strBriskoPltFilepath", m_strBriskoPltFilepath);
  putInt("m_bOverwriteExistingFiles", m_bOverwriteExistingFiles);
  return 1;
}

int Action::Load(int index) {
  SettingsStore& store = m_host->Store();
  StationValues& values = m_host->Values();
  const std::string section = ActionSectionName(index);
  auto getInt = [&](const char* name, int def) { return store.GetProfileInt(section, name, def); };
  auto getUint = [&](const char* name) {
    return static_cast<uint32_t>(store.GetProfileInt(section, name, 0));
  };
  auto getText = [&](const char* name, const std::string& def = std::string()) {
    return store.GetProfileString(section, name, def);
  };

  m_iType = getInt("m_iType", 0);
  m_strName = getText("m_strName", section);
  m_strSourceFolder = getText("m_strSourceFolder");
  m_strDestFolder = getText("m_strDestFolder");
  m_strFileSpec = getText("m_strFileSpec");
  m_strFileSpecExclude = getText("m_strFileSpecExclude");
  m_bUseRegexFilespec = getInt("m_bUseRegexFilespec", 0);
  m_iFileAge = getInt("m_iFileAge", 0);
  m_iFileAgeUnits = getInt("m_iFileAgeUnits", 0);
  m_iLeaveMinFilecount = getInt("m_iLeaveMinFilecount", 0);
  m_bRenameFile = getInt("m_bRenameFile", 0);
  m_bCreateNewSubfolder = getInt("m_bCreateNewSubfolder", 0);
  m_iCreateNewSubfolderFrequency = getInt("m_iCreateNewSubfolderFrequency", 0);
  values.m_iFileCounter = getInt("m_iFileCounter", 1);
  values.m_iBatchCounter = getInt("m_iBatchCounter", 1);
  m_bEnabled = getInt("m_bEnabled", 1);
  LoadActionTemplates(store, section, m_bRenameFile != 0, m_RenameTemplate, m_SubfolderTemplate);
  m_bDisplayIdTxtContents = getInt("m_bDisplayIdTxtContents", 0);
  m_bCreateIDTxtFile = getInt("m_bCreateIDTxtFile", 0);
  m_bUpdateFileTimestamp = getInt("m_bUpdateFileTimestamp", 0);
  // Older releases stored only "remove read-only"; it meant "modify, make read-only".
  bool readOnlyDone = false;
  if (getInt("m_bRemoveReadOnlyAttribute", 0) != 0) {
    m_bModifyReadOnlyAttribute = getInt("m_bModifyReadOnlyAttribute", 3);
    if (m_bModifyReadOnlyAttribute == 3) {
      m_bModifyReadOnlyAttribute = 1;
      m_bMakeReadOnly = 1;
      readOnlyDone = true;
    } else {
      m_bMakeReadOnly = getInt("m_bMakeReadOnly", 0);
      readOnlyDone = true;
    }
  }
  if (!readOnlyDone) {
    m_bModifyReadOnlyAttribute = getInt("m_bModifyReadOnlyAttribute", 0);
    m_bMakeReadOnly = getInt("m_bMakeReadOnly", 0);
  }
  m_iScheduleType = getInt("m_iScheduleType", 0);
  m_uiScheduleTime = getUint("m_uiScheduleTime");
  m_uiScheduleTimeMins = getUint("m_uiScheduleTimeMins");
  m_iuCommandIndex = getInt("m_iuCommandIndex", 0);
  m_bUseExternalExe = getInt("m_bUseExternalExe", 0);
  m_bUseExternalArgs = getInt("m_bUseExternalArgs", 0);
  m_bAppendArgs = getInt("m_bAppendArgs", 0);
  m_strExternalExeFilepath = getText("m_strExternalExeFilepath");
  m_strExternalExeArgs = getText("m_strExternalExeArgs");
  m_bAutoRotateJPG = getInt("m_bAutoRotateJPG", 0);
  m_bAutoRotateUseSubfolder = getInt("m_bAutoRotateUseSubfolder", 0);
  m_bAddOrUpdateBriskoExif = getInt("m_bAddOrUpdateBriskoExif", 0);
  {
    BriskoExifCustomMap fields;
    BriskoExifCustomMap known(values.m_knownCustomFields);
    LoadActionCustomFields(store, section, fields, known);
    m_BriskoExifCustomActionFieldsMap = fields.Entries();
    values.m_knownCustomFields = known.Entries();
  }
  m_bSelectByOrientation = getInt("m_bSelectByOrientation", 0);
  m_bSelectLandscape = getInt("m_bSelectLandscape", 0);
  m_uiRunInterval = getUint("m_uiRunInterval");
  m_bIncludeSubFolders = getInt("m_bIncludeSubFolders", 0);
  m_bDeleteEmptyFoldersOnly = getInt("m_bDeleteEmptyFoldersOnly", 0);
  m_SpatialAreaList.Load(store, section);
  m_strBriskoPltFilepath = getText("m_strBriskoPltFilepath");
  m_bOverwriteExistingFiles = getInt("m_bOverwriteExistingFiles", 0);
  return 1;
}

void Action::CopyFrom(const Action& other) {
  m_iType = other.m_iType;
  m_strName = other.m_strName;
  m_strSourceFolder = other.m_strSourceFolder;
  m_strDestFolder = other.m_strDestFolder;
  m_strFileSpec = other.m_strFileSpec;
  m_strFileSpecExclude = other.m_strFileSpecExclude;
  m_bUseRegexFilespec = other.m_bUseRegexFilespec;
  m_iFileAge = other.m_iFileAge;
  m_iFileAgeUnits = other.m_iFileAgeUnits;
  m_iLeaveMinFilecount = other.m_iLeaveMinFilecount;
  m_bDisplayIdTxtContents = other.m_bDisplayIdTxtContents;
  m_bCreateIDTxtFile = other.m_bCreateIDTxtFile;
  m_bCreateNewSubfolder = other.m_bCreateNewSubfolder;
  m_iCreateNewSubfolderFrequency = other.m_iCreateNewSubfolderFrequency;
  m_SubfolderTemplate = other.m_SubfolderTemplate;
  m_RenameTemplate = other.m_RenameTemplate;
  m_bRenameFile = other.m_bRenameFile;
  m_bEnabled = other.m_bEnabled;
  m_bUpdateFileTimestamp = other.m_bUpdateFileTimestamp;
  m_bModifyReadOnlyAttribute = other.m_bModifyReadOnlyAttribute;
  m_bMakeReadOnly = other.m_bMakeReadOnly;
  m_iScheduleType = other.m_iScheduleType;
  m_uiScheduleTime = other.m_uiScheduleTime;
  m_uiScheduleTimeMins = other.m_uiScheduleTimeMins;
  m_uiRunInterval = other.m_uiRunInterval;
  m_iuCommandIndex = other.m_iuCommandIndex;
  m_strExternalExeFilepath = other.m_strExternalExeFilepath;
  m_strExternalExeArgs = other.m_strExternalExeArgs;
  m_bUseExternalExe = other.m_bUseExternalExe;
  m_bUseExternalArgs = other.m_bUseExternalArgs;
  m_bAppendArgs = other.m_bAppendArgs;
  m_bAutoRotateJPG = other.m_bAutoRotateJPG;
  m_bAutoRotateUseSubfolder = other.m_bAutoRotateUseSubfolder;
  m_bAddOrUpdateBriskoExif = other.m_bAddOrUpdateBriskoExif;
  m_BriskoExifCustomActionFieldsMap = other.m_BriskoExifCustomActionFieldsMap;
  m_bSelectByOrientation = other.m_bSelectByOrientation;
  m_bSelectLandscape = other.m_bSelectLandscape;
  m_bIncludeSubFolders = other.m_bIncludeSubFolders;
  m_bDeleteEmptyFoldersOnly = other.m_bDeleteEmptyFoldersOnly;
  m_SpatialAreaList.CopyFrom(other.m_SpatialAreaList);
  m_strBriskoPltFilepath = other.m_strBriskoPltFilepath;
  m_bOverwriteExistingFiles = other.m_bOverwriteExistingFiles;
  m_pIdTxt = nullptr;
}

std::string Action::GetTypeName() const {
  return ActionTypeName(m_iType);
}

std::string Action::GetDescription() const {
  return m_strName + " (" + GetTypeName() + ")";
}

void Action::LogMessage(const std::string& text) const {
  m_host->AddToLog(GetDescription() + " " + text);
}

}  // namespace brisko
