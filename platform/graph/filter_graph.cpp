#include "filter_graph.h"

#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <vector>

#include "candidates.h"
#include "com_util.h"
#include "ffmpeg_source.h"
#include "kovel/com.h"
#include "kovel/events.h"
#include "kovel/formats.h"
#include "kovel/registry.h"
#include "kovel/renderer.h"
#include "media_time_seeking.h"
#include "media_type.h"

namespace kovel::graph {
namespace {

REFERENCE_TIME WallNow() {
    return KovelSteadyNow();
}

struct Event {
    LONG code;
    LONG_PTR p1, p2;
};

// Building reads the filter catalog and the class registrations over and
// over: the registry's stores stay open for the whole of one building call.
struct RegistryHold {
    RegistryHold() { KovelRegistryHold(); }
    ~RegistryHold() { KovelRegistryRelease(); }
    RegistryHold(const RegistryHold&) = delete;
    RegistryHold& operator=(const RegistryHold&) = delete;
};

class FilterGraph;

// IMediaFilter face of the graph, for SetSyncSource(NULL) ("no clock").
class GraphMediaFilter final : public IMediaFilter {
  public:
    explicit GraphMediaFilter(FilterGraph* g) : g_(g) {}
    HRESULT QueryInterface(REFIID riid, void** ppv) override;
    ULONG AddRef() override;
    ULONG Release() override;
    HRESULT GetClassID(CLSID* id) override {
        if (!id)
            return E_POINTER;
        *id = CLSID_FilterGraph;
        return S_OK;
    }
    HRESULT Stop() override;
    HRESULT Pause() override;
    HRESULT Run(REFERENCE_TIME) override;
    HRESULT GetState(DWORD ms, FILTER_STATE* s) override;
    HRESULT SetSyncSource(IReferenceClock* c) override;
    HRESULT GetSyncSource(IReferenceClock** c) override;

  private:
    FilterGraph* g_;
};

class FilterGraph final : public IGraphBuilder,
                          public IMediaControl,
                          public MediaTimeSeeking,
                          public IMediaEventEx,
                          public IMediaEventSink,
                          public IBasicAudio {
  public:
    FilterGraph() : mediaFilter_(this) {}

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IGraphBuilder || riid == IID_IFilterGraph)
            *ppv = static_cast<IGraphBuilder*>(this);
        else if (riid == IID_IMediaControl || riid == IID_IDispatch)
            *ppv = static_cast<IMediaControl*>(this);
        else if (riid == IID_IMediaSeeking)
            *ppv = static_cast<IMediaSeeking*>(this);
        else if (riid == IID_IMediaEventEx || riid == IID_IMediaEvent)
            *ppv = static_cast<IMediaEventEx*>(this);
        else if (riid == IID_IMediaEventSink)
            *ppv = static_cast<IMediaEventSink*>(this);
        else if (riid == IID_IBasicAudio)
            *ppv = static_cast<IBasicAudio*>(this);
        else if (riid == IID_IMediaFilter)
            *ppv = static_cast<IMediaFilter*>(&mediaFilter_);
        else {
            *ppv = nullptr;
            return E_NOINTERFACE;
        }
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

    // IDispatch: not offered.
    HRESULT GetTypeInfoCount(UINT* n) override {
        if (n)
            *n = 0;
        return E_NOTIMPL;
    }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
        return E_NOTIMPL;
    }

    // ---- IFilterGraph ----
    HRESULT AddFilter(IBaseFilter* f, LPCWSTR name) override {
        if (!f)
            return E_POINTER;
        std::lock_guard<std::recursive_mutex> l(lock_);
        for (auto& e : filters_)
            if (e.filter.get() == f)
                return VFW_E_DUPLICATE_NAME();
        std::u16string base = name ? name : u"";
        if (base.size() > MAX_FILTER_NAME - 8)
            base.resize(MAX_FILTER_NAME - 8);
        std::u16string unique = base;
        HRESULT result = S_OK;
        for (int n = 1; NameTaken(unique); ++n) {
            unique = base + FromUtf8(" " + std::to_string(n));
            result = VFW_S_DUPLICATE_NAME();
        }
        HRESULT hr = f->JoinFilterGraph(static_cast<IFilterGraph*>(this), unique.c_str());
        if (FAILED(hr))
            return hr;
        filters_.push_back({ComPtr<IBaseFilter>(f), unique});
        if (clockChosen_)
            f->SetSyncSource(clock_.get());
        return result;
    }
    HRESULT RemoveFilter(IBaseFilter* f) override {
        if (!f)
            return E_POINTER;
        std::lock_guard<std::recursive_mutex> l(lock_);
        auto it =
            std::find_if(filters_.begin(), filters_.end(), [&](auto& e) { return e.filter.get() == f; });
        if (it == filters_.end())
            return VFW_E_NOT_FOUND;
        if (state_ != State_Stopped)
            f->Stop();
        DisconnectAll(f);
        ComPtr<IBaseFilter> keep = it->filter;
        filters_.erase(it);
        f->SetSyncSource(nullptr);
        f->JoinFilterGraph(nullptr, nullptr);
        return S_OK;
    }
    HRESULT EnumFilters(IEnumFilters** e) override {
        if (!e)
            return E_POINTER;
        std::lock_guard<std::recursive_mutex> l(lock_);
        std::vector<ComPtr<IBaseFilter>> list;
        for (auto& f : filters_) list.push_back(f.filter);
        *e = new FilterEnumerator(std::move(list));
        return S_OK;
    }
    HRESULT FindFilterByName(LPCWSTR name, IBaseFilter** out) override {
        if (!name || !out)
            return E_POINTER;
        std::lock_guard<std::recursive_mutex> l(lock_);
        *out = nullptr;
        for (auto& f : filters_)
            if (f.name == name) {
                *out = f.filter.get();
                (*out)->AddRef();
                return S_OK;
            }
        return VFW_E_NOT_FOUND;
    }
    HRESULT ConnectDirect(IPin* out, IPin* in, const AM_MEDIA_TYPE* pmt) override {
        if (!out || !in)
            return E_POINTER;
        std::lock_guard<std::recursive_mutex> l(lock_);
        if (state_ != State_Stopped)
            return VFW_E_NOT_STOPPED;
        if (PinDirection(out) != PINDIR_OUTPUT || PinDirection(in) != PINDIR_INPUT)
            return VFW_E_INVALID_DIRECTION;
        if (!InGraph(PinOwner(out).get()) || !InGraph(PinOwner(in).get()))
            return VFW_E_NOT_IN_GRAPH();
        return out->Connect(in, pmt);
    }
    HRESULT Reconnect(IPin*) override { return E_NOTIMPL; }
    HRESULT Disconnect(IPin* pin) override {
        if (!pin)
            return E_POINTER;
        std::lock_guard<std::recursive_mutex> l(lock_);
        if (state_ != State_Stopped)
            return VFW_E_NOT_STOPPED;
        return pin->Disconnect();
    }
    HRESULT SetDefaultSyncSource() override {
        std::lock_guard<std::recursive_mutex> l(lock_);
        ChooseClock();
        return S_OK;
    }

