#include "support/settings_store.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>
#include <unordered_map>

#include "support/path_util.h"

namespace brisko {
namespace {

constexpr const char* kHive = "HKEY_LOCAL_MACHINE";

std::string Fold(const std::string& s) {
  std::string out = s;
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

// Key paths are compared by their folded text without stray separators at either end.
std::string NormaliseKeyPath(const std::string& path) {
  size_t b = 0, e = path.size();
  while (b < e && path[b] == '\\') ++b;
  while (e > b && path[e - 1] == '\\') --e;
  return path.substr(b, e - b);
}

std::string ParentOf(const std::string& path) {
  size_t p = path.rfind('\\');
  return p == std::string::npos ? std::string() : path.substr(0, p);
}

std::string LastElement(const std::string& path) {
  size_t p = path.rfind('\\');
  return p == std::string::npos ? path : path.substr(p + 1);
}

}  // namespace

struct SettingsStore::StmtCache {
  std::unordered_map<const char*, sqlite3_stmt*> byText;
  ~StmtCache() {
    for (auto& [sql, stmt] : byText) sqlite3_finalize(stmt);
  }
};

// A prepared statement taken from the store's cache and reset when done, so that no read
// transaction outlives a call and another process's writes are seen at the next one.
class CachedStmt {
 public:
  CachedStmt(SettingsStore& store, const char* sql) {
    if (!store.m_db) return;
    auto& cache = store.m_stmts->byText;
    auto it = cache.find(sql);
    if (it != cache.end()) {
      m_stmt = it->second;
    } else if (sqlite3_prepare_v3(store.m_db, sql, -1, SQLITE_PREPARE_PERSISTENT, &m_stmt, nullptr) ==
               SQLITE_OK) {
      cache.emplace(sql, m_stmt);
    } else {
      m_stmt = nullptr;
    }
  }
  ~CachedStmt() {
    if (m_stmt) {
      sqlite3_reset(m_stmt);
      sqlite3_clear_bindings(m_stmt);
    }
  }
  CachedStmt(const CachedStmt&) = delete;
  CachedStmt& operator=(const CachedStmt&) = delete;
  explicit operator bool() const { return m_stmt != nullptr; }
  CachedStmt& Bind(int i, const std::string& s) {
    sqlite3_bind_text(m_stmt, i, s.data(), static_cast<int>(s.size()), SQLITE_TRANSIENT);
    return *this;
  }
  CachedStmt& BindBlob(int i, const std::string& s) {
    sqlite3_bind_blob(m_stmt, i, s.data(), static_cast<int>(s.size()), SQLITE_TRANSIENT);
    return *this;
  }
  CachedStmt& Bind(int i, int64_t v) {
    sqlite3_bind_int64(m_stmt, i, v);
    return *this;
  }
  int Step() { return m_stmt ? sqlite3_step(m_stmt) : SQLITE_ERROR; }
  int64_t Int(int col) { return sqlite3_column_int64(m_stmt, col); }
  std::string Text(int col) {
    const void* p = sqlite3_column_blob(m_stmt, col);
    int n = sqlite3_column_bytes(m_stmt, col);
    return p ? std::string(static_cast<const char*>(p), static_cast<size_t>(n)) : std::string();
  }

