#pragma once
// Backup of the settings subtree to an XML file and its restore.
//
// The file mirrors the store: one `k` element per key (attribute `name`), holding first one
// empty `v` element per value (attributes `name`, `value`, `type`) and then its subkeys. The
// outer `k` elements spell the root path ("HKEY_LOCAL_MACHINE", "SOFTWARE", company,
// application), so files stay interchangeable with every other station.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace brisko {

class SettingsStore;

// Receives each message the operation has for the user: the window shows a message box, the
// command line prints it to stderr.
using SettingsMessageSink = std::function<void(const std::string& text)>;

// Called once per key while a backup is written; the window dispatches one pending event
// there. Returning false (Escape pressed) stops the backup, which then fails.
using BackupPump = std::function<bool()>;

inline constexpr const char* kBackupFailedMessage = "Error backing up settings";
inline constexpr const char* kRestoreFailedMessage = "Error restoring settings";
inline constexpr const char* kRestoreSucceededMessage = "Settings restored successfully.";
inline constexpr const char* kRestoreQuestion =
    "Restoring settings from a backup will replace all existing actions and settings.\n"
    "Are you sure you want to do this?";
inline constexpr const char* kBackupFileFilter =
    "Brisko Workflow Backup (*.BriskoWorkflowBackup)|*.BriskoWorkflowBackup||";
inline constexpr const char* kBackupDefaultExtension = "BriskoWorkflowBackup";
inline constexpr const char* kBackupInitialName = "*.BriskoWorkflowBackup";

// Limits of what a restore accepts; far above anything a station writes (its keys are five
// levels deep, its files a few megabytes) and within what the registry itself allows.
inline constexpr size_t kMaxRestoreKeyDepth = 64;
inline constexpr size_t kMaxKeyNameLength = 255;
inline constexpr size_t kMaxValueNameLength = 16383;
inline constexpr uint64_t kMaxRestoreFileSize = uint64_t{64} << 20;

// Writes the subtree at `rootPath` ("HKEY_LOCAL_MACHINE\SOFTWARE\<company>\<application>",
// see SettingsStore::RootPath) to `fileName`. The file is built under a temporary name
// (mode 0600: it holds the password) and renamed into place only when complete, so a failed
// or cancelled backup never replaces an existing file. False when the root key does not
// exist, the file cannot be written or the pump cancelled; `reason` then says why.
bool BackupSettings(SettingsStore& store, const std::string& fileName, const std::string& rootPath,
                    const BackupPump& pump = {}, std::string* reason = nullptr);

// Writes the keys and values of a backup file into the store: adds and overwrites, never
// deletes. The file is checked completely before the first write, so a truncated, malformed
// or otherwise unusable file leaves the store untouched. A value whose text does not make
// data of its type is reported ("couldn't set value %s") and skipped. True when the file was
// read completely and every key could be opened or created. Messages go to `onMessage`
// (stderr when empty); the caller adds kRestoreFailedMessage or kRestoreSucceededMessage.
bool RestoreSettings(SettingsStore& store, const std::string& fileName,
                     const SettingsMessageSink& onMessage = {});

// The value text and type name a backup writes for one stored value; the type name is empty
// for plain text.
struct BackupValueText {
  std::string value;
  std::string type;
};
BackupValueText FormatBackupValue(uint32_t type, const std::string& data);

// The store type for a backup's type name (plain text for anything unknown or empty), and the
// data made from a value text; nullopt when the text does not make data of that type.
uint32_t ParseBackupType(const std::string& typeName);
std::optional<std::string> ParseBackupValue(uint32_t type, const std::string& text);

}  // namespace brisko