    // ---- IGraphBuilder ----
    HRESULT Connect(IPin* out, IPin* in) override {
        if (!out || !in)
            return E_POINTER;
        std::lock_guard<std::recursive_mutex> l(lock_);
        if (state_ != State_Stopped)
            return VFW_E_NOT_STOPPED;
        RegistryHold hold;
        if (SUCCEEDED(ConnectDirect(out, in, nullptr)))
            return S_OK;
        return ConnectThrough(out, in, 0) ? S_OK : VFW_E_CANNOT_CONNECT;
    }
    HRESULT Render(IPin* out) override {
        if (!out)
            return E_POINTER;
        std::lock_guard<std::recursive_mutex> l(lock_);
        if (state_ != State_Stopped)
            return VFW_E_NOT_STOPPED;
        if (PinDirection(out) != PINDIR_OUTPUT)
            return VFW_E_INVALID_DIRECTION;
        if (ConnectedPeer(out))
            return VFW_E_ALREADY_CONNECTED;
        RegistryHold hold;
        return RenderPin(out, 0) ? S_OK : VFW_E_CANNOT_RENDER;
    }
    HRESULT RenderFile(LPCWSTR file, LPCWSTR) override {
        if (!file)
            return E_POINTER;
        RegistryHold hold;
        ComPtr<IBaseFilter> src;
        HRESULT hr = AddSourceFilter(file, file, src.Out());
        if (FAILED(hr))
            return hr;
        std::lock_guard<std::recursive_mutex> l(lock_);
        int rendered = 0, total = 0;
        for (auto& pin : ListPins(src.get())) {
            if (PinDirection(pin.get()) != PINDIR_OUTPUT)
                continue;
            ++total;
            if (SUCCEEDED(Render(pin.get())))
                ++rendered;
        }
        if (rendered == 0) {
            RemoveFilter(src.get());
            return VFW_E_CANNOT_RENDER;
        }
        return rendered == total ? S_OK : VFW_S_PARTIAL_RENDER;
    }
    HRESULT AddSourceFilter(LPCWSTR file, LPCWSTR name, IBaseFilter** out) override {
        if (!file || !out)
            return E_POINTER;
        *out = nullptr;
        ComPtr<IBaseFilter> f;
        HRESULT hr = CreateFileSource(nullptr, IID_IBaseFilter, f.OutVoid());
        if (FAILED(hr))
            return hr;
        ComPtr<IFileSourceFilter> fs = QueryAs<IFileSourceFilter>(f.get(), IID_IFileSourceFilter);
        if (!fs)
            return E_NOINTERFACE;
        hr = fs->Load(file, nullptr);
        if (FAILED(hr))
            return hr;
        hr = AddFilter(f.get(), name ? name : file);
        if (FAILED(hr))
            return hr;
        *out = f.Detach();
        return S_OK;
    }
    HRESULT SetLogFile(DWORD_PTR) override { return S_OK; }
    HRESULT Abort() override { return S_OK; }
    HRESULT ShouldOperationContinue() override { return S_OK; }

