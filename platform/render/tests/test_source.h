// A small upstream filter for the renderer tests: one output pin offering a
// single media type, samples from the platform's allocator, delivered by the
// test itself; and a graph stand-in that records the events renderers post.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <vector>

#include "filter_base.h"

namespace kovel::render::test {

class TestSource final : public rt::FilterBase {
  public:
    TestSource(rt::MediaType type, LONG buffers, LONG bufferSize);
    ~TestSource() override;

    rt::OutputPin* Out();
    // Delivers one sample of `length` bytes (-1: the whole buffer) filled by
    // `fill`, stamped start..end unless `timed` is false.
    HRESULT Send(REFERENCE_TIME start, REFERENCE_TIME end, const std::function<void(BYTE*, LONG)>& fill,
                 LONG length = -1, bool timed = true);

    int PinCount() override { return 1; }
    rt::PinBase* PinAt(int i) override;
    HRESULT OnReceive(rt::InputPin*, IMediaSample*) override { return E_UNEXPECTED; }
    HRESULT OnEndOfStream(rt::InputPin*) override { return E_UNEXPECTED; }
    HRESULT OnBeginFlush(rt::InputPin*) override { return E_UNEXPECTED; }
    HRESULT OnEndFlush(rt::InputPin*) override { return E_UNEXPECTED; }
    HRESULT OnNewSegment(rt::InputPin*, REFERENCE_TIME, REFERENCE_TIME, double) override { return S_OK; }
    HRESULT DecideBufferSize(rt::OutputPin*, IMemAllocator* alloc, ALLOCATOR_PROPERTIES* req) override;

  private:
    class Pin;
    rt::MediaType type_;
    LONG buffers_, size_;
    Pin* pin_;
};

struct RecordedEvent {
    LONG code;
    LONG_PTR p1, p2;
};

// Answers IMediaEventSink from JoinFilterGraph's QueryInterface.
class EventRecorder final : public IFilterGraph, public IMediaEventSink {
  public:
    HRESULT QueryInterface(REFIID riid, void** ppv) override;
    ULONG AddRef() override { return 2; }
    ULONG Release() override { return 1; }
    HRESULT Notify(LONG code, LONG_PTR p1, LONG_PTR p2) override;

    HRESULT AddFilter(IBaseFilter*, LPCWSTR) override { return E_NOTIMPL; }
    HRESULT RemoveFilter(IBaseFilter*) override { return E_NOTIMPL; }
    HRESULT EnumFilters(IEnumFilters**) override { return E_NOTIMPL; }
    HRESULT FindFilterByName(LPCWSTR, IBaseFilter**) override { return E_NOTIMPL; }
    HRESULT ConnectDirect(IPin*, IPin*, const AM_MEDIA_TYPE*) override { return E_NOTIMPL; }
    HRESULT Reconnect(IPin*) override { return E_NOTIMPL; }
    HRESULT Disconnect(IPin*) override { return E_NOTIMPL; }
    HRESULT SetDefaultSyncSource() override { return E_NOTIMPL; }

    int Count(LONG code);
    bool WaitFor(LONG code, int count, int ms);
    std::vector<RecordedEvent> Events();

  private:
    std::mutex mu_;
    std::condition_variable cv_;
    std::vector<RecordedEvent> events_;
};

rt::MediaType PcmType(int channels, int rate);
rt::MediaType Rgb32Type(LONG width, LONG height, REFERENCE_TIME avgFrame);

// The renderer's first pin, connected to the source's output.
HRESULT ConnectTo(TestSource* source, IBaseFilter* renderer);

REFERENCE_TIME Ms(int64_t ms);

}  // namespace kovel::render::test
