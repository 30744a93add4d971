// Helpers shared by the player tests: one QApplication, small lessons.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <QPoint>
#include <QString>
#include <Qt>

class QApplication;
class QWidget;
class QWindow;

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

// GBK bytes of a few texts used by the tests.
extern const char kGbkLessonTitle[];  // 课件 (GBK)
extern const char kGbkMakerName[];    // 张三 (GBK)

}  // namespace kovel::player::test
