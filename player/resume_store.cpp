// Table layout:
//   positions(path TEXT PRIMARY KEY,    -- the lesson's canonical path
//             identity TEXT NOT NULL,   -- its content identity when the position was kept
//             position REAL NOT NULL,   -- seconds
//             duration REAL NOT NULL,   -- seconds, the lesson's length then
//             saved INTEGER NOT NULL)   -- Unix time of the last save
// Concurrency: WAL mode, one autocommitted statement per change, and a short
// busy wait: a save another player holds up is skipped (the next one comes a
// few seconds later), never waited for by the window.
#include "resume_store.h"

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFileInfo>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "chapter_journal.h"
#include "user_folders.h"

namespace kovel::player {
namespace {

// Longest wait for another player's write, in milliseconds.
constexpr int kBusyWaitMs = 250;
// Lessons remembered; the least recently saved go first.
constexpr int kKeptLessons = 1000;

// One prepared statement, finalized when it goes out of scope.
class CStatement {
  public:
    CStatement(sqlite3* db, const char* sql) { sqlite3_prepare_v2(db, sql, -1, &m_stmt, nullptr); }
    ~CStatement() { sqlite3_finalize(m_stmt); }
    CStatement(const CStatement&) = delete;
    CStatement& operator=(const CStatement&) = delete;
    bool ok() const { return m_stmt != nullptr; }
    sqlite3_stmt* get() const { return m_stmt; }
    void Text(int i, const std::string& s) {
        sqlite3_bind_text(m_stmt, i, s.data(), int(s.size()), SQLITE_TRANSIENT);
    }
    void Real(int i, double v) { sqlite3_bind_double(m_stmt, i, v); }
    int Step() { return sqlite3_step(m_stmt); }

  private:
    sqlite3_stmt* m_stmt = nullptr;
};

}  // namespace

bool WorthResuming(double position, double duration) {
    return position >= kResumeMinSeconds && duration > 0 && position <= kResumeMaxFraction * duration;
}

std::optional<LessonKey> LessonKeyOf(const std::string& path, std::optional<uint64_t> chapterIndexOffset) {
    zmr::FileReader file;
    if (path.empty() || file.Open(path) != 0)
        return std::nullopt;
    const uint64_t size = file.Size();
    const uint64_t end = chapterIndexOffset && *chapterIndexOffset <= size ? *chapterIndexOffset : size;
    zmr::LessonIdentity identity;
    if (!zmr::ReadLessonIdentity(file, end, &identity))
        return std::nullopt;
    char text[64];
    std::snprintf(text, sizeof text, "%llu:%08x:%08x", static_cast<unsigned long long>(identity.offset),
                  identity.head_crc, identity.tail_crc);
    const QFileInfo info(QString::fromUtf8(path.data(), qsizetype(path.size())));
    const QString canonical = info.canonicalFilePath();
    LessonKey key;
    key.path = (canonical.isEmpty() ? info.absoluteFilePath() : canonical).toStdString();
    key.identity = text;
    return key;
}

std::string DefaultResumeStorePath() {
    const std::string state = XdgBaseFolder("XDG_STATE_HOME", ".local/state");
    return state.empty() ? state : state + "/kovel/resume.db";
}

CResumeStore::CResumeStore(std::string path) : m_path(std::move(path)) {}

CResumeStore::~CResumeStore() {
    Close();
}

void CResumeStore::Close() {
    if (m_db)
        sqlite3_close(m_db);
    m_db = nullptr;
}

void CResumeStore::Complain(const char* what) {
    // Once per run: the window is no place for it, and a failing store
    // would otherwise repeat itself every few seconds.
    if (m_bComplained)
        return;
    m_bComplained = true;
    std::fprintf(stderr, "kovelplayer: where lessons were left is not remembered (%s: %s)\n", m_path.c_str(),
                 what);
}

int CResumeStore::Setup() {
    const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX;
    int rc = sqlite3_open_v2(m_path.c_str(), &m_db, flags, nullptr);
    if (rc != SQLITE_OK)
        return rc;
    sqlite3_busy_timeout(m_db, kBusyWaitMs);
    rc = sqlite3_exec(m_db,
                      "PRAGMA journal_mode=WAL;"
                      "PRAGMA synchronous=NORMAL;"
                      "CREATE TABLE IF NOT EXISTS positions(path TEXT PRIMARY KEY, identity TEXT NOT NULL,"
                      " position REAL NOT NULL, duration REAL NOT NULL, saved INTEGER NOT NULL);",
                      nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK)
        return rc;
    // The store is small: a damaged page is found now rather than by a
    // save halfway through the lesson.
    CStatement check(m_db, "PRAGMA quick_check");
    if (!check.ok())
        return sqlite3_errcode(m_db);
    rc = check.Step();
    if (rc != SQLITE_ROW)
        return rc;
    const auto* verdict = reinterpret_cast<const char*>(sqlite3_column_text(check.get(), 0));
    return verdict && std::strcmp(verdict, "ok") == 0 ? SQLITE_OK : SQLITE_CORRUPT;
}

int CResumeStore::SetupWhenFree() {
    // Two players starting on a new store both turn it to WAL, which takes
    // the file exclusively: SQLite answers one of them "busy" at once, past
    // the busy wait, to avoid a deadlock. Starting over a few times settles
    // it; the first that succeeds leaves WAL in the file for the other.
    int code = SQLITE_BUSY;
    for (int attempt = 0; attempt < 20; ++attempt) {
        code = Setup();
        if ((code & 0xff) != SQLITE_BUSY && (code & 0xff) != SQLITE_LOCKED)
            break;
        Close();
        ::usleep(10000);
    }
    return code;
}

bool CResumeStore::Ready() {
    if (m_db || m_bTried)
        return m_db != nullptr;
    m_bTried = true;
    if (m_path.empty()) {
        Complain("neither $XDG_STATE_HOME nor $HOME names a folder");
        return false;
    }
    const size_t slash = m_path.rfind('/');
    if (slash != std::string::npos && slash > 0 && !MakeDirectories(m_path.substr(0, slash))) {
        Complain(std::strerror(errno));
        return false;
    }
    if (const int code = SetupWhenFree(); code != SQLITE_OK) {
        Close();
        // A damaged store is set aside (not deleted: someone may want to
        // look at it) and started afresh; anything else is left alone.
        if (code != SQLITE_NOTADB && code != SQLITE_CORRUPT) {
            Complain(sqlite3_errstr(code));
            return false;
        }
        for (const char* suffix : {"-wal", "-shm"}) ::unlink((m_path + suffix).c_str());
        if (::rename(m_path.c_str(), (m_path + ".corrupt").c_str()) != 0 || Setup() != SQLITE_OK) {
            Complain(sqlite3_errstr(code));
            Close();
            return false;
        }
        std::fprintf(stderr, "kovelplayer: %s was damaged: set aside as %s.corrupt\n", m_path.c_str(),
                     m_path.c_str());
    }
    char sql[160];
    std::snprintf(sql, sizeof sql,
                  "DELETE FROM positions WHERE path NOT IN"
                  " (SELECT path FROM positions ORDER BY saved DESC LIMIT %d)",
                  kKeptLessons);
    sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr);
    return true;
}

