// Arbitrary bytes as the player's working copy of a lesson's chapter
// document, taken through what the player does with it: the chapter list,
// the highlight of the chapter being played, choosing a chapter, and adding,
// retitling and deleting one. The list always mirrors the chapter times, and
// the highlight names a row of the list or none.
#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <climits>
#include <cstdlib>
#include <string>

#include "chapter_list.h"
#include "courseware_format.h"
#include "courseware_writer.h"
#include "fuzz_input.h"
#include "graph_player.h"
#include "report_message.h"

using namespace kovel::player;

namespace {

// A lesson with a chapter document, opened once. No reader is registered in
// the fuzzer's own registry, so the graph is not built and the lesson stays
// closed, but its working copy is there and editable, as after a write-back.
struct Player {
    int argc = 1;
    char name[14] = "chapters_fuzz";
    char* argv[2] = {name, nullptr};
    QApplication app{argc, argv};
    CGraphPlayer player;
    QListWidget list;
    QLineEdit title;
    QLabel position;

    Player() {
        const std::string lesson = kovel::fuzz::InputPath("chapters_fuzz", ".zmr");
        zmr::Lesson l;
        l.title = "fuzz";
        l.play_duration = UNITS;
        zmr::WriterStream audio;
        audio.type = zmr::kAudioStream;
        audio.number = 1;
        audio.format.assign(28, 0);
        audio.objects.push_back({std::vector<uint8_t>(100, 1), 0, UNITS, true});
        l.streams.push_back(audio);
        l.chapters = {{1, 0, "one"}};
        std::string error;
        if (!zmr::WriteCourseware(lesson, l, nullptr, &error))
            std::abort();
        player.Open(lesson.c_str());
        unlink(lesson.c_str());
        if (player.TempDocument().empty() || !player.ChapterOffsetKnown())
            std::abort();
    }
};

Player& Instance() {
    static Player* p = [] {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        // A registry of its own, empty, and a data folder of its own for the working copy.
        const std::string home = kovel::fuzz::InputPath("chapters_fuzz", ".home");
        mkdir(home.c_str(), 0700);
        setenv("XDG_DATA_HOME", home.c_str(), 1);
        setenv("KOVEL_REGISTRY", (home + "/registry.db").c_str(), 1);
        SetReportMessageSink([](const std::string&) {});
        return new Player;
    }();
    return *p;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Player& p = Instance();
    if (!kovel::fuzz::WriteInput(p.player.TempDocument(), data, size))
        return 0;
    p.player.LoadChapterList(&p.list);
    const std::vector<int32_t> times = p.player.ChapterTimes();
    if (size_t(p.list.count()) != times.size())
        std::abort();
    const HighlightTable table = BuildHighlightTable(times);
    for (int32_t t : times) {
        // Each start and its neighbours (times come saturated from the document).
        for (int32_t at : {t, t > INT32_MIN ? t - 1 : t, t < INT32_MAX ? t + 1 : t}) {
            const int row = HighlightRow(table, at);
            if (row < -1 || row >= p.list.count())
                std::abort();
        }
    }

    // Choose the chapter the input's size points at, then edit around it.
    if (p.list.count() > 0)
        p.list.setCurrentRow(int(size % size_t(p.list.count())));
    p.player.SelectChapter(&p.list, &p.title, &p.position);
    p.title.setText(QStringLiteral("fuzz"));
    p.player.AddChapter(&p.list, &p.title);
    p.player.ModifyChapter(&p.list, &p.title);
    p.player.DeleteChapter(&p.list);
    // What the edits left is a document the list reads again.
    p.player.LoadChapterList(&p.list);
    if (size_t(p.list.count()) != p.player.ChapterTimes().size())
        std::abort();
    return 0;
}