    // ---- IMediaControl ----
    HRESULT Run() override {
        std::lock_guard<std::recursive_mutex> l(lock_);
        if (state_ == State_Running)
            return S_OK;
        if (state_ == State_Stopped) {
            HRESULT hr = DoPause();
            if (FAILED(hr))
                return hr;
        }
        return DoRun();
    }
    HRESULT Pause() override {
        std::lock_guard<std::recursive_mutex> l(lock_);
        return DoPause();
    }
    HRESULT Stop() override {
        std::lock_guard<std::recursive_mutex> l(lock_);
        return DoStop();
    }
    HRESULT GetState(LONG msTimeout, OAFilterState* pfs) override {
        if (!pfs)
            return E_POINTER;
        std::vector<ComPtr<IBaseFilter>> list;
        {
            std::lock_guard<std::recursive_mutex> l(lock_);
            *pfs = state_;
            if (state_ == State_Stopped)
                return S_OK;
            for (auto& f : filters_) list.push_back(f.filter);
        }
        // Waits without the graph lock so streaming threads can still notify.
        auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(msTimeout < 0 ? 0 : msTimeout);
        bool noDeadline = DWORD(msTimeout) == INFINITE;
        HRESULT result = S_OK;
        for (auto& f : list) {
            DWORD left = INFINITE;
            if (!noDeadline) {
                auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
                left = DWORD(std::max<long long>(0, ms));
            }
            FILTER_STATE fs = State_Stopped;
            HRESULT hr = f->GetState(left, &fs);
            if (hr == VFW_S_STATE_INTERMEDIATE)
                result = VFW_S_STATE_INTERMEDIATE;
            else if (FAILED(hr))
                return hr;
        }
        return result;
    }
    HRESULT RenderFile(BSTR file) override { return RenderFile(file, nullptr); }
    HRESULT AddSourceFilter(BSTR, IDispatch** d) override {
        if (d)
            *d = nullptr;
        return E_NOTIMPL;
    }
    HRESULT get_FilterCollection(IDispatch** d) override {
        if (d)
            *d = nullptr;
        return E_NOTIMPL;
    }
    HRESULT get_RegFilterCollection(IDispatch** d) override {
        if (d)
            *d = nullptr;
        return E_NOTIMPL;
    }
    HRESULT StopWhenReady() override {
        HRESULT hr = Pause();
        if (FAILED(hr))
            return hr;
        OAFilterState s;
        GetState(5000, &s);
        return Stop();
    }

    // ---- IMediaSeeking ----
    HRESULT GetCapabilities(DWORD* caps) override {
        if (!caps)
            return E_POINTER;
        auto pins = SeekingPins();
        if (pins.empty()) {
            *caps = 0;
            return E_NOTIMPL;
        }
        DWORD all = ~DWORD(0);
        for (auto& p : pins) {
            DWORD c = 0;
            p->GetCapabilities(&c);
            all &= c;
        }
        *caps = all | AM_SEEKING_CanGetCurrentPos;
        return S_OK;
    }
    HRESULT SetTimeFormat(const GUID* f) override {
        if (!f)
            return E_POINTER;
        return *f == TIME_FORMAT_MEDIA_TIME ? S_OK : E_NOTIMPL;
    }
    HRESULT GetDuration(LONGLONG* d) override { return LargestOfStreams(&IMediaSeeking::GetDuration, d); }
    HRESULT GetStopPosition(LONGLONG* s) override {
        return LargestOfStreams(&IMediaSeeking::GetStopPosition, s);
    }
    HRESULT GetCurrentPosition(LONGLONG* c) override {
        if (!c)
            return E_POINTER;
        LONGLONG stop = 0;
        GetStopPosition(&stop);
        std::lock_guard<std::recursive_mutex> l(lock_);
        // Stream time is wall time, in which the streams play rate_ times as
        // much media (kovel/renderer.h).
        const REFERENCE_TIME played = StreamTimeLocked();
        REFERENCE_TIME pos =
            segmentStart_ + (rate_ == 1.0 ? played : REFERENCE_TIME(std::llround(double(played) * rate_)));
        bool completed;
        {
            std::lock_guard<std::mutex> el(eventLock_);
            completed = completed_;
        }
        if (completed || (stop > 0 && pos > stop))
            pos = std::max(segmentStart_, stop);
        *c = std::max<REFERENCE_TIME>(0, pos);
        return S_OK;
    }
    HRESULT SetPositions(LONGLONG* cur, DWORD curFlags, LONGLONG* stop, DWORD stopFlags) override {
        DWORD curMode = curFlags & AM_SEEKING_PositioningBitsMask;
        if (curMode != AM_SEEKING_NoPositioning && !cur)
            return E_POINTER;
        if ((stopFlags & AM_SEEKING_PositioningBitsMask) != AM_SEEKING_NoPositioning && !stop)
            return E_POINTER;
        std::lock_guard<std::recursive_mutex> l(lock_);
        auto pins = SeekingPins(true);
        if (pins.empty())
            return E_NOTIMPL;
        FILTER_STATE was = state_;
        LONGLONG target = 0;
        if (curMode != AM_SEEKING_NoPositioning) {
            LONGLONG now = 0;
            GetCurrentPosition(&now);
            target = curMode == AM_SEEKING_AbsolutePositioning ? *cur : now + *cur;
            if (target < 0)
                target = 0;
            // Running filters are paused while the streams flush and reposition,
            // then run again on a fresh stream time base.
            if (was == State_Running)
                PauseFilters();
        }
        HRESULT result = S_OK;
        for (auto& p : pins) {
            LONGLONG c = target, s = stop ? *stop : 0;
            HRESULT hr = p->SetPositions(curMode != AM_SEEKING_NoPositioning ? &c : nullptr,
                                         curFlags & ~AM_SEEKING_ReturnTime, stop ? &s : nullptr,
                                         stopFlags & ~AM_SEEKING_ReturnTime);
            if (FAILED(hr))
                result = hr;
        }
        if (curMode != AM_SEEKING_NoPositioning) {
            segmentStart_ = target;
            pausedStreamTime_ = 0;
            ResetCompletion();
            if (was == State_Running) {
                if (clock_)
                    clock_->GetTime(&runStart_);
                else
                    runStart_ = WallNow();
                runStart_ += kStartLatency;
                RunFilters(runStart_);
            }
            if (cur && (curFlags & AM_SEEKING_ReturnTime))
                *cur = target;
        }
        return result;
    }
    HRESULT GetPositions(LONGLONG* cur, LONGLONG* stop) override {
        if (cur)
            GetCurrentPosition(cur);
        if (stop)
            GetStopPosition(stop);
        return S_OK;
    }
    HRESULT GetAvailable(LONGLONG* e, LONGLONG* late) override {
        if (e)
            *e = 0;
        if (late)
            GetDuration(late);
        return S_OK;
    }
    // From 0.5 to 3 (E_INVALIDARG otherwise, and nothing changes). Every
    // source pin takes the rate; unless the graph is stopped or has played
    // to its end, the streams then restart where playback stands, as a seek
    // there would, with new segments that carry the rate, and the position
    // runs on from there at the rate.
    HRESULT SetRate(double r) override {
        if (!(r >= kMinRate && r <= kMaxRate))
            return E_INVALIDARG;
        std::lock_guard<std::recursive_mutex> l(lock_);
        auto pins = SeekingPins(true);
        if (pins.empty())
            return E_NOTIMPL;
        if (r == rate_)
            return S_OK;
        for (size_t i = 0; i < pins.size(); ++i) {
            if (HRESULT hr = pins[i]->SetRate(r); FAILED(hr)) {
                for (size_t k = 0; k < i; ++k) pins[k]->SetRate(rate_);
                return hr;
            }
        }
        LONGLONG now = 0;
        GetCurrentPosition(&now);
        rate_ = r;
        bool completed;
        {
            std::lock_guard<std::mutex> el(eventLock_);
            completed = completed_;
        }
        // Stopped or at the end, the next start or seek carries the rate.
        if (state_ == State_Stopped || completed)
            return S_OK;
        return SetPositions(&now, AM_SEEKING_AbsolutePositioning, nullptr, AM_SEEKING_NoPositioning);
    }
    HRESULT GetRate(double* r) override {
        if (!r)
            return E_POINTER;
        std::lock_guard<std::recursive_mutex> l(lock_);
        *r = rate_;
        return S_OK;
    }

