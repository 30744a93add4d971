// The registry store: hierarchical keys under HKEY_CLASSES_ROOT in an SQLite
// file shared by every process of the user (the player, the registration
// tool, tests).
//
// Table layout:
//   keys(path TEXT PRIMARY KEY,   -- folded full path below the root, "clsid\{...}\inprocserver32"
//        parent TEXT NOT NULL,    -- folded path of the parent key ("" for the root's children)
//        name TEXT NOT NULL)      -- the last component as it was first created
//   vals(key TEXT NOT NULL,       -- folded path of the owning key ("" for the root)
//        fold TEXT NOT NULL,      -- folded value name ("" for the default value)
//        name TEXT NOT NULL,      -- value name as given
//        type INTEGER NOT NULL,   -- REG_SZ, ...
//        data BLOB NOT NULL,      -- value bytes; strings without their terminator
//        PRIMARY KEY(key, fold))
// Key and value names are compared without regard to ASCII case, as the
// platform does; "folded" means lower-cased. The root key is implicit.
//
// Concurrency: the file is in WAL mode with a busy timeout, and every change
// runs in an immediate transaction, so two processes writing at once both
// succeed (one waits for the other).
#include <limits.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "kovel/hresult.h"
#include "kovel/registry.h"

struct KovelRegistryKey {
    std::shared_ptr<struct RegistryStore> store;  // null for the root sentinel
    std::string path;                             // folded
};

namespace {
constexpr int kBusyTimeoutMs = 30000;
}

struct RegistryStore {
    sqlite3* db = nullptr;
    std::mutex lock;  // one statement sequence at a time on this connection
    ~RegistryStore() {
        if (db)
            sqlite3_close(db);
    }
};

