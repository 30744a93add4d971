#include "time_stretcher.h"

#include <rubberband/RubberBandStretcher.h>

#include <algorithm>
#include <cmath>

namespace kovel::render {

namespace {

using RubberBand::RubberBandStretcher;

// Frames handed to the library at once; larger input is split.
constexpr int64_t kBlock = 4096;

// Real time (one pass, blocks of any size) on the caller's thread, with the
// faster engine: on speech it kept output frame n within a few milliseconds
// of input frame n x rate over half a minute, where the finer engine drifted by tens
// of milliseconds, and recognisers found more of the words in its output.
// Smooth transients with the soft onset detector did a little better on
// speech than the defaults; channels together keep a centred voice centred.
constexpr RubberBandStretcher::Options kOptions =
    RubberBandStretcher::OptionProcessRealTime | RubberBandStretcher::OptionThreadingNever |
    RubberBandStretcher::OptionEngineFaster | RubberBandStretcher::OptionTransientsSmooth |
    RubberBandStretcher::OptionDetectorSoft | RubberBandStretcher::OptionChannelsTogether;

int16_t ToSample(float v) {
    return int16_t(std::lround(std::clamp(v * 32768.0f, -32768.0f, 32767.0f)));
}

}  // namespace

TimeStretcher::TimeStretcher(int sampleRate, int channels, double rate)
    : stretcher_(
          std::make_unique<RubberBandStretcher>(size_t(sampleRate), size_t(channels), kOptions, 1.0 / rate)),
      channels_(channels),
      rate_(rate),
      planes_(size_t(channels), std::vector<float>(size_t(kBlock))),
      pointers_(size_t(channels)) {
    for (int c = 0; c < channels_; ++c) pointers_[size_t(c)] = planes_[size_t(c)].data();
    stretcher_->setMaxProcessSize(size_t(kBlock));
    // Silence ahead of the sound, and as much output dropped, line the
    // output up with the input from its first frame.
    delay_ = int64_t(stretcher_->getStartDelay());
    std::vector<int16_t> silence(size_t(kBlock) * size_t(channels_), 0);
    std::vector<int16_t> ignored;
    for (int64_t pad = int64_t(stretcher_->getPreferredStartPad()); pad > 0; pad -= kBlock) {
        Process(silence.data(), std::min(pad, kBlock), false);
        Retrieve(&ignored);
    }
}

TimeStretcher::~TimeStretcher() = default;

void TimeStretcher::Push(const int16_t* in, int64_t frames, std::vector<int16_t>* out) {
    for (int64_t done = 0; done < frames; done += kBlock) {
        Process(in + done * channels_, std::min(kBlock, frames - done), false);
        Retrieve(out);
    }
}

void TimeStretcher::Finish(std::vector<int16_t>* out) {
    Process(nullptr, 0, true);
    Retrieve(out);
}

void TimeStretcher::Process(const int16_t* in, int64_t frames, bool final) {
    for (int64_t i = 0; i < frames; ++i)
        for (int c = 0; c < channels_; ++c)
            planes_[size_t(c)][size_t(i)] = float(in[i * channels_ + c]) / 32768.0f;
    stretcher_->process(pointers_.data(), size_t(frames), final);
}

void TimeStretcher::Retrieve(std::vector<int16_t>* out) {
    for (int ready = stretcher_->available(); ready > 0; ready = stretcher_->available()) {
        const int64_t got =
            int64_t(stretcher_->retrieve(pointers_.data(), size_t(std::min<int64_t>(ready, kBlock))));
        if (got <= 0)
            return;
        const int64_t skip = std::min(delay_, got);
        delay_ -= skip;
        for (int64_t i = skip; i < got; ++i)
            for (int c = 0; c < channels_; ++c) out->push_back(ToSample(planes_[size_t(c)][size_t(i)]));
    }
}

}  // namespace kovel::render