    // ---- IMediaEventEx ----
    HRESULT GetEventHandle(OAEVENT* h) override {
        if (h)
            *h = 0;
        return E_NOTIMPL;
    }
    HRESULT GetEvent(LONG* code, LONG_PTR* p1, LONG_PTR* p2, LONG ms) override {
        if (!code || !p1 || !p2)
            return E_POINTER;
        std::unique_lock<std::mutex> l(eventLock_);
        auto ready = [&] { return !events_.empty(); };
        if (DWORD(ms) == INFINITE)
            eventCv_.wait(l, ready);
        else if (ms > 0)
            eventCv_.wait_for(l, std::chrono::milliseconds(ms), ready);
        if (events_.empty()) {
            *code = 0;
            *p1 = *p2 = 0;
            return E_ABORT;
        }
        Event e = events_.front();
        events_.pop_front();
        *code = e.code;
        *p1 = e.p1;
        *p2 = e.p2;
        return S_OK;
    }
    HRESULT WaitForCompletion(LONG ms, LONG* code) override {
        if (!code)
            return E_POINTER;
        std::unique_lock<std::mutex> l(eventLock_);
        auto done = [&] { return finalCode_ != 0; };
        if (DWORD(ms) == INFINITE)
            eventCv_.wait(l, done);
        else
            eventCv_.wait_for(l, std::chrono::milliseconds(std::max<LONG>(0, ms)), done);
        *code = finalCode_;
        return finalCode_ ? S_OK : E_ABORT;
    }
    HRESULT CancelDefaultHandling(LONG) override { return S_OK; }
    HRESULT RestoreDefaultHandling(LONG) override { return S_OK; }
    HRESULT FreeEventParams(LONG, LONG_PTR, LONG_PTR) override { return S_OK; }
    HRESULT SetNotifyWindow(OAHWND hwnd, LONG msg, LONG_PTR) override {
        std::lock_guard<std::mutex> l(eventLock_);
        notifyTarget_ = reinterpret_cast<QObject*>(hwnd);
        notifyMsg_ = msg;
        if (notifyTarget_)
            for (size_t i = 0; i < events_.size(); ++i) PostNotifyLocked();
        return S_OK;
    }
    HRESULT SetNotifyFlags(LONG f) override {
        std::lock_guard<std::mutex> l(eventLock_);
        noNotify_ = f & 1;
        return S_OK;
    }
    HRESULT GetNotifyFlags(LONG* f) override {
        if (!f)
            return E_POINTER;
        std::lock_guard<std::mutex> l(eventLock_);
        *f = noNotify_ ? 1 : 0;
        return S_OK;
    }