namespace {

KovelRegistryKey g_root;

std::string Fold(const std::string& s) {
    std::string r = s;
    for (char& c : r)
        if (c >= 'A' && c <= 'Z')
            c = char(c - 'A' + 'a');
    return r;
}

// Creates every missing folder of `dir`.
bool MakeFolders(const std::string& dir) {
    if (dir.empty())
        return true;
    std::string cur;
    size_t pos = 0;
    while (pos <= dir.size()) {
        size_t next = dir.find('/', pos);
        if (next == std::string::npos)
            next = dir.size();
        cur = dir.substr(0, next);
        if (!cur.empty() && mkdir(cur.c_str(), 0700) != 0 && errno != EEXIST)
            return false;
        pos = next + 1;
    }
    return true;
}

// The store's file, from the environment as it is now.
bool StorePath(std::string* out) {
    const char* env = std::getenv("KOVEL_REGISTRY");
    std::string path;
    if (env && *env) {
        path = env;
    } else {
        const char* xdg = std::getenv("XDG_DATA_HOME");
        std::string base;
        if (xdg && *xdg) {
            base = xdg;
        } else {
            const char* home = std::getenv("HOME");
            if (!home || !*home)
                return false;
            base = std::string(home) + "/.local/share";
        }
        path = base + "/kovel/registry.db";
    }
    if (path.size() >= PATH_MAX) {
        std::fprintf(stderr, "kovel registry: store path longer than %d bytes refused\n", PATH_MAX - 1);
        return false;
    }
    size_t slash = path.rfind('/');
    if (slash != std::string::npos && slash > 0 && !MakeFolders(path.substr(0, slash))) {
        std::fprintf(stderr, "kovel registry: cannot create the folder of %s: %s\n", path.c_str(),
                     std::strerror(errno));
        return false;
    }
    *out = path;
    return true;
}

bool Exec(sqlite3* db, const char* sql) {
    char* err = nullptr;
    int rc = sqlite3_exec(db, sql, nullptr, nullptr, &err);
    if (rc != SQLITE_OK) {
        std::fprintf(stderr, "kovel registry: %s: %s\n", sql, err ? err : sqlite3_errstr(rc));
        sqlite3_free(err);
        return false;
    }
    return true;
}

// The switch to WAL needs the whole file for a moment. When another process
// sets the same fresh file up at that instant, SQLite answers "busy" without
// calling the busy handler (waiting could deadlock), so wait here instead.
bool SwitchToWal(sqlite3* db) {
    for (int waited = 0;; ++waited) {
        const int rc = sqlite3_exec(db, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
        if (rc == SQLITE_OK)
            return true;
        if ((rc != SQLITE_BUSY && rc != SQLITE_LOCKED) || waited >= kBusyTimeoutMs)
            return Exec(db, "PRAGMA journal_mode=WAL");  // reports why
        usleep(1000);
    }
}

// A prepared statement that finalises itself.
class Stmt {
  public:
    Stmt(sqlite3* db, const char* sql) { ok_ = sqlite3_prepare_v2(db, sql, -1, &s_, nullptr) == SQLITE_OK; }
    ~Stmt() { sqlite3_finalize(s_); }
    Stmt(const Stmt&) = delete;
    Stmt& operator=(const Stmt&) = delete;
    bool ok() const { return ok_; }
    Stmt& Text(int i, const std::string& v) {
        sqlite3_bind_text(s_, i, v.data(), int(v.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Stmt& Blob(int i, const void* p, size_t n) {
        sqlite3_bind_blob64(s_, i, n ? p : "", n, SQLITE_TRANSIENT);
        return *this;
    }
    Stmt& Int(int i, int64_t v) {
        sqlite3_bind_int64(s_, i, v);
        return *this;
    }
    int Step() { return sqlite3_step(s_); }
    sqlite3_stmt* get() { return s_; }

  private:
    sqlite3_stmt* s_ = nullptr;
    bool ok_ = false;
};

std::shared_ptr<RegistryStore> OpenStore() {
    std::string path;
    if (!StorePath(&path))
        return nullptr;
    auto store = std::make_shared<RegistryStore>();
    int rc = sqlite3_open_v2(path.c_str(), &store->db,
                             SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        std::fprintf(stderr, "kovel registry: cannot open %s: %s\n", path.c_str(), sqlite3_errstr(rc));
        return nullptr;
    }
    // Short, even waits while another process writes: the built-in handler's
    // growing sleeps make alternating writers crawl.
    sqlite3_busy_handler(
        store->db,
        [](void*, int count) -> int {
            if (count >= kBusyTimeoutMs)
                return 0;
            usleep(1000);
            return 1;
        },
        nullptr);
    // Readers should not take the write lock: set up only a store that needs it.
    {
        Stmt q(store->db,
               "SELECT count(*) FROM sqlite_master WHERE type='table' AND name IN ('keys','vals')");
        if (q.ok() && q.Step() == SQLITE_ROW && sqlite3_column_int(q.get(), 0) == 2) {
            Stmt mode(store->db, "PRAGMA journal_mode");
            if (mode.ok() && mode.Step() == SQLITE_ROW &&
                sqlite3_stricmp(reinterpret_cast<const char*>(sqlite3_column_text(mode.get(), 0)), "wal") ==
                    0)
                return store;
        }
    }
    if (!SwitchToWal(store->db) ||
        !Exec(store->db,
              "BEGIN IMMEDIATE;"
              "CREATE TABLE IF NOT EXISTS keys(path TEXT PRIMARY KEY, parent TEXT NOT NULL, name TEXT NOT "
              "NULL);"
              "CREATE INDEX IF NOT EXISTS keys_parent ON keys(parent, path);"
              "CREATE TABLE IF NOT EXISTS vals(key TEXT NOT NULL, fold TEXT NOT NULL, name TEXT NOT NULL,"
              " type INTEGER NOT NULL, data BLOB NOT NULL, PRIMARY KEY(key, fold));"
              "COMMIT;")) {
        sqlite3_exec(store->db, "ROLLBACK", nullptr, nullptr, nullptr);
        return nullptr;
    }
    return store;
}

// Runs `body` inside an immediate transaction; commits on ERROR_SUCCESS.
template <typename F>
LSTATUS Write(RegistryStore& store, F body) {
    std::lock_guard<std::mutex> g(store.lock);
    if (sqlite3_exec(store.db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK)
        return ERROR_BADDB;
    LSTATUS st = body();
    if (st == ERROR_SUCCESS) {
        if (sqlite3_exec(store.db, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK)
            st = ERROR_BADDB;
    }
    if (st != ERROR_SUCCESS)
        sqlite3_exec(store.db, "ROLLBACK", nullptr, nullptr, nullptr);
    return st;
}

bool KeyExists(RegistryStore& store, const std::string& path) {
    if (path.empty())
        return true;
    Stmt q(store.db, "SELECT 1 FROM keys WHERE path=?");
    return q.ok() && q.Text(1, path).Step() == SQLITE_ROW;
}

// Splits a backslash-separated subkey path; empty components are refused.
bool SplitPath(const char* subKey, std::vector<std::string>* parts) {
    parts->clear();
    if (!subKey || !*subKey)
        return true;
    std::string s(subKey);
    if (s.size() >= PATH_MAX)
        return false;
    size_t pos = 0;
    while (true) {
        size_t next = s.find('\\', pos);
        std::string part = s.substr(pos, next == std::string::npos ? std::string::npos : next - pos);
        if (part.empty())
            return false;
        parts->push_back(part);
        if (next == std::string::npos)
            break;
        pos = next + 1;
    }
    return true;
}

std::string Join(const std::string& base, const std::string& foldedPart) {
    return base.empty() ? foldedPart : base + "\\" + foldedPart;
}

// The store a key handle talks to: the root opens a fresh one each time, so
// a changed $KOVEL_REGISTRY is honoured.
std::shared_ptr<RegistryStore> StoreOf(HKEY key) {
    if (key == &g_root)
        return OpenStore();
    return key->store;
}

LSTATUS OpenOrCreate(HKEY hKey, const char* subKey, HKEY* phkResult, bool create) {
    if (!phkResult)
        return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    if (!hKey)
        return ERROR_INVALID_HANDLE;
    std::vector<std::string> parts;
    if (!SplitPath(subKey, &parts))
        return ERROR_INVALID_PARAMETER;
    if (hKey == &g_root && parts.empty()) {
        *phkResult = &g_root;
        return ERROR_SUCCESS;
    }
    auto store = StoreOf(hKey);
    if (!store)
        return ERROR_BADDB;
    std::string path = hKey->path;
    LSTATUS st;
    if (create) {
        st = Write(*store, [&]() -> LSTATUS {
            if (!KeyExists(*store, path))
                return ERROR_FILE_NOT_FOUND;
            for (const auto& part : parts) {
                std::string child = Join(path, Fold(part));
                Stmt ins(store->db, "INSERT OR IGNORE INTO keys(path, parent, name) VALUES(?, ?, ?)");
                if (!ins.ok() || ins.Text(1, child).Text(2, path).Text(3, part).Step() != SQLITE_DONE)
                    return ERROR_BADDB;
                path = child;
            }
            return ERROR_SUCCESS;
        });
    } else {
        std::lock_guard<std::mutex> g(store->lock);
        for (const auto& part : parts) path = Join(path, Fold(part));
        st = KeyExists(*store, path) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
    }
    if (st != ERROR_SUCCESS)
        return st;
    *phkResult = new KovelRegistryKey{store, path};
    return ERROR_SUCCESS;
}

}  // namespace

extern "C" {

const HKEY HKEY_CLASSES_ROOT = &g_root;

LSTATUS RegCreateKeyA(HKEY hKey, const char* subKey, HKEY* phkResult) {
    return OpenOrCreate(hKey, subKey, phkResult, true);
}

LSTATUS RegOpenKeyA(HKEY hKey, const char* subKey, HKEY* phkResult) {
    return OpenOrCreate(hKey, subKey, phkResult, false);
}

LSTATUS RegCloseKey(HKEY hKey) {
    if (!hKey)
        return ERROR_INVALID_HANDLE;
    if (hKey != &g_root)
        delete hKey;
    return ERROR_SUCCESS;
}

LSTATUS RegSetValueExA(HKEY hKey, const char* valueName, DWORD, DWORD type, const BYTE* data, DWORD cbData) {
    if (!hKey)
        return ERROR_INVALID_HANDLE;
    if (!data && cbData)
        return ERROR_INVALID_PARAMETER;
    auto store = StoreOf(hKey);
    if (!store)
        return ERROR_BADDB;
    std::string name = valueName ? valueName : "";
    size_t n = cbData;
    // Strings are kept without their terminator (and anything after it).
    if (type == REG_SZ)
        n = strnlen(reinterpret_cast<const char*>(data ? data : reinterpret_cast<const BYTE*>("")), n);
    return Write(*store, [&]() -> LSTATUS {
        if (!KeyExists(*store, hKey->path))
            return ERROR_FILE_NOT_FOUND;
        Stmt ins(store->db, "INSERT OR REPLACE INTO vals(key, fold, name, type, data) VALUES(?, ?, ?, ?, ?)");
        if (!ins.ok())
            return ERROR_BADDB;
        ins.Text(1, hKey->path).Text(2, Fold(name)).Text(3, name).Int(4, type).Blob(5, data, n);
        return ins.Step() == SQLITE_DONE ? ERROR_SUCCESS : ERROR_BADDB;
    });
}

LSTATUS RegQueryValueExA(HKEY hKey, const char* valueName, DWORD*, DWORD* type, BYTE* data, DWORD* cbData) {
    if (!hKey)
        return ERROR_INVALID_HANDLE;
    if (data && !cbData)
        return ERROR_INVALID_PARAMETER;
    auto store = StoreOf(hKey);
    if (!store)
        return ERROR_BADDB;
    std::string bytes;
    DWORD vtype;
    {
        std::lock_guard<std::mutex> g(store->lock);
        Stmt q(store->db, "SELECT type, data FROM vals WHERE key=? AND fold=?");
        if (!q.ok())
            return ERROR_BADDB;
        q.Text(1, hKey->path).Text(2, Fold(valueName ? valueName : ""));
        if (q.Step() != SQLITE_ROW)
            return ERROR_FILE_NOT_FOUND;
        vtype = DWORD(sqlite3_column_int64(q.get(), 0));
        const void* p = sqlite3_column_blob(q.get(), 1);
        int len = sqlite3_column_bytes(q.get(), 1);
        if (p && len > 0)
            bytes.assign(static_cast<const char*>(p), size_t(len));
    }
    if (vtype == REG_SZ)
        bytes.push_back('\0');
    if (bytes.size() > 0xFFFFFFFFu)
        return ERROR_MORE_DATA;
    if (type)
        *type = vtype;
    DWORD need = DWORD(bytes.size());
    if (!cbData)
        return ERROR_SUCCESS;
    if (!data) {
        *cbData = need;
        return ERROR_SUCCESS;
    }
    if (*cbData < need) {
        *cbData = need;
        return ERROR_MORE_DATA;
    }
    std::memcpy(data, bytes.data(), need);
    *cbData = need;
    return ERROR_SUCCESS;
}

LSTATUS RegEnumKeyA(HKEY hKey, DWORD index, char* name, DWORD cchName) {
    if (!hKey)
        return ERROR_INVALID_HANDLE;
    if (!name)
        return ERROR_INVALID_PARAMETER;
    auto store = StoreOf(hKey);
    if (!store)
        return ERROR_BADDB;
    std::lock_guard<std::mutex> g(store->lock);
    if (!KeyExists(*store, hKey->path))
        return ERROR_FILE_NOT_FOUND;
    Stmt q(store->db, "SELECT name FROM keys WHERE parent=? ORDER BY path LIMIT 1 OFFSET ?");
    if (!q.ok())
        return ERROR_BADDB;
    q.Text(1, hKey->path).Int(2, index);
    if (q.Step() != SQLITE_ROW)
        return ERROR_NO_MORE_ITEMS;
    const char* text = reinterpret_cast<const char*>(sqlite3_column_text(q.get(), 0));
    size_t len = text ? std::strlen(text) : 0;
    if (len + 1 > cchName)
        return ERROR_MORE_DATA;
    std::memcpy(name, text ? text : "", len);
    name[len] = '\0';
    return ERROR_SUCCESS;
}

LSTATUS RegDeleteKeyA(HKEY hKey, const char* subKey) {
    if (!hKey)
        return ERROR_INVALID_HANDLE;
    std::vector<std::string> parts;
    if (!SplitPath(subKey, &parts) || parts.empty())
        return ERROR_INVALID_PARAMETER;
    auto store = StoreOf(hKey);
    if (!store)
        return ERROR_BADDB;
    std::string path = hKey->path;
    for (const auto& part : parts) path = Join(path, Fold(part));
    return Write(*store, [&]() -> LSTATUS {
        if (!KeyExists(*store, path))
            return ERROR_FILE_NOT_FOUND;
        Stmt kids(store->db, "SELECT 1 FROM keys WHERE parent=? LIMIT 1");
        if (!kids.ok())
            return ERROR_BADDB;
        if (kids.Text(1, path).Step() == SQLITE_ROW)
            return ERROR_ACCESS_DENIED;
        Stmt dv(store->db, "DELETE FROM vals WHERE key=?");
        Stmt dk(store->db, "DELETE FROM keys WHERE path=?");
        if (!dv.ok() || !dk.ok())
            return ERROR_BADDB;
        if (dv.Text(1, path).Step() != SQLITE_DONE || dk.Text(1, path).Step() != SQLITE_DONE)
            return ERROR_BADDB;
        return ERROR_SUCCESS;
    });
}

LSTATUS RegDeleteValueA(HKEY hKey, const char* valueName) {
    if (!hKey)
        return ERROR_INVALID_HANDLE;
    auto store = StoreOf(hKey);
    if (!store)
        return ERROR_BADDB;
    return Write(*store, [&]() -> LSTATUS {
        Stmt d(store->db, "DELETE FROM vals WHERE key=? AND fold=?");
        if (!d.ok())
            return ERROR_BADDB;
        if (d.Text(1, hKey->path).Text(2, Fold(valueName ? valueName : "")).Step() != SQLITE_DONE)
            return ERROR_BADDB;
        return sqlite3_changes(store->db) > 0 ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
    });
}

}  // extern "C"
