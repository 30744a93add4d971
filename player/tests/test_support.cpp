#include "test_support.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMenu>
#include <QMimeData>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QWindow>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>

#include "courseware_format.h"
#include "graph_player.h"

namespace kovel::player::test {

const char kGbkLessonTitle[] = "\xBF\xCE\xBC\xFE";
const char kGbkMakerName[] = "\xD5\xC5\xC8\xFD";

QApplication& App() {
    static int argc = 1;
    static char name[] = "player_tests";
    static char* argv[] = {name, nullptr};
    static QApplication* app = new QApplication(argc, argv);
    return *app;
}

std::string MadeLesson(const std::vector<std::string>& options) {
    static QTemporaryDir dir;
    static std::map<std::vector<std::string>, std::string> made;
    auto it = made.find(options);
    if (it != made.end())
        return it->second;
    const QString path = dir.path() + QStringLiteral("/made%1.zmr").arg(made.size());
    QStringList args{"create", path};
    for (const std::string& o : options) args << QString::fromStdString(o);
    QProcess::execute(QStringLiteral(ZMR_PATH), args);
    return made.emplace(options, path.toStdString()).first->second;
}

QWindow* ExposedWindow(QWidget* target) {
    QWidget* top = target->window();
    if (!top->isVisible())
        top->show();
    if (!QTest::qWaitForWindowExposed(top))
        return nullptr;
    return top->windowHandle();
}

void ClickAt(QWidget* target, QPoint at, Qt::MouseButton button) {
    if (QWindow* window = ExposedWindow(target))
        QTest::mouseClick(window, button, {}, target->mapTo(target->window(), at));
}

void Click(QWidget* target, Qt::MouseButton button) {
    ClickAt(target, target->rect().center(), button);
}

void DragAt(QWidget* target, QPoint from, QPoint to, const std::function<void()>& held) {
    QWindow* window = ExposedWindow(target);
    if (!window)
        return;
    const QPoint a = target->mapTo(target->window(), from), b = target->mapTo(target->window(), to);
    QTest::mousePress(window, Qt::LeftButton, {}, a);
    constexpr int kSteps = 8;
    for (int i = 1; i <= kSteps; ++i) QTest::mouseMove(window, a + (b - a) * i / kSteps);
    if (held)
        held();
    QTest::mouseRelease(window, Qt::LeftButton, {}, b);
}

void Key(QWidget* window, Qt::Key key, Qt::KeyboardModifiers modifiers) {
    if (QWindow* w = ExposedWindow(window))
        QTest::keyClick(w, key, modifiers);
}

void Type(QWidget* window, const QString& text) {
    if (QWindow* w = ExposedWindow(window))
        for (QChar c : text)
            QTest::sendKeyEvent(QTest::Click, w, Qt::Key_unknown, QString(c), Qt::NoModifier);
}

bool DropAt(QWidget* target, QPoint at, const QList<QUrl>& urls, Qt::DropActions actions) {
    QWindow* window = ExposedWindow(target);
    if (!window)
        return false;
    const QPoint p = target->mapTo(target->window(), at);
    QMimeData mime;
    mime.setUrls(urls);
    QDragEnterEvent enter(p, actions, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(window, &enter);
    if (!enter.isAccepted()) {
        QDragLeaveEvent leave;
        QCoreApplication::sendEvent(window, &leave);
        return false;
    }
    QDropEvent drop(p, actions, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(window, &drop);
    return drop.isAccepted();
}

MenuSeen WithPopup(const std::function<void()>& open, const QStringList& choose) {
    MenuSeen seen;
    QMenu* last = nullptr;
    qsizetype depth = 0;
    auto closeAll = [] {
        while (QWidget* popup = QApplication::activePopupWidget()) popup->close();
    };
    QTimer look;
    QObject::connect(&look, &QTimer::timeout, [&] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        if (!menu || menu == last)
            return;
        last = menu;
        QAction* pick = nullptr;
        for (QAction* a : menu->actions()) {
            if (a->isSeparator())
                continue;
            if (a->isChecked())
                seen.checked << a->text();
            if (depth == 0) {
                seen.items << a->text();
                seen.commands << a->data().toInt();
            }
            if (depth < choose.size() && a->text() == choose[depth])
                pick = a;
        }
        if (depth == 0) {
            seen.shown = true;
            seen.title = menu->title();
        }
        if (!pick) {
            look.stop();
            closeAll();
            return;
        }
        ++depth;
        menu->setActiveAction(pick);
        if (pick->menu()) {
            Key(menu, Qt::Key_Right);
        } else {
            look.stop();
            Key(menu, Qt::Key_Return);
        }
    });
    look.start(10);
    open();
    QCoreApplication::processEvents();
    look.stop();
    return seen;
}

bool RuntimeTakesRates(CGraphPlayer& player) {
    const double rate = player.GetRate();
    const bool takes = SUCCEEDED(player.SetRate(2.0)) && player.GetRate() == 2.0;
    player.SetRate(rate);
    return takes;
}

std::vector<uint8_t> RecordArea(const std::vector<Record>& records) {
    std::vector<uint8_t> area;
    for (const Record& r : records) {
        size_t at = area.size();
        area.resize(at + 8);
        std::memcpy(area.data() + at, r.tag.data(), 4);
        int32_t n = r.length == -999 ? int32_t(r.text.size()) : r.length;
        zmr::WriteU32(area.data() + at + 4, uint32_t(n));
        area.insert(area.end(), r.text.begin(), r.text.end());
    }
    area.resize(zmr::kRecordAreaSize, 0);
    return area;
}

std::vector<uint8_t> LessonBytes(const LessonSpec& spec) {
    std::vector<uint8_t> fp(spec.filePropertiesSize < 48 ? 48 : spec.filePropertiesSize, 0);
    zmr::WriteGuid(fp.data(), zmr::kFilePropertiesObject);
    zmr::WriteU64(fp.data() + 16, spec.filePropertiesSize);
    std::vector<uint8_t> area = RecordArea(spec.records);
    std::memcpy(fp.data() + 48, area.data(), std::min(area.size(), fp.size() - 48));

    std::vector<uint8_t> other;
    if (spec.otherObjectFirst) {
        other.resize(60, 0);
        zmr::WriteGuid(other.data(), zmr::kStreamPropertiesObject);
        zmr::WriteU64(other.data() + 16, other.size());
    }
    std::vector<uint8_t> out(24, 0);
    zmr::WriteGuid(out.data(), spec.badHeaderGuid ? zmr::kDataObject : zmr::kHeaderObject);
    zmr::WriteU64(out.data() + 16, 24 + other.size() + fp.size());
    out.insert(out.end(), other.begin(), other.end());
    out.insert(out.end(), fp.begin(), fp.end());
    return out;
}

void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        return;
    if (!bytes.empty())
        std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
}

std::vector<uint8_t> PlayableLessonBytes(const std::vector<Record>& records) {
    static std::vector<uint8_t> lesson = [] {
        static QTemporaryDir dir;
        const QString path = dir.path() + "/template.zmr";
        QProcess::execute(QStringLiteral(ZMR_PATH),
                          {"create", path, "--tone", "--no-screen", "--no-camera", "--duration", "1"});
        std::ifstream in(path.toStdString(), std::ios::binary);
        return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
    }();
    std::vector<uint8_t> bytes = lesson;
    // The file properties object is the header's first child.
    const size_t area = zmr::kObjectHeadSize + zmr::kFpRecords;
    if (bytes.size() >= area + zmr::kRecordAreaSize) {
        const std::vector<uint8_t> recordArea = RecordArea(records);
        std::memcpy(bytes.data() + area, recordArea.data(), zmr::kRecordAreaSize);
    }
    return bytes;
}

}  // namespace kovel::player::test
