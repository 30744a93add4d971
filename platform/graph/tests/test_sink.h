// A renderer-shaped sink for the graph tests: takes samples of one major type,
// records their times, holds the first sample while paused (preroll), posts
// EC_COMPLETE on end of stream while running, and can be told to block every
// delivery until a flush or Stop, or to refuse samples with a failure.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "com_util.h"
#include "kovel/events.h"
#include "kovel/renderer.h"

KOVEL_GUID(CLSID_TestVideoSink, "5A0C1E77-3B2D-4C1E-9F00-1D2E3F405161");
KOVEL_GUID(CLSID_TestAudioSink, "5A0C1E77-3B2D-4C1E-9F00-1D2E3F405162");
KOVEL_GUID(IID_TestSink, "5A0C1E77-3B2D-4C1E-9F00-1D2E3F405163");

namespace kovel::graph::test {

struct Received {
    REFERENCE_TIME start;
    int generation;  // bumped by every flush
};

struct Segment {
    REFERENCE_TIME start;
    double rate;
};

class TestSink final : public IBaseFilter, public IPin, public IMemInputPin, public IKovelRenderer {
  public:
    explicit TestSink(const GUID& major) : major_(major) {}

    // Test controls.
    std::atomic<bool> blockDeliveries{false};
    std::atomic<HRESULT> refuseWith{S_OK};
    std::vector<Received> Samples() {
        std::lock_guard<std::mutex> l(m_);
        return samples_;
    }
    std::vector<Segment> Segments() {
        std::lock_guard<std::mutex> l(m_);
        return segments_;
    }
    int Generation() {
        std::lock_guard<std::mutex> l(m_);
        return generation_;
    }
    bool WaitBlocked(int ms) {
        std::unique_lock<std::mutex> l(m_);
        return cv_.wait_for(l, std::chrono::milliseconds(ms), [&] { return blocked_; });
    }
    bool WaitSamples(size_t n, int ms) {
        std::unique_lock<std::mutex> l(m_);
        return cv_.wait_for(l, std::chrono::milliseconds(ms), [&] { return samples_.size() >= n; });
    }
    int completes() const { return completes_; }
    void Unblock() {
        std::lock_guard<std::mutex> l(m_);
        blockDeliveries = false;
        cv_.notify_all();
    }

