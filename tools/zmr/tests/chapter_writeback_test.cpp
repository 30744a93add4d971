// `zmr chapters FILE --import NEW.xml` killed at every write-side system call
// of the write-back (before the call, and half-way through each write) and
// at random moments, for a document that grows, one that shrinks and one of
// the same size: every fresh open afterwards shows the old document or the
// new one byte for byte, and the media bytes never change. Also: readers
// that may not write the lesson take the new document from the journal, and
// a journal of another lesson is discarded.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "chapter_document.h"
#include "chapter_journal.h"
#include "courseware_format.h"
#include "crc32.h"
#include "obey_file_modes.h"

namespace {

std::string Tmp(const std::string& name) {
    return std::string(::testing::TempDir()) + "wb_" + name;
}

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteAll(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

bool Exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

uint32_t Crc(const std::string& bytes) {
    return zmr::Crc32(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

struct Outcome {
    bool killed = false;  // ended by SIGKILL
    int status = -1;
    std::string out, err;
};

struct RunOptions {
    std::vector<std::string> env;  // NAME=VALUE, added for the child only
    long kill_after_us = -1;       // SIGKILL this long after the start
};

struct Child {
    pid_t pid = -1;
    int out = -1;  // its standard output
    std::string err_path;
};

// Starts zmr with `args` and `env` (NAME=VALUE) added to its environment.
Child Start(const std::vector<std::string>& args, const std::vector<std::string>& env) {
    static int serial = 0;
    Child c;
    c.err_path = Tmp("stderr" + std::to_string(++serial));
    int pipe_fds[2];
    if (::pipe(pipe_fds) != 0) {
        ADD_FAILURE() << "pipe";
        return c;
    }
    c.pid = ::fork();
    if (c.pid == 0) {
        ::dup2(pipe_fds[1], 1);
        ::close(pipe_fds[0]);
        ::close(pipe_fds[1]);
        const int err = ::open(c.err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        ::dup2(err, 2);
        for (const std::string& kv : env) ::putenv(::strdup(kv.c_str()));
        std::vector<char*> argv{const_cast<char*>(ZMR_PATH)};
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(ZMR_PATH, argv.data());
        ::_exit(127);
    }
    ::close(pipe_fds[1]);
    c.out = pipe_fds[0];
    return c;
}

Outcome Finish(const Child& c) {
    Outcome r;
    char buf[4096];
    ssize_t n;
    while ((n = ::read(c.out, buf, sizeof buf)) > 0) r.out.append(buf, size_t(n));
    ::close(c.out);
    int st = 0;
    ::waitpid(c.pid, &st, 0);
    r.killed = WIFSIGNALED(st) && WTERMSIG(st) == SIGKILL;
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    r.err = ReadAll(c.err_path);
    ::unlink(c.err_path.c_str());
    return r;
}

Outcome Zmr(const std::vector<std::string>& args, const RunOptions& o = {}) {
    const Child c = Start(args, o.env);
    if (o.kill_after_us >= 0 && c.pid > 0) {
        ::usleep(useconds_t(o.kill_after_us));
        ::kill(c.pid, SIGKILL);
    }
    return Finish(c);
}

std::vector<std::string> FaultEnv(std::vector<std::string> settings) {
    const char* asan = std::getenv("ASAN_OPTIONS");
    settings.push_back("LD_PRELOAD=" FAULTS_PATH);
    // The fault library comes before the sanitizer's runtime in the process.
    settings.push_back(std::string("ASAN_OPTIONS=") + (asan && *asan ? std::string(asan) + ":" : "") +
                       "verify_asan_link_order=0");
    return settings;
}

struct Call {
    std::string kind;
    size_t bytes = 0;
};

// Write-side calls of one import, in order, as the fault library saw them.
std::vector<Call> ReadLog(const std::string& path) {
    std::vector<Call> calls;
    std::istringstream in(ReadAll(path));
    long n;
    Call c;
    while (in >> n >> c.kind >> c.bytes) calls.push_back(c);
    return calls;
}

class ChapterWriteBack : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        const std::string base = Tmp("base.zmr");
        const Outcome made = Zmr({"create", base, "--tone", "--no-screen", "--no-camera", "--duration", "2",
                                  "--chapter", "0=Start", "--chapter", "1=第二章 演示"});
        ASSERT_EQ(made.status, 0) << made.err;
        bytes_ = ReadAll(base);
        offset_ = zmr::ReadU64(reinterpret_cast<const uint8_t*>(bytes_.data()) + zmr::kObjectHeadSize +
                               zmr::kFpChapterIndexOffset);
        ASSERT_LT(offset_, bytes_.size());
    }

    std::string Old() const { return bytes_.substr(offset_); }
    std::string Media() const { return bytes_.substr(0, offset_); }

    // The lesson as made, with no journal beside it.
    void Restore() {
        ::unlink(zmr::ChapterJournalPath(lesson_).c_str());
        ::chmod(lesson_.c_str(), 0644);
        WriteAll(lesson_, bytes_);
    }

    // After an import died: a fresh open shows the old or the new document,
    // the lesson then holds it, and its media bytes are those it was made with.
    void CheckFreshOpen(const std::string& doc, const std::string& what) {
        SCOPED_TRACE(what);
        const std::string raw = ReadAll(lesson_);
        ASSERT_GE(raw.size(), offset_);
        const std::string stored = raw.substr(offset_);
        const bool journal = Exists(zmr::ChapterJournalPath(lesson_));
        const Outcome open = Zmr({"chapters", lesson_, "--export", "/dev/stdout"});
        ++tried_;
        const bool isOld = open.out == Old(), isNew = open.out == doc;
        const bool torn = stored != Old() && stored != doc;
        // Torn, the lesson can only have been made whole from the journal.
        const bool good = open.status == 0 && (isOld || isNew) && (!torn || isNew) &&
                          Crc(raw.substr(0, offset_)) == Crc(Media()) &&
                          !Exists(zmr::ChapterJournalPath(lesson_)) && ReadAll(lesson_) == Media() + open.out;
        EXPECT_TRUE(good) << "status " << open.status << " " << open.err << ", stored " << stored.size()
                          << " bytes, shown " << open.out.size() << ", journal " << journal;
        passed_ += good;
        mended_ += torn && isNew;
        if (journal)
            ++(isNew ? completed_ : discarded_);
    }

    static std::string bytes_;
    static uint64_t offset_;
    std::string lesson_ = Tmp("lesson.zmr");
    std::string in_ = Tmp("new.xml");
    int tried_ = 0, passed_ = 0, mended_ = 0, completed_ = 0, discarded_ = 0;
};
std::string ChapterWriteBack::bytes_;
uint64_t ChapterWriteBack::offset_ = 0;

TEST_F(ChapterWriteBack, EveryCallAndRandomMomentsLeaveTheOldOrTheNewDocument) {
    std::string grows = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Index>\n";
    for (int i = 0; i < 60; ++i)
        grows += "\t<Chapter id=\"" + std::to_string(100 + i) + "\" time=\"" + std::to_string(i) + "\">第" +
                 std::to_string(i) + "节</Chapter>\n";
    grows += "</Index>\n";
    std::string same = Old();
    const size_t title = same.find("Start");
    ASSERT_NE(title, std::string::npos) << same;
    same.replace(title, 5, "Intro");
    const struct {
        const char* name;
        std::string doc;
    } cases[] = {{"grows", grows},
                 {"shrinks", "<Index><Chapter id=\"1\" time=\"0\">A</Chapter></Index>"},
                 {"same size", same}};
    ASSERT_LT(cases[1].doc.size(), Old().size());
    ASSERT_EQ(cases[2].doc.size(), Old().size());

    std::mt19937 rng(20261209);
    int kills = 0, randomKills = 0, randomLanded = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        WriteAll(in_, c.doc);
        const std::vector<std::string> import = {"chapters", lesson_, "--import", in_};

        // One whole import, its calls logged; it takes the clean run's time.
        Restore();
        const std::string log = Tmp("calls.log");
        ::unlink(log.c_str());
        const auto start = std::chrono::steady_clock::now();
        const Outcome clean = Zmr(import, {FaultEnv({"ZMR_FAULT_LOG=" + log})});
        const auto took = std::chrono::steady_clock::now() - start;
        ASSERT_EQ(clean.status, 0) << clean.err;
        ASSERT_EQ(ReadAll(lesson_), Media() + c.doc);
        const std::vector<Call> calls = ReadLog(log);
        int pwrites = 0, syncs = 0, unlinks = 0;
        for (const Call& call : calls) {
            pwrites += call.kind == "pwrite";
            syncs += call.kind == "fsync";
            unlinks += call.kind == "unlink";
        }
        // Journal and document written, each synced, the journal removed.
        ASSERT_GE(pwrites, 2);
        ASSERT_GE(syncs, 3);
        ASSERT_GE(unlinks, 1);

        for (size_t at = 1; at <= calls.size(); ++at) {
            const Call& call = calls[at - 1];
            for (const bool half : {false, true}) {
                if (half && ((call.kind != "write" && call.kind != "pwrite") || call.bytes < 2))
                    continue;
                Restore();
                const Outcome died =
                    Zmr(import, {FaultEnv({"ZMR_FAULT_AT=" + std::to_string(at),
                                           half ? "ZMR_FAULT_HALF=1" : "ZMR_FAULT_HALF=0"})});
                ASSERT_TRUE(died.killed) << "call " << at << " " << call.kind << ": " << died.err;
                ++kills;
                CheckFreshOpen(c.doc, "died " + std::string(half ? "half-way through" : "before") + " call " +
                                          std::to_string(at) + " (" + call.kind + ")");
            }
        }

        // SIGKILL at random moments over the import's run.
        const long span = long(std::chrono::duration_cast<std::chrono::microseconds>(took).count());
        std::uniform_int_distribution<long> when(span / 4, span + span / 10);
        for (int i = 0; i < 10; ++i) {
            Restore();
            RunOptions o;
            o.kill_after_us = when(rng);
            const Outcome died = Zmr(import, o);
            ++randomKills;
            randomLanded += died.killed;
            CheckFreshOpen(c.doc, "killed after " + std::to_string(o.kill_after_us) + " us");
        }
    }
    std::printf(
        "write-back kill test: %d points tried at system calls and %d random kills (%d before the "
        "end); %d fresh opens, %d passed; %d torn lessons mended, %d journals completed, %d discarded\n",
        kills, randomKills, randomLanded, tried_, passed_, mended_, completed_, discarded_);
    EXPECT_EQ(passed_, tried_);
    // The journal mattered: some deaths left a torn lesson that it completed,
    // some a torn journal that was discarded.
    EXPECT_GT(mended_, 0);
    EXPECT_GT(completed_, 0);
    EXPECT_GT(discarded_, 0);
}

// Which call of an import of `doc` has this kind, counting from 1.
size_t FindCall(const std::vector<Call>& calls, const std::string& kind) {
    for (size_t i = 0; i < calls.size(); ++i)
        if (calls[i].kind == kind)
            return i + 1;
    return 0;
}

TEST_F(ChapterWriteBack, ReadersThatMayNotWriteTakeTheJournalAndForeignJournalsAreDiscarded) {
    const std::string doc = "<Index><Chapter id=\"1\" time=\"0\">新</Chapter></Index>";
    WriteAll(in_, doc);
    const std::vector<std::string> import = {"chapters", lesson_, "--import", in_};
    Restore();
    const std::string log = Tmp("calls2.log");
    ::unlink(log.c_str());
    ASSERT_EQ(Zmr(import, {FaultEnv({"ZMR_FAULT_LOG=" + log})}).status, 0);
    const size_t cut = FindCall(ReadLog(log), "ftruncate");
    ASSERT_GT(cut, 0u);

    // Died with the new document written over the start of the old one.
    Restore();
    ASSERT_TRUE(Zmr(import, {FaultEnv({"ZMR_FAULT_AT=" + std::to_string(cut)})}).killed);
    const std::string torn = ReadAll(lesson_);
    ASSERT_EQ(torn.substr(offset_, doc.size()), doc);
    ASSERT_GT(torn.size(), offset_ + doc.size());
    const std::string journal = ReadAll(zmr::ChapterJournalPath(lesson_));
    ASSERT_FALSE(journal.empty());

    // Someone who may read the lesson but not write it sees the new document
    // and changes nothing.
    ASSERT_EQ(::chmod(lesson_.c_str(), 0444), 0);
    {
        ObeyFileModes modes;
        ASSERT_TRUE(modes.ok());
        ASSERT_LT(::open(lesson_.c_str(), O_RDWR), 0);
        const zmr::ChapterDocument seen = zmr::ReadChapterDocument(lesson_);
        ASSERT_TRUE(seen.ok) << seen.error;
        EXPECT_EQ(seen.bytes, doc);
    }
    EXPECT_EQ(ReadAll(lesson_), torn);
    EXPECT_TRUE(Exists(zmr::ChapterJournalPath(lesson_)));

    // The owner's next look (here `zmr info`) completes the write-back.
    ::chmod(lesson_.c_str(), 0644);
    const Outcome info = Zmr({"info", "--json", lesson_});
    ASSERT_EQ(info.status, 0) << info.err;
    EXPECT_NE(info.out.find("\"title\":\"新\""), std::string::npos) << info.out;
    EXPECT_EQ(ReadAll(lesson_), Media() + doc);
    EXPECT_FALSE(Exists(zmr::ChapterJournalPath(lesson_)));

    // The same journal beside another lesson belongs to nothing there.
    const std::string other_lesson = Tmp("other.zmr");
    ASSERT_EQ(Zmr({"create", other_lesson, "--tone", "--no-screen", "--no-camera", "--duration", "3"}).status,
              0);
    const std::string other_bytes = ReadAll(other_lesson);
    WriteAll(zmr::ChapterJournalPath(other_lesson), journal);
    const Outcome foreign = Zmr({"chapters", other_lesson, "--export", "/dev/stdout"});
    ASSERT_EQ(foreign.status, 0) << foreign.err;
    EXPECT_NE(foreign.out, doc);
    EXPECT_EQ(ReadAll(other_lesson), other_bytes);
    EXPECT_FALSE(Exists(zmr::ChapterJournalPath(other_lesson)));
}

TEST_F(ChapterWriteBack, TwoWritersNeverInterleave) {
    // The first import (a long document) stalls between writing its document
    // and setting the end of the file; a second (a short one) starts then.
    // Were they to interleave, the long one's end would leave the short
    // document followed by the rest of the long one.
    std::string longDoc = "<Index>";
    for (int i = 0; i < 100; ++i)
        longDoc += "<Chapter id=\"" + std::to_string(i) + "\" time=\"0\">long</Chapter>";
    longDoc += "</Index>";
    const std::string shortDoc = "<Index/>";
    const std::string longIn = Tmp("long.xml"), shortIn = Tmp("short.xml");
    WriteAll(longIn, longDoc);
    WriteAll(shortIn, shortDoc);
    Restore();
    const std::string log = Tmp("calls3.log");
    ::unlink(log.c_str());
    ASSERT_EQ(Zmr({"chapters", lesson_, "--import", longIn}, {FaultEnv({"ZMR_FAULT_LOG=" + log})}).status, 0);
    const size_t cut = FindCall(ReadLog(log), "ftruncate");
    ASSERT_GT(cut, 0u);

    Restore();
    ::unlink(log.c_str());
    const Child first = Start(
        {"chapters", lesson_, "--import", longIn},
        FaultEnv({"ZMR_FAULT_AT=" + std::to_string(cut), "ZMR_FAULT_PAUSE_MS=500", "ZMR_FAULT_LOG=" + log}));
    for (int i = 0; i < 1000 && ReadLog(log).size() < cut; ++i) ::usleep(2000);
    ASSERT_EQ(ReadLog(log).size(), cut);
    const Child second = Start({"chapters", lesson_, "--import", shortIn}, {});
    EXPECT_EQ(Finish(first).status, 0);
    EXPECT_EQ(Finish(second).status, 0);
    // The second waited for the first and went last.
    EXPECT_EQ(ReadAll(lesson_), Media() + shortDoc);
    EXPECT_FALSE(Exists(zmr::ChapterJournalPath(lesson_)));
}

}  // namespace
