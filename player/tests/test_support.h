// Helpers shared by the player tests: one QApplication, small lessons.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <QList>
#include <QPoint>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <Qt>

class QApplication;
class QWidget;
class QWindow;

namespace kovel::player {
class CGraphPlayer;
}

namespace kovel::player::test {

QApplication& App();

struct Record {
    std::string tag;  // four letters
    std::string text;
    int32_t length = -999;  // -999: the text's own length
};

// Builds the 1024-byte record area, zero-filled after the records.
std::vector<uint8_t> RecordArea(const std::vector<Record>& records);

struct LessonSpec {
    std::vector<Record> records;
    uint64_t filePropertiesSize = 1072;
    bool otherObjectFirst = false;  // a stream properties object before the file properties
    bool badHeaderGuid = false;
};

// The bytes of a lesson with a header object and a file properties object.
std::vector<uint8_t> LessonBytes(const LessonSpec& spec);
void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes);

// A real lesson (one second of encoded sound, made once by `zmr create`)
// whose descriptive records are replaced by `records`: the player opens and
// plays it through the reader plug-in, the decoder and the sound renderer.
std::vector<uint8_t> PlayableLessonBytes(const std::vector<Record>& records);

// A lesson made once per process by `zmr create` with these options (e.g.
// {"--tone", "--no-screen", "--no-camera", "--duration", "60"}); its path.
std::string MadeLesson(const std::vector<std::string>& options);

// Input as a user gives it: sent to the top-level window at a point inside
// `target` (in its coordinates), so that Qt's own hit-testing decides which
// widget gets it. The window is shown first if it is not yet.
QWindow* ExposedWindow(QWidget* target);
void ClickAt(QWidget* target, QPoint at, Qt::MouseButton button = Qt::LeftButton);
void Click(QWidget* target, Qt::MouseButton button = Qt::LeftButton);
// Presses at `from`, moves in steps to `to` and releases there; `held` runs
// just before the release.
void DragAt(QWidget* target, QPoint from, QPoint to, const std::function<void()>& held = {});
// A key typed into the window; the focus widget gets it.
void Key(QWidget* window, Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier);
void Type(QWidget* window, const QString& text);
// Files dragged from another program and dropped on the window at a point
// inside `target`: the window's own hit-testing finds who takes them. True
// when the drop was taken.
bool DropAt(QWidget* target, QPoint at, const QList<QUrl>& urls,
            Qt::DropActions actions = Qt::CopyAction | Qt::MoveAction);

// What a pop-up menu offered: its title, its items' texts and commands
// (QAction::data()), and the checked items of every menu gone through.
struct MenuSeen {
    bool shown = false;
    QString title;
    QStringList items;
    QList<int> commands;
    QStringList checked;
};
// Runs `open`, which shows a pop-up menu, and reports it; picks the item that
// `choose` names (a submenu's title, then its item), else dismisses the menu.
MenuSeen WithPopup(const std::function<void()>& open, const QStringList& choose = {});

// Whether the media runtime plays at rates other than normal (asked of the
// player's graph, which is left at its rate). Until it does, every speed the
// window is asked for must show as the normal one.
bool RuntimeTakesRates(CGraphPlayer& player);

// GBK bytes of a few texts used by the tests.
extern const char kGbkLessonTitle[];  // 课件 (GBK)
extern const char kGbkMakerName[];    // 张三 (GBK)

}  // namespace kovel::player::test
