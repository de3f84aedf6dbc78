// The registry on one SQLite database.
//
// Tables:
//   keys(id, parent, name, path)  every key; the three roots are ids 1 to 3
//                                 with parent 0. `path` is the key's full
//                                 case-folded path ("2\software\corvane"),
//                                 unique, so a key is found in one lookup.
//   vals(key, name, folded, type, data)  values; `folded` is the case-folded
//                                 name, unique within a key.
// Key ids are never reused (AUTOINCREMENT), so a handle on a deleted key
// cannot reach a newer key. Every call runs under one process-wide mutex on
// one connection; writes run in BEGIN IMMEDIATE transactions, so writers of
// other processes wait for each other (busy timeout) instead of failing, and
// a writer waiting for another process lets the mutex go between tries.

#include "platform/registry.h"

#include <pthread.h>
#include <sqlite3.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <unordered_set>

#include "platform/shell.h"
#include "platform/text.h"

namespace cvie::platform {

struct RegistryKey {
  int64_t id;
  std::string db_path;  // the database the handle belongs to; empty for a root
};

namespace {

RegistryKey g_roots[3] = {{1, ""}, {2, ""}, {3, ""}};
const char* const kRootNames[3] = {"HKEY_CLASSES_ROOT", "HKEY_CURRENT_USER",
                                   "HKEY_LOCAL_MACHINE"};
constexpr int kBusyTimeoutMs = 30000;
// How long one try to take the write lock waits before the process's mutex is
// let go for a moment (see WithWriteTransaction).
constexpr int kWriteTryMs = 10;

const char kSchema[] =
    "CREATE TABLE IF NOT EXISTS keys("
    "  id INTEGER PRIMARY KEY AUTOINCREMENT,"
    "  parent INTEGER NOT NULL,"
    "  name TEXT NOT NULL,"
    "  path TEXT NOT NULL UNIQUE);"
    "CREATE INDEX IF NOT EXISTS keys_by_parent ON keys(parent, path);"
    "CREATE TABLE IF NOT EXISTS vals("
    "  key INTEGER NOT NULL,"
    "  name TEXT NOT NULL,"
    "  folded TEXT NOT NULL,"
    "  type INTEGER NOT NULL,"
    "  data BLOB NOT NULL,"
    "  PRIMARY KEY(key, folded));"
    "INSERT OR IGNORE INTO keys(id, parent, name, path) VALUES"
    "  (1, 0, 'HKEY_CLASSES_ROOT', '1'),"
    "  (2, 0, 'HKEY_CURRENT_USER', '2'),"
    "  (3, 0, 'HKEY_LOCAL_MACHINE', '3');";

// Moves on every commit and every store opened (RegistryChangeCount).
std::atomic<uint64_t> g_change_count{0};

bool IsRoot(HKEY key) { return key >= &g_roots[0] && key <= &g_roots[2]; }

// The connection of this process and the handles it gave out.
struct Store {
  std::mutex mu;
  sqlite3* db = nullptr;
  std::string path;
  std::string environment;  // the variables `path` was derived from
  std::map<const char*, sqlite3_stmt*> statements;  // keyed by the SQL literal
  std::unordered_set<HKEY> handles;

