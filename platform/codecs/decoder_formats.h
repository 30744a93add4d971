// Reading the format blocks the decoders accept and building the types they
// produce. Format blocks come from files and other filters: every length and
// field is checked before use.
#pragma once

#include <cstdint>
#include <vector>

#include "filter_base.h"
#include "kovel/formats.h"

namespace kovel::rt {

// Compressed audio described by a WAVEFORMATEX.
struct AudioInput {
    uint32_t tag = 0;  // the wave format tag (from SubFormat for WAVE_FORMAT_EXTENSIBLE)
    int codecId = 0;   // AVCodecID
    int channels = 0;
    int sampleRate = 0;
    int blockAlign = 0;
    int64_t bitRate = 0;
    int bitsPerSample = 0;
    std::vector<uint8_t> extradata;
};

// Compressed video described by a VIDEOINFOHEADER.
struct VideoInput {
    uint32_t fourcc = 0;
    int codecId = 0;  // AVCodecID
    int width = 0;
    int height = 0;  // always positive
    int bitCount = 0;
    REFERENCE_TIME avgTimePerFrame = 0;
    std::vector<uint8_t> extradata;
};

// Limits on what a format block may claim.
constexpr int kMaxAudioChannels = 8;
constexpr int kMaxSampleRate = 768000;
constexpr int kMaxVideoDimension = 8192;

// S_OK and the parsed description when the type is audio with a sound wave
// format whose tag the decoding library has a decoder for; otherwise
// VFW_E_TYPE_NOT_ACCEPTED (wrong major or format type, short or inconsistent
// block, unknown tag).
HRESULT ParseAudioInput(const MediaType& mt, AudioInput* out);
HRESULT ParseVideoInput(const MediaType& mt, VideoInput* out);

// PCM 16-bit interleaved at the input's rate and channel count.
MediaType PcmOutputType(const AudioInput& in);
// RGB32, bottom-up (positive height), rows of width * 4 bytes.
MediaType Rgb32OutputType(const VideoInput& in);

}  // namespace kovel::rt
