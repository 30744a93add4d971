// The preview while seeking, in the player's window with a real lesson: the
// pointer moved over the position slider through the window shows the
// picture of the screen recording at the pointer's time, as the player's own
// graph decodes it for that second.
#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QSlider>
#include <QStyle>

#include <QTest>
#include <QWindow>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "kovel/formats.h"
#include "player_dlg.h"
#include "seek_preview.h"
#include "slider_option.h"
#include "test_support.h"

using namespace kovel::player;
using namespace kovel::player::test;

namespace {

// Where the slider puts `value` under the pointer (slider coordinates).
QPoint PointOf(QSlider* slider, int value) {
    const QStyleOptionSlider opt = SliderOption(slider);
    const QRect groove =
        slider->style()->subControlRect(QStyle::CC_Slider, &opt, QStyle::SC_SliderGroove, slider);
    const QRect handle =
        slider->style()->subControlRect(QStyle::CC_Slider, &opt, QStyle::SC_SliderHandle, slider);
    const int span = groove.width() - handle.width();
    return QPoint(groove.x() + handle.width() / 2 +
                      QStyle::sliderPositionFromValue(opt.minimum, opt.maximum, value, span),
                  slider->height() / 2);
}

// The picture the player's screen renderer holds while paused, as an image.
QImage HeldPicture(IBasicVideo* video) {
    QElapsedTimer waited;
    waited.start();
    LONG size = 0;
    while (FAILED(video->GetCurrentImage(&size, nullptr)) && waited.elapsed() < 5000) QTest::qWait(10);
    std::vector<LONG> dib(size_t(size) / sizeof(LONG) + 1);
    if (size <= LONG(sizeof(BITMAPINFOHEADER)) || FAILED(video->GetCurrentImage(&size, dib.data())))
        return {};
    BITMAPINFOHEADER bi;
    std::memcpy(&bi, dib.data(), sizeof bi);
    const int w = bi.biWidth, h = bi.biHeight < 0 ? -bi.biHeight : bi.biHeight;
    QImage image(reinterpret_cast<const uchar*>(dib.data()) + sizeof bi, w, h, w * 4, QImage::Format_RGB32);
    image = image.convertToFormat(QImage::Format_RGB888);
    return bi.biHeight > 0 ? image.mirrored(false, true) : image;
}

// Mean difference per colour channel of two pictures brought to one size.
double Difference(const QImage& a, const QImage& b) {
    const QSize size(64, 36);
    const QImage x = a.scaled(size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
                         .convertToFormat(QImage::Format_RGB888);
    const QImage y = b.scaled(size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
                         .convertToFormat(QImage::Format_RGB888);
    double sum = 0;
    for (int row = 0; row < size.height(); ++row)
        for (int i = 0; i < size.width() * 3; ++i)
            sum += std::abs(int(x.scanLine(row)[i]) - int(y.scanLine(row)[i]));
    return sum / (size.width() * size.height() * 3);
}

// Descriptors of this process open on `path`.
int OpenDescriptorsOn(const std::string& path) {
    int n = 0;
    char real[4096];
    if (!realpath(path.c_str(), real))
        return -1;
    DIR* dir = opendir("/proc/self/fd");
    while (dirent* e = dir ? readdir(dir) : nullptr) {
        char target[4096];
        const std::string link = std::string("/proc/self/fd/") + e->d_name;
        const ssize_t len = readlink(link.c_str(), target, sizeof target - 1);
        if (len > 0 && std::strncmp(target, real, size_t(len)) == 0 && size_t(len) == std::strlen(real))
            ++n;
    }
    if (dir)
        closedir(dir);
    return n;
}

}  // namespace

TEST(SeekPreview, AHoveredSecondShowsItsPictureKeptForTheNextVisit) {
    App();
    qputenv("KOVEL_PLAYER_SOCKET", QByteArray("kovel-preview-test-") + QByteArray::number(getpid()));
    // A screen recording only, each second its own colour and digits; key
    // frames every two seconds.
    const std::string lesson = MadeLesson(
        {"--pattern", "--no-audio", "--no-camera", "--duration", "20", "--screen-size", "640x360"});
    CPlayerDlg dlg;
    dlg.SetPendingFile(lesson);
    dlg.OnInitDialog();
    QWindow* window = ExposedWindow(&dlg);
    ASSERT_NE(window, nullptr);
    CGraphPlayer& player = dlg.Player();
    ASSERT_EQ(player.State(), PlayState::Running);
    ASSERT_EQ(player.PlayPause(), S_OK);
    auto* slider = static_cast<QSlider*>(dlg.Control(IDC_POSITION));
    CPreviewPopup* popup = dlg.SeekPreview()->Popup();
    ASSERT_EQ(slider->maximum(), 20);

    // An odd second: its picture is not a key frame, so it is decoded from the
    // one the index gives for it.
    const int second = 13;
    const QPoint at = slider->mapTo(&dlg, PointOf(slider, second));
    QTest::mouseMove(window, slider->mapTo(&dlg, PointOf(slider, 3)));
    QTest::mouseMove(window, at);
    QElapsedTimer shown;
    shown.start();
    while (popup->PictureValue() != second && shown.elapsed() < 5000) QTest::qWait(2);
    std::printf("picture of the hovered second after %lld ms\n", static_cast<long long>(shown.elapsed()));
    ASSERT_TRUE(popup->isVisible());
    ASSERT_EQ(popup->Value(), second);
    ASSERT_EQ(popup->PictureValue(), second);
    EXPECT_LT(shown.elapsed(), 1000);
    // Above the slider, at the pointer.
    EXPECT_LT(popup->geometry().bottom(), slider->mapTo(&dlg, QPoint(0, 0)).y());
    EXPECT_NEAR(popup->geometry().center().x(), at.x(), 2);
    const QImage preview = popup->Picture();
    EXPECT_LE(preview.width(), CSeekPreview::kPictureWidth);
    EXPECT_LE(preview.height(), CSeekPreview::kPictureHeight);

    // The player's own graph, seeked to that second and paused, holds the
    // frame the reader delivers for it, decoded: the preview is that picture.
    ASSERT_TRUE(player.SeekTo(second, false));
    const QImage reference = HeldPicture(player.ScreenVideo());
    ASSERT_FALSE(reference.isNull());
    EXPECT_LT(Difference(preview, reference), 12.0);
    // ... and not the key frame before it nor the second after.
    for (int other : {second - 1, second + 1}) {
        ASSERT_TRUE(player.SeekTo(other, false));
        EXPECT_GT(Difference(preview, HeldPicture(player.ScreenVideo())), 30.0) << other;
    }

    // Coming back to a second shows its kept picture at once.
    QTest::mouseMove(window, slider->mapTo(&dlg, PointOf(slider, 5)));
    EXPECT_EQ(popup->Value(), 5);
    QTest::mouseMove(window, at);
    EXPECT_EQ(popup->PictureValue(), second);
    // Leaving the slider hides it.
    QTest::mouseMove(window, dlg.Control(IDC_CHAPTERS)->geometry().center());
    EXPECT_FALSE(popup->isVisible());

    // Closing lets every reader of the lesson go, the preview's among them.
    EXPECT_GE(OpenDescriptorsOn(lesson), 2);
    dlg.CloseCleanup();
    EXPECT_EQ(OpenDescriptorsOn(lesson), 0);
}
