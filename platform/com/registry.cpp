// The registry store: hierarchical keys under HKEY_CLASSES_ROOT in SQLite
// files shared by every process of the user (the player, the registration
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
// Scopes: the root stands for an ordered list of stores (the user's, then the
// system stores). A key exists when any store holds it; each value is read
// from the first store that holds it; its subkeys are those of every store.
// Changes go to one store, the first of the list; a key that only a later
// store holds is created there on the way, and cannot be deleted.
//
// Concurrency: a user's store is in WAL mode with a busy timeout, and every
// change runs in an immediate transaction, so two processes writing at once
// both succeed (one waits for the other). A system store keeps a rollback
// journal instead, which users without write access to it can still read.
#include <dlfcn.h>
#include <limits.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "kovel/hresult.h"
#include "kovel/registry.h"

namespace {
constexpr int kBusyTimeoutMs = 30000;
}

struct RegistryStore {
    sqlite3* db = nullptr;
    std::mutex lock;  // one statement sequence at a time on this connection
    // Statements prepared once per connection, by their text (under lock).
    std::map<const char*, sqlite3_stmt*> statements;
    ~RegistryStore() {
        for (auto& s : statements) sqlite3_finalize(s.second);
        if (db)
            sqlite3_close(db);
    }
};

namespace {

// One store of a scope list: where it is and how it is kept.
struct StoreFile {
    std::string path;
    bool system = false;  // rollback journal, folders readable by everyone
};

// The stores the root stands for, opened as they are first needed.
struct StoreSet {
    std::vector<StoreFile> files;  // look-up order
    int write = -1;                // the store changes go to; -1: none

    // The store at `i` if it exists and holds the tables; null otherwise.
    std::shared_ptr<RegistryStore> Reader(size_t i);
    // The store changes go to, created when missing; null with a message when it cannot be.
    std::shared_ptr<RegistryStore> Writer();
    size_t size() const { return files.size(); }

  private:
    std::mutex lock_;
    std::map<size_t, std::shared_ptr<RegistryStore>> open_;
    std::set<size_t> missing_;
};

}  // namespace

struct KovelRegistryKey {
    std::shared_ptr<StoreSet> stores;  // null for the root sentinel
    std::string path;                  // folded
    std::string named;                 // the same path as the callers named it
};

