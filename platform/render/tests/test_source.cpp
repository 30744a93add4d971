#include "test_source.h"

#include <cstring>

#include "kovel/formats.h"

namespace kovel::render::test {

KOVEL_GUID(CLSID_RenderTestSource, "3F0B6A52-8E1D-4C7A-B1E2-6D5C4B3A2910");

class TestSource::Pin final : public rt::OutputPin {
  public:
    Pin(TestSource* f, rt::MediaType t) : OutputPin(f, u"Out"), type_(std::move(t)) {}
    std::vector<rt::MediaType> ProposedTypes() override { return {type_}; }

  private:
    rt::MediaType type_;
};

TestSource::TestSource(rt::MediaType type, LONG buffers, LONG bufferSize)
    : FilterBase(CLSID_RenderTestSource),
      type_(type),
      buffers_(buffers),
      size_(bufferSize),
      pin_(new Pin(this, std::move(type))) {}
TestSource::~TestSource() {
    delete pin_;
}
rt::OutputPin* TestSource::Out() {
    return pin_;
}
rt::PinBase* TestSource::PinAt(int i) {
    return i == 0 ? pin_ : nullptr;
}

HRESULT TestSource::DecideBufferSize(rt::OutputPin*, IMemAllocator* alloc, ALLOCATOR_PROPERTIES*) {
    ALLOCATOR_PROPERTIES req{buffers_, size_, 1, 0}, got{};
    return alloc->SetProperties(&req, &got);
}

HRESULT TestSource::Send(REFERENCE_TIME start, REFERENCE_TIME end,
                         const std::function<void(BYTE*, LONG)>& fill, LONG length, bool timed) {
    IMediaSample* s = nullptr;
    HRESULT hr = pin_->GetDeliveryBuffer(&s);
    if (FAILED(hr))
        return hr;
    BYTE* p = nullptr;
    s->GetPointer(&p);
    LONG len = length < 0 ? s->GetSize() : length;
    if (FAILED(s->SetActualDataLength(len))) {
        s->Release();
        return E_INVALIDARG;
    }
    if (fill)
        fill(p, len);
    if (timed)
        s->SetTime(&start, &end);
    hr = pin_->Deliver(s);
    s->Release();
    return hr;
}

HRESULT EventRecorder::QueryInterface(REFIID riid, void** ppv) {
    if (!ppv)
        return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IFilterGraph)
        *ppv = static_cast<IFilterGraph*>(this);
    else if (riid == IID_IMediaEventSink)
        *ppv = static_cast<IMediaEventSink*>(this);
    else {
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    return S_OK;
}

HRESULT EventRecorder::Notify(LONG code, LONG_PTR p1, LONG_PTR p2) {
    std::lock_guard<std::mutex> l(mu_);
    events_.push_back({code, p1, p2});
    cv_.notify_all();
    return S_OK;
}

int EventRecorder::Count(LONG code) {
    std::lock_guard<std::mutex> l(mu_);
    int n = 0;
    for (auto& e : events_) n += e.code == code;
    return n;
}

bool EventRecorder::WaitFor(LONG code, int count, int ms) {
    std::unique_lock<std::mutex> l(mu_);
    return cv_.wait_for(l, std::chrono::milliseconds(ms), [&] {
        int n = 0;
        for (auto& e : events_) n += e.code == code;
        return n >= count;
    });
}

std::vector<RecordedEvent> EventRecorder::Events() {
    std::lock_guard<std::mutex> l(mu_);
    return events_;
}

rt::MediaType PcmType(int channels, int rate) {
    WAVEFORMATEX wf{};
    wf.wFormatTag = WAVE_FORMAT_PCM;
    wf.nChannels = WORD(channels);
    wf.nSamplesPerSec = DWORD(rate);
    wf.wBitsPerSample = 16;
    wf.nBlockAlign = WORD(channels * 2);
    wf.nAvgBytesPerSec = DWORD(rate * channels * 2);
    rt::MediaType t;
    t.major = MEDIATYPE_Audio;
    t.subtype = MEDIASUBTYPE_PCM;
    t.formattype = FORMAT_WaveFormatEx;
    t.fixedSize = true;
    t.sampleSize = wf.nBlockAlign;
    t.format.resize(sizeof(wf));
    std::memcpy(t.format.data(), &wf, sizeof(wf));
    return t;
}

rt::MediaType Rgb32Type(LONG width, LONG height, REFERENCE_TIME avgFrame) {
    VIDEOINFOHEADER vih{};
    vih.AvgTimePerFrame = avgFrame;
    vih.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    vih.bmiHeader.biWidth = width;
    vih.bmiHeader.biHeight = height;
    vih.bmiHeader.biPlanes = 1;
    vih.bmiHeader.biBitCount = 32;
    vih.bmiHeader.biCompression = BI_RGB;
    vih.bmiHeader.biSizeImage = DibRowStride(width, 32) * DWORD(height < 0 ? -height : height);
    rt::MediaType t;
    t.major = MEDIATYPE_Video;
    t.subtype = MEDIASUBTYPE_RGB32;
    t.formattype = FORMAT_VideoInfo;
    t.fixedSize = true;
    t.sampleSize = vih.bmiHeader.biSizeImage;
    t.format.resize(sizeof(vih));
    std::memcpy(t.format.data(), &vih, sizeof(vih));
    return t;
}

HRESULT ConnectTo(TestSource* source, IBaseFilter* renderer) {
    IEnumPins* e = nullptr;
    HRESULT hr = renderer->EnumPins(&e);
    if (FAILED(hr))
        return hr;
    IPin* in = nullptr;
    ULONG got = 0;
    hr = e->Next(1, &in, &got);
    e->Release();
    if (hr != S_OK || !in)
        return E_FAIL;
    hr = source->Out()->Connect(in, nullptr);
    in->Release();
    return hr;
}

REFERENCE_TIME Ms(int64_t ms) {
    return ms * 10000;
}

}  // namespace kovel::render::test
