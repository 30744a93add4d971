// The video renderer's window with a QApplication (offscreen platform):
// docking into an owner, placement, visibility and the painted picture.
#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QWidget>
#include <chrono>
#include <thread>

#include "test_source.h"
#include "video_renderer.h"

using namespace kovel::render;
using namespace kovel::render::test;

namespace {

QApplication* App() {
    static int argc = 1;
    static char name[] = "render_video_window_test";
    static char* argv[] = {name, nullptr};
    static QApplication* app = new QApplication(argc, argv);
    return app;
}

// A picture 4 wide and 4 high whose top half is red and bottom half blue,
// laid out bottom-up or top-down.
void FillHalves(BYTE* p, LONG len, bool bottomUp) {
    auto* px = reinterpret_cast<uint32_t*>(p);
    for (int row = 0; row < 4 && (row + 1) * 16 <= len; ++row) {
        int shownRow = bottomUp ? 3 - row : row;
        uint32_t colour = shownRow < 2 ? 0x00FF0000u : 0x000000FFu;  // X R G B in memory order B G R X
        for (int x = 0; x < 4; ++x) px[row * 4 + x] = colour;
    }
}

QWidget* Child(QWidget* owner) {
    auto kids = owner->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly);
    return kids.isEmpty() ? nullptr : kids.front();
}

void Spin(int ms) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < until) {
        QCoreApplication::processEvents();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

struct WindowRig {
    explicit WindowRig(LONG height) : source(new TestSource(Rgb32Type(4, height, 400000), 2, 64)) {
        App();
        EXPECT_EQ(kovel::rt::CreateInstance<VideoRenderer>(nullptr, IID_IBaseFilter,
                                                           reinterpret_cast<void**>(&filter)),
                  S_OK);
        EXPECT_EQ(ConnectTo(source, filter), S_OK);
        EXPECT_EQ(filter->QueryInterface(IID_IVideoWindow, reinterpret_cast<void**>(&vw)), S_OK);
    }
    ~WindowRig() {
        filter->Stop();
        source->Stop();
        if (worker.joinable())
            worker.join();
        vw->Release();
        source->Out()->Disconnect();
        filter->Release();
        source->Release();
    }
    EventRecorder events;
    TestSource* source;
    IBaseFilter* filter = nullptr;
    IVideoWindow* vw = nullptr;
    std::thread worker;
};

}  // namespace

TEST(VideoWindow, DocksIntoTheOwnerAndTakesItsPlace) {
    WindowRig rig(4);
    QWidget owner;
    owner.resize(400, 300);
    owner.show();
    LONG v = 1;
    ASSERT_EQ(rig.vw->get_Visible(&v), S_OK) << "a window exists with a QApplication";
    EXPECT_EQ(v, OAFALSE);
    ASSERT_EQ(rig.vw->put_Owner(OAHWND(&owner)), S_OK);
    ASSERT_EQ(rig.vw->put_WindowStyle(WS_CHILD | WS_CLIPSIBLINGS | WS_CLIPCHILDREN), S_OK);
    QWidget* video = Child(&owner);
    ASSERT_NE(video, nullptr);
    OAHWND got = 0;
    EXPECT_EQ(rig.vw->get_Owner(&got), S_OK);
    EXPECT_EQ(got, OAHWND(&owner));
    ASSERT_EQ(rig.vw->SetWindowPosition(10, 23, 160, 120), S_OK);
    EXPECT_EQ(video->geometry(), QRect(10, 23, 160, 120));
    LONG l, t, w, h;
    ASSERT_EQ(rig.vw->GetWindowPosition(&l, &t, &w, &h), S_OK);
    EXPECT_EQ(QRect(l, t, w, h), QRect(10, 23, 160, 120));
    EXPECT_EQ(rig.vw->SetWindowPosition(0, 0, -1, 10), E_INVALIDARG);

    // Pausing shows the docked window (auto-show), put_Visible hides it.
    ASSERT_EQ(rig.source->Pause(), S_OK);
    ASSERT_EQ(rig.filter->Pause(), S_OK);
    Spin(20);
    EXPECT_EQ(rig.vw->get_Visible(&v), S_OK);
    EXPECT_EQ(v, OATRUE);
    EXPECT_TRUE(video->isVisible());
    ASSERT_EQ(rig.vw->put_Visible(OAFALSE), S_OK);
    EXPECT_EQ(rig.vw->get_Visible(&v), S_OK);
    EXPECT_EQ(v, OAFALSE);
    // Undocked again, it is nobody's child.
    ASSERT_EQ(rig.vw->put_Owner(0), S_OK);
    EXPECT_EQ(Child(&owner), nullptr);
}

