#include "engine/action/action_fields.h"

#include "naming/brisko_exif_fields.h"
#include "naming/name_template.h"
#include "support/settings_store.h"

namespace brisko {

namespace {

using F = ActionField;

// The counters are the station's, stored in every action's section; the last section loaded wins.
const ActionPart kCounters{[](const Action& a, SettingsStore& store, const std::string& section) {
                             const StationValues& values = a.Host().Values();
                             store.WriteProfileInt(section, "m_iFileCounter", values.m_iFileCounter);
                             store.WriteProfileInt(section, "m_iBatchCounter", values.m_iBatchCounter);
                           },
                           [](Action& a, SettingsStore& store, const std::string& section) {
                             StationValues& values = a.Host().Values();
                             values.m_iFileCounter = store.GetProfileInt(section, "m_iFileCounter", 1);
                             values.m_iBatchCounter = store.GetProfileInt(section, "m_iBatchCounter", 1);
                           },
                           nullptr};

// After m_bRenameFile, which decides whether the rename template is stored.
const ActionPart kTemplates{
    [](const Action& a, SettingsStore& store, const std::string& section) {
      SaveActionTemplates(store, section, a.m_bRenameFile != 0, a.m_RenameTemplate, a.m_SubfolderTemplate);
    },
    [](Action& a, SettingsStore& store, const std::string& section) {
      LoadActionTemplates(store, section, a.m_bRenameFile != 0, a.m_RenameTemplate, a.m_SubfolderTemplate);
    },
    [](Action& a, const Action& other) {
      a.m_SubfolderTemplate = other.m_SubfolderTemplate;
      a.m_RenameTemplate = other.m_RenameTemplate;
    }};

// Older releases stored only "remove read-only"; it meant "modify, make read-only". Loaded
// after the two values it translates; nothing of its own to save or copy.
const ActionPart kOlderReadOnly{nullptr,
                                [](Action& a, SettingsStore& store, const std::string& section) {
                                  if (store.GetProfileInt(section, "m_bRemoveReadOnlyAttribute", 0) == 0)
                                    return;
                                  a.m_bModifyReadOnlyAttribute =
                                      store.GetProfileInt(section, "m_bModifyReadOnlyAttribute", 3);
                                  if (a.m_bModifyReadOnlyAttribute == 3)
                                    a.m_bModifyReadOnlyAttribute = a.m_bMakeReadOnly = 1;
                                },
                                nullptr};

const ActionPart kCustomFields{
    [](const Action& a, SettingsStore& store, const std::string& section) {
      SaveActionCustomFields(store, section, BriskoExifCustomMap(a.m_BriskoExifCustomActionFieldsMap));
    },
    [](Action& a, SettingsStore& store, const std::string& section) {
      StationValues& values = a.Host().Values();
      BriskoExifCustomMap fields;
      BriskoExifCustomMap known(values.m_knownCustomFields);
      LoadActionCustomFields(store, section, fields, known);
      a.m_BriskoExifCustomActionFieldsMap = fields.Entries();
      values.m_knownCustomFields = known.Entries();
    },
    [](Action& a, const Action& other) {
      a.m_BriskoExifCustomActionFieldsMap = other.m_BriskoExifCustomActionFieldsMap;
    }};

const ActionPart kAreas{
    [](const Action& a, SettingsStore& store, const std::string& section) {
      a.m_SpatialAreaList.Save(store, section);
    },
    [](Action& a, SettingsStore& store, const std::string& section) {
      a.m_SpatialAreaList.Load(store, section);
    },
    [](Action& a, const Action& other) { a.m_SpatialAreaList.CopyFrom(other.m_SpatialAreaList); }};

constexpr ActionTypes kFileOptionTypes = TypeBit(kMoveFiles) | TypeBit(kMoveFilesFromMedia);
constexpr ActionTypes kCheckedCopyTypes = TypeBit(kMoveFiles) | TypeBit(kCopyFiles) |
                                          TypeBit(kMoveFilesFromMedia) | TypeBit(kCopySubfolders) |
                                          TypeBit(kMoveSubfolders);

const ActionField kFields[] = {
    {.key = "m_iType", .member = &Action::m_iType, .fresh = kMoveFiles},
    {.key = "m_strName", .member = &Action::m_strName, .storedText = nullptr, .control = &ActionForm::name},
    // A new action's folders are the temp folder (see the constructor).
    {.key = "m_strSourceFolder", .member = &Action::m_strSourceFolder, .control = &ActionForm::sourceFolder},
    {.key = "m_strDestFolder", .member = &Action::m_strDestFolder, .control = &ActionForm::destFolder},
    {.key = "m_strFileSpec",
     .member = &Action::m_strFileSpec,
     .freshText = "*.*",
     .control = &ActionForm::fileSpec},
    {.key = "m_strFileSpecExclude",
     .member = &Action::m_strFileSpecExclude,
     .control = &ActionForm::fileSpecExclude},
    {.key = "m_bUseRegexFilespec", .member = &Action::m_bUseRegexFilespec, .control = &ActionForm::useRegex},
    {.key = "m_iFileAge", .member = &Action::m_iFileAge},
    {.key = "m_iFileAgeUnits", .member = &Action::m_iFileAgeUnits, .fresh = kAgeMinutes},
    {.key = "m_iLeaveMinFilecount", .member = &Action::m_iLeaveMinFilecount},
    {.key = "m_bRenameFile", .member = &Action::m_bRenameFile, .control = &ActionForm::renameFile},
    {.key = "m_bCreateNewSubfolder",
     .member = &Action::m_bCreateNewSubfolder,
     .control = &ActionForm::createSubfolder},
    {.key = "m_iCreateNewSubfolderFrequency",
     .member = &Action::m_iCreateNewSubfolderFrequency,
     .fresh = kEveryDay},
    {.key = "m_iFileCounter, m_iBatchCounter", .member = kCounters},
    {.key = "m_bEnabled",
     .member = &Action::m_bEnabled,
     .fresh = 1,
     .stored = 1,
     .control = &ActionForm::enabled},
    {.key = "templates", .member = kTemplates},
    {.key = "m_bDisplayIdTxtContents",
     .member = &Action::m_bDisplayIdTxtContents,
     .types = TypeBit(kMoveFilesFromMedia),
     .control = &ActionForm::displayIdTxt},
    {.key = "m_bCreateIDTxtFile",
     .member = &Action::m_bCreateIDTxtFile,
     .types = TypeBit(kMoveFilesFromMedia),
     .control = &ActionForm::createIdTxt},
    {.key = "m_bUpdateFileTimestamp",
     .member = &Action::m_bUpdateFileTimestamp,
     .types = kFileOptionTypes,
     .control = &ActionForm::updateTimestamp},
    {.key = "m_bModifyReadOnlyAttribute", .member = &Action::m_bModifyReadOnlyAttribute},
    {.key = "m_bMakeReadOnly", .member = &Action::m_bMakeReadOnly},
    {.key = "m_bRemoveReadOnlyAttribute", .member = kOlderReadOnly},
    {.key = "m_iScheduleType", .member = &Action::m_iScheduleType, .fresh = kScheduleContinuous},
    {.key = "m_uiScheduleTime", .member = &Action::m_uiScheduleTime},
    {.key = "m_uiScheduleTimeMins", .member = &Action::m_uiScheduleTimeMins},
    {.key = "m_iuCommandIndex", .member = &Action::m_iuCommandIndex},
    {.key = "m_bUseExternalExe", .member = &Action::m_bUseExternalExe, .control = &ActionForm::sendToApp},
    {.key = "m_bUseExternalArgs", .member = &Action::m_bUseExternalArgs, .control = &ActionForm::includeArgs},
    {.key = "m_bAppendArgs", .member = &Action::m_bAppendArgs, .control = &ActionForm::followInfile},
    {.key = "m_strExternalExeFilepath",
     .member = &Action::m_strExternalExeFilepath,
     .control = &ActionForm::appPath},
    {.key = "m_strExternalExeArgs", .member = &Action::m_strExternalExeArgs, .control = &ActionForm::args},
    {.key = "m_iExternalExeTimeLimit", .member = &Action::m_iExternalExeTimeLimit},
    {.key = "m_bAutoRotateJPG", .member = &Action::m_bAutoRotateJPG, .control = &ActionForm::autoRotate},
    {.key = "m_bAutoRotateUseSubfolder",
     .member = &Action::m_bAutoRotateUseSubfolder,
     .control = &ActionForm::rotatedFolder},
    {.key = "m_bAddOrUpdateBriskoExif",
     .member = &Action::m_bAddOrUpdateBriskoExif,
     .control = &ActionForm::addBriskoExif},
    {.key = "m_BriskoExifCustomActionFieldsMap", .member = kCustomFields},
    {.key = "m_bSelectByOrientation",
     .member = &Action::m_bSelectByOrientation,
     .control = &ActionForm::selectByOrientation},
    // The editor's portrait/landscape pair reads only 1 as landscape: not a plain check box.
    {.key = "m_bSelectLandscape", .member = &Action::m_bSelectLandscape},
    {.key = "m_uiRunInterval", .member = &Action::m_uiRunInterval, .fresh = 60},
    {.key = "m_bIncludeSubFolders",
     .member = &Action::m_bIncludeSubFolders,
     .control = &ActionForm::includeSubfolders},
    {.key = "m_bDeleteEmptyFoldersOnly",
     .member = &Action::m_bDeleteEmptyFoldersOnly,
     .control = &ActionForm::deleteEmptyOnly},
    {.key = "m_SpatialAreaPtrList", .member = kAreas},
    {.key = "m_strBriskoPltFilepath",
     .member = &Action::m_strBriskoPltFilepath,
     .control = &ActionForm::pltPath},
    {.key = "m_bOverwriteExistingFiles",
     .member = &Action::m_bOverwriteExistingFiles,
     .control = &ActionForm::overwrite},
    {.key = "m_strPrintQueue", .member = &Action::m_strPrintQueue, .control = &ActionForm::printQueue},
    {.key = "m_iPrintCopies", .member = &Action::m_iPrintCopies, .fresh = 1, .stored = 1},
    {.key = "m_iPrintMaxCopies", .member = &Action::m_iPrintMaxCopies, .fresh = 10, .stored = 10},
    {.key = "m_strPrintMedia", .member = &Action::m_strPrintMedia, .control = &ActionForm::printMedia},
    // Off unless set: the actions list's Add turns it on for an action made in the editor.
    {.key = "m_bKeepShotsTogether",
     .member = &Action::m_bKeepShotsTogether,
     .types = TypeBit(kMoveFiles) | TypeBit(kCopyFiles) | TypeBit(kMoveFilesFromMedia),
     .control = &ActionForm::keepShotsTogether},
    {.key = "m_bVerifyCopies",
     .member = &Action::m_bVerifyCopies,
     .types = kCheckedCopyTypes,
     .control = &ActionForm::verifyCopies},
    {.key = "m_iPrintScaling", .member = &Action::m_iPrintScaling, .types = TypeBit(kPrintFiles)},
    {.key = "m_bPrintBorderless",
     .member = &Action::m_bPrintBorderless,
     .types = TypeBit(kPrintFiles),
     .control = &ActionForm::printBorderless},
    {.key = "m_iUploadRateLimit", .member = &Action::m_iUploadRateLimit, .types = TypeBit(kUploadFiles)},
    {.key = "m_iUploadLateMinutes",
     .member = &Action::m_iUploadLateMinutes,
     .fresh = 30,
     .stored = 30,
     .types = TypeBit(kUploadFiles)},
    {.key = "m_bUploadInPlace",
     .member = &Action::m_bUploadInPlace,
     .types = TypeBit(kUploadFiles),
     .control = &ActionForm::uploadInPlace},
};

}  // namespace

std::span<const ActionField> ActionFields() {
  return kFields;
}

}  // namespace brisko
