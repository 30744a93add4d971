#include "test_signals.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace zmrtool {

namespace {

struct Rgb {
    uint8_t r, g, b;
};

void Fill(uint8_t* rgb, int w, int h, int x0, int y0, int x1, int y1, Rgb c) {
    x0 = std::clamp(x0, 0, w);
    x1 = std::clamp(x1, 0, w);
    y0 = std::clamp(y0, 0, h);
    y1 = std::clamp(y1, 0, h);
    for (int y = y0; y < y1; ++y) {
        uint8_t* p = rgb + (size_t(y) * w + x0) * 3;
        for (int x = x0; x < x1; ++x, p += 3) {
            p[0] = c.r;
            p[1] = c.g;
            p[2] = c.b;
        }
    }
}

// Segments a..g of a seven-segment digit, bit 0 = a.
constexpr uint8_t kDigitSegments[10] = {0x3F, 0x06, 0x5B, 0x4F, 0x66, 0x6D, 0x7D, 0x07, 0x7F, 0x6F};

void DrawDigit(uint8_t* rgb, int w, int h, int x, int y, int dw, int dh, int t, int digit, Rgb c) {
    const uint8_t s = kDigitSegments[digit % 10];
    const int mid = y + dh / 2;
    if (s & 0x01)
        Fill(rgb, w, h, x, y, x + dw, y + t, c);  // a
    if (s & 0x02)
        Fill(rgb, w, h, x + dw - t, y, x + dw, mid + t / 2, c);  // b
    if (s & 0x04)
        Fill(rgb, w, h, x + dw - t, mid - t / 2, x + dw, y + dh, c);  // c
    if (s & 0x08)
        Fill(rgb, w, h, x, y + dh - t, x + dw, y + dh, c);  // d
    if (s & 0x10)
        Fill(rgb, w, h, x, mid - t / 2, x + t, y + dh, c);  // e
    if (s & 0x20)
        Fill(rgb, w, h, x, y, x + t, mid + t / 2, c);  // f
    if (s & 0x40)
        Fill(rgb, w, h, x, mid - t / 2, x + dw, mid - t / 2 + t, c);  // g
}

// Dark enough that white digits stand out on each.
constexpr Rgb kBackgrounds[] = {{150, 30, 30},  {30, 120, 40},  {30, 50, 150},
                                {120, 40, 130}, {20, 110, 120}, {130, 90, 20}};

}  // namespace

void DrawScreenPattern(uint8_t* rgb, int w, int h, double seconds) {
    const int64_t whole = int64_t(std::floor(seconds));
    const Rgb bg = kBackgrounds[whole % 6];
    Fill(rgb, w, h, 0, 0, w, h, bg);

    const int minutes = int((whole / 60) % 100);
    const int secs = int(whole % 60);
    int dh = h * 2 / 5;
    int dw = dh * 11 / 20;
    // Four digits, three gaps and the colon must fit in 90% of the width.
    const int needed = 4 * dw + 3 * (dw / 3) + dw / 2;
    if (needed > w * 9 / 10) {
        dh = dh * (w * 9 / 10) / needed;
        dw = dh * 11 / 20;
    }
    const int t = std::max(1, dh / 8);
    const int gap = dw / 3;
    const int colon = dw / 2;
    const int total = 4 * dw + 3 * gap + colon;
    int x = (w - total) / 2;
    const int y = (h - dh) / 2;
    const Rgb fg{255, 255, 255};
    const int digits[4] = {minutes / 10, minutes % 10, secs / 10, secs % 10};
    for (int i = 0; i < 4; ++i) {
        DrawDigit(rgb, w, h, x, y, dw, dh, t, digits[i], fg);
        x += dw + gap;
        if (i == 1) {
            const int cx = x + (colon - t) / 2 - gap / 2;
            Fill(rgb, w, h, cx, y + dh / 3 - t / 2, cx + t, y + dh / 3 + t / 2 + 1, fg);
            Fill(rgb, w, h, cx, y + 2 * dh / 3 - t / 2, cx + t, y + 2 * dh / 3 + t / 2 + 1, fg);
            x += colon;
        }
    }
    // A bar along the bottom grows through each second, so every frame differs.
    const double frac = seconds - double(whole);
    Fill(rgb, w, h, 0, h - std::max(2, h / 40), int(w * frac), h, fg);
}

void DrawCameraPattern(uint8_t* rgb, int w, int h, double seconds) {
    Fill(rgb, w, h, 0, 0, w, h, {200, 200, 215});
    // One turn every four seconds.
    const double a = seconds * (2 * M_PI / 4.0);
    const double r = std::min(w, h) / 6.0;
    const double cx = w / 2.0 + std::cos(a) * (w / 2.0 - r - 2);
    const double cy = h / 2.0 + std::sin(a) * (h / 2.0 - r - 2);
    for (int y = std::max(0, int(cy - r)); y < std::min(h, int(cy + r) + 1); ++y) {
        for (int x = std::max(0, int(cx - r)); x < std::min(w, int(cx + r) + 1); ++x) {
            const double dx = x - cx, dy = y - cy;
            if (dx * dx + dy * dy <= r * r) {
                uint8_t* p = rgb + (size_t(y) * w + x) * 3;
                p[0] = 240;
                p[1] = 130;
                p[2] = 20;
            }
        }
    }
}

double TonePitch(int64_t second) {
    // A major scale from A4, one step a second.
    static constexpr double kScale[8] = {440.0, 493.88, 554.37, 587.33, 659.25, 739.99, 830.61, 880.0};
    return kScale[((second % 8) + 8) % 8];
}

float ToneGenerator::Next() {
    const double pitch = TonePitch(index_ / rate_);
    ++index_;
    const float v = float(0.3 * std::sin(2 * M_PI * phase_));
    phase_ += pitch / rate_;
    phase_ -= std::floor(phase_);
    return v;
}

}  // namespace zmrtool
