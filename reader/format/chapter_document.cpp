#include "chapter_document.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <optional>
#include <string_view>
#include <thread>

#include "chapter_journal.h"
#include "chapter_xml.h"
#include "courseware_parse.h"

namespace zmr {

namespace {

class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    int get() const { return fd_; }
    void reset(int fd = -1) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = fd;
    }
    // Closes and reports whether the close succeeded.
    bool close() {
        const int fd = fd_;
        fd_ = -1;
        return fd < 0 || ::close(fd) == 0;
    }

  private:
    int fd_ = -1;
};

struct Located {
    std::string error;
    uint64_t offset = 0;
    uint64_t file_size = 0;
};

// The offset is trusted only where it cannot reach into the media.
bool Locate(const FileReader& file, Located* out) {
    auto layout = ReadFileLayout(file);
    if (!layout) {
        out->error = "not a courseware file";
        return false;
    }
    if (!layout->file_properties_first) {
        out->error =
            "the chapter index offset is unknown (the header does not begin with the file properties)";
        return false;
    }
    if (!layout->data) {
        out->error = "the file has no data object";
        return false;
    }
    if (layout->chapter_index_offset < layout->media_end) {
        out->error = "the chapter index offset lies inside the media data";
        return false;
    }
    if (layout->chapter_index_offset > layout->file_size) {
        out->error = "the chapter index offset lies beyond the end of the file";
        return false;
    }
    out->offset = layout->chapter_index_offset;
    out->file_size = layout->file_size;
    return true;
}

std::string Errno(const std::string& what, int err = errno) {
    return what + ": " + std::strerror(err);
}

// A write-back holds its lock for a few synced writes; a lock held much
// longer belongs to a process that hangs.
constexpr auto kLockWait = std::chrono::seconds(5);

