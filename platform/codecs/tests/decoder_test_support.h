// Test media and test filters for the decoders: streams encoded on the spot
// with the decoding library, wrapped in the media types a courseware reader
// announces, pushed through a source pin into a decoder and collected by a
// sink built on the filter base.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "filter_base.h"
#include "kovel/formats.h"

namespace test {

using kovel::rt::MediaType;

struct Packet {
    std::vector<uint8_t> data;
    REFERENCE_TIME start = 0, end = 0;  // presentation times
    bool key = false;
};

struct Encoded {
    std::vector<uint8_t> extradata;
    std::vector<Packet> packets;  // decode order
    // video
    int width = 0, height = 0;
    REFERENCE_TIME frameTime = 0;
    // audio
    int sampleRate = 0, channels = 0, blockAlign = 0, bitRate = 0;
    int64_t inputFrames = 0;  // sample frames fed to the encoder
};

// Picture i: a red block at the top left, a blue block at the bottom right,
// grey elsewhere, and at the bottom left a block whose brightness counts the
// frame number (FrameNumberOf reads it back from a decoded picture).
// codec: "wmv2" or "mpeg4"; gop: frames between key frames.
Encoded EncodeVideo(const char* codec, int width, int height, int frames, int fps, int gop, int bFrames,
                    bool globalHeader);
// A 440 Hz tone, wmav2.
Encoded EncodeWma(int rate, int channels, double seconds);

// VIDEOINFOHEADER with the FOURCC and the codec's set-up bytes after the
// bitmap header; biSize counts them when `sizeCountsExtra`.
MediaType VideoType(const Encoded& e, uint32_t fourcc, bool sizeCountsExtra = true);
// Subtype 0x0161 as the reader announces it, WAVEFORMATEX with the real tag.
MediaType WmaType(const Encoded& e);

constexpr uint32_t Fourcc(char a, char b, char c, char d) {
    return uint32_t(uint8_t(a)) | uint32_t(uint8_t(b)) << 8 | uint32_t(uint8_t(c)) << 16 |
           uint32_t(uint8_t(d)) << 24;
}

// Reads one RGB32 pixel (B, G, R, A) of a bottom-up picture at picture row y.
struct Pixel {
    int b, g, r, a;
};
Pixel PixelAt(const std::vector<uint8_t>& rgb32, int width, int height, int x, int y);
int FrameNumberOf(const std::vector<uint8_t>& rgb32, int width, int height);

// Offers one media type on an output pin and pushes packets through the
// allocator the downstream pin agreed on.
class SourceFilter final : public kovel::rt::FilterBase {
  public:
    explicit SourceFilter(MediaType type);
    int PinCount() override { return 1; }
    kovel::rt::PinBase* PinAt(int i) override;
    kovel::rt::OutputPin& Out() { return out_; }

    HRESULT Push(const Packet& p, REFERENCE_TIME offset = 0, bool discontinuity = false,
                 const MediaType* changeType = nullptr);
    HRESULT PushBytes(const std::vector<uint8_t>& bytes, REFERENCE_TIME start, REFERENCE_TIME end);

    HRESULT DecideBufferSize(kovel::rt::OutputPin*, IMemAllocator* alloc, ALLOCATOR_PROPERTIES* req) override;
    HRESULT OnReceive(kovel::rt::InputPin*, IMediaSample*) override { return E_UNEXPECTED; }
    HRESULT OnEndOfStream(kovel::rt::InputPin*) override { return E_UNEXPECTED; }
    HRESULT OnBeginFlush(kovel::rt::InputPin*) override { return E_UNEXPECTED; }
    HRESULT OnEndFlush(kovel::rt::InputPin*) override { return E_UNEXPECTED; }
    HRESULT OnNewSegment(kovel::rt::InputPin*, REFERENCE_TIME, REFERENCE_TIME, double) override {
        return E_UNEXPECTED;
    }

  private:
    class Pin final : public kovel::rt::OutputPin {
      public:
        Pin(SourceFilter* f) : OutputPin(f, u"Out"), owner_(f) {}
        std::vector<MediaType> ProposedTypes() override { return {owner_->type_}; }