TEST(VideoWindow, KeepsItsSettingsAndPlacesOneEdgeAtATime) {
    WindowRig rig(4);
    QWidget owner;
    owner.resize(400, 300);
    ASSERT_EQ(rig.vw->put_Owner(OAHWND(&owner)), S_OK);
    ASSERT_EQ(rig.vw->SetWindowPosition(10, 20, 160, 120), S_OK);
    ASSERT_EQ(rig.vw->put_Left(15), S_OK);
    ASSERT_EQ(rig.vw->put_Top(25), S_OK);
    ASSERT_EQ(rig.vw->put_Width(100), S_OK);
    ASSERT_EQ(rig.vw->put_Height(80), S_OK);
    EXPECT_EQ(rig.vw->put_Height(-1), E_INVALIDARG);
    LONG l = 0, t = 0, w = 0, h = 0;
    EXPECT_EQ(rig.vw->get_Left(&l), S_OK);
    EXPECT_EQ(rig.vw->get_Top(&t), S_OK);
    EXPECT_EQ(rig.vw->get_Width(&w), S_OK);
    EXPECT_EQ(rig.vw->get_Height(&h), S_OK);
    EXPECT_EQ(QRect(l, t, w, h), QRect(15, 25, 100, 80));

    LONG v = 0;
    ASSERT_EQ(rig.vw->put_WindowStyle(0x40000000), S_OK);
    ASSERT_EQ(rig.vw->put_WindowStyleEx(0x20), S_OK);
    ASSERT_EQ(rig.vw->put_BorderColor(0x123456), S_OK);
    ASSERT_EQ(rig.vw->put_MessageDrain(OAHWND(&owner)), S_OK);
    EXPECT_EQ(rig.vw->get_WindowStyle(&v), S_OK);
    EXPECT_EQ(v, 0x40000000);
    EXPECT_EQ(rig.vw->get_WindowStyleEx(&v), S_OK);
    EXPECT_EQ(v, 0x20);
    EXPECT_EQ(rig.vw->get_BorderColor(&v), S_OK);
    EXPECT_EQ(v, 0x123456);
    OAHWND drain = 0;
    EXPECT_EQ(rig.vw->get_MessageDrain(&drain), S_OK);
    EXPECT_EQ(drain, OAHWND(&owner));
    EXPECT_EQ(rig.vw->get_FullScreenMode(&v), S_OK);
    EXPECT_EQ(v, OAFALSE);
    ASSERT_EQ(rig.vw->put_AutoShow(OAFALSE), S_OK);
    EXPECT_EQ(rig.vw->get_AutoShow(&v), S_OK);
    EXPECT_EQ(v, OAFALSE);
    ASSERT_EQ(rig.vw->HideCursor(OATRUE), S_OK);
    EXPECT_EQ(rig.vw->IsCursorHidden(&v), S_OK);
    EXPECT_EQ(v, OATRUE);
    ASSERT_EQ(rig.vw->HideCursor(OAFALSE), S_OK);
    EXPECT_EQ(rig.vw->IsCursorHidden(&v), S_OK);
    EXPECT_EQ(v, OAFALSE);
    EXPECT_EQ(rig.vw->get_WindowStyle(nullptr), E_POINTER);
    EXPECT_EQ(rig.vw->get_MessageDrain(nullptr), E_POINTER);

    // Off the GUI thread there is no window to ask.
    HRESULT other = S_OK;
    std::thread([&] { other = rig.vw->get_WindowStyle(&v); }).join();
    EXPECT_EQ(other, E_UNEXPECTED);
    ASSERT_EQ(rig.vw->put_Owner(0), S_OK);
}

class VideoWindowPicture : public ::testing::TestWithParam<bool> {};

TEST_P(VideoWindowPicture, PaintsThePausedFrameScaledAndUpright) {
    const bool bottomUp = GetParam();
    WindowRig rig(bottomUp ? 4 : -4);
    QWidget owner;
    owner.resize(200, 200);
    owner.show();
    ASSERT_EQ(rig.vw->put_Owner(OAHWND(&owner)), S_OK);
    ASSERT_EQ(rig.vw->SetWindowPosition(0, 0, 40, 40), S_OK);
    ASSERT_EQ(rig.source->Pause(), S_OK);
    ASSERT_EQ(rig.filter->Pause(), S_OK);
    // The streaming thread holds the paused frame; the GUI thread paints it.
    rig.worker = std::thread([&] {
        rig.source->Send(
            0, 400000, [&](BYTE* p, LONG n) { FillHalves(p, n, bottomUp); }, 64);
    });
    FILTER_STATE fs;
    ASSERT_EQ(rig.filter->GetState(2000, &fs), S_OK);
    Spin(30);
    QWidget* video = Child(&owner);
    ASSERT_NE(video, nullptr);
    QImage shot = video->grab().toImage();
    ASSERT_EQ(shot.size(), QSize(40, 40));
    EXPECT_EQ(QColor(shot.pixel(20, 5)), QColor(255, 0, 0));
    EXPECT_EQ(QColor(shot.pixel(20, 35)), QColor(0, 0, 255));
    EXPECT_EQ(QColor(shot.pixel(2, 2)), QColor(255, 0, 0)) << "the picture fills the window";
}

INSTANTIATE_TEST_SUITE_P(BothWaysUp, VideoWindowPicture, ::testing::Values(true, false));

TEST(VideoWindow, WindowCallsFromAnotherThreadAreRefused) {
    WindowRig rig(4);
    HRESULT hr = S_OK;
    std::thread other([&] {
        LONG v;
        hr = rig.vw->get_Visible(&v);
    });
    other.join();
    EXPECT_EQ(hr, E_UNEXPECTED);
}
