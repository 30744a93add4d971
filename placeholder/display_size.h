// Size of the picture the video placeholder describes.
#pragma once

#include <cstdint>

namespace kovel::stubcast {

// Used when no display can be asked: no Qt GUI application in the process, no
// primary screen, or the question comes from a thread other than the
// application's (Qt's screen objects belong to the GUI thread).
constexpr int32_t kDefaultDisplayWidth = 1024;
constexpr int32_t kDefaultDisplayHeight = 768;
// Larger screens are described at the default size, so the image size of a
// 32-bit picture always fits the allocator's signed buffer size.
constexpr int32_t kMaxDisplaySide = 16384;

struct DisplaySize {
    int32_t width;
    int32_t height;
};

// The primary screen's geometry when the process runs a Qt GUI application
// and this is its thread; otherwise the default. Never creates an application.
DisplaySize QueryDisplaySize();

}  // namespace kovel::stubcast