    // IUnknown
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IBaseFilter || riid == IID_IMediaFilter ||
            riid == IID_IPersist)
            *ppv = static_cast<IBaseFilter*>(this);
        else if (riid == IID_IPin)
            *ppv = static_cast<IPin*>(this);
        else if (riid == IID_IMemInputPin)
            *ppv = static_cast<IMemInputPin*>(this);
        else if (riid == IID_IKovelRenderer)
            *ppv = static_cast<IKovelRenderer*>(this);
        else if (riid == IID_TestSink)
            *ppv = this;
        else {
            *ppv = nullptr;
            return E_NOINTERFACE;
        }
        if (riid != IID_TestSink)
            AddRef();
        return S_OK;
    }
    ULONG AddRef() override { return ++refs_; }
    ULONG Release() override {
        ULONG r = --refs_;
        if (r == 0)
            delete this;
        return r;
    }

    // IMediaFilter / IBaseFilter
    HRESULT GetClassID(CLSID* c) override {
        *c = major_ == MEDIATYPE_Video ? CLSID_TestVideoSink : CLSID_TestAudioSink;
        return S_OK;
    }
    HRESULT Stop() override {
        std::lock_guard<std::mutex> l(m_);
        state_ = State_Stopped;
        eos_ = false;
        completeSent_ = false;
        prerolled_ = false;
        cv_.notify_all();
        return S_OK;
    }
    HRESULT Pause() override {
        std::lock_guard<std::mutex> l(m_);
        if (state_ == State_Stopped)
            prerolled_ = false;
        state_ = State_Paused;
        cv_.notify_all();
        return S_OK;
    }
    HRESULT Run(REFERENCE_TIME) override {
        bool complete;
        {
            std::lock_guard<std::mutex> l(m_);
            state_ = State_Running;
            complete = eos_ && !completeSent_;
            if (complete)
                completeSent_ = true;
            cv_.notify_all();
        }
        if (complete)
            PostComplete();
        return S_OK;
    }
    HRESULT GetState(DWORD ms, FILTER_STATE* s) override {
        std::unique_lock<std::mutex> l(m_);
        *s = state_;
        if (state_ != State_Paused)
            return S_OK;
        cv_.wait_for(l, std::chrono::milliseconds(ms == INFINITE ? 60000 : ms),
                     [&] { return prerolled_ || eos_; });
        return prerolled_ || eos_ ? S_OK : VFW_S_STATE_INTERMEDIATE;
    }
    HRESULT SetSyncSource(IReferenceClock*) override { return S_OK; }
    HRESULT GetSyncSource(IReferenceClock** c) override {
        *c = nullptr;
        return S_OK;
    }
    HRESULT EnumPins(IEnumPins** e) override {
        *e = new PinEnumerator({static_cast<IPin*>(this)});
        return S_OK;
    }
    HRESULT FindPin(LPCWSTR, IPin** p) override {
        *p = static_cast<IPin*>(this);
        AddRef();
        return S_OK;
    }
    HRESULT QueryFilterInfo(FILTER_INFO* info) override {
        CopyName(info->achName, MAX_FILTER_NAME, name_);
        info->pGraph = graph_;
        if (graph_)
            graph_->AddRef();
        return S_OK;
    }
    HRESULT JoinFilterGraph(IFilterGraph* g, LPCWSTR name) override {
        graph_ = g;
        name_ = name ? name : u"";
        sink_ = nullptr;
        if (g) {
            g->QueryInterface(IID_IMediaEventSink, reinterpret_cast<void**>(&sink_));
            if (sink_)
                sink_->Release();  // the graph owns us: no reference back
        }
        return S_OK;
    }
    HRESULT QueryVendorInfo(LPWSTR*) override { return E_NOTIMPL; }

    // IPin (input)
    HRESULT Connect(IPin*, const AM_MEDIA_TYPE*) override { return E_UNEXPECTED; }
    HRESULT ReceiveConnection(IPin* from, const AM_MEDIA_TYPE* mt) override {
        if (!from || !mt)
            return E_POINTER;
        if (peer_)
            return VFW_E_ALREADY_CONNECTED;
        if (mt->majortype != major_)
            return VFW_E_TYPE_NOT_ACCEPTED;
        peer_ = ComPtr<IPin>(from);
        mt_ = MediaTypeHolder(*mt);
        return S_OK;
    }
    HRESULT Disconnect() override {
        if (!peer_)
            return S_FALSE;
        peer_.Reset();
        return S_OK;
    }
    HRESULT ConnectedTo(IPin** p) override {
        *p = peer_.get();
        if (!*p)
            return VFW_E_NOT_CONNECTED;
        (*p)->AddRef();
        return S_OK;
    }
    HRESULT ConnectionMediaType(AM_MEDIA_TYPE* mt) override {
        if (!peer_)
            return VFW_E_NOT_CONNECTED;
        return CopyMediaType(mt, &mt_.get());
    }
    HRESULT QueryPinInfo(PIN_INFO* info) override {
        info->pFilter = this;
        AddRef();
        info->dir = PINDIR_INPUT;
        CopyName(info->achName, MAX_PIN_NAME, u"In");
        return S_OK;
    }
    HRESULT QueryDirection(PIN_DIRECTION* d) override {
        *d = PINDIR_INPUT;
        return S_OK;
    }
    HRESULT QueryId(LPWSTR*) override { return E_NOTIMPL; }
    HRESULT QueryAccept(const AM_MEDIA_TYPE* mt) override { return mt->majortype == major_ ? S_OK : S_FALSE; }
    HRESULT EnumMediaTypes(IEnumMediaTypes** e) override {
        *e = new MediaTypeEnumerator({});
        return S_OK;
    }
    HRESULT QueryInternalConnections(IPin**, ULONG*) override { return E_NOTIMPL; }
    HRESULT EndOfStream() override {
        bool complete = false;
        {
            std::lock_guard<std::mutex> l(m_);
            if (flushing_)
                return S_OK;
            eos_ = true;
            if (state_ == State_Running && !completeSent_)
                complete = completeSent_ = true;
            cv_.notify_all();
        }
        if (complete)
            PostComplete();
        return S_OK;
    }
    HRESULT BeginFlush() override {
        std::lock_guard<std::mutex> l(m_);
        flushing_ = true;
        ++generation_;
        eos_ = false;
        completeSent_ = false;
        prerolled_ = false;
        cv_.notify_all();
        return S_OK;
    }
    HRESULT EndFlush() override {
        std::lock_guard<std::mutex> l(m_);
        flushing_ = false;
        return S_OK;
    }
    HRESULT NewSegment(REFERENCE_TIME start, REFERENCE_TIME, double rate) override {
        std::lock_guard<std::mutex> l(m_);
        segments_.push_back({start, rate});
        return S_OK;
    }

    // IMemInputPin
    HRESULT GetAllocator(IMemAllocator**) override { return VFW_E_NO_ALLOCATOR; }
    HRESULT NotifyAllocator(IMemAllocator*, BOOL) override { return S_OK; }
    HRESULT GetAllocatorRequirements(ALLOCATOR_PROPERTIES*) override { return E_NOTIMPL; }
    HRESULT Receive(IMediaSample* s) override {
        if (HRESULT r = refuseWith.load(); FAILED(r))
            return r;
        std::unique_lock<std::mutex> l(m_);
        if (flushing_ || state_ == State_Stopped)
            return VFW_E_WRONG_STATE;
        REFERENCE_TIME a = 0, b = 0;
        s->GetTime(&a, &b);
        samples_.push_back({a, generation_});
        int gen = generation_;
        cv_.notify_all();
        // Hold the sample while paused, as a renderer does with its preroll
        // sample; or block on request until flushed or stopped.
        if (state_ == State_Paused && !prerolled_) {
            prerolled_ = true;
            cv_.notify_all();
        }
        auto released = [&] {
            return generation_ != gen || state_ == State_Stopped ||
                   (state_ == State_Running && !blockDeliveries);
        };
        blocked_ = !released();
        cv_.notify_all();
        cv_.wait(l, released);
        blocked_ = false;
        return S_OK;
    }
    HRESULT ReceiveMultiple(IMediaSample** s, LONG n, LONG* done) override {
        *done = 0;
        for (LONG i = 0; i < n; ++i) {
            HRESULT hr = Receive(s[i]);
            if (hr != S_OK)
                return hr;
            ++*done;
        }
        return S_OK;
    }
    HRESULT ReceiveCanBlock() override { return S_OK; }

    // IKovelRenderer
    HRESULT GetRenderState(KovelRenderState* st) override {
        std::lock_guard<std::mutex> l(m_);
        *st = KovelRenderState{};
        st->kind = major_ == MEDIATYPE_Video ? KovelRenderer_Video : KovelRenderer_Audio;
        st->state = state_;
        st->prerolled = prerolled_;
        st->endOfStream = eos_;
        st->presented = LONGLONG(samples_.size());
        st->firstStreamTime = samples_.empty() ? -1 : samples_.front().start;
        return S_OK;
    }
    HRESULT GetReferenceClock(IReferenceClock** c) override {
        *c = nullptr;
        return E_NOINTERFACE;
    }
    HRESULT WaitPrerolled(DWORD ms) override {
        FILTER_STATE s;
        return GetState(ms, &s);
    }

  private:
    void PostComplete() {
        ++completes_;
        if (sink_)
            sink_->Notify(EC_COMPLETE, S_OK, reinterpret_cast<LONG_PTR>(static_cast<IBaseFilter*>(this)));
    }
    ~TestSink() = default;
    GUID major_;
    std::atomic<ULONG> refs_{1};
    std::mutex m_;
    std::condition_variable cv_;
    FILTER_STATE state_ = State_Stopped;
    bool flushing_ = false, eos_ = false, completeSent_ = false, prerolled_ = false, blocked_ = false;
    int generation_ = 0;
    std::atomic<int> completes_{0};
    std::vector<Received> samples_;
    std::vector<Segment> segments_;
    IFilterGraph* graph_ = nullptr;
    IMediaEventSink* sink_ = nullptr;
    std::u16string name_;
    ComPtr<IPin> peer_;
    MediaTypeHolder mt_;
};

}  // namespace kovel::graph::test
