// Restores arbitrary bytes as a settings backup into a scratch store (in /dev/shm), then
// checks that whatever was restored survives a backup and a second restore: the second
// generation must restore cleanly and reproduce itself exactly.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "scheduler/backup_restore.h"
#include "support/settings_store.h"

namespace {

constexpr const char* kHives[] = {"HKEY_CLASSES_ROOT", "HKEY_CURRENT_USER", "HKEY_LOCAL_MACHINE",
                                  "HKEY_USERS", "HKEY_CURRENT_CONFIG"};

std::string ScratchDir() {
  std::string dir = "/dev/shm/restore_settings_fuzz." + std::to_string(getpid());
  mkdir(dir.c_str(), 0700);
  return dir;
}

void Clear(brisko::SettingsStore& store) {
  for (const char* hive : kHives)
    if (store.KeyExists(hive)) store.DeleteKeyTree(hive);
}

void Dump(brisko::SettingsStore& store, const std::string& path, std::string& out) {
  out += "K " + path + "\n";
  for (const auto& v : store.EnumValues(path))
    out += "V " + v.name + " " + std::to_string(v.type) + " [" + v.data + "]\n";
  for (const auto& k : store.EnumSubKeys(path)) Dump(store, path + "\\" + k, out);
}

std::string Dump(brisko::SettingsStore& store) {
  std::string out;
  for (const char* hive : kHives)
    if (store.KeyExists(hive)) Dump(store, hive, out);
  return out;
}

// Backs up every hive of `from` into one file each and restores them all into `to`.
bool CopyThroughBackup(brisko::SettingsStore& from, brisko::SettingsStore& to, const std::string& dir) {
  const auto quiet = [](const std::string&) {};
  for (const char* hive : kHives) {
    if (!from.KeyExists(hive)) continue;
    const std::string file = dir + "/" + hive + ".BriskoWorkflowBackup";
    if (!brisko::BackupSettings(from, file, hive)) return false;
    if (!brisko::RestoreSettings(to, file, quiet)) return false;
    unlink(file.c_str());
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string dir = ScratchDir();
  static brisko::SettingsStore first, second, third;
  static const bool opened =
      first.Open(dir + "/first.db") && second.Open(dir + "/second.db") && third.Open(dir + "/third.db");
  if (!opened) std::abort();
  Clear(first);
  Clear(second);
  Clear(third);

  const std::string input = dir + "/input.BriskoWorkflowBackup";
  std::FILE* f = std::fopen(input.c_str(), "wb");
  if (!f) return 0;
  std::fwrite(data, 1, size, f);
  std::fclose(f);

  std::vector<std::string> messages;
  const bool restored =
      brisko::RestoreSettings(first, input, [&](const std::string& m) { messages.push_back(m); });
  // A failure always says why; a refused file leaves the store untouched.
  if (!restored && messages.empty()) std::abort();
  if (!restored && !Dump(first).empty()) std::abort();

  if (!CopyThroughBackup(first, second, dir)) std::abort();
  if (!CopyThroughBackup(second, third, dir)) std::abort();
  if (Dump(second) != Dump(third)) std::abort();
  return 0;
}
