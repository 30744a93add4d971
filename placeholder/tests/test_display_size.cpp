// The video placeholder inside a process that runs a Qt GUI application: its
// pictures take the primary screen's size, measured once on the GUI thread.
#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QRect>
#include <QScreen>
#include <cstring>
#include <thread>

#include "kovel/com.h"
#include "kovel/formats.h"
#include "kovel/streaming.h"

namespace {

KOVEL_GUID(CLSID_VideoDummy, "E87F8AB8-DC1B-4081-B2A6-FC52FB5BC527");

struct PictureSize {
    LONG width = 0, height = 0;
    DWORD image = 0;
};

// The size of the first offered type of a freshly created video placeholder.
PictureSize FirstOfferedSize() {
    PictureSize size;
    IBaseFilter* filter = nullptr;
    if (CoCreateInstance(CLSID_VideoDummy, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                         reinterpret_cast<void**>(&filter)) != S_OK)
        return size;
    IPin* pin = nullptr;
    IEnumMediaTypes* e = nullptr;
    AM_MEDIA_TYPE* mt = nullptr;
    ULONG n = 0;
    if (filter->FindPin(u"1", &pin) == S_OK && pin->EnumMediaTypes(&e) == S_OK &&
        e->Next(1, &mt, &n) == S_OK && mt->cbFormat >= sizeof(VIDEOINFOHEADER)) {
        VIDEOINFOHEADER vih;
        std::memcpy(&vih, mt->pbFormat, sizeof vih);
        size = {vih.bmiHeader.biWidth, vih.bmiHeader.biHeight, vih.bmiHeader.biSizeImage};
    }
    if (mt) {
        CoTaskMemFree(mt->pbFormat);
        CoTaskMemFree(mt);
    }
    if (e)
        e->Release();
    if (pin)
        pin->Release();
    filter->Release();
    return size;
}

}  // namespace

TEST(StubcastDisplay, PrimaryScreenSizesThePictureOnTheGuiThread) {
    int argc = 1;
    char name[] = "stubcast_display_test";
    char* argv[] = {name, nullptr};
    QGuiApplication app(argc, argv);
    ASSERT_NE(QGuiApplication::primaryScreen(), nullptr);
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    if (screen.width() == 1024 && screen.height() == 768)
        GTEST_SKIP() << "the screen has the default size; nothing to tell apart";

    const PictureSize onGui = FirstOfferedSize();
    EXPECT_EQ(onGui.width, screen.width());
    EXPECT_EQ(onGui.height, screen.height());
    EXPECT_EQ(onGui.image, DWORD(screen.width()) * 4 * DWORD(screen.height()));

    // Qt's screens belong to the GUI thread: elsewhere the default screen is described.
    PictureSize onWorker;
    std::thread([&] { onWorker = FirstOfferedSize(); }).join();
    EXPECT_EQ(onWorker.width, 1024);
    EXPECT_EQ(onWorker.height, 768);
}
