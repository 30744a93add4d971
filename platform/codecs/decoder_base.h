// Common part of the decoder filters: one input pin taking compressed samples,
// one output pin delivering decoded ones, the codec context of the decoding
// library, and the streaming protocol (flush, new segment, end of stream).
//
// Locks: the filter's state lock guards connection and state; the streaming
// lock guards the codec and everything the streaming thread touches. The
// streaming lock may take the state lock, never the other way round, so a
// state change never waits for a delivery blocked downstream. Deliveries run
// under the streaming lock; BeginFlush is forwarded without it, which releases
// a delivery blocked downstream before EndFlush takes the lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include "filter_base.h"
#include "kovel/builtin.h"

struct AVCodecContext;
struct AVPacket;
struct AVFrame;

namespace kovel::rt {

class DecoderFilter;

class DecoderInputPin final : public InputPin {
  public:
    explicit DecoderInputPin(DecoderFilter* owner);
    HRESULT CheckMediaType(const MediaType& mt) override;

  private:
    DecoderFilter* owner_;
};

class DecoderOutputPin final : public OutputPin {
  public:
    explicit DecoderOutputPin(DecoderFilter* owner);
    std::vector<MediaType> ProposedTypes() override;

  private:
    DecoderFilter* owner_;
};

// Counters since the filter was made.
struct DecoderStats {
    int64_t packets = 0;       // compressed samples sent to the codec
    int64_t frames = 0;        // frames the codec produced
    int64_t delivered = 0;     // output samples delivered downstream
    int64_t decodeErrors = 0;  // packets or frames the codec refused (skipped)
    int64_t beforeStart = 0;   // frames decoded but lying before the segment start
    int64_t awaitingKey = 0;   // frames dropped while waiting for a key frame
};

class DecoderFilter : public FilterBase {
  public:
    int PinCount() override { return 2; }
    PinBase* PinAt(int i) override;

    DecoderInputPin& In() { return in_; }
    DecoderOutputPin& Out() { return out_; }
    DecoderStats Stats();

    // Type checks, under the state lock: the type is parsed and the codec
    // opened once on trial.
    HRESULT CheckInputType(const MediaType& mt);
    virtual std::vector<MediaType> OutputTypes(const MediaType& input) = 0;

  protected:
    explicit DecoderFilter(const CLSID& clsid);
    ~DecoderFilter() override;

    // Parses the input type and fills the codec parameters; S_OK or
    // VFW_E_TYPE_NOT_ACCEPTED. Must not keep state: used on trial too.
    virtual HRESULT Configure(const MediaType& input, AVCodecContext* ctx) = 0;
    // After the codec opened for streaming (streaming lock held).
    virtual HRESULT OnCodecOpened(const MediaType& input) = 0;
    // One decoded frame (streaming lock held). Sets *fatal to a failure code
    // when the stream cannot go on; otherwise returns the delivery's result.
    virtual HRESULT OnFrame(AVFrame* frame, HRESULT* fatal) = 0;
    // The codec has given its last frame (end of stream): deliver what the
    // subclass still holds.
    virtual HRESULT OnDrained(HRESULT* fatal) {
        (void)fatal;
        return S_OK;
    }
    // Forget timing and conversion state: after a flush, a new segment or a
    // new run.
    virtual void ResetStream() = 0;
    virtual bool NeedsKeyFrame() const = 0;

    HRESULT OnPause(FILTER_STATE from) override;
    HRESULT OnReceive(InputPin* pin, IMediaSample* sample) override;
    HRESULT OnEndOfStream(InputPin* pin) override;
    HRESULT OnBeginFlush(InputPin* pin) override;
    HRESULT OnEndFlush(InputPin* pin) override;
    HRESULT OnNewSegment(InputPin* pin, REFERENCE_TIME start, REFERENCE_TIME stop, double rate) override;
    void OnConnected(PinBase* pin) override;

    // Streaming lock held: one output sample's flags, taken by the subclass
    // for each sample it delivers.
    bool TakeDiscontinuity();
    void CountBeforeStart() { ++stats_.beforeStart; }
    // Streaming lock held: an output buffer to fill; S_FALSE (and none) once
    // a flush has begun.
    HRESULT NextOutputSample(IMediaSample** out);
    // Streaming lock held: stamps a filled sample (a sync point, with the
    // stream's discontinuity flag), delivers it and lets it go.
    HRESULT DeliverSample(IMediaSample* s, LONG length, REFERENCE_TIME start, REFERENCE_TIME end);
    // The format block the output was connected with, else the one it would
    // propose for `input`: `size` bytes into `header`; false when neither is
    // of `formatType` and long enough.
    bool OutputFormat(const MediaType& input, const GUID& formatType, void* header, size_t size);

    std::mutex streamMu_;

  private:
    HRESULT ReceiveLocked(IMediaSample* sample, HRESULT* fatal);
    HRESULT OpenLocked(const MediaType& input);
    void CloseLocked();
    void ResetLocked();
    HRESULT SendLocked(AVPacket* pkt, HRESULT* fatal);
    HRESULT DrainLocked(HRESULT* fatal);
    void PostAbort(HRESULT hr);

    DecoderInputPin in_;
    DecoderOutputPin out_;

    // Streaming state (streamMu_).
    AVCodecContext* ctx_ = nullptr;
    AVPacket* pkt_ = nullptr;
    AVFrame* frame_ = nullptr;
    MediaType streamType_;  // the type the codec was opened for
    uint64_t openedGeneration_ = 0;
    bool waitKey_ = true;
    bool discontinuity_ = true;
    HRESULT failed_ = S_OK;
    DecoderStats stats_;

    // Set under the state lock, read by the streaming side.
    std::atomic<uint64_t> typeGeneration_{0};
    std::atomic<bool> resetPending_{false};
};

// Copies a codec's set-up data into its context (padded as the codec wants).
HRESULT SetCodecExtradata(AVCodecContext* ctx, const std::vector<uint8_t>& extradata);

// Asks `alloc` for at least `buffers` buffers of at least `size` bytes (more
// if the downstream pin wants them); E_FAIL unless it grants one buffer of at
// least `minSize`.
HRESULT SetDecoderBuffers(IMemAllocator* alloc, const ALLOCATOR_PROPERTIES& req, LONG buffers, LONG size,
                          LONG minSize);

// Announces a decoder to the component runtime and the filter catalog: an
// input pin "In" for any subtype of `major` (the format block decides) and an
// output pin "Out" of `outSubtype`.
void RegisterDecoder(const CLSID& clsid, const char16_t* name, const GUID& major, const GUID& outSubtype,
                     KovelCreateFunction create);

}  // namespace kovel::rt
