#pragma once
// The hierarchical settings store: registry-like keys with typed values, kept in one SQLite
// file. Keys are addressed by their full path text
// ("HKEY_LOCAL_MACHINE\SOFTWARE\Brisko Pty Ltd\BriskoFileWorkflow\Actions") so that backup
// files stay interchangeable with other stations. No cache: every call reads the file, so a
// change made by another process is seen at the next call.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct sqlite3;

namespace brisko {

// Value type numbers as the registry numbers them; kept so a restored backup keeps its types.
enum RegType : uint32_t {
  kRegNone = 0,
  kRegSz = 1,
  kRegExpandSz = 2,
  kRegBinary = 3,
  kRegDword = 4,
  kRegDwordBigEndian = 5,
  kRegLink = 6,
  kRegMultiSz = 7,
  kRegResourceList = 8,
  kRegFullResourceDescriptor = 9,
  kRegResourceRequirementsList = 10,
  kRegQword = 11,
};

// Limits of the list counts read from the store or a backup ("NumActions", "NumStrings" and
// the "..._count" values): far above any real station, so a damaged or hand-edited count can
// never make loading walk billions of missing entries.
inline constexpr int kMaxStoredActions = 1000;
inline constexpr int kMaxStoredListCount = 10000;
// The limit of a count value by its name; 0 for a value that is no count.
int StoredCountLimit(const std::string& valueName);

struct RegValue {
  std::string name;  // "" is the key's default value
  uint32_t type = kRegNone;
  std::string data;  // raw bytes; REG_SZ includes its terminating zero byte
};

class SettingsStore {
 public:
  SettingsStore();
  ~SettingsStore();
  SettingsStore(const SettingsStore&) = delete;
  SettingsStore& operator=(const SettingsStore&) = delete;

  // Opens the database file, or creates it (mode 0600, missing parent folders created) when
  // `creation` allows; `report` then receives "Created a new settings store at PATH". A
  // missing file with creation refused, or a file that is not an SQLite database at all (a
  // backup or a photo passed by mistake), is refused and left as it is. An SQLite file that
  // fails to open or its integrity check is moved aside under "<path>.corrupt-YYYYMMDD-HHMMSS"
  // and a fresh store started. `report` receives one line for each of these (the caller logs
  // it and prints it to stderr). False when no store is open (then every read returns its
  // default and every write fails).
  enum class Creation { Allow, Refuse };
  bool Open(const std::string& path, std::string* report = nullptr, Creation creation = Creation::Allow);
  bool IsOpen() const;
  const std::string& Path() const { return m_path; }

  enum class FileKind { Missing, Database, NotDatabase, Unknown };
  // What is at `path`, judged by the SQLite file header. An empty file counts as a database
  // (a new store whose pages are still in its write-ahead log); Unknown when it cannot be read.
  static FileKind ProbeFile(const std::string& path);
  static std::string NoStoreMessage(const std::string& path) { return "No settings store at " + path; }
  static std::string NotDatabaseMessage(const std::string& path);
  // Creates the missing folders above a store file, private to the user.
  static bool MakeParentFolders(const std::string& path);

  // Default location: $BRISKO_STORE, else $XDG_CONFIG_HOME/brisko/settings.db
  // (~/.config/brisko/settings.db).
  static std::string DefaultPath();

  void SetCompanyName(const std::string& name) { m_company = name; }
  void SetApplicationName(const std::string& name) { m_application = name; }
  std::string GetCompanyName() const { return m_company; }
  std::string GetApplicationName() const { return m_application; }
  // "HKEY_LOCAL_MACHINE\SOFTWARE\<company>\<application>"
  std::string RootPath() const;

  // Profile operations on sections directly under the application root.
  int GetProfileInt(const std::string& section, const std::string& entry, int def);
  std::string GetProfileString(const std::string& section, const std::string& entry, const std::string& def);
  bool WriteProfileInt(const std::string& section, const std::string& entry, int value);
  bool WriteProfileString(const std::string& section, const std::string& entry, const std::string& text);
  // The "none" forms of WriteProfileString: an entry with no text deletes the value; no entry
  // deletes the whole section (true when it was deleted).
  bool DeleteProfileValue(const std::string& section, const std::string& entry);
  bool DeleteProfileSection(const std::string& section);
  void DeleteSection(const std::string& section);
  bool SectionExists(const std::string& section);

  // Low-level key operations by full path ("\"-separated, compared without regard to ASCII
  // letter case). Enumerations are in creation order.
  bool KeyExists(const std::string& keyPath);
  bool CreateKey(const std::string& keyPath);                        // creates missing parents too
  std::vector<std::string> EnumSubKeys(const std::string& keyPath);  // names of direct children
  std::vector<RegValue> EnumValues(const std::string& keyPath);
  std::optional<RegValue> QueryValue(const std::string& keyPath, const std::string& name);
  // Sets a value in an existing key (false when the key does not exist). A value that
  // exists keeps its place in the enumeration order.
  bool SetValue(const std::string& keyPath, const std::string& name, uint32_t type, const std::string& data);
  bool DeleteValue(const std::string& keyPath, const std::string& name);
  // Deletes a key that has no sub-keys (false otherwise), with its values.
  bool DeleteKey(const std::string& keyPath);
  // Deletes a key with all its sub-keys and values.
  bool DeleteKeyTree(const std::string& keyPath);

 private:
  std::string SectionPath(const std::string& section) const;
  std::optional<int64_t> FindKey(const std::string& keyPath);
  std::optional<int64_t> EnsureKey(const std::string& keyPath);
  bool Exec(const char* sql);

  struct StmtCache;  // prepared statements kept between calls (statements only, never data)
  friend class CachedStmt;

  sqlite3* m_db = nullptr;
  std::unique_ptr<StmtCache> m_stmts;
  std::string m_path;
  std::string m_company = "Brisko Pty Ltd";
  std::string m_application = "BriskoFileWorkflow";
};

}  // namespace brisko
