// Sound played faster or slower with its pitch kept, for speech: 16-bit
// interleaved frames in, the same sound stretched to 1/rate of its length
// out. Output frame n sounds input frame n x rate: the stretcher's own start
// delay is padded in and taken off, so the time stamps stay true.
//
// One object per stretch of continuous sound (a segment); not thread-safe.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace RubberBand {
class RubberBandStretcher;
}

namespace kovel::render {

class TimeStretcher {
  public:
    TimeStretcher(int sampleRate, int channels, double rate);
    ~TimeStretcher();
    TimeStretcher(const TimeStretcher&) = delete;
    TimeStretcher& operator=(const TimeStretcher&) = delete;

    double Rate() const { return rate_; }
    // Takes `frames` more frames and appends the output they make ready.
    void Push(const int16_t* in, int64_t frames, std::vector<int16_t>* out);
    // No more input: appends the rest of the output.
    void Finish(std::vector<int16_t>* out);

  private:
    void Process(const int16_t* in, int64_t frames, bool final);
    void Retrieve(std::vector<int16_t>* out);

    std::unique_ptr<RubberBand::RubberBandStretcher> stretcher_;
    const int channels_;
    const double rate_;
    int64_t delay_ = 0;  // output frames still to drop
    std::vector<std::vector<float>> planes_;
    std::vector<float*> pointers_;
};

}  // namespace kovel::render