  void Close() {
    for (auto& [sql, stmt] : statements) sqlite3_finalize(stmt);
    statements.clear();
    if (db) sqlite3_close_v2(db);
    db = nullptr;
    path.clear();
    environment.clear();
  }
};

Store& TheStore() {
  static Store* store = [] {
    Store* s = new Store;
    // A forked child must not use the parent's connection: it holds no lock
    // of its own on the file. The child forgets it (without closing it, which
    // could disturb the parent's locks) and opens its own on the next call.
    pthread_atfork([] { TheStore().mu.lock(); }, [] { TheStore().mu.unlock(); },
                   [] {
                     Store& st = TheStore();
                     st.db = nullptr;
                     st.path.clear();
                     st.environment.clear();
                     st.statements.clear();
                     st.mu.unlock();
                   });
    return s;
  }();
  return *store;
}

// A cached prepared statement, reset when the scope ends.
class Statement {
 public:
  Statement(Store& store, const char* sql) {
    auto it = store.statements.find(sql);
    if (it != store.statements.end()) {
      stmt_ = it->second;
    } else if (sqlite3_prepare_v3(store.db, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt_,
                                  nullptr) == SQLITE_OK) {
      store.statements[sql] = stmt_;
    } else {
      stmt_ = nullptr;
    }
  }
  ~Statement() {
    if (stmt_) {
      sqlite3_reset(stmt_);
      sqlite3_clear_bindings(stmt_);
    }
  }
  bool ok() const { return stmt_ != nullptr; }
  Statement& Bind(int i, int64_t v) {
    if (stmt_) sqlite3_bind_int64(stmt_, i, v);
    return *this;
  }
  Statement& Bind(int i, const std::string& v) {
    if (stmt_)
      sqlite3_bind_text(stmt_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
    return *this;
  }
  Statement& BindBlob(int i, const void* data, size_t size) {
    if (!stmt_) return *this;
    if (size == 0) {
      sqlite3_bind_zeroblob(stmt_, i, 0);
    } else {
      sqlite3_bind_blob(stmt_, i, data, static_cast<int>(size), SQLITE_TRANSIENT);
    }
    return *this;
  }
  // SQLITE_ROW, SQLITE_DONE or an error code.
  int Step() { return stmt_ ? sqlite3_step(stmt_) : SQLITE_ERROR; }
  int64_t Int(int col) { return sqlite3_column_int64(stmt_, col); }
  std::string Text(int col) {
    const unsigned char* t = sqlite3_column_text(stmt_, col);
    return t ? std::string(reinterpret_cast<const char*>(t),
                           static_cast<size_t>(sqlite3_column_bytes(stmt_, col)))
             : std::string();
  }
  std::string Blob(int col) {
    const void* b = sqlite3_column_blob(stmt_, col);
    int n = sqlite3_column_bytes(stmt_, col);
    return b ? std::string(static_cast<const char*>(b), static_cast<size_t>(n))
             : std::string();
  }

  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

 private:
  sqlite3_stmt* stmt_;
};

bool Exec(sqlite3* db, const char* sql) {
  return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

// A write transaction: rolled back unless committed.
class WriteTransaction {
 public:
  explicit WriteTransaction(sqlite3* db) : db_(db), open_(Exec(db, "BEGIN IMMEDIATE")) {}
  ~WriteTransaction() {
    if (open_) Exec(db_, "ROLLBACK");
  }
  bool ok() const { return open_; }
  bool Commit() {
    if (!open_) return false;
    open_ = false;
    if (Exec(db_, "COMMIT")) {
      g_change_count.fetch_add(1, std::memory_order_release);
      return true;
    }
    Exec(db_, "ROLLBACK");
    return false;
  }

 private:
  sqlite3* db_;
  bool open_;
};

// Opens the database of the current config folder, reopening when CVIE_ROOT
// moved it. Called with the mutex held.
LONG EnsureOpen(Store& s) {
  // The variables that decide the config folder; while they are unchanged
  // the open database is the right one.
  std::string environment;
  for (const char* name : {"CVIE_ROOT", "XDG_CONFIG_HOME", "HOME"}) {
    const char* value = getenv(name);
    environment += value ? value : "";
    environment += '\n';
  }
  if (s.db && environment == s.environment) return ERROR_SUCCESS;
  const std::wstring folder = ConfigFolder();
  const std::string path = ToNarrow(folder) + "/registry.db";
  if (s.db && s.path == path) return ERROR_SUCCESS;
  s.Close();
  CreateFolderWithParents(folder);
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                      nullptr) != SQLITE_OK) {
    if (db) sqlite3_close_v2(db);
    return ERROR_REGISTRY_IO_FAILED;
  }
  sqlite3_busy_timeout(db, kBusyTimeoutMs);
  bool ok = Exec(db, "PRAGMA journal_mode=WAL") && Exec(db, "PRAGMA synchronous=NORMAL");
  if (ok) {
    ok = Exec(db, "BEGIN IMMEDIATE");
    if (ok) {
      ok = Exec(db, kSchema) && Exec(db, "COMMIT");
      if (!ok) Exec(db, "ROLLBACK");
    }
  }
  if (!ok) {
    sqlite3_close_v2(db);
    return ERROR_REGISTRY_IO_FAILED;
  }
  s.db = db;
  s.path = path;
  s.environment = environment;
  g_change_count.fetch_add(1, std::memory_order_release);
  return ERROR_SUCCESS;
}

std::vector<std::wstring> SplitKeyPath(const std::wstring& subkey) {
  std::vector<std::wstring> parts;
  size_t start = 0;
  while (start <= subkey.size()) {
    size_t end = subkey.find(L'\\', start);
    if (end == std::wstring::npos) end = subkey.size();
    if (end > start) parts.push_back(subkey.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

std::string Folded(const std::wstring& name) { return ToNarrow(FoldCase(name)); }

// The id and folded path of the key behind `key`.
LONG Resolve(Store& s, HKEY key, int64_t* id, std::string* path) {
  if (!key) return ERROR_INVALID_HANDLE;
  if (IsRoot(key)) {
    *id = key->id;
    *path = std::to_string(key->id);
    return ERROR_SUCCESS;
  }
  if (!s.handles.count(key) || key->db_path != s.path) return ERROR_INVALID_HANDLE;
  Statement q(s, "SELECT path FROM keys WHERE id = ?");
  q.Bind(1, key->id);
  int rc = q.Step();
  if (rc == SQLITE_ROW) {
    *id = key->id;
    *path = q.Text(0);
    return ERROR_SUCCESS;
  }
  return rc == SQLITE_DONE ? ERROR_KEY_DELETED : ERROR_REGISTRY_IO_FAILED;
}

// Looks up the key at folded `path`: 0 found, 2 missing, 1016 failure.
LONG FindKey(Store& s, const std::string& path, int64_t* id) {
  Statement q(s, "SELECT id FROM keys WHERE path = ?");
  q.Bind(1, path);
  int rc = q.Step();
  if (rc == SQLITE_ROW) {
    *id = q.Int(0);
    return ERROR_SUCCESS;
  }
  return rc == SQLITE_DONE ? ERROR_FILE_NOT_FOUND : ERROR_REGISTRY_IO_FAILED;
}

// Resolves `key` + `subkey` to an existing key.
LONG ResolveSubkey(Store& s, HKEY key, const std::wstring& subkey, int64_t* id) {
  std::string path;
  LONG rc = Resolve(s, key, id, &path);
  if (rc != ERROR_SUCCESS) return rc;
  std::vector<std::wstring> parts = SplitKeyPath(subkey);
  if (parts.empty()) return ERROR_SUCCESS;
  for (const auto& part : parts) path += "\\" + Folded(part);
  return FindKey(s, path, id);
}

HKEY NewHandle(Store& s, int64_t id) {
  HKEY handle = new RegistryKey{id, s.path};
  s.handles.insert(handle);
  return handle;
}

// Runs `body` with the mutex held and the database open.
LONG WithStore(const std::function<LONG(Store&)>& body) {
  Store& s = TheStore();
  std::lock_guard<std::mutex> lock(s.mu);
  LONG rc = EnsureOpen(s);
  return rc == ERROR_SUCCESS ? body(s) : rc;
}

// Runs `body` in a write transaction, with the mutex held and the database
// open. While another process holds the database's write lock the mutex is
// let go between tries (until the busy timeout), so that this process's
// readers, which WAL lets read meanwhile, do not queue behind the wait.
LONG WithWriteTransaction(const std::function<LONG(Store&, WriteTransaction&)>& body) {
  Store& s = TheStore();
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(kBusyTimeoutMs);
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(s.mu);
      LONG rc = EnsureOpen(s);
      if (rc != ERROR_SUCCESS) return rc;
      sqlite3_busy_timeout(s.db, kWriteTryMs);
      WriteTransaction txn(s.db);
      bool busy = !txn.ok() && (sqlite3_errcode(s.db) & 0xff) == SQLITE_BUSY;
      sqlite3_busy_timeout(s.db, kBusyTimeoutMs);
      if (txn.ok()) return body(s, txn);
      if (!busy || std::chrono::steady_clock::now() >= deadline)
        return ERROR_REGISTRY_IO_FAILED;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(kWriteTryMs));
  }
}

}  // namespace

const HKEY HKEY_CLASSES_ROOT = &g_roots[0];
const HKEY HKEY_CURRENT_USER = &g_roots[1];
const HKEY HKEY_LOCAL_MACHINE = &g_roots[2];

LONG RegCreateKeyEx(HKEY key, const std::wstring& subkey, HKEY* result,
                    DWORD* disposition) {
  if (!result) return ERROR_INVALID_PARAMETER;
  return WithWriteTransaction([&](Store& s, WriteTransaction& txn) -> LONG {
    int64_t id;
    std::string path;
    LONG rc = Resolve(s, key, &id, &path);
    if (rc != ERROR_SUCCESS) return rc;
    bool created = false;
    for (const auto& part : SplitKeyPath(subkey)) {
      path += "\\" + Folded(part);
      int64_t child;
      rc = FindKey(s, path, &child);
      if (rc == ERROR_FILE_NOT_FOUND) {
        Statement insert(s, "INSERT INTO keys(parent, name, path) VALUES(?, ?, ?)");
        insert.Bind(1, id).Bind(2, ToNarrow(part)).Bind(3, path);
        if (insert.Step() != SQLITE_DONE) return ERROR_REGISTRY_IO_FAILED;
        child = sqlite3_last_insert_rowid(s.db);
        created = true;
      } else if (rc != ERROR_SUCCESS) {
        return rc;
      } else {
        created = false;
      }
      id = child;
    }
    if (!txn.Commit()) return ERROR_REGISTRY_IO_FAILED;
    if (disposition)
      *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    *result = NewHandle(s, id);
    return ERROR_SUCCESS;
  });
}

LONG RegOpenKeyEx(HKEY key, const std::wstring& subkey, HKEY* result) {
  if (!result) return ERROR_INVALID_PARAMETER;
  return WithStore([&](Store& s) -> LONG {
    int64_t id;
    LONG rc = ResolveSubkey(s, key, subkey, &id);
    if (rc == ERROR_SUCCESS) *result = NewHandle(s, id);
    return rc;
  });
}

LONG RegCloseKey(HKEY key) {
  if (!key) return ERROR_INVALID_HANDLE;
  if (IsRoot(key)) return ERROR_SUCCESS;
  Store& s = TheStore();
  std::lock_guard<std::mutex> lock(s.mu);
  if (!s.handles.erase(key)) return ERROR_INVALID_HANDLE;
  delete key;
  return ERROR_SUCCESS;
}

LONG RegQueryValueEx(HKEY key, const std::wstring& name, DWORD* type, void* data,
                     DWORD* size) {
  if (data && !size) return ERROR_INVALID_PARAMETER;
  return WithStore([&](Store& s) -> LONG {
    int64_t id;
    std::string path;
    LONG rc = Resolve(s, key, &id, &path);
    if (rc != ERROR_SUCCESS) return rc;
    Statement q(s, "SELECT type, data FROM vals WHERE key = ? AND folded = ?");
    q.Bind(1, id).Bind(2, Folded(name));
    int step = q.Step();
    if (step == SQLITE_DONE) return ERROR_FILE_NOT_FOUND;
    if (step != SQLITE_ROW) return ERROR_REGISTRY_IO_FAILED;
    const std::string bytes = q.Blob(1);
    if (type) *type = static_cast<DWORD>(q.Int(0));
    if (!size) return ERROR_SUCCESS;
    const DWORD needed = static_cast<DWORD>(bytes.size());
    if (data && *size < needed) {
      *size = needed;
      return ERROR_MORE_DATA;
    }
    if (data) memcpy(data, bytes.data(), bytes.size());
    *size = needed;
    return ERROR_SUCCESS;
  });
}

LONG RegSetValueEx(HKEY key, const std::wstring& name, DWORD type, const void* data,
                   DWORD size) {
  if (size > 0 && !data) return ERROR_INVALID_PARAMETER;
  if (type == REG_DWORD && size != 4) return ERROR_INVALID_PARAMETER;
  return WithWriteTransaction([&](Store& s, WriteTransaction& txn) -> LONG {
    int64_t id;
    std::string path;
    LONG rc = Resolve(s, key, &id, &path);
    if (rc != ERROR_SUCCESS) return rc;
    Statement upsert(
        s,
        "INSERT INTO vals(key, name, folded, type, data) VALUES(?, ?, ?, ?, ?) "
        "ON CONFLICT(key, folded) DO UPDATE SET type = excluded.type, "
        "data = excluded.data");
    upsert.Bind(1, id)
        .Bind(2, ToNarrow(name))
        .Bind(3, Folded(name))
        .Bind(4, int64_t{type});
    upsert.BindBlob(5, data, size);
    if (upsert.Step() != SQLITE_DONE) return ERROR_REGISTRY_IO_FAILED;
    return txn.Commit() ? ERROR_SUCCESS : ERROR_REGISTRY_IO_FAILED;
  });
}

LONG RegDeleteValue(HKEY key, const std::wstring& name) {
  return WithWriteTransaction([&](Store& s, WriteTransaction& txn) -> LONG {
    int64_t id;
    std::string path;
    LONG rc = Resolve(s, key, &id, &path);
    if (rc != ERROR_SUCCESS) return rc;
    Statement del(s, "DELETE FROM vals WHERE key = ? AND folded = ?");
    del.Bind(1, id).Bind(2, Folded(name));
    if (del.Step() != SQLITE_DONE) return ERROR_REGISTRY_IO_FAILED;
    if (sqlite3_changes(s.db) == 0) return ERROR_FILE_NOT_FOUND;
    return txn.Commit() ? ERROR_SUCCESS : ERROR_REGISTRY_IO_FAILED;
  });
}

LONG RegDeleteKey(HKEY key, const std::wstring& subkey) {
  return WithWriteTransaction([&](Store& s, WriteTransaction& txn) -> LONG {
    int64_t id;
    LONG rc = ResolveSubkey(s, key, subkey, &id);
    if (rc != ERROR_SUCCESS) return rc;
    if (id <= 3) return ERROR_ACCESS_DENIED;  // a root
    {
      Statement children(s, "SELECT 1 FROM keys WHERE parent = ? LIMIT 1");
      children.Bind(1, id);
      int step = children.Step();
      if (step == SQLITE_ROW) return ERROR_ACCESS_DENIED;
      if (step != SQLITE_DONE) return ERROR_REGISTRY_IO_FAILED;
    }
    Statement values(s, "DELETE FROM vals WHERE key = ?");
    values.Bind(1, id);
    if (values.Step() != SQLITE_DONE) return ERROR_REGISTRY_IO_FAILED;
    Statement del(s, "DELETE FROM keys WHERE id = ?");
    del.Bind(1, id);
    if (del.Step() != SQLITE_DONE) return ERROR_REGISTRY_IO_FAILED;
    return txn.Commit() ? ERROR_SUCCESS : ERROR_REGISTRY_IO_FAILED;
  });
}

LONG RegEnumKeyEx(HKEY key, DWORD index, std::wstring* name) {
  if (!name) return ERROR_INVALID_PARAMETER;
  return WithStore([&](Store& s) -> LONG {
    int64_t id;
    std::string path;
    LONG rc = Resolve(s, key, &id, &path);
    if (rc != ERROR_SUCCESS) return rc;
    Statement q(s,
                "SELECT name FROM keys WHERE parent = ? ORDER BY path LIMIT 1 OFFSET ?");
    q.Bind(1, id).Bind(2, int64_t{index});
    int step = q.Step();
    if (step == SQLITE_DONE) return ERROR_NO_MORE_ITEMS;
    if (step != SQLITE_ROW) return ERROR_REGISTRY_IO_FAILED;
    *name = ToWide(q.Text(0));
    return ERROR_SUCCESS;
  });
}

LONG RegEnumKeyEx(HKEY key, DWORD index, wchar_t* name, DWORD* name_chars) {
  if (!name || !name_chars) return ERROR_INVALID_PARAMETER;
  std::wstring found;
  LONG rc = RegEnumKeyEx(key, index, &found);
  if (rc != ERROR_SUCCESS) return rc;
  if (*name_chars < found.size() + 1) {
    *name_chars = static_cast<DWORD>(found.size() + 1);
    return ERROR_MORE_DATA;
  }
  wmemcpy(name, found.c_str(), found.size() + 1);
  *name_chars = static_cast<DWORD>(found.size());
  return ERROR_SUCCESS;
}

LONG RegEnumValue(HKEY key, DWORD index, std::wstring* name, DWORD* type,
                  std::vector<uint8_t>* data) {
  return WithStore([&](Store& s) -> LONG {
    int64_t id;
    std::string path;
    LONG rc = Resolve(s, key, &id, &path);
    if (rc != ERROR_SUCCESS) return rc;
    Statement q(s,
                "SELECT name, type, data FROM vals WHERE key = ? ORDER BY rowid LIMIT 1 "
                "OFFSET ?");
    q.Bind(1, id).Bind(2, int64_t{index});
    int step = q.Step();
    if (step == SQLITE_DONE) return ERROR_NO_MORE_ITEMS;
    if (step != SQLITE_ROW) return ERROR_REGISTRY_IO_FAILED;
    if (name) *name = ToWide(q.Text(0));
    if (type) *type = static_cast<DWORD>(q.Int(1));
    if (data) {
      const std::string bytes = q.Blob(2);
      data->assign(bytes.begin(), bytes.end());
    }
    return ERROR_SUCCESS;
  });
}

LONG RegGetDword(HKEY root, const std::wstring& subkey, const std::wstring& name,
                 DWORD* value) {
  HKEY key;
  LONG rc = RegOpenKeyEx(root, subkey, &key);
  if (rc != ERROR_SUCCESS) return rc;
  DWORD type = REG_NONE, data = 0, size = sizeof data;
  rc = RegQueryValueEx(key, name, &type, &data, &size);
  RegCloseKey(key);
  if (rc == ERROR_MORE_DATA ||
      (rc == ERROR_SUCCESS && (type != REG_DWORD || size != 4))) {
    return ERROR_FILE_NOT_FOUND;
  }
  if (rc == ERROR_SUCCESS) *value = data;
  return rc;
}

LONG RegSetDword(HKEY root, const std::wstring& subkey, const std::wstring& name,
                 DWORD value) {
  HKEY key;
  LONG rc = RegCreateKeyEx(root, subkey, &key);
  if (rc != ERROR_SUCCESS) return rc;
  rc = RegSetValueEx(key, name, REG_DWORD, &value, sizeof value);
  RegCloseKey(key);
  return rc;
}

LONG RegGetString(HKEY root, const std::wstring& subkey, const std::wstring& name,
                  std::wstring* value) {
  HKEY key;
  LONG rc = RegOpenKeyEx(root, subkey, &key);
  if (rc != ERROR_SUCCESS) return rc;
  std::vector<wchar_t> buffer(64);
  for (;;) {
    DWORD type = REG_NONE;
    DWORD size = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
    rc = RegQueryValueEx(key, name, &type, buffer.data(), &size);
    if (rc == ERROR_MORE_DATA) {
      buffer.resize(size / sizeof(wchar_t) + 1);
      continue;
    }
    if (rc == ERROR_SUCCESS) {
      if (type != REG_SZ) {
        rc = ERROR_FILE_NOT_FOUND;
      } else {
        size_t chars = size / sizeof(wchar_t);
        *value = std::wstring(buffer.data(),
                              std::find(buffer.data(), buffer.data() + chars, L'\0'));
      }
    }
    break;
  }
  RegCloseKey(key);
  return rc;
}

LONG RegSetString(HKEY root, const std::wstring& subkey, const std::wstring& name,
                  const std::wstring& value) {
  HKEY key;
  LONG rc = RegCreateKeyEx(root, subkey, &key);
  if (rc != ERROR_SUCCESS) return rc;
  rc = RegSetValueEx(key, name, REG_SZ, value.c_str(),
                     static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(key);
  return rc;
}

namespace {

std::string DescribeValue(DWORD type, const std::string& bytes) {
  char buffer[64];
  if (type == REG_DWORD && bytes.size() == 4) {
    uint32_t v;
    memcpy(&v, bytes.data(), 4);
    snprintf(buffer, sizeof buffer, "REG_DWORD 0x%08X", v);
    return buffer;
  }
  if (type == REG_SZ && bytes.size() % sizeof(wchar_t) == 0) {
    std::wstring text(bytes.size() / sizeof(wchar_t), L'\0');
    memcpy(text.data(), bytes.data(), bytes.size());
    bool terminated = !text.empty() && text.back() == L'\0';
    if (terminated) text.pop_back();
    std::string out = "REG_SZ \"";
    for (wchar_t ch : text) {
      if (ch == L'\0') {
        out += "\\0";
      } else {
        out += ToNarrow(std::wstring(1, ch));
      }
    }
    out += "\"";
    if (!terminated) out += " (unterminated)";
    return out;
  }
  snprintf(buffer, sizeof buffer, "type %u, %zu bytes:", type, bytes.size());
  std::string out = buffer;
  for (unsigned char b : bytes) {
    snprintf(buffer, sizeof buffer, " %02X", b);
    out += buffer;
  }
  return out;
}

}  // namespace

uint64_t RegistryChangeCount() { return g_change_count.load(std::memory_order_acquire); }

std::string RegistryDumpForTesting() {
  std::string out;
  WithStore([&](Store& s) -> LONG {
    struct Key {
      std::string name;
      std::vector<std::pair<std::string, int64_t>> children;  // (folded path, id)
      std::vector<std::string> values;
    };
    std::map<int64_t, Key> keys;
    {
      Statement q(s, "SELECT id, parent, name, path FROM keys");
      while (q.Step() == SQLITE_ROW) {
        int64_t id = q.Int(0), parent = q.Int(1);
        keys[id].name = q.Text(2);
        if (parent != 0) keys[parent].children.emplace_back(q.Text(3), id);
      }
    }
    {
      Statement q(s, "SELECT key, name, type, data FROM vals ORDER BY rowid");
      while (q.Step() == SQLITE_ROW) {
        keys[q.Int(0)].values.push_back(
            "  \"" + q.Text(1) + "\" " +
            DescribeValue(static_cast<DWORD>(q.Int(2)), q.Blob(3)));
      }
    }
    std::function<void(int64_t, const std::string&, bool)> walk =
        [&](int64_t id, const std::string& full, bool is_root) {
          Key& k = keys[id];
          if (!is_root || !k.values.empty()) {
            out += full + "\n";
            for (const auto& v : k.values) out += v + "\n";
          }
          std::sort(k.children.begin(), k.children.end());
          for (const auto& [path, child] : k.children) {
            walk(child, full + "\\" + keys[child].name, false);
          }
        };
    for (int64_t root = 1; root <= 3; ++root) walk(root, kRootNames[root - 1], true);
    return ERROR_SUCCESS;
  });
  return out;
}

}  // namespace cvie::platform