// Waits for a lock of kind `how` (LOCK_SH or LOCK_EX); 0 or the errno
// (EWOULDBLOCK when the wait ran out).
int LockFile(int fd, int how) {
    const auto deadline = std::chrono::steady_clock::now() + kLockWait;
    for (;;) {
        if (::flock(fd, how | LOCK_NB) == 0)
            return 0;
        if (errno == EINTR)
            continue;
        if (errno != EWOULDBLOCK || std::chrono::steady_clock::now() >= deadline)
            return errno;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

// Opens the lesson with `flags`, takes a lock of kind `how` and a reader on
// the same open file. Readers go on without a lock on a file system that
// has none; a writer never does.
bool OpenLesson(const std::string& path, int flags, int how, UniqueFd* fd, FileReader* reader,
                std::string* error) {
    // Never created: a missing lesson is an error, not an empty file to fill.
    fd->reset(::open(path.c_str(), flags | O_CLOEXEC));
    if (fd->get() < 0) {
        *error = Errno("cannot open the courseware file");
        return false;
    }
    if (const int err = LockFile(fd->get(), how); err && (how == LOCK_EX || err == EWOULDBLOCK)) {
        *error = Errno("the courseware file is in use", err);
        fd->reset();
        return false;
    }
    if (const int err = reader->Open("/proc/self/fd/" + std::to_string(fd->get()))) {
        *error = Errno("cannot read the courseware file", err);
        fd->reset();
        return false;
    }
    return true;
}

bool ReadStored(const FileReader& file, ChapterDocument* doc) {
    Located at;
    if (!Locate(file, &at)) {
        doc->error = at.error;
        return false;
    }
    if (at.file_size - at.offset > kMaxChapterDocument) {
        doc->error = "the chapter document is too large";
        return false;
    }
    doc->offset = at.offset;
    doc->bytes.resize(at.file_size - at.offset);
    if (!file.ReadExact(at.offset, doc->bytes.data(), doc->bytes.size())) {
        doc->error = "short read";
        doc->bytes.clear();
        return false;
    }
    doc->ok = true;
    return true;
}

bool WriteAllAt(int fd, std::string_view data, uint64_t offset) {
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::pwrite(fd, data.data() + done, data.size() - done, off_t(offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = EIO;
            return false;
        }
        done += size_t(n);
    }
    return true;
}

// Makes a name created or removed in the lesson's folder survive a power
// cut. A file system that cannot sync folders (EINVAL) keeps names in order
// by itself.
std::string FolderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

bool SyncFolder(const std::string& path) {
    UniqueFd dir(::open(FolderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() < 0)
        return false;
    return ::fsync(dir.get()) == 0 || errno == EINVAL;
}

bool JournalPresent(const std::string& path) {
    struct stat st {};
    return ::lstat(ChapterJournalPath(path).c_str(), &st) == 0;
}

enum class JournalCheck {
    kMatches,       // whole, and written for the lesson as it stands
    kNotThisWrite,  // torn, gone, or another file's: nothing to complete
    kUnreadable,    // cannot tell: keep it
};

// Reads the journal beside the lesson open in `file` into `journal`.
JournalCheck CheckJournal(const std::string& path, const FileReader& file, ChapterJournal* journal) {
    UniqueFd fd(::open(ChapterJournalPath(path).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (fd.get() < 0)
        return errno == ENOENT || errno == ELOOP ? JournalCheck::kNotThisWrite : JournalCheck::kUnreadable;
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0)
        return JournalCheck::kUnreadable;
    if (!S_ISREG(st.st_mode) || uint64_t(st.st_size) > ChapterJournalSize(kMaxChapterDocument))
        return JournalCheck::kNotThisWrite;
    std::string bytes(size_t(st.st_size), '\0');
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::read(fd.get(), bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return JournalCheck::kUnreadable;
        if (n == 0)
            break;
        done += size_t(n);
    }
    bytes.resize(done);
    std::optional<ChapterJournal> decoded = DecodeChapterJournal(bytes);
    Located at;
    if (!decoded || !Locate(file, &at) || at.offset != decoded->lesson.offset ||
        !decoded->SizeFits(at.file_size))
        return JournalCheck::kNotThisWrite;
    LessonIdentity identity;
    if (!ReadLessonIdentity(file, at.offset, &identity))
        return JournalCheck::kUnreadable;
    if (!(identity == decoded->lesson))
        return JournalCheck::kNotThisWrite;
    *journal = std::move(*decoded);
    return JournalCheck::kMatches;
}

// The document in place and the file's end after it, synced.
bool PutDocument(int fd, std::string_view document, uint64_t offset, std::string* error) {
    if (!WriteAllAt(fd, document, offset)) {
        *error = Errno("cannot write the chapter document");
        return false;
    }
    if (::ftruncate(fd, off_t(offset + document.size())) != 0) {
        *error = Errno("cannot set the end of the courseware file");
        return false;
    }
    if (::fsync(fd) != 0) {
        *error = Errno("cannot flush the courseware file");
        return false;
    }
    return true;
}

void RemoveJournal(const std::string& path) {
    if (::unlink(ChapterJournalPath(path).c_str()) == 0)
        SyncFolder(path);
}

// Under the exclusive lock on `fd`: completes the write-back a complete
// journal that belongs to this lesson describes, and removes any journal.
// False when a complete journal could not be rolled forward; it then stays,
// and readers take the document from it.
bool SettleJournal(int fd, const std::string& path, const FileReader& file, std::string* error) {
    if (!JournalPresent(path))
        return true;
    ChapterJournal journal;
    switch (CheckJournal(path, file, &journal)) {
        case JournalCheck::kUnreadable:
            *error = Errno("cannot read the write-back journal beside the lesson");
            return false;
        case JournalCheck::kMatches:
            if (!PutDocument(fd, journal.document, journal.lesson.offset, error))
                return false;
            break;
        case JournalCheck::kNotThisWrite:
            break;
    }
    // Done, torn (the write-back died before the lesson was touched) or
    // another file's: it has nothing more to say.
    RemoveJournal(path);
    return true;
}

bool WriteJournal(const std::string& path, const std::string& bytes, mode_t mode, std::string* error) {
    // Never through a link: the journal is written only beside the lesson.
    UniqueFd fd(::open(ChapterJournalPath(path).c_str(),
                       O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, mode));
    if (fd.get() < 0) {
        *error = Errno("cannot create the write-back journal beside the lesson");
        return false;
    }
    if (!WriteAllAt(fd.get(), bytes, 0) || ::fsync(fd.get()) != 0 || !fd.close() || !SyncFolder(path)) {
        *error = Errno("cannot write the write-back journal beside the lesson");
        return false;
    }
    return true;
}

}  // namespace

ChapterDocument ReadChapterDocument(const std::string& path) {
    ChapterDocument doc;
    if (path.size() >= PATH_MAX) {
        doc.error = "path too long";
        return doc;
    }
    UniqueFd fd;
    FileReader file;
    // A shared lock: no write-back is under way while the document is read.
    if (!OpenLesson(path, O_RDONLY, LOCK_SH, &fd, &file, &doc.error))
        return doc;
    if (!JournalPresent(path)) {
        ReadStored(file, &doc);
        return doc;
    }
    // A write-back was cut short: complete it where the lesson may be written.
    file.Close();
    fd.reset();
    std::string why;
    if (OpenLesson(path, O_RDWR, LOCK_EX, &fd, &file, &why) && SettleJournal(fd.get(), path, file, &why)) {
        ReadStored(file, &doc);
        return doc;
    }
    // Elsewhere the stored document may be torn; the journal holds the new one.
    file.Close();
    if (!OpenLesson(path, O_RDONLY, LOCK_SH, &fd, &file, &doc.error))
        return doc;
    ChapterJournal journal;
    if (CheckJournal(path, file, &journal) == JournalCheck::kMatches) {
        doc.ok = true;
        doc.offset = journal.lesson.offset;
        doc.bytes = std::move(journal.document);
        return doc;
    }
    ReadStored(file, &doc);
    return doc;
}

// The write-back, and why it can be cut short anywhere.
//
// Order of the steps, each waiting for the one before:
//   1. Lock the lesson exclusively; settle a journal an earlier write-back
//      left (roll it forward or remove it).
//   2. Write the journal beside the lesson: the new document, its offset, the
//      lesson's size and identity, a checksum over all of it. fsync the
//      journal, then fsync the folder so that its name is durable too.
//   3. Write the document in place at the offset, set the end of the file
//      after it, fsync the lesson.
//   4. Remove the journal, fsync the folder.
// Nothing ever writes before the offset, so the media bytes never change.
//
// The process dies (what it wrote stays in the page cache):
//   - before or during 2: the lesson is untouched. The journal is missing,
//     or cut short so its length or checksum fails and it is discarded (old
//     document); or it is whole, and the next open completes it (new).
//   - during or after 3: the journal is whole and the next open writes the
//     whole document again and sets the end (new document), however much of
//     3 had happened: rewriting is idempotent.
//   - during 4: the journal is gone (new document in place) or still there
//     (rolled forward again, same bytes).
// Readers hold a shared lock and writers the exclusive one, so no reader
// sees a lesson between 2 and 4 of a live write-back.
//
// The power fails (whatever was not synced may be lost, in any order):
//   - before 2's syncs return: the lesson has not been touched; at most a
//     partial journal survives, and its checksum makes it discarded (old).
//   - after them: the journal is on disk whole. Any mix of 3's writes may be
//     lost or half done; the journal makes the next open finish it (new).
//     It is removed (4) only after 3's fsync returned, so a lesson whose
//     document might be torn never lacks its journal; if the removal itself
//     is lost the journal comes back and rolls the same bytes forward.
// What no ordering can mend: a disk that acknowledges a flush it has not
// done, or one that tears the sector the media shares with the document's
// first bytes while rewriting it; and a journal lost together with its folder.
WriteBackResult WriteChapterDocument(const std::string& path, const std::string& document,
                                     const std::string* expected) {
    WriteBackResult r;
    if (path.size() >= PATH_MAX) {
        r.error = "path too long";
        return r;
    }
    if (document.size() > kMaxChapterDocument) {
        r.error = "the new chapter document is too large";
        return r;
    }
    pugi::xml_document xml;
    if (!ParseChapterXml(xml, document) || !xml.document_element()) {
        r.error = "the new chapter document is not well-formed XML";
        return r;
    }
    UniqueFd fd;
    FileReader file;
    // Step 1. Two writers never interleave: the second waits for the first.
    if (!OpenLesson(path, O_RDWR, LOCK_EX, &fd, &file, &r.error))
        return r;
    std::string why;
    if (!SettleJournal(fd.get(), path, file, &why)) {
        r.error = "an earlier write-back could not be completed: " + why;
        return r;
    }
    Located at;
    if (!Locate(file, &at)) {
        r.error = at.error;
        return r;
    }
    // The old document, to put back should the lesson refuse the new one.
    std::optional<std::string> old;
    if (at.file_size - at.offset <= kMaxChapterDocument) {
        old.emplace(at.file_size - at.offset, '\0');
        if (!file.ReadExact(at.offset, old->data(), old->size()))
            old.reset();
    }
    if (expected && old != *expected) {
        r.error = "the chapters in the lesson were changed by another program since it was opened";
        return r;
    }
    ChapterJournal journal;
    journal.old_size = at.file_size;
    journal.document = document;
    struct stat st {};
    if (!ReadLessonIdentity(file, at.offset, &journal.lesson) || ::fstat(fd.get(), &st) != 0) {
        r.error = Errno("cannot read the courseware file");
        return r;
    }
    file.Close();
    // Step 2. Readable by whoever may read the lesson: a reader that cannot
    // complete the write-back takes the document from the journal.
    if (!WriteJournal(path, EncodeChapterJournal(journal), st.st_mode & 0666, &r.error)) {
        RemoveJournal(path);
        return r;
    }
    // Step 3.
    if (!PutDocument(fd.get(), document, at.offset, &why)) {
        // A refusal (a full disk) should change nothing: the old document
        // goes back and the journal with it. If even that fails, the journal
        // stays and the next open completes the new document.
        std::string ignored;
        if (old && PutDocument(fd.get(), *old, at.offset, &ignored)) {
            RemoveJournal(path);
            r.error = why + " (the lesson is unchanged)";
        } else {
            r.error = why + " (it will be completed when the lesson is next opened)";
        }
        return r;
    }
    // Step 4.
    RemoveJournal(path);
    if (!fd.close()) {
        r.error = Errno("cannot close the courseware file");
        return r;
    }
    r.ok = true;
    return r;
}

std::string ChapterWriteBackProblem(const std::string& path) {
    if (path.size() >= PATH_MAX)
        return "path too long";
    UniqueFd fd(::open(path.c_str(), O_RDWR | O_CLOEXEC));
    if (fd.get() < 0)
        return Errno("the lesson cannot be written");
    FileReader file;
    if (const int err = file.Open("/proc/self/fd/" + std::to_string(fd.get())))
        return Errno("cannot read the courseware file", err);
    Located at;
    if (!Locate(file, &at))
        return at.error;
    if (::faccessat(AT_FDCWD, FolderOf(path).c_str(), W_OK | X_OK, AT_EACCESS) != 0)
        return Errno("the lesson's folder cannot be written (the write-back keeps its journal there)");
    return {};
}

void DiscardChapterJournal(const std::string& path) {
    RemoveJournal(path);
}

}  // namespace zmr
