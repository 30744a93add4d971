#include <gtest/gtest.h>

#include <vector>

#include "test_signals.h"

namespace {

constexpr int kW = 320, kH = 240;

std::vector<uint8_t> Screen(double t) {
    std::vector<uint8_t> p(size_t(kW) * kH * 3);
    zmrtool::DrawScreenPattern(p.data(), kW, kH, t);
    return p;
}

// Colour at a corner, away from the digits and the bar.
std::vector<uint8_t> Corner(const std::vector<uint8_t>& p) {
    return {p[0], p[1], p[2]};
}

// The digits' band, without the progress bar at the bottom.
std::vector<uint8_t> Digits(const std::vector<uint8_t>& p) {
    return std::vector<uint8_t>(p.begin() + kW * 3 * (kH / 4), p.begin() + kW * 3 * (3 * kH / 4));
}

TEST(ScreenPattern, ShowsTheSecondAndChangesColourEverySecond) {
    const auto a = Screen(0.2), b = Screen(0.8), c = Screen(1.2), d = Screen(61.5);
    EXPECT_EQ(Corner(a), Corner(b));
    EXPECT_NE(Corner(a), Corner(c));
    // Same second, same digits; the next second shows other digits.
    EXPECT_EQ(Digits(a), Digits(b));
    EXPECT_NE(Digits(a), Digits(c));
    EXPECT_NE(Digits(c), Digits(d));
    // Within a second the frames still differ (the progress bar).
    EXPECT_NE(a, b);
}

TEST(ScreenPattern, FitsNarrowAndTinyPictures) {
    for (auto [w, h] : {std::pair{16, 480}, std::pair{1, 1}, std::pair{2000, 20}}) {
        std::vector<uint8_t> p(size_t(w) * h * 3 + 64, 0xAB);
        zmrtool::DrawScreenPattern(p.data(), w, h, 3599.9);
        zmrtool::DrawCameraPattern(p.data(), w, h, 3.3);
        // Nothing written past the picture.
        for (size_t i = size_t(w) * h * 3; i < p.size(); ++i) ASSERT_EQ(p[i], 0xAB) << w << "x" << h;
    }
}

TEST(CameraPattern, DiscMovesAndDiffersFromScreen) {
    std::vector<uint8_t> a(size_t(kW) * kH * 3), b(a.size());
    zmrtool::DrawCameraPattern(a.data(), kW, kH, 0.0);
    zmrtool::DrawCameraPattern(b.data(), kW, kH, 1.0);
    EXPECT_NE(a, b);
    EXPECT_NE(Corner(a), Corner(Screen(0.0)));
}

int ZeroCrossings(zmrtool::ToneGenerator* g, int rate) {
    int n = 0;
    float prev = g->Next();
    for (int i = 1; i < rate; ++i) {
        float v = g->Next();
        if ((prev < 0) != (v < 0))
            ++n;
        prev = v;
    }
    return n;
}

TEST(Tone, PitchChangesEverySecond) {
    const int rate = 22050;
    zmrtool::ToneGenerator g(rate);
    for (int s = 0; s < 9; ++s) {
        const double pitch = zmrtool::TonePitch(s);
        EXPECT_NEAR(ZeroCrossings(&g, rate), 2 * pitch, 3) << "second " << s;
        if (s > 0 && s % 8 != 0) {
            EXPECT_NE(pitch, zmrtool::TonePitch(s - 1));
        }
    }
}

}  // namespace