    // ---- IMediaEventSink (filters, any thread) ----
    HRESULT Notify(LONG code, LONG_PTR p1, LONG_PTR p2) override {
        std::lock_guard<std::mutex> l(eventLock_);
        if (code == EC_COMPLETE) {
            // One EC_COMPLETE for the application once every renderer has sent its own.
            if (!running_ || renderersPending_.empty())
                return S_OK;
            auto* who = reinterpret_cast<IBaseFilter*>(p2);
            if (who && renderersPending_.count(who))
                renderersPending_.erase(who);
            else if (!who)
                renderersPending_.erase(renderersPending_.begin());
            else
                return S_OK;
            if (!renderersPending_.empty())
                return S_OK;
            completed_ = true;
            finalCode_ = EC_COMPLETE;
            QueueLocked({EC_COMPLETE, S_OK, 0});
            return S_OK;
        }
        if (code == EC_ERRORABORT || code == EC_USERABORT)
            finalCode_ = code;
        QueueLocked({code, p1, p2});
        return S_OK;
    }

    // ---- IBasicAudio ----
    HRESULT put_Volume(LONG v) override {
        if (v > 0 || v < -10000)
            return E_INVALIDARG;
        auto list = AudioFilters();
        if (list.empty())
            return E_NOTIMPL;
        HRESULT result = S_OK;
        for (auto& a : list) {
            HRESULT hr = a->put_Volume(v);
            if (FAILED(hr))
                result = hr;
        }
        return result;
    }
    HRESULT get_Volume(LONG* v) override { return AskFirstAudio(&IBasicAudio::get_Volume, v); }
    HRESULT put_Balance(LONG b) override {
        if (b < -10000 || b > 10000)
            return E_INVALIDARG;
        auto list = AudioFilters();
        if (list.empty())
            return E_NOTIMPL;
        HRESULT result = S_OK;
        for (auto& a : list)
            if (FAILED(a->put_Balance(b)))
                result = E_FAIL;
        return result;
    }
    HRESULT get_Balance(LONG* b) override { return AskFirstAudio(&IBasicAudio::get_Balance, b); }

    // Clock choice from the IMediaFilter face.
    HRESULT SetClock(IReferenceClock* c) {
        std::lock_guard<std::recursive_mutex> l(lock_);
        if (state_ != State_Stopped)
            return VFW_E_NOT_STOPPED;
        clock_ = ComPtr<IReferenceClock>(c);
        clockChosen_ = true;
        for (auto& f : filters_) f.filter->SetSyncSource(c);
        return S_OK;
    }
    HRESULT GetClock(IReferenceClock** c) {
        if (!c)
            return E_POINTER;
        std::lock_guard<std::recursive_mutex> l(lock_);
        *c = clock_.get();
        if (*c)
            (*c)->AddRef();
        return clock_ ? S_OK : S_FALSE;
    }
    FILTER_STATE CurrentState() {
        std::lock_guard<std::recursive_mutex> l(lock_);
        return state_;
    }

  private:
    static constexpr REFERENCE_TIME kStartLatency = 200000;  // 20 ms for the filters to start
    static constexpr double kMinRate = 0.5, kMaxRate = 3.0;
    static constexpr HRESULT VFW_E_DUPLICATE_NAME() { return MAKE_HR(0x8004023D); }
    static constexpr HRESULT VFW_S_DUPLICATE_NAME() { return MAKE_HR(0x0004022D); }
    static constexpr HRESULT VFW_E_NOT_IN_GRAPH() { return MAKE_HR(0x8004025F); }

    struct Entry {
        ComPtr<IBaseFilter> filter;
        std::u16string name;
    };

    ~FilterGraph() {
        DoStop();
        std::vector<Entry> list;
        {
            std::lock_guard<std::recursive_mutex> l(lock_);
            list = filters_;
        }
        for (auto& e : list) RemoveFilter(e.filter.get());
        clock_.Reset();
    }

    bool NameTaken(const std::u16string& n) const {
        for (auto& e : filters_)
            if (e.name == n)
                return true;
        return false;
    }
    bool InGraph(IBaseFilter* f) const {
        for (auto& e : filters_)
            if (e.filter.get() == f)
                return true;
        return false;
    }

    static bool IsRenderer(IBaseFilter* f) {
        if (QueryAs<IKovelRenderer>(f, IID_IKovelRenderer))
            return true;
        for (auto& p : ListPins(f))
            if (PinDirection(p.get()) == PINDIR_OUTPUT)
                return false;
        return true;
    }

    // Order for state changes: downstream filters first, so every consumer is
    // ready before its source starts and is released before its source stops.
    std::vector<ComPtr<IBaseFilter>> DownstreamFirst() {
        std::map<IBaseFilter*, int> depth;
        std::function<int(IBaseFilter*, int)> measure = [&](IBaseFilter* f, int guard) -> int {
            if (guard > 32)
                return 0;
            int d = 0;
            for (auto& p : ListPins(f)) {
                if (PinDirection(p.get()) != PINDIR_INPUT)
                    continue;
                if (ComPtr<IPin> peer = ConnectedPeer(p.get())) {
                    auto up = PinOwner(peer.get());
                    if (up)
                        d = std::max(d, 1 + measure(up.get(), guard + 1));
                }
            }
            return d;
        };
        std::vector<std::pair<int, ComPtr<IBaseFilter>>> v;
        for (auto& e : filters_) v.push_back({measure(e.filter.get(), 0), e.filter});
        std::stable_sort(v.begin(), v.end(), [](auto& a, auto& b) { return a.first > b.first; });
        std::vector<ComPtr<IBaseFilter>> out;
        for (auto& x : v) out.push_back(x.second);
        return out;
    }

