// Where each lesson was left, so that reopening it returns there: one
// position per lesson in an SQLite file that every running player of the
// user shares. The store is a convenience: when it is missing, corrupt or
// unwritable, lessons still play (from their start) and nothing is shown.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

struct sqlite3;

namespace kovel::player {

// A position is worth returning to only between these bounds.
inline constexpr double kResumeMinSeconds = 10.0;
inline constexpr double kResumeMaxFraction = 0.95;
bool WorthResuming(double position, double duration);

// What a position belongs to: the lesson's path and an identity of its
// content, so that a file replaced at the same path starts over.
struct LessonKey {
    std::string path;      // canonical where the file can be resolved
    std::string identity;  // content checksums, see LessonKeyOf
};

// For a lesson whose chapter index offset is known, the identity covers the
// bytes before that offset, which a chapter write-back never changes (the
// position survives editing the chapters); for any other file, the whole
// file. Nothing when the file cannot be read.
std::optional<LessonKey> LessonKeyOf(const std::string& path, std::optional<uint64_t> chapterIndexOffset);

// $XDG_STATE_HOME/kovel/resume.db (an absolute $XDG_STATE_HOME), else
// ~/.local/state/kovel/resume.db; empty when neither can be named.
std::string DefaultResumeStorePath();

class CResumeStore {
  public:
    explicit CResumeStore(std::string path);
    ~CResumeStore();
    CResumeStore(const CResumeStore&) = delete;
    CResumeStore& operator=(const CResumeStore&) = delete;

    // Where the lesson was left. Nothing when it was not kept, or when the
    // file at its path has been replaced since (its entry is then dropped).
    std::optional<double> Find(const LessonKey& key);
    // Keeps the position, or forgets the lesson when the position is not
    // worth returning to. False when the store could not be written.
    bool Save(const LessonKey& key, double position, double duration);

  private:
    // Opens (and sets up) the store at first use; false when it cannot be.
    bool Ready();
    // An SQLite result code; SQLITE_OK once the store is open and sound.
    int Setup();
    // Setup, started over while another player holds the new store.
    int SetupWhenFree();
    void Close();
    void Complain(const char* what);

    std::string m_path;
    sqlite3* m_db = nullptr;
    bool m_bTried = false;
    bool m_bComplained = false;
};

}  // namespace kovel::player
