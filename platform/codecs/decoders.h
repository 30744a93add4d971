// The built-in decoder filters. Both are registered with the component
// runtime and the filter catalog when the library loads; applications create
// them by class id (kovel/runtime_classes.h). Declared here for tests and for
// code that wants their counters.
//
// "Audio Decoder" (CLSID_KovelAudioDecoder): input MEDIATYPE_Audio with
// FORMAT_WaveFormatEx, any subtype; the wave format tag of the block picks the
// codec. Output MEDIASUBTYPE_PCM, WAVEFORMATEX PCM 16-bit interleaved at the
// input's rate and channel count. Output sample times run on from the input
// times: start + samples / rate. After a new segment nothing wholly before
// its start (time 0) is delivered; a buffer reaching across 0 is cut so that
// it starts at 0.
//
// "Video Decoder" (CLSID_KovelVideoDecoder): input MEDIATYPE_Video with
// FORMAT_VideoInfo, the BITMAPINFOHEADER compression FOURCC picks the codec
// (bytes after the header are the codec's set-up data). Output
// MEDIASUBTYPE_RGB32, VIDEOINFOHEADER with positive biHeight (bottom-up rows
// of width * 4 bytes, alpha byte 0xFF), fixed-size samples. Output times are
// the codec's presentation times of the input stamps; end = start + the
// input sample's duration (or the average frame time). After a start or a
// flush, frames are dropped until a key frame has been decoded, and frames
// ending at or before the segment start are never delivered.
#pragma once

#include "decoder_base.h"
#include "decoder_formats.h"

struct SwrContext;
struct SwsContext;

namespace kovel::rt {

class AudioDecoder final : public DecoderFilter {
  public:
    AudioDecoder();
    ~AudioDecoder() override;
    std::vector<MediaType> OutputTypes(const MediaType& input) override;
    HRESULT DecideBufferSize(OutputPin* pin, IMemAllocator* alloc, ALLOCATOR_PROPERTIES* req) override;

  private:
    HRESULT Configure(const MediaType& input, AVCodecContext* ctx) override;
    HRESULT OnCodecOpened(const MediaType& input) override;
    HRESULT OnFrame(AVFrame* frame, HRESULT* fatal) override;
    HRESULT OnDrained(HRESULT* fatal) override;
    void ResetStream() override;
    bool NeedsKeyFrame() const override { return false; }

    HRESULT Convert(AVFrame* frame, HRESULT* fatal);
    HRESULT Emit(const uint8_t* pcm, int64_t frames);
    REFERENCE_TIME TimeAt(int64_t frames) const;

    // Streaming state (streaming lock).
    int outRate_ = 0, outChannels_ = 0, blockAlign_ = 0;
    SwrContext* swr_ = nullptr;
    int swrFormat_ = -1, swrRate_ = 0, swrChannels_ = 0;
    std::vector<uint8_t> pcm_;
    bool timeValid_ = false;
    REFERENCE_TIME base_ = 0;  // time of the frame counted from
    int64_t done_ = 0;         // sample frames produced since base_
};

class VideoDecoder final : public DecoderFilter {
  public:
    VideoDecoder();
    ~VideoDecoder() override;
    std::vector<MediaType> OutputTypes(const MediaType& input) override;
    HRESULT DecideBufferSize(OutputPin* pin, IMemAllocator* alloc, ALLOCATOR_PROPERTIES* req) override;

  private:
    HRESULT Configure(const MediaType& input, AVCodecContext* ctx) override;
    HRESULT OnCodecOpened(const MediaType& input) override;
    HRESULT OnFrame(AVFrame* frame, HRESULT* fatal) override;
    void ResetStream() override;
    bool NeedsKeyFrame() const override { return true; }

    // Streaming state (streaming lock).
    int outWidth_ = 0, outHeight_ = 0;
    REFERENCE_TIME frameTime_ = 0;  // average frame duration, when known
    SwsContext* sws_ = nullptr;
    bool nextValid_ = false;
    REFERENCE_TIME next_ = 0;  // start of the following frame when the codec gives none
};

}  // namespace kovel::rt