    void ChooseClock() {
        clock_.Reset();
        for (auto& e : filters_) {
            ComPtr<IKovelRenderer> r = QueryAs<IKovelRenderer>(e.filter.get(), IID_IKovelRenderer);
            ComPtr<IReferenceClock> c;
            if (r && SUCCEEDED(r->GetReferenceClock(c.Out())) && c) {
                clock_ = c;
                break;
            }
        }
        if (!clock_) {
            CoCreateInstance(CLSID_SystemClock, nullptr, CLSCTX_INPROC_SERVER, IID_IReferenceClock,
                             clock_.OutVoid());
        }
        clockChosen_ = true;
        for (auto& e : filters_) e.filter->SetSyncSource(clock_.get());
    }

    REFERENCE_TIME NowLocked() {
        REFERENCE_TIME t = 0;
        if (clock_ && SUCCEEDED(clock_->GetTime(&t)))
            return t;
        return WallNow();
    }
    REFERENCE_TIME StreamTimeLocked() {
        if (state_ == State_Running)
            return std::max<REFERENCE_TIME>(0, NowLocked() - runStart_);
        return pausedStreamTime_;
    }

    void ResetCompletion() {
        // The filters are asked first: the event lock is never held while a
        // filter's own locks are taken.
        std::set<IBaseFilter*> renderers;
        for (auto& e : filters_)
            if (IsRenderer(e.filter.get()))
                renderers.insert(e.filter.get());
        std::lock_guard<std::mutex> l(eventLock_);
        renderersPending_ = std::move(renderers);
        completed_ = false;
        if (finalCode_ == EC_COMPLETE)
            finalCode_ = 0;
    }

    void PauseFilters() {
        pausedStreamTime_ = StreamTimeLocked();
        for (auto& f : DownstreamFirst()) f->Pause();
    }
    void RunFilters(REFERENCE_TIME start) {
        for (auto& f : DownstreamFirst()) f->Run(start);
    }

    HRESULT DoPause() {
        if (state_ == State_Paused)
            return S_OK;
        if (state_ == State_Stopped) {
            if (!clockChosen_)
                ChooseClock();
            ResetCompletion();
            {
                std::lock_guard<std::mutex> l(eventLock_);
                finalCode_ = 0;
                running_ = true;
            }
            pausedStreamTime_ = 0;
            HRESULT result = S_OK;
            for (auto& f : DownstreamFirst()) {
                HRESULT hr = f->Pause();
                if (FAILED(hr)) {
                    for (auto& g : DownstreamFirst()) g->Stop();
                    return hr;
                }
                if (hr == S_FALSE)
                    result = S_FALSE;
            }
            state_ = State_Paused;
            return result;
        }
        PauseFilters();
        state_ = State_Paused;
        return S_OK;
    }
    HRESULT DoRun() {
        // Stream time continues from where the pause left it.
        runStart_ = NowLocked() + kStartLatency - pausedStreamTime_;
        for (auto& f : DownstreamFirst()) {
            HRESULT hr = f->Run(runStart_);
            if (FAILED(hr)) {
                DoStop();
                return hr;
            }
        }
        state_ = State_Running;
        return S_OK;
    }
    HRESULT DoStop() {
        std::lock_guard<std::recursive_mutex> l(lock_);
        if (state_ == State_Stopped)
            return S_OK;
        pausedStreamTime_ = 0;
        for (auto& f : DownstreamFirst()) f->Stop();
        state_ = State_Stopped;
        std::lock_guard<std::mutex> el(eventLock_);
        running_ = false;
        return S_OK;
    }

    // The largest answer of the streams' seeking pins; E_NOTIMPL without any.
    HRESULT LargestOfStreams(HRESULT (IMediaSeeking::*get)(LONGLONG*), LONGLONG* out) {
        if (!out)
            return E_POINTER;
        auto pins = SeekingPins();
        *out = 0;
        if (pins.empty())
            return E_NOTIMPL;
        for (auto& p : pins) {
            LONGLONG v = 0;
            if (SUCCEEDED((p.get()->*get)(&v)))
                *out = std::max(*out, v);
        }
        return S_OK;
    }
    // The first audio renderer's answer; E_NOTIMPL without one.
    HRESULT AskFirstAudio(HRESULT (IBasicAudio::*get)(LONG*), LONG* out) {
        if (!out)
            return E_POINTER;
        auto list = AudioFilters();
        if (list.empty())
            return E_NOTIMPL;
        return (list.front().get()->*get)(out);
    }

    // How long a stream's first picture takes to show after a seek: by the
    // size of its pictures; sound and other streams come last.
    static int64_t PictureArea(IPin* pin) {
        AM_MEDIA_TYPE mt{};
        if (FAILED(pin->ConnectionMediaType(&mt)))
            return 0;
        int64_t area = 0;
        if (mt.majortype == MEDIATYPE_Video) {
            area = 1;
            if (mt.formattype == FORMAT_VideoInfo && mt.pbFormat && mt.cbFormat >= sizeof(VIDEOINFOHEADER)) {
                VIDEOINFOHEADER vih;
                std::memcpy(&vih, mt.pbFormat, sizeof vih);
                area =
                    std::max<int64_t>(1, std::abs(int64_t(vih.bmiHeader.biWidth) * vih.bmiHeader.biHeight));
            }
        }
        FreeMediaType(&mt);
        return area;
    }