namespace {

KovelRegistryKey g_root;
std::atomic<int32_t> g_scope{KOVEL_REGISTRY_MERGED};
std::mutex g_buildLock;
std::string g_buildRegistry;  // set when the program runs from its build tree

std::string Fold(const std::string& s) {
    std::string r = s;
    for (char& c : r)
        if (c >= 'A' && c <= 'Z')
            c = char(c - 'A' + 'a');
    return r;
}

// Creates every missing folder of `dir` with `mode`.
bool MakeFolders(const std::string& dir, mode_t mode) {
    if (dir.empty())
        return true;
    std::string cur;
    size_t pos = 0;
    while (pos <= dir.size()) {
        size_t next = dir.find('/', pos);
        if (next == std::string::npos)
            next = dir.size();
        cur = dir.substr(0, next);
        if (!cur.empty() && mkdir(cur.c_str(), mode) != 0 && errno != EEXIST)
            return false;
        pos = next + 1;
    }
    return true;
}

std::string Env(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

std::string RealFolder(const std::string& path) {
    char buf[PATH_MAX];
    return realpath(path.c_str(), buf) ? std::string(buf) : std::string();
}

// The user's store: $XDG_DATA_HOME, else ~/.local/share; empty without either.
std::string UserStorePath() {
    std::string base = Env("XDG_DATA_HOME");
    if (base.empty() || base[0] != '/') {
        const std::string home = Env("HOME");
        if (home.empty())
            return {};
        base = home + "/.local/share";
    }
    return base + "/kovel/registry.db";
}

// The prefix this library is installed under: the parent of its folder.
std::string OwnPrefix() {
    static const std::string prefix = [] {
        Dl_info info{};
        if (!dladdr(reinterpret_cast<void*>(&UserStorePath), &info) || !info.dli_fname)
            return std::string();
        const std::string lib = RealFolder(info.dli_fname);
        const size_t slash = lib.rfind('/');
        if (slash == std::string::npos || slash == 0)
            return std::string();
        const size_t up = lib.rfind('/', slash - 1);
        return up == std::string::npos ? std::string() : lib.substr(0, up == 0 ? 1 : up);
    }();
    return prefix;
}

// System stores: this installation's own, then one per folder of
// $XDG_DATA_DIRS (absolute ones only, as the base directory rules say), each once.
std::vector<std::string> SystemStorePaths() {
    std::vector<std::string> out;
    std::set<std::string> seen;
    auto add = [&](std::string share) {
        while (share.size() > 1 && share.back() == '/') share.pop_back();
        if (share.empty() || share[0] != '/')
            return;
        const std::string real = RealFolder(share);
        if (!seen.insert(real.empty() ? share : real).second)
            return;
        out.push_back(share + "/kovel/registry.db");
    };
    if (const std::string prefix = OwnPrefix(); !prefix.empty())
        add(prefix == "/" ? "/share" : prefix + "/share");
    std::string dirs = Env("XDG_DATA_DIRS");
    if (dirs.empty())
        dirs = "/usr/local/share/:/usr/share/";
    size_t pos = 0;
    while (pos <= dirs.size()) {
        size_t colon = dirs.find(':', pos);
        if (colon == std::string::npos)
            colon = dirs.size();
        add(dirs.substr(pos, colon - pos));
        pos = colon + 1;
    }
    return out;
}

// The stores the root stands for, from the environment as it is now.
std::shared_ptr<StoreSet> FreshStores() {
    auto set = std::make_shared<StoreSet>();
    std::string sole = Env("KOVEL_REGISTRY");
    if (sole.empty()) {
        std::lock_guard<std::mutex> g(g_buildLock);
        sole = g_buildRegistry;
    }
    if (!sole.empty()) {
        set->files.push_back({sole, false});
        set->write = 0;
        return set;
    }
    const int32_t scope = g_scope.load();
    const std::string user = UserStorePath();
    if (scope == KOVEL_REGISTRY_SYSTEM) {
        const std::vector<std::string> systems = SystemStorePaths();
        if (!systems.empty() && !OwnPrefix().empty()) {
            set->files.push_back({systems.front(), true});
            set->write = 0;
        }
        return set;
    }
    if (!user.empty()) {
        set->files.push_back({user, false});
        set->write = 0;
    }
    if (scope == KOVEL_REGISTRY_MERGED)
        for (const std::string& path : SystemStorePaths())
            if (path != user)
                set->files.push_back({path, true});
    return set;
}

// While a hold is on (KovelRegistryHold), the root keeps one store list with
// its open connections and prepared statements, as long as the environment
// names the same stores; the last release closes them again, so that between
// bursts of look-ups no store is held open.
std::mutex g_holdLock;
int g_holds = 0;
std::shared_ptr<StoreSet> g_held;

bool SameStores(const StoreSet& a, const StoreSet& b) {
    if (a.write != b.write || a.files.size() != b.files.size())
        return false;
    for (size_t i = 0; i < a.files.size(); ++i)
        if (a.files[i].path != b.files[i].path || a.files[i].system != b.files[i].system)
            return false;
    return true;
}

std::shared_ptr<StoreSet> ResolveStores() {
    auto fresh = FreshStores();
    std::lock_guard<std::mutex> g(g_holdLock);
    if (g_holds == 0)
        return fresh;
    if (!g_held || !SameStores(*g_held, *fresh))
        g_held = fresh;
    return g_held;
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

// Switching the journal mode needs the whole file for a moment. When another
// process sets the same fresh file up at that instant, SQLite answers "busy"
// without calling the busy handler (waiting could deadlock), so wait here instead.
bool SetJournalMode(sqlite3* db, const char* pragma) {
    for (int waited = 0;; ++waited) {
        const int rc = sqlite3_exec(db, pragma, nullptr, nullptr, nullptr);
        if (rc == SQLITE_OK)
            return true;
        if ((rc != SQLITE_BUSY && rc != SQLITE_LOCKED) || waited >= kBusyTimeoutMs)
            return Exec(db, pragma);  // reports why
        usleep(1000);
    }
}

// A prepared statement: one of its own, finalised at the end, or the store's
// kept one (its lock held), reset at the end for the next use.
class Stmt {
  public:
    Stmt(sqlite3* db, const char* sql) { ok_ = sqlite3_prepare_v2(db, sql, -1, &s_, nullptr) == SQLITE_OK; }
    Stmt(RegistryStore& store, const char* sql) : kept_(true) {
        sqlite3_stmt*& slot = store.statements[sql];
        if (!slot &&
            sqlite3_prepare_v3(store.db, sql, -1, SQLITE_PREPARE_PERSISTENT, &slot, nullptr) != SQLITE_OK) {
            sqlite3_finalize(slot);
            slot = nullptr;
        }
        s_ = slot;
        ok_ = s_ != nullptr;
    }
    ~Stmt() {
        if (!kept_) {
            sqlite3_finalize(s_);
        } else if (s_) {
            // Ends the statement's read or write at once.
            sqlite3_reset(s_);
            sqlite3_clear_bindings(s_);
        }
    }
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
    bool kept_ = false;
};

bool HasTables(sqlite3* db) {
    Stmt q(db, "SELECT count(*) FROM sqlite_master WHERE type='table' AND name IN ('keys','vals')");
    return q.ok() && q.Step() == SQLITE_ROW && sqlite3_column_int(q.get(), 0) == 2;
}

// Opens the store file. With `create`, a missing file (and its folders) is
// made and set up; without, a missing file or one without the tables is no
// store at all (null, quietly).
std::shared_ptr<RegistryStore> OpenStore(const StoreFile& file, bool create) {
    const std::string& path = file.path;
    if (path.size() >= PATH_MAX) {
        std::fprintf(stderr, "kovel registry: store path longer than %d bytes refused\n", PATH_MAX - 1);
        return nullptr;
    }
    if (create) {
        size_t slash = path.rfind('/');
        if (slash != std::string::npos && slash > 0 &&
            !MakeFolders(path.substr(0, slash), file.system ? 0755 : 0700)) {
            std::fprintf(stderr, "kovel registry: cannot create the folder of %s: %s\n", path.c_str(),
                         std::strerror(errno));
            return nullptr;
        }
    } else if (access(path.c_str(), F_OK) != 0) {
        return nullptr;
    }
    auto store = std::make_shared<RegistryStore>();
    const int flags = SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0) | SQLITE_OPEN_FULLMUTEX;
    int rc = sqlite3_open_v2(path.c_str(), &store->db, flags, nullptr);
    if (rc != SQLITE_OK) {
        // Every look-up opens the stores afresh: say it once, not at every class created.
        static std::mutex lock;
        static std::set<std::string> told;
        std::lock_guard<std::mutex> g(lock);
        if (told.insert(path).second)
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
    const char* mode = file.system ? "delete" : "wal";
    // Readers should not take the write lock: set up only a store that needs it.
    if (HasTables(store->db)) {
        if (!create)
            return store;
        Stmt q(store->db, "PRAGMA journal_mode");
        if (q.ok() && q.Step() == SQLITE_ROW &&
            sqlite3_stricmp(reinterpret_cast<const char*>(sqlite3_column_text(q.get(), 0)), mode) == 0)
            return store;
    } else if (!create) {
        return nullptr;
    }
    if (!SetJournalMode(store->db, file.system ? "PRAGMA journal_mode=DELETE" : "PRAGMA journal_mode=WAL") ||
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
    // Everyone reads a system store; the umask must not take that away.
    if (file.system)
        chmod(path.c_str(), 0644);
    return store;
}

std::shared_ptr<RegistryStore> StoreSet::Reader(size_t i) {
    std::lock_guard<std::mutex> g(lock_);
    if (auto it = open_.find(i); it != open_.end())
        return it->second;
    if (missing_.count(i))
        return nullptr;
    auto store = OpenStore(files[i], false);
    if (store)
        open_[i] = store;
    else
        missing_.insert(i);
    return store;
}

std::shared_ptr<RegistryStore> StoreSet::Writer() {
    if (write < 0) {
        std::fprintf(stderr,
                     "kovel registry: no store to write to (neither $XDG_DATA_HOME nor $HOME is set)\n");
        return nullptr;
    }
    std::lock_guard<std::mutex> g(lock_);
    const size_t i = size_t(write);
    if (auto it = open_.find(i); it != open_.end())
        return it->second;
    auto store = OpenStore(files[i], true);
    if (store) {
        open_[i] = store;
        missing_.erase(i);
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

// Callers hold the store's lock.
bool KeyExistsLocked(RegistryStore& store, const std::string& path) {
    if (path.empty())
        return true;
    Stmt q(store, "SELECT 1 FROM keys WHERE path=?");
    return q.ok() && q.Text(1, path).Step() == SQLITE_ROW;
}

bool KeyExists(RegistryStore& store, const std::string& path) {
    std::lock_guard<std::mutex> g(store.lock);
    return KeyExistsLocked(store, path);
}

// The first store of the list that holds `path`; null when none does.
std::shared_ptr<RegistryStore> FirstHolding(StoreSet& set, const std::string& path) {
    for (size_t i = 0; i < set.size(); ++i)
        if (auto s = set.Reader(i); s && KeyExists(*s, path))
            return s;
    return nullptr;
}

// Whether a store other than the one changes go to holds `path`.
bool OnlyElsewhere(StoreSet& set, const std::string& path) {
    for (size_t i = 0; i < set.size(); ++i)
        if (int(i) != set.write)
            if (auto s = set.Reader(i); s && KeyExists(*s, path))
                return true;
    return false;
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

std::string Join(const std::string& base, const std::string& part) {
    return base.empty() ? part : base + "\\" + part;
}

// Creates every key along `named` in `store` (inside a write transaction).
LSTATUS CreateChainLocked(RegistryStore& store, const std::string& named) {
    std::vector<std::string> parts;
    if (!SplitPath(named.c_str(), &parts))
        return ERROR_INVALID_PARAMETER;
    std::string path;
    for (const auto& part : parts) {
        const std::string child = Join(path, Fold(part));
        Stmt ins(store, "INSERT OR IGNORE INTO keys(path, parent, name) VALUES(?, ?, ?)");
        if (!ins.ok() || ins.Text(1, child).Text(2, path).Text(3, part).Step() != SQLITE_DONE)
            return ERROR_BADDB;
        path = child;
    }
    return ERROR_SUCCESS;
}

// The store list a key handle talks to: the root resolves a fresh one each
// time, so a changed environment or scope is honoured.
std::shared_ptr<StoreSet> StoresOf(HKEY key) {
    if (key == &g_root)
        return ResolveStores();
    return key->stores;
}

// Makes sure the key `h` names exists in the store changes go to, creating it
// there when only another store holds it.
LSTATUS KeyForChange(StoreSet& set, RegistryStore& writer, HKEY h) {
    if (KeyExistsLocked(writer, h->path))
        return ERROR_SUCCESS;
    if (!OnlyElsewhere(set, h->path))
        return ERROR_FILE_NOT_FOUND;
    return CreateChainLocked(writer, h->named);
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
    auto stores = StoresOf(hKey);
    std::string path = hKey->path, named = hKey->named;
    for (const auto& part : parts) {
        path = Join(path, Fold(part));
        named = Join(named, part);
    }
    LSTATUS st;
    if (create) {
        auto writer = stores->Writer();
        if (!writer)
            return ERROR_BADDB;
        st = Write(*writer, [&]() -> LSTATUS {
            if (LSTATUS parent = KeyForChange(*stores, *writer, hKey); parent != ERROR_SUCCESS)
                return parent;
            return CreateChainLocked(*writer, named);
        });
    } else {
        st = FirstHolding(*stores, path) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
    }
    if (st != ERROR_SUCCESS)
        return st;
    *phkResult = new KovelRegistryKey{stores, path, named};
    return ERROR_SUCCESS;
}

}  // namespace

extern "C" {

const HKEY HKEY_CLASSES_ROOT = &g_root;

void KovelRegistrySetScope(int32_t scope) {
    if (scope == KOVEL_REGISTRY_MERGED || scope == KOVEL_REGISTRY_USER || scope == KOVEL_REGISTRY_SYSTEM)
        g_scope.store(scope);
}

DWORD KovelRegistryWriteStore(char* path, DWORD size) {
    auto set = ResolveStores();
    if (!path || set->write < 0)
        return 0;
    const std::string& p = set->files[size_t(set->write)].path;
    if (p.size() + 1 > size)
        return 0;
    std::memcpy(path, p.c_str(), p.size() + 1);
    return DWORD(p.size());
}

void KovelRegistryUseBuildTree(const char* binDir, const char* registry) {
    if (!binDir || !registry || !*registry)
        return;
    char exe[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0)
        return;
    std::string self(exe, size_t(n));
    const size_t slash = self.rfind('/');
    if (slash == std::string::npos)
        return;
    const std::string exeDir = RealFolder(self.substr(0, slash == 0 ? 1 : slash));
    if (exeDir.empty() || exeDir != RealFolder(binDir))
        return;
    std::lock_guard<std::mutex> g(g_buildLock);
    g_buildRegistry = registry;
}

void KovelRegistryHold(void) {
    std::lock_guard<std::mutex> g(g_holdLock);
    ++g_holds;
}

void KovelRegistryRelease(void) {
    std::shared_ptr<StoreSet> closing;
    {
        std::lock_guard<std::mutex> g(g_holdLock);
        if (g_holds > 0 && --g_holds == 0)
            closing = std::move(g_held);
    }
}

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
    auto stores = StoresOf(hKey);
    auto writer = stores->Writer();
    if (!writer)
        return ERROR_BADDB;
    std::string name = valueName ? valueName : "";
    size_t n = cbData;
    // Strings are kept without their terminator (and anything after it).
    if (type == REG_SZ)
        n = strnlen(reinterpret_cast<const char*>(data ? data : reinterpret_cast<const BYTE*>("")), n);
    return Write(*writer, [&]() -> LSTATUS {
        if (LSTATUS key = KeyForChange(*stores, *writer, hKey); key != ERROR_SUCCESS)
            return key;
        Stmt ins(*writer, "INSERT OR REPLACE INTO vals(key, fold, name, type, data) VALUES(?, ?, ?, ?, ?)");
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
    auto stores = StoresOf(hKey);
    std::string bytes;
    DWORD vtype = 0;
    bool found = false;
    for (size_t i = 0; i < stores->size() && !found; ++i) {
        auto store = stores->Reader(i);
        if (!store)
            continue;
        std::lock_guard<std::mutex> g(store->lock);
        Stmt q(*store, "SELECT type, data FROM vals WHERE key=? AND fold=?");
        if (!q.ok())
            return ERROR_BADDB;
        q.Text(1, hKey->path).Text(2, Fold(valueName ? valueName : ""));
        if (q.Step() != SQLITE_ROW)
            continue;
        found = true;
        vtype = DWORD(sqlite3_column_int64(q.get(), 0));
        const void* p = sqlite3_column_blob(q.get(), 1);
        int len = sqlite3_column_bytes(q.get(), 1);
        if (p && len > 0)
            bytes.assign(static_cast<const char*>(p), size_t(len));
    }
    if (!found)
        return ERROR_FILE_NOT_FOUND;
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
    auto stores = StoresOf(hKey);
    // The subkeys of every store holding the key, in path order, each once
    // under the name the first store gives it.
    std::map<std::string, std::string> children;
    bool found = false;
    for (size_t i = 0; i < stores->size(); ++i) {
        auto store = stores->Reader(i);
        if (!store)
            continue;
        std::lock_guard<std::mutex> g(store->lock);
        if (!KeyExistsLocked(*store, hKey->path))
            continue;
        found = true;
        Stmt q(*store, "SELECT path, name FROM keys WHERE parent=? ORDER BY path");
        if (!q.ok())
            return ERROR_BADDB;
        q.Text(1, hKey->path);
        while (q.Step() == SQLITE_ROW) {
            const char* path = reinterpret_cast<const char*>(sqlite3_column_text(q.get(), 0));
            const char* text = reinterpret_cast<const char*>(sqlite3_column_text(q.get(), 1));
            children.emplace(path ? path : "", text ? text : "");
        }
    }
    if (!found)
        return ERROR_FILE_NOT_FOUND;
    if (index >= children.size())
        return ERROR_NO_MORE_ITEMS;
    const std::string& text = std::next(children.begin(), long(index))->second;
    if (text.size() + 1 > cchName)
        return ERROR_MORE_DATA;
    std::memcpy(name, text.c_str(), text.size() + 1);
    return ERROR_SUCCESS;
}

LSTATUS RegDeleteKeyA(HKEY hKey, const char* subKey) {
    if (!hKey)
        return ERROR_INVALID_HANDLE;
    std::vector<std::string> parts;
    if (!SplitPath(subKey, &parts) || parts.empty())
        return ERROR_INVALID_PARAMETER;
    auto stores = StoresOf(hKey);
    std::string path = hKey->path;
    for (const auto& part : parts) path = Join(path, Fold(part));
    auto writer = stores->write >= 0 ? stores->Reader(size_t(stores->write)) : nullptr;
    // What only another store holds is not this process's to delete.
    if (!writer || !KeyExists(*writer, path))
        return OnlyElsewhere(*stores, path) ? ERROR_ACCESS_DENIED : ERROR_FILE_NOT_FOUND;
    return Write(*writer, [&]() -> LSTATUS {
        if (!KeyExistsLocked(*writer, path))
            return ERROR_FILE_NOT_FOUND;
        Stmt kids(*writer, "SELECT 1 FROM keys WHERE parent=? LIMIT 1");
        if (!kids.ok())
            return ERROR_BADDB;
        if (kids.Text(1, path).Step() == SQLITE_ROW)
            return ERROR_ACCESS_DENIED;
        Stmt dv(*writer, "DELETE FROM vals WHERE key=?");
        Stmt dk(*writer, "DELETE FROM keys WHERE path=?");
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
    auto stores = StoresOf(hKey);
    auto writer = stores->write >= 0 ? stores->Reader(size_t(stores->write)) : nullptr;
    if (!writer || !KeyExists(*writer, hKey->path))
        return OnlyElsewhere(*stores, hKey->path) ? ERROR_ACCESS_DENIED : ERROR_FILE_NOT_FOUND;
    return Write(*writer, [&]() -> LSTATUS {
        Stmt d(*writer, "DELETE FROM vals WHERE key=? AND fold=?");
        if (!d.ok())
            return ERROR_BADDB;
        if (d.Text(1, hKey->path).Text(2, Fold(valueName ? valueName : "")).Step() != SQLITE_DONE)
            return ERROR_BADDB;
        return sqlite3_changes(writer->db) > 0 ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
    });
}

}  // extern "C"