 private:
  sqlite3_stmt* m_stmt = nullptr;
};

namespace {

const char* kSchema =
    "CREATE TABLE IF NOT EXISTS keys("
    " id INTEGER PRIMARY KEY AUTOINCREMENT, parent INTEGER NOT NULL,"
    " path_fold TEXT NOT NULL UNIQUE, name TEXT NOT NULL);"
    "CREATE INDEX IF NOT EXISTS keys_parent ON keys(parent, id);"
    "CREATE TABLE IF NOT EXISTS vals("
    " id INTEGER PRIMARY KEY AUTOINCREMENT, key INTEGER NOT NULL, name_fold TEXT NOT NULL,"
    " name TEXT NOT NULL, type INTEGER NOT NULL, data BLOB NOT NULL, UNIQUE(key, name_fold));";

std::string TimeStamp() {
  std::time_t now = std::time(nullptr);
  std::tm tmv{};
  localtime_r(&now, &tmv);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y%m%d-%H%M%S", &tmv);
  return buf;
}

}  // namespace

SettingsStore::SettingsStore() : m_stmts(std::make_unique<StmtCache>()) {}

SettingsStore::~SettingsStore() {
  m_stmts.reset();
  if (m_db) sqlite3_close_v2(m_db);
}

std::string SettingsStore::DefaultPath() {
  if (const char* env = std::getenv("BRISKO_STORE"); env && *env) return env;
  return XdgBaseFolder("XDG_CONFIG_HOME", ".config") + "/brisko/settings.db";
}

bool SettingsStore::IsOpen() const {
  return m_db != nullptr;
}

bool SettingsStore::Exec(const char* sql) {
  return m_db && sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

bool SettingsStore::MakeParentFolders(const std::string& file) {
  size_t pos = 0;
  while ((pos = file.find('/', pos + 1)) != std::string::npos) {
    std::string dir = file.substr(0, pos);
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return false;
  }
  return true;
}

SettingsStore::FileKind SettingsStore::ProbeFile(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return errno == ENOENT ? FileKind::Missing : FileKind::Unknown;
  static constexpr char kHeader[] = "SQLite format 3";  // with its NUL: 16 bytes
  char head[sizeof kHeader] = {};
  struct stat st {};
  FileKind kind = FileKind::Unknown;
  if (fstat(fd, &st) == 0) {
    if (!S_ISREG(st.st_mode)) {
      kind = FileKind::NotDatabase;
    } else if (st.st_size == 0) {
      kind = FileKind::Database;
    } else {
      ssize_t n = pread(fd, head, sizeof head, 0);
      if (n >= 0)
        kind = size_t(n) == sizeof head && std::memcmp(head, kHeader, sizeof head) == 0
                   ? FileKind::Database
                   : FileKind::NotDatabase;
    }
  }
  close(fd);
  return kind;
}

std::string SettingsStore::NotDatabaseMessage(const std::string& path) {
  return path + " is not a settings store (not an SQLite database); it was left as it is";
}

bool SettingsStore::Open(const std::string& path, std::string* report, Creation creation) {
  m_stmts = std::make_unique<StmtCache>();
  if (m_db) {
    sqlite3_close_v2(m_db);
    m_db = nullptr;
  }
  m_path = path;
  const FileKind kind = ProbeFile(path);
  // A mistyped path or a wrong file must never turn into a new empty store, nor be moved aside.
  if (kind == FileKind::NotDatabase || (kind == FileKind::Missing && creation == Creation::Refuse)) {
    if (report) *report = kind == FileKind::Missing ? NoStoreMessage(path) : NotDatabaseMessage(path);
    return false;
  }
  MakeParentFolders(path);
  // Create the file ourselves so that it is private from the first byte (it holds the password).
  const int createFlag = creation == Creation::Allow ? O_CREAT : 0;
  int fd = open(path.c_str(), O_RDWR | createFlag | O_CLOEXEC, 0600);
  const int openErr = fd < 0 ? errno : 0;
  if (fd >= 0) {
    fchmod(fd, 0600);
    close(fd);
  }

  auto tryOpen = [&]() -> bool {
    // The file exists by now (made above or by the caller): SQLite must not make one itself.
    if (sqlite3_open_v2(path.c_str(), &m_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) !=
        SQLITE_OK) {
      sqlite3_close_v2(m_db);
      m_db = nullptr;
      return false;
    }
    sqlite3_busy_timeout(m_db, 5000);
    sqlite3_extended_result_codes(m_db, 1);
    bool ok = Exec("PRAGMA journal_mode=WAL;") && Exec("PRAGMA synchronous=NORMAL;");
    if (ok) {
      CachedStmt check(*this, "PRAGMA integrity_check;");
      ok = check && check.Step() == SQLITE_ROW && check.Text(0) == "ok";
    }
    ok = ok && Exec(kSchema);
    if (!ok) {
      m_stmts = std::make_unique<StmtCache>();  // statements of this connection go with it
      sqlite3_close_v2(m_db);
      m_db = nullptr;
    }
    return ok;
  };

  if (tryOpen()) {
    if (kind == FileKind::Missing && report) *report = "Created a new settings store at " + path;
    return true;
  }

  if (kind != FileKind::Database) {
    // Nothing known to be a damaged store: never move aside what could not even be read.
    if (report)
      *report = "Settings store " + path + " cannot be opened" +
                (openErr ? std::string(": ") + std::strerror(openErr) : "");
    return false;
  }
  // A damaged database: keep it for inspection and start afresh.
  std::string aside = path + ".corrupt-" + TimeStamp();
  bool moved = std::rename(path.c_str(), aside.c_str()) == 0;
  if (moved) {
    std::rename((path + "-wal").c_str(), (aside + "-wal").c_str());
    std::rename((path + "-shm").c_str(), (aside + "-shm").c_str());
  }
  if (report) {
    *report = moved ? "Settings store " + path + " was damaged; moved aside to " + aside +
                          " and started a fresh store"
                    : "Settings store " + path + " cannot be opened: " + std::strerror(errno);
  }
  if (!moved) return false;
  fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd >= 0) close(fd);
  return tryOpen();
}

std::string SettingsStore::RootPath() const {
  return std::string(kHive) + "\\SOFTWARE\\" + m_company + "\\" + m_application;
}

std::string SettingsStore::SectionPath(const std::string& section) const {
  return RootPath() + "\\" + section;
}

std::optional<int64_t> SettingsStore::FindKey(const std::string& keyPath) {
  std::string norm = NormaliseKeyPath(keyPath);
  if (norm.empty()) return std::nullopt;
  CachedStmt s(*this, "SELECT id FROM keys WHERE path_fold=?1");
  if (!s) return std::nullopt;
  s.Bind(1, Fold(norm));
  if (s.Step() != SQLITE_ROW) return std::nullopt;
  return s.Int(0);
}

std::optional<int64_t> SettingsStore::EnsureKey(const std::string& keyPath) {
  std::string norm = NormaliseKeyPath(keyPath);
  if (norm.empty() || !m_db) return std::nullopt;
  if (auto id = FindKey(norm)) return id;
  int64_t parent = 0;
  std::string parentPath = ParentOf(norm);
  if (!parentPath.empty()) {
    auto p = EnsureKey(parentPath);
    if (!p) return std::nullopt;
    parent = *p;
  }
  std::string name = LastElement(norm);
  if (name.empty()) return std::nullopt;  // "a\\\\b": an empty element is no key name
  CachedStmt ins(*this, "INSERT OR IGNORE INTO keys(parent, path_fold, name) VALUES(?1, ?2, ?3)");
  if (!ins) return std::nullopt;
  ins.Bind(1, parent).Bind(2, Fold(norm)).Bind(3, name);
  if (ins.Step() != SQLITE_DONE) return std::nullopt;
  return FindKey(norm);
}

bool SettingsStore::KeyExists(const std::string& keyPath) {
  return FindKey(keyPath).has_value();
}

bool SettingsStore::CreateKey(const std::string& keyPath) {
  return EnsureKey(keyPath).has_value();
}

std::vector<std::string> SettingsStore::EnumSubKeys(const std::string& keyPath) {
  std::vector<std::string> out;
  auto id = FindKey(keyPath);
  if (!id) return out;
  CachedStmt s(*this, "SELECT name FROM keys WHERE parent=?1 ORDER BY id");
  s.Bind(1, *id);
  while (s.Step() == SQLITE_ROW) out.push_back(s.Text(0));
  return out;
}

std::vector<RegValue> SettingsStore::EnumValues(const std::string& keyPath) {
  std::vector<RegValue> out;
  auto id = FindKey(keyPath);
  if (!id) return out;
  CachedStmt s(*this, "SELECT name, type, data FROM vals WHERE key=?1 ORDER BY id");
  s.Bind(1, *id);
  while (s.Step() == SQLITE_ROW) {
    out.push_back(RegValue{s.Text(0), static_cast<uint32_t>(s.Int(1)), s.Text(2)});
  }
  return out;
}

std::optional<RegValue> SettingsStore::QueryValue(const std::string& keyPath, const std::string& name) {
  if (!m_db) return std::nullopt;
  // One statement: the key lookup and the value read see the same snapshot.
  CachedStmt s(*this,
               "SELECT v.name, v.type, v.data FROM vals v JOIN keys k ON v.key=k.id "
               "WHERE k.path_fold=?1 AND v.name_fold=?2");
  if (!s) return std::nullopt;
  s.Bind(1, Fold(NormaliseKeyPath(keyPath))).Bind(2, Fold(name));
  if (s.Step() != SQLITE_ROW) return std::nullopt;
  return RegValue{s.Text(0), static_cast<uint32_t>(s.Int(1)), s.Text(2)};
}

bool SettingsStore::SetValue(const std::string& keyPath, const std::string& name, uint32_t type,
                             const std::string& data) {
  auto id = FindKey(keyPath);
  if (!id) return false;
  // Saving what is stored already writes nothing: every write would otherwise cost a WAL
  // frame (and the first one of a run a WAL made and flushed), though nothing changed.
  {
    CachedStmt same(*this,
                    "SELECT 1 FROM vals WHERE key=?1 AND name_fold=?2 AND name=?3 AND type=?4 AND data=?5");
    if (same) {
      same.Bind(1, *id)
          .Bind(2, Fold(name))
          .Bind(3, name)
          .Bind(4, static_cast<int64_t>(type))
          .BindBlob(5, data);
      if (same.Step() == SQLITE_ROW) return true;
    }
  }
  // An existing value keeps its row, and so its place in the enumeration order.
  CachedStmt s(*this,
               "INSERT INTO vals(key, name_fold, name, type, data) VALUES(?1, ?2, ?3, ?4, ?5) "
               "ON CONFLICT(key, name_fold) DO UPDATE SET type=excluded.type, data=excluded.data");
  if (!s) return false;
  s.Bind(1, *id).Bind(2, Fold(name)).Bind(3, name).Bind(4, static_cast<int64_t>(type)).BindBlob(5, data);
  return s.Step() == SQLITE_DONE;
}

bool SettingsStore::DeleteValue(const std::string& keyPath, const std::string& name) {
  auto id = FindKey(keyPath);
  if (!id) return false;
  CachedStmt s(*this, "DELETE FROM vals WHERE key=?1 AND name_fold=?2");
  s.Bind(1, *id).Bind(2, Fold(name));
  return s.Step() == SQLITE_DONE && sqlite3_changes(m_db) > 0;
}

bool SettingsStore::DeleteKey(const std::string& keyPath) {
  auto id = FindKey(keyPath);
  if (!id) return false;
  {
    CachedStmt c(*this, "SELECT 1 FROM keys WHERE parent=?1 LIMIT 1");
    c.Bind(1, *id);
    if (c.Step() == SQLITE_ROW) return false;  // the registry refuses keys with sub-keys
  }
  if (!Exec("BEGIN IMMEDIATE")) return false;
  CachedStmt dv(*this, "DELETE FROM vals WHERE key=?1");
  dv.Bind(1, *id);
  CachedStmt dk(*this, "DELETE FROM keys WHERE id=?1");
  dk.Bind(1, *id);
  bool ok = dv.Step() == SQLITE_DONE && dk.Step() == SQLITE_DONE;
  Exec(ok ? "COMMIT" : "ROLLBACK");
  return ok;
}

bool SettingsStore::DeleteKeyTree(const std::string& keyPath) {
  std::string norm = NormaliseKeyPath(keyPath);
  if (!FindKey(norm)) return false;
  if (!Exec("BEGIN IMMEDIATE")) return false;
  std::string fold = Fold(norm);
  // The key and every key whose folded path continues it with a separator.
  CachedStmt dv(*this,
                "DELETE FROM vals WHERE key IN (SELECT id FROM keys WHERE path_fold=?1 OR "
                "substr(path_fold, 1, length(?1) + 1)=?1 || '\\')");
  dv.Bind(1, fold);
  CachedStmt dk(*this,
                "DELETE FROM keys WHERE path_fold=?1 OR substr(path_fold, 1, length(?1) + 1)=?1 || '\\'");
  dk.Bind(1, fold);
  bool ok = dv.Step() == SQLITE_DONE && dk.Step() == SQLITE_DONE;
  Exec(ok ? "COMMIT" : "ROLLBACK");
  return ok;
}

int StoredCountLimit(const std::string& valueName) {
  static constexpr std::string_view kCountSuffix = "_count";
  if (valueName == "NumActions") return kMaxStoredActions;
  if (valueName == "NumStrings") return kMaxStoredListCount;
  if (valueName.size() > kCountSuffix.size() &&
      valueName.compare(valueName.size() - kCountSuffix.size(), kCountSuffix.size(), kCountSuffix) == 0)
    return kMaxStoredListCount;
  return 0;
}

int SettingsStore::GetProfileInt(const std::string& section, const std::string& entry, int def) {
  auto v = QueryValue(SectionPath(section), entry);
  // A value larger than 4 bytes does not fit the read buffer and gives the default.
  if (!v || v->data.size() > 4) return def;
  uint32_t x = 0;
  for (size_t i = 0; i < v->data.size(); ++i)
    x |= static_cast<uint32_t>(static_cast<unsigned char>(v->data[i])) << (8 * i);
  return static_cast<int>(x);
}

std::string SettingsStore::GetProfileString(const std::string& section, const std::string& entry,
                                            const std::string& def) {
  auto v = QueryValue(SectionPath(section), entry);
  if (!v) return def;
  size_t zero = v->data.find('\0');
  return zero == std::string::npos ? v->data : v->data.substr(0, zero);
}

bool SettingsStore::WriteProfileInt(const std::string& section, const std::string& entry, int value) {
  std::string path = SectionPath(section);
  if (!EnsureKey(path)) return false;
  uint32_t u = static_cast<uint32_t>(value);
  std::string data(4, '\0');
  for (int i = 0; i < 4; ++i) data[i] = static_cast<char>((u >> (8 * i)) & 0xff);
  return SetValue(path, entry, kRegDword, data);
}

bool SettingsStore::WriteProfileString(const std::string& section, const std::string& entry,
                                       const std::string& text) {
  std::string path = SectionPath(section);
  if (!EnsureKey(path)) return false;
  std::string data = text;
  data.push_back('\0');
  return SetValue(path, entry, kRegSz, data);
}

bool SettingsStore::DeleteProfileValue(const std::string& section, const std::string& entry) {
  std::string path = SectionPath(section);
  if (!EnsureKey(path)) return false;
  return DeleteValue(path, entry);
}

bool SettingsStore::DeleteProfileSection(const std::string& section) {
  return DeleteKey(SectionPath(section));
}

void SettingsStore::DeleteSection(const std::string& section) {
  DeleteKey(SectionPath(section));
}

bool SettingsStore::SectionExists(const std::string& section) {
  return KeyExists(SectionPath(section));
}

}  // namespace brisko