    // The streams' seekable output pins. A seek or a new rate restarts them
    // in order, and wants the largest pictures first: the picture that takes
    // longest to show (the one a user looks at) should not wait for the
    // others. Reading positions takes them as they come, without asking
    // every pin its format on every tick.
    std::vector<ComPtr<IMediaSeeking>> SeekingPins(bool largestPicturesFirst = false) {
        std::lock_guard<std::recursive_mutex> l(lock_);
        std::vector<std::pair<int64_t, ComPtr<IMediaSeeking>>> found;
        for (auto& e : filters_) {
            bool hasInput = false;
            auto pins = ListPins(e.filter.get());
            for (auto& p : pins)
                if (PinDirection(p.get()) == PINDIR_INPUT)
                    hasInput = true;
            if (hasInput)
                continue;
            for (auto& p : pins) {
                if (!ConnectedPeer(p.get()))
                    continue;
                auto s = QueryAs<IMediaSeeking>(p.get(), IID_IMediaSeeking);
                if (s)
                    found.push_back({largestPicturesFirst ? PictureArea(p.get()) : 0, s});
            }
        }
        if (largestPicturesFirst)
            std::stable_sort(found.begin(), found.end(), [](auto& a, auto& b) { return a.first > b.first; });
        std::vector<ComPtr<IMediaSeeking>> out;
        for (auto& f : found) out.push_back(std::move(f.second));
        return out;
    }

    std::vector<ComPtr<IBasicAudio>> AudioFilters() {
        std::lock_guard<std::recursive_mutex> l(lock_);
        std::vector<ComPtr<IBasicAudio>> out;
        for (auto& e : filters_) {
            auto a = QueryAs<IBasicAudio>(e.filter.get(), IID_IBasicAudio);
            if (a)
                out.push_back(a);
        }
        return out;
    }

    void QueueLocked(const Event& e) {
        events_.push_back(e);
        eventCv_.notify_all();
        PostNotifyLocked();
    }
    void PostNotifyLocked() {
        if (!notifyTarget_ || noNotify_)
            return;
        // Posted, never sent: the application handles it on its own thread.
        QCoreApplication::postEvent(notifyTarget_, new QEvent(QEvent::Type(QEvent::User + notifyMsg_)));
    }

    // Intelligent connection.
    bool TypesMatch(IPin* out, const Candidate& c, const std::vector<MediaTypeHolder>& types) {
        (void)out;
        for (auto& pin : c.pins) {
            if (pin.output)
                continue;
            if (pin.types.empty() || types.empty())
                return true;
            for (auto& rt : pin.types)
                for (auto& t : types) {
                    bool major = rt.major == GUID_NULL || rt.major == t.get().majortype;
                    bool sub = rt.subtype == GUID_NULL || rt.subtype == t.get().subtype;
                    if (major && sub)
                        return true;
                }
        }
        return false;
    }
    static std::vector<MediaTypeHolder> PinTypes(IPin* pin) {
        std::vector<MediaTypeHolder> types;
        ComPtr<IEnumMediaTypes> e;
        if (FAILED(pin->EnumMediaTypes(e.Out())) || !e)
            return types;
        for (int guard = 0; guard < 64; ++guard) {
            AM_MEDIA_TYPE* mt = nullptr;
            ULONG got = 0;
            if (e->Next(1, &mt, &got) != S_OK || !mt)
                break;
            types.emplace_back(*mt);
            DeleteMediaType(mt);
        }
        return types;
    }
    std::vector<ComPtr<IPin>> FreeInputs(IBaseFilter* f) {
        std::vector<ComPtr<IPin>> out;
        for (auto& p : ListPins(f)) {
            if (PinDirection(p.get()) != PINDIR_INPUT || ConnectedPeer(p.get()))
                continue;
            out.push_back(p);
        }
        return out;
    }
    void DisconnectAll(IBaseFilter* f) {
        for (auto& p : ListPins(f)) {
            if (ComPtr<IPin> peer = ConnectedPeer(p.get())) {
                peer->Disconnect();
                p->Disconnect();
            }
        }
    }
    // Renders every output of a filter just connected; true when at least one
    // chain ended in a renderer (or the filter is one).
    bool RenderOutputs(IBaseFilter* f, int depth) {
        if (IsRenderer(f))
            return true;
        bool any = false;
        for (auto& p : ListPins(f)) {
            if (PinDirection(p.get()) != PINDIR_OUTPUT || ConnectedPeer(p.get()))
                continue;
            if (RenderPin(p.get(), depth + 1))
                any = true;
        }
        return any;
    }
    // Disconnects and removes the filters a failed attempt added (those from
    // position `before` on), newest first.
    void UndoSince(size_t before) {
        std::vector<ComPtr<IBaseFilter>> added;
        for (size_t i = before; i < filters_.size(); ++i) added.push_back(filters_[i].filter);
        for (auto& a : added) DisconnectAll(a.get());
        for (auto it = added.rbegin(); it != added.rend(); ++it) RemoveFilter(it->get());
    }
    ComPtr<IBaseFilter> Instantiate(const Candidate& c) {
        ComPtr<IBaseFilter> f;
        if (FAILED(CoCreateInstance(c.clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter, f.OutVoid())) ||
            !f)
            return {};
        if (FAILED(AddFilter(f.get(), c.name.c_str())))
            return {};
        return f;
    }