      private:
        SourceFilter* owner_;
    };
    MediaType type_;
    Pin out_;
};

struct Received {
    REFERENCE_TIME start = 0, end = 0;
    bool timed = false, sync = false, discontinuity = false;
    std::vector<uint8_t> data;
};

// Accepts one major type and subtype and records what arrives, in order.
class SinkFilter final : public kovel::rt::FilterBase {
  public:
    SinkFilter(GUID major, GUID subtype);
    int PinCount() override { return 1; }
    kovel::rt::PinBase* PinAt(int i) override;
    kovel::rt::InputPin& In() { return in_; }

    HRESULT OnReceive(kovel::rt::InputPin*, IMediaSample* s) override;
    HRESULT OnEndOfStream(kovel::rt::InputPin*) override;
    HRESULT OnBeginFlush(kovel::rt::InputPin*) override;
    HRESULT OnEndFlush(kovel::rt::InputPin*) override;
    HRESULT OnNewSegment(kovel::rt::InputPin*, REFERENCE_TIME start, REFERENCE_TIME stop,
                         double rate) override;

    // Receive holds every sample until a flush begins or Unblock is called.
    void BlockReceives(bool on);
    // Waits until a Receive is being held; false after the time-out.
    bool WaitBlocked(int ms);

    std::vector<Received> Samples();
    // "sample", "segment", "end-of-stream", "begin-flush", "end-flush"
    std::vector<std::string> Events();
    size_t SamplesAfterLastFlush();
    void Clear();

  private:
    class Pin final : public kovel::rt::InputPin {
      public:
        Pin(SinkFilter* f) : InputPin(f, u"In"), owner_(f) {}
        HRESULT CheckMediaType(const MediaType& mt) override;

      private:
        SinkFilter* owner_;
    };
    GUID major_, subtype_;
    Pin in_;
    std::mutex mu_;
    std::condition_variable cv_;
    bool block_ = false, blocked_ = false, flushing_ = false;
    std::vector<Received> samples_;
    std::vector<std::string> events_;
    size_t flushMark_ = 0;
};

// A graph that only listens for events.
class EventGraph final : public IFilterGraph, public IMediaEventSink {
  public:
    HRESULT QueryInterface(REFIID riid, void** ppv) override;
    ULONG AddRef() override { return 2; }
    ULONG Release() override { return 1; }
    HRESULT AddFilter(IBaseFilter*, LPCWSTR) override { return E_NOTIMPL; }
    HRESULT RemoveFilter(IBaseFilter*) override { return E_NOTIMPL; }
    HRESULT EnumFilters(IEnumFilters**) override { return E_NOTIMPL; }
    HRESULT FindFilterByName(LPCWSTR, IBaseFilter**) override { return E_NOTIMPL; }
    HRESULT ConnectDirect(IPin*, IPin*, const AM_MEDIA_TYPE*) override { return E_NOTIMPL; }
    HRESULT Reconnect(IPin*) override { return E_NOTIMPL; }
    HRESULT Disconnect(IPin*) override { return E_NOTIMPL; }
    HRESULT SetDefaultSyncSource() override { return E_NOTIMPL; }
    HRESULT Notify(LONG code, LONG_PTR p1, LONG_PTR p2) override;

    struct Event {
        LONG code;
        LONG_PTR p1, p2;
    };
    std::vector<Event> Events();

  private:
    std::mutex mu_;
    std::vector<Event> events_;
};

// Source -> decoder -> sink, connected and running; tears down in order.
struct Chain {
    Chain(kovel::rt::FilterBase* decoder, MediaType input, GUID outMajor, GUID outSubtype);
    ~Chain();
    HRESULT Connect();  // both links; the first failure
    HRESULT Run();
    void Stop();
    // Seek as a reader does it: begin flush, end flush, new segment.
    void Seek(REFERENCE_TIME segmentStart);

    SourceFilter* source;
    kovel::rt::FilterBase* decoder;
    SinkFilter* sink;
};

}  // namespace test
