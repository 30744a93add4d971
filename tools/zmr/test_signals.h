// Generated lesson content: pictures and sound that show where playback is.
// The screen shows the elapsed time as "MM:SS" in large digits on a colour
// that changes every second, the camera a disc circling on another colour,
// and the tone changes pitch every second.
#pragma once

#include <cstdint>

namespace zmrtool {

// RGB24 pictures, `w` x `h`, rows of w * 3 bytes.
void DrawScreenPattern(uint8_t* rgb, int w, int h, double seconds);
void DrawCameraPattern(uint8_t* rgb, int w, int h, double seconds);

// Pitch of the tone during second `second` (Hz).
double TonePitch(int64_t second);

// A sine whose pitch follows TonePitch, with continuous phase across the steps.
class ToneGenerator {
  public:
    explicit ToneGenerator(int rate) : rate_(rate) {}
    float Next();

  private:
    int rate_;
    int64_t index_ = 0;
    double phase_ = 0;  // in turns
};

}  // namespace zmrtool