    bool RenderPin(IPin* out, int depth) {
        if (depth > 6)
            return false;
        ComPtr<IBaseFilter> self = PinOwner(out);
        // A free input of a filter already in the graph first.
        std::vector<ComPtr<IBaseFilter>> existing;
        for (auto& e : filters_)
            if (e.filter.get() != self.get())
                existing.push_back(e.filter);
        for (auto& f : existing) {
            for (auto& in : FreeInputs(f.get())) {
                if (FAILED(out->Connect(in.get(), nullptr)))
                    continue;
                if (RenderOutputs(f.get(), depth))
                    return true;
                out->Disconnect();
                in->Disconnect();
            }
        }
        auto types = PinTypes(out);
        for (auto& c : ListCandidates()) {
            if (c.merit <= MERIT_DO_NOT_USE)
                continue;
            if (!TypesMatch(out, c, types))
                continue;
            size_t before = filters_.size();
            ComPtr<IBaseFilter> f = Instantiate(c);
            if (!f)
                continue;
            bool ok = false;
            for (auto& in : FreeInputs(f.get())) {
                if (FAILED(out->Connect(in.get(), nullptr)))
                    continue;
                if (RenderOutputs(f.get(), depth)) {
                    ok = true;
                    break;
                }
                out->Disconnect();
                in->Disconnect();
            }
            if (ok)
                return true;
            // Remove this candidate and whatever it pulled in.
            UndoSince(before);
        }
        return false;
    }

    bool ConnectThrough(IPin* out, IPin* target, int depth) {
        if (depth > 4)
            return false;
        auto types = PinTypes(out);
        for (auto& c : ListCandidates()) {
            if (c.merit <= MERIT_DO_NOT_USE || !TypesMatch(out, c, types))
                continue;
            size_t before = filters_.size();
            ComPtr<IBaseFilter> f = Instantiate(c);
            if (!f)
                continue;
            bool ok = false;
            for (auto& in : FreeInputs(f.get())) {
                if (FAILED(out->Connect(in.get(), nullptr)))
                    continue;
                for (auto& o : ListPins(f.get())) {
                    if (PinDirection(o.get()) != PINDIR_OUTPUT)
                        continue;
                    if (SUCCEEDED(o->Connect(target, nullptr)) ||
                        ConnectThrough(o.get(), target, depth + 1)) {
                        ok = true;
                        break;
                    }
                }
                if (ok)
                    break;
                out->Disconnect();
                in->Disconnect();
            }
            if (ok)
                return true;
            UndoSince(before);
        }
        return false;
    }

    std::atomic<ULONG> refs_{1};
    GraphMediaFilter mediaFilter_;
    // Locks: lock_ serialises the control calls and guards what follows up
    // to the event lock; it is taken before any filter's lock. eventLock_
    // guards the event queue and the completion count and is taken last:
    // filters notify from their streaming and device threads, holding locks
    // of their own (the sound device's among them), so while it is held the
    // graph calls no filter and takes no other lock of its own; it only posts
    // to the application's event queue.
    std::recursive_mutex lock_;
    std::vector<Entry> filters_;
    FILTER_STATE state_ = State_Stopped;
    ComPtr<IReferenceClock> clock_;
    bool clockChosen_ = false;
    REFERENCE_TIME runStart_ = 0;
    REFERENCE_TIME pausedStreamTime_ = 0;
    REFERENCE_TIME segmentStart_ = 0;
    double rate_ = 1.0;

    std::mutex eventLock_;
    std::condition_variable eventCv_;
    std::deque<Event> events_;
    std::set<IBaseFilter*> renderersPending_;
    bool running_ = false;
    bool completed_ = false;
    LONG finalCode_ = 0;
    QObject* notifyTarget_ = nullptr;
    LONG notifyMsg_ = 0;
    bool noNotify_ = false;
};

HRESULT GraphMediaFilter::QueryInterface(REFIID riid, void** ppv) {
    return static_cast<IGraphBuilder*>(g_)->QueryInterface(riid, ppv);
}
ULONG GraphMediaFilter::AddRef() {
    return static_cast<IGraphBuilder*>(g_)->AddRef();
}
ULONG GraphMediaFilter::Release() {
    return static_cast<IGraphBuilder*>(g_)->Release();
}
HRESULT GraphMediaFilter::Stop() {
    return static_cast<IMediaControl*>(g_)->Stop();
}
HRESULT GraphMediaFilter::Pause() {
    return static_cast<IMediaControl*>(g_)->Pause();
}
HRESULT GraphMediaFilter::Run(REFERENCE_TIME) {
    return static_cast<IMediaControl*>(g_)->Run();
}
HRESULT GraphMediaFilter::GetState(DWORD ms, FILTER_STATE* s) {
    if (!s)
        return E_POINTER;
    OAFilterState st = 0;
    HRESULT hr = static_cast<IMediaControl*>(g_)->GetState(LONG(ms), &st);
    *s = FILTER_STATE(st);
    return hr;
}
HRESULT GraphMediaFilter::SetSyncSource(IReferenceClock* c) {
    return g_->SetClock(c);
}
HRESULT GraphMediaFilter::GetSyncSource(IReferenceClock** c) {
    return g_->GetClock(c);
}

}  // namespace

HRESULT CreateFilterGraph(IUnknown* outer, REFIID riid, void** ppv) {
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (outer)
        return CLASS_E_NOAGGREGATION;
    auto* g = new FilterGraph();
    HRESULT hr = static_cast<IGraphBuilder*>(g)->QueryInterface(riid, ppv);
    static_cast<IGraphBuilder*>(g)->Release();
    return hr;
}

}  // namespace kovel::graph