std::optional<double> CResumeStore::Find(const LessonKey& key) {
    if (!Ready())
        return std::nullopt;
    CStatement q(m_db, "SELECT identity, position FROM positions WHERE path = ?1");
    if (!q.ok()) {
        Complain(sqlite3_errmsg(m_db));
        return std::nullopt;
    }
    q.Text(1, key.path);
    if (q.Step() != SQLITE_ROW)
        return std::nullopt;
    const auto* identity = reinterpret_cast<const char*>(sqlite3_column_text(q.get(), 0));
    const double position = sqlite3_column_double(q.get(), 1);
    if (identity && key.identity == identity && std::isfinite(position))
        return position;
    // Another file at the same path: it starts over. (Unless another player
    // has kept the new file's place meanwhile.)
    CStatement drop(m_db, "DELETE FROM positions WHERE path = ?1 AND identity IS ?2");
    if (drop.ok()) {
        drop.Text(1, key.path);
        drop.Text(2, identity ? std::string(identity) : std::string());
        drop.Step();
    }
    return std::nullopt;
}

bool CResumeStore::Save(const LessonKey& key, double position, double duration) {
    if (!Ready())
        return false;
    const bool keep = WorthResuming(position, duration);
    CStatement q(m_db, keep ? "INSERT INTO positions(path, identity, position, duration, saved)"
                              " VALUES(?1, ?2, ?3, ?4, ?5) ON CONFLICT(path) DO UPDATE SET"
                              " identity = excluded.identity, position = excluded.position,"
                              " duration = excluded.duration, saved = excluded.saved"
                            : "DELETE FROM positions WHERE path = ?1");
    if (!q.ok()) {
        Complain(sqlite3_errmsg(m_db));
        return false;
    }
    q.Text(1, key.path);
    if (keep) {
        q.Text(2, key.identity);
        q.Real(3, position);
        q.Real(4, duration);
        sqlite3_bind_int64(q.get(), 5, sqlite3_int64(std::time(nullptr)));
    }
    if (const int rc = q.Step(); rc != SQLITE_DONE) {
        // Another player holding the store up is no fault: the next save comes soon.
        if (rc != SQLITE_BUSY)
            Complain(sqlite3_errmsg(m_db));
        return false;
    }
    return true;
}

}  // namespace kovel::player
