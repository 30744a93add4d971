#include "filter_base.h"

#include <cstring>
#include <new>

#include "kovel/com.h"
#include "kovel/ref_counted.h"

namespace kovel::rt {

void* TaskAlloc(size_t n) {
    return CoTaskMemAlloc(n);
}
void TaskFree(void* p) {
    CoTaskMemFree(p);
}

MediaType MediaType::From(const AM_MEDIA_TYPE& mt) {
    MediaType r;
    r.major = mt.majortype;
    r.subtype = mt.subtype;
    r.formattype = mt.formattype;
    r.fixedSize = mt.bFixedSizeSamples != 0;
    r.temporal = mt.bTemporalCompression != 0;
    r.sampleSize = mt.lSampleSize;
    if (mt.pbFormat && mt.cbFormat)
        r.format.assign(mt.pbFormat, mt.pbFormat + mt.cbFormat);
    return r;
}

HRESULT MediaType::To(AM_MEDIA_TYPE* out) const {
    if (!out)
        return E_POINTER;
    std::memset(out, 0, sizeof(*out));
    out->majortype = major;
    out->subtype = subtype;
    out->formattype = formattype;
    out->bFixedSizeSamples = fixedSize;
    out->bTemporalCompression = temporal;
    out->lSampleSize = sampleSize;
    if (!format.empty()) {
        out->pbFormat = static_cast<BYTE*>(TaskAlloc(format.size()));
        if (!out->pbFormat)
            return E_OUTOFMEMORY;
        std::memcpy(out->pbFormat, format.data(), format.size());
        out->cbFormat = ULONG(format.size());
    }
    return S_OK;
}

AM_MEDIA_TYPE* MediaType::NewAm() const {
    auto* mt = static_cast<AM_MEDIA_TYPE*>(TaskAlloc(sizeof(AM_MEDIA_TYPE)));
    if (!mt)
        return nullptr;
    if (FAILED(To(mt))) {
        TaskFree(mt);
        return nullptr;
    }
    return mt;
}

void FreeMediaType(AM_MEDIA_TYPE* mt) {
    if (!mt)
        return;
    if (mt->pbFormat)
        TaskFree(mt->pbFormat);
    if (mt->pUnk)
        mt->pUnk->Release();
    *mt = AM_MEDIA_TYPE{};
}
void DeleteMediaType(AM_MEDIA_TYPE* mt) {
    FreeMediaType(mt);
    TaskFree(mt);
}

// ---------------------------------------------------------------- allocator

HRESULT CreateAllocator(IMemAllocator** out) {
    if (!out)
        return E_POINTER;
    *out = nullptr;
    HRESULT hr = CoCreateInstance(CLSID_MemoryAllocator, nullptr, CLSCTX_INPROC_SERVER, IID_IMemAllocator,
                                  reinterpret_cast<void**>(out));
    if (SUCCEEDED(hr) && !*out)
        hr = E_NOINTERFACE;
    return hr;
}

// ---------------------------------------------------------------- enumerators

namespace {

template <class Iface, class Item, const IID& Iid>
class Enumerator : public kovel::SingleInterface<Iface, Iid> {
  public:
    Enumerator(std::vector<Item> items, size_t pos = 0) : items_(std::move(items)), pos_(pos) {}
    HRESULT Skip(ULONG n) override {
        if (pos_ + n > items_.size()) {
            pos_ = items_.size();
            return S_FALSE;
        }
        pos_ += n;
        return S_OK;
    }
    HRESULT Reset() override {
        pos_ = 0;
        return S_OK;
    }
    HRESULT Clone(Iface** out) override {
        if (!out)
            return E_POINTER;
        *out = Copy();
        return *out ? S_OK : E_OUTOFMEMORY;
    }

  protected:
    virtual ~Enumerator() = default;
    virtual Iface* Copy() = 0;
    std::vector<Item> items_;
    size_t pos_;
};

class PinEnum : public Enumerator<IEnumPins, IPin*, IID_IEnumPins> {
  public:
    PinEnum(std::vector<IPin*> pins, size_t pos = 0) : Enumerator(std::move(pins), pos) {
        for (IPin* p : items_) p->AddRef();
    }
    ~PinEnum() override {
        for (IPin* p : items_) p->Release();
    }
    HRESULT Next(ULONG n, IPin** out, ULONG* fetched) override {
        if (!out)
            return E_POINTER;
        if (n > 1 && !fetched)
            return E_INVALIDARG;
        ULONG got = 0;
        while (got < n && pos_ < items_.size()) {
            out[got] = items_[pos_++];
            out[got++]->AddRef();
        }
        if (fetched)
            *fetched = got;
        return got == n ? S_OK : S_FALSE;
    }
    IEnumPins* Copy() override { return new (std::nothrow) PinEnum(items_, pos_); }
};

class TypeEnum : public Enumerator<IEnumMediaTypes, MediaType, IID_IEnumMediaTypes> {
  public:
    using Enumerator::Enumerator;
    HRESULT Next(ULONG n, AM_MEDIA_TYPE** out, ULONG* fetched) override {
        if (!out)
            return E_POINTER;
        if (n > 1 && !fetched)
            return E_INVALIDARG;
        ULONG got = 0;
        while (got < n && pos_ < items_.size()) {
            out[got] = items_[pos_++].NewAm();
            if (!out[got])
                break;
            ++got;
        }
        if (fetched)
            *fetched = got;
        return got == n ? S_OK : S_FALSE;
    }
    IEnumMediaTypes* Copy() override { return new (std::nothrow) TypeEnum(items_, pos_); }
};

}  // namespace

// ---------------------------------------------------------------- pins

PinBase::PinBase(FilterBase* filter, PIN_DIRECTION dir, std::u16string name)
    : filter_(filter), dir_(dir), name_(std::move(name)) {}
PinBase::~PinBase() {
    if (peer_)
        peer_->Release();
}

HRESULT PinBase::QueryInterface(REFIID riid, void** ppv) {
    if (!ppv)
        return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IPin) {
        *ppv = static_cast<IPin*>(this);
        AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}
ULONG PinBase::AddRef() {
    return filter_->AddRef();
}
ULONG PinBase::Release() {
    return filter_->Release();
}

bool PinBase::IsConnected() {
    std::lock_guard<std::recursive_mutex> lk(filter_->StateLock());
    return peer_ != nullptr;
}
MediaType PinBase::Type() {
    std::lock_guard<std::recursive_mutex> lk(filter_->StateLock());
    return mt_;
}

HRESULT PinBase::CheckConnectable(IPin* other) {
    if (peer_)
        return VFW_E_ALREADY_CONNECTED;
    if (filter_->State() != State_Stopped)
        return VFW_E_NOT_STOPPED;
    PIN_DIRECTION d;
    if (FAILED(other->QueryDirection(&d)) || d != (dir_ == PINDIR_INPUT ? PINDIR_OUTPUT : PINDIR_INPUT))
        return VFW_E_INVALID_DIRECTION;
    return S_OK;
}

HRESULT PinBase::Disconnect() {
    std::lock_guard<std::recursive_mutex> lk(filter_->StateLock());
    if (filter_->State() != State_Stopped)
        return VFW_E_NOT_STOPPED;
    if (!peer_)
        return S_FALSE;
    peer_->Release();
    peer_ = nullptr;
    mt_ = MediaType();
    return S_OK;
}

HRESULT PinBase::ConnectedTo(IPin** pin) {
    if (!pin)
        return E_POINTER;
    std::lock_guard<std::recursive_mutex> lk(filter_->StateLock());
    *pin = peer_;
    if (!peer_)
        return VFW_E_NOT_CONNECTED;
    peer_->AddRef();
    return S_OK;
}

HRESULT PinBase::ConnectionMediaType(AM_MEDIA_TYPE* pmt) {
    if (!pmt)
        return E_POINTER;
    std::lock_guard<std::recursive_mutex> lk(filter_->StateLock());
    if (!peer_) {
        std::memset(pmt, 0, sizeof(*pmt));
        return VFW_E_NOT_CONNECTED;
    }
    return mt_.To(pmt);
}

static void CopyName(WCHAR* dst, const std::u16string& src, size_t cap) {
    size_t n = std::min(src.size(), cap - 1);
    std::memcpy(dst, src.data(), n * sizeof(WCHAR));
    dst[n] = 0;
}

HRESULT PinBase::QueryPinInfo(PIN_INFO* info) {
    if (!info)
        return E_POINTER;
    info->pFilter = filter_;
    filter_->AddRef();
    info->dir = dir_;
    CopyName(info->achName, name_, MAX_PIN_NAME);
    return S_OK;
}
HRESULT PinBase::QueryDirection(PIN_DIRECTION* dir) {
    if (!dir)
        return E_POINTER;
    *dir = dir_;
    return S_OK;
}
HRESULT PinBase::QueryId(LPWSTR* id) {
    if (!id)
        return E_POINTER;
    *id = static_cast<LPWSTR>(TaskAlloc((name_.size() + 1) * sizeof(WCHAR)));
    if (!*id)
        return E_OUTOFMEMORY;
    CopyName(*id, name_, name_.size() + 1);
    return S_OK;
}
HRESULT PinBase::QueryAccept(const AM_MEDIA_TYPE* pmt) {
    if (!pmt)
        return E_POINTER;
    return CheckMediaType(MediaType::From(*pmt)) == S_OK ? S_OK : S_FALSE;
}
HRESULT PinBase::EnumMediaTypes(IEnumMediaTypes** out) {
    if (!out)
        return E_POINTER;
    std::vector<MediaType> types;
    {
        std::lock_guard<std::recursive_mutex> lk(filter_->StateLock());
        types = ProposedTypes();
    }
    *out = new (std::nothrow) TypeEnum(std::move(types));
    return *out ? S_OK : E_OUTOFMEMORY;
}
HRESULT PinBase::QueryInternalConnections(IPin**, ULONG*) {
    return E_NOTIMPL;
}

InputPin::InputPin(FilterBase* filter, std::u16string name)
    : PinBase(filter, PINDIR_INPUT, std::move(name)) {}
InputPin::~InputPin() {
    if (alloc_)
        alloc_->Release();
}

HRESULT InputPin::QueryInterface(REFIID riid, void** ppv) {
    if (!ppv)
        return E_POINTER;
    if (riid == IID_IMemInputPin) {
        *ppv = static_cast<IMemInputPin*>(this);
        AddRef();
        return S_OK;
    }
    return PinBase::QueryInterface(riid, ppv);
}

HRESULT InputPin::Connect(IPin*, const AM_MEDIA_TYPE*) {
    return E_UNEXPECTED;
}

HRESULT InputPin::ReceiveConnection(IPin* connector, const AM_MEDIA_TYPE* pmt) {
    if (!connector || !pmt)
        return E_POINTER;
    std::lock_guard<std::recursive_mutex> lk(filter_->StateLock());
    if (HRESULT hr = CheckConnectable(connector); hr != S_OK)
        return hr;
    MediaType mt = MediaType::From(*pmt);
    if (CheckMediaType(mt) != S_OK)
        return VFW_E_TYPE_NOT_ACCEPTED;
    mt_ = std::move(mt);
    peer_ = connector;
    peer_->AddRef();
    filter_->OnConnected(this);
    return S_OK;
}

HRESULT InputPin::Disconnect() {
    std::lock_guard<std::recursive_mutex> lk(filter_->StateLock());
    HRESULT hr = PinBase::Disconnect();
    if (hr == S_OK && alloc_) {
        alloc_->Release();
        alloc_ = nullptr;
    }
    return hr;
}

HRESULT InputPin::CheckMediaType(const MediaType&) {
    return E_NOTIMPL;
}

HRESULT InputPin::EndOfStream() {
    if (flushing_)
        return S_FALSE;
    return filter_->OnEndOfStream(this);
}
HRESULT InputPin::BeginFlush() {
    flushing_ = true;
    return filter_->OnBeginFlush(this);
}
HRESULT InputPin::EndFlush() {
    HRESULT hr = filter_->OnEndFlush(this);
    flushing_ = false;
    return hr;
}
HRESULT InputPin::NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) {
    return filter_->OnNewSegment(this, start, stop, rate);
}

HRESULT InputPin::GetAllocator(IMemAllocator** out) {
    if (!out)
        return E_POINTER;
    std::lock_guard<std::recursive_mutex> lk(filter_->StateLock());
    if (!alloc_) {
        HRESULT hr = CreateAllocator(&alloc_);
        if (FAILED(hr))
            return hr;
    }
    *out = alloc_;
    alloc_->AddRef();
    return S_OK;
}
HRESULT InputPin::NotifyAllocator(IMemAllocator* alloc, BOOL) {
    if (!alloc)
        return E_POINTER;
    std::lock_guard<std::recursive_mutex> lk(filter_->StateLock());
    alloc->AddRef();
    if (alloc_)
        alloc_->Release();
    alloc_ = alloc;
    return S_OK;
}
HRESULT InputPin::GetAllocatorRequirements(ALLOCATOR_PROPERTIES*) {
    return E_NOTIMPL;
}

HRESULT InputPin::Receive(IMediaSample* sample) {
    if (!sample)
        return E_POINTER;
    if (flushing_)
        return S_FALSE;
    if (filter_->State() == State_Stopped)
        return VFW_E_WRONG_STATE;
    return filter_->OnReceive(this, sample);
}
HRESULT InputPin::ReceiveMultiple(IMediaSample** samples, LONG n, LONG* done) {
    if (!samples || !done)
        return E_POINTER;
    *done = 0;
    HRESULT hr = S_OK;
    for (LONG i = 0; i < n; ++i) {
        hr = Receive(samples[i]);
        if (hr != S_OK)
            break;
        ++*done;
    }
    return hr;
}

OutputPin::OutputPin(FilterBase* filter, std::u16string name)
    : PinBase(filter, PINDIR_OUTPUT, std::move(name)) {}
OutputPin::~OutputPin() {
    if (input_)
        input_->Release();
    if (alloc_)
        alloc_->Release();
}

HRESULT OutputPin::CheckMediaType(const MediaType& mt) {
    for (const MediaType& t : ProposedTypes()) {
        if (t.major == mt.major && t.subtype == mt.subtype && t.formattype == mt.formattype &&
            t.format == mt.format)
            return S_OK;
    }
    return S_FALSE;
}

HRESULT OutputPin::ReceiveConnection(IPin*, const AM_MEDIA_TYPE*) {
    return E_UNEXPECTED;
}

HRESULT OutputPin::TryConnect(IPin* receive, const MediaType& mt) {
    if (CheckMediaType(mt) != S_OK)
        return VFW_E_TYPE_NOT_ACCEPTED;
    AM_MEDIA_TYPE am;
    HRESULT hr = mt.To(&am);
    if (FAILED(hr))
        return hr;
    hr = receive->ReceiveConnection(this, &am);
    FreeMediaType(&am);
    if (FAILED(hr))
        return hr;
    IMemInputPin* input = nullptr;
    hr = receive->QueryInterface(IID_IMemInputPin, reinterpret_cast<void**>(&input));
    if (FAILED(hr) || !input) {
        receive->Disconnect();
        return E_NOINTERFACE;
    }
    mt_ = mt;
    peer_ = receive;
    peer_->AddRef();
    hr = DecideAllocator(input);
    if (FAILED(hr)) {
        input->Release();
        receive->Disconnect();
        peer_->Release();
        peer_ = nullptr;
        mt_ = MediaType();
        return hr;
    }
    std::lock_guard<std::mutex> dl(deliverMu_);
    input_ = input;
    return S_OK;
}

HRESULT OutputPin::Connect(IPin* receive, const AM_MEDIA_TYPE* pmt) {
    if (!receive)
        return E_POINTER;
    std::lock_guard<std::recursive_mutex> lk(filter_->StateLock());
    if (HRESULT hr = CheckConnectable(receive); hr != S_OK)
        return hr;
    // A partial type (GUID_NULL fields) is a filter on our own proposals.
    HRESULT last = VFW_E_NO_ACCEPTABLE_TYPES;
    for (const MediaType& t : ProposedTypes()) {
        if (pmt) {
            if (pmt->majortype != GUID_NULL && pmt->majortype != t.major)
                continue;
            if (pmt->subtype != GUID_NULL && pmt->subtype != t.subtype)
                continue;
            if (pmt->formattype != GUID_NULL && pmt->formattype != t.formattype)
                continue;
        }
        HRESULT hr = TryConnect(receive, t);
        if (SUCCEEDED(hr)) {
            filter_->OnConnected(this);
            return S_OK;
        }
        last = hr;
    }
    return last;
}

HRESULT OutputPin::DecideAllocator(IMemInputPin* input) {
    ALLOCATOR_PROPERTIES req{};
    input->GetAllocatorRequirements(&req);
    IMemAllocator* alloc = nullptr;
    HRESULT hr = input->GetAllocator(&alloc);
    if (SUCCEEDED(hr) && alloc) {
        ALLOCATOR_PROPERTIES r = req;
        hr = filter_->DecideBufferSize(this, alloc, &r);
        if (SUCCEEDED(hr))
            hr = input->NotifyAllocator(alloc, FALSE);
        if (SUCCEEDED(hr)) {
            alloc_ = alloc;
            return S_OK;
        }
        alloc->Release();
    }
    hr = CreateAllocator(&alloc);
    if (FAILED(hr))
        return hr;
    ALLOCATOR_PROPERTIES r = req;
    hr = filter_->DecideBufferSize(this, alloc, &r);
    if (SUCCEEDED(hr))
        hr = input->NotifyAllocator(alloc, FALSE);
    if (FAILED(hr)) {
        alloc->Release();
        return hr;
    }
    alloc_ = alloc;
    return S_OK;
}

HRESULT OutputPin::Disconnect() {
    std::lock_guard<std::recursive_mutex> lk(filter_->StateLock());
    HRESULT hr = PinBase::Disconnect();
    if (hr == S_OK) {
        std::lock_guard<std::mutex> dl(deliverMu_);
        if (input_)
            input_->Release();
        input_ = nullptr;
        if (alloc_)
            alloc_->Release();
        alloc_ = nullptr;
    }
    return hr;
}

HRESULT OutputPin::Activate() {
    std::lock_guard<std::mutex> dl(deliverMu_);
    return alloc_ ? alloc_->Commit() : S_OK;
}
void OutputPin::Deactivate() {
    std::lock_guard<std::mutex> dl(deliverMu_);
    if (alloc_)
        alloc_->Decommit();
}

HRESULT OutputPin::GetDeliveryBuffer(IMediaSample** out) {
    IMemAllocator* alloc;
    {
        std::lock_guard<std::mutex> dl(deliverMu_);
        alloc = alloc_;
        if (!alloc)
            return VFW_E_NOT_CONNECTED;
        alloc->AddRef();
    }
    HRESULT hr = alloc->GetBuffer(out, nullptr, nullptr, 0);
    alloc->Release();
    return hr;
}

// Each delivery holds its own reference to the peer so a disconnect cannot
// pull it away mid-call.
HRESULT OutputPin::Deliver(IMediaSample* sample) {
    IMemInputPin* in;
    {
        std::lock_guard<std::mutex> dl(deliverMu_);
        in = input_;
        if (!in)
            return VFW_E_NOT_CONNECTED;
        in->AddRef();
    }
    HRESULT hr = in->Receive(sample);
    in->Release();
    return hr;
}

#define KOVEL_PEER_CALL(call)                       \
    IPin* p;                                        \
    {                                               \
        std::lock_guard<std::mutex> dl(deliverMu_); \
        if (!input_)                                \
            return VFW_E_NOT_CONNECTED;             \
        p = peer_;                                  \
        p->AddRef();                                \
    }                                               \
    HRESULT hr = p->call;                           \
    p->Release();                                   \
    return hr

HRESULT OutputPin::DeliverEndOfStream() {
    KOVEL_PEER_CALL(EndOfStream());
}
HRESULT OutputPin::DeliverBeginFlush() {
    KOVEL_PEER_CALL(BeginFlush());
}
HRESULT OutputPin::DeliverEndFlush() {
    KOVEL_PEER_CALL(EndFlush());
}
HRESULT OutputPin::DeliverNewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) {
    KOVEL_PEER_CALL(NewSegment(start, stop, rate));
}

// ---------------------------------------------------------------- filter

FilterBase::FilterBase(const CLSID& clsid) : clsid_(clsid) {}
FilterBase::~FilterBase() {
    if (clock_)
        clock_->Release();
}

HRESULT FilterBase::QueryInterface(REFIID riid, void** ppv) {
    if (!ppv)
        return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IPersist || riid == IID_IMediaFilter || riid == IID_IBaseFilter) {
        *ppv = static_cast<IBaseFilter*>(this);
        AddRef();
        return S_OK;
    }
    return QueryExtra(riid, ppv);
}
ULONG FilterBase::AddRef() {
    return ++refs_;
}
ULONG FilterBase::Release() {
    ULONG r = --refs_;
    if (r == 0)
        delete this;
    return r;
}
HRESULT FilterBase::GetClassID(CLSID* clsid) {
    if (!clsid)
        return E_POINTER;
    *clsid = clsid_;
    return S_OK;
}

FILTER_STATE FilterBase::State() {
    std::lock_guard<std::recursive_mutex> lk(stateLock_);
    return state_;
}

HRESULT FilterBase::Stop() {
    std::lock_guard<std::recursive_mutex> lk(stateLock_);
    if (state_ == State_Stopped)
        return S_OK;
    for (int i = 0; i < PinCount(); ++i)
        if (auto* out = dynamic_cast<OutputPin*>(PinAt(i)))
            out->Deactivate();
    state_ = State_Stopped;
    OnStop();
    return S_OK;
}

HRESULT FilterBase::Pause() {
    std::lock_guard<std::recursive_mutex> lk(stateLock_);
    FILTER_STATE from = state_;
    if (from == State_Stopped) {
        for (int i = 0; i < PinCount(); ++i) {
            if (auto* out = dynamic_cast<OutputPin*>(PinAt(i))) {
                HRESULT hr = out->Activate();
                if (FAILED(hr))
                    return hr;
            }
        }
    }
    state_ = State_Paused;
    HRESULT hr = OnPause(from);
    if (FAILED(hr)) {
        Stop();
        return hr;
    }
    return hr;
}

HRESULT FilterBase::Run(REFERENCE_TIME start) {
    std::lock_guard<std::recursive_mutex> lk(stateLock_);
    if (state_ == State_Stopped) {
        HRESULT hr = Pause();
        if (FAILED(hr))
            return hr;
    }
    runStart_ = start;
    state_ = State_Running;
    return OnRun(start);
}

HRESULT FilterBase::GetState(DWORD, FILTER_STATE* state) {
    if (!state)
        return E_POINTER;
    *state = State();
    return S_OK;
}

HRESULT FilterBase::SetSyncSource(IReferenceClock* clock) {
    std::lock_guard<std::recursive_mutex> lk(stateLock_);
    if (clock)
        clock->AddRef();
    if (clock_)
        clock_->Release();
    clock_ = clock;
    return S_OK;
}
HRESULT FilterBase::GetSyncSource(IReferenceClock** clock) {
    if (!clock)
        return E_POINTER;
    std::lock_guard<std::recursive_mutex> lk(stateLock_);
    *clock = clock_;
    if (clock_)
        clock_->AddRef();
    return S_OK;
}

HRESULT FilterBase::EnumPins(IEnumPins** out) {
    if (!out)
        return E_POINTER;
    std::vector<IPin*> pins;
    for (int i = 0; i < PinCount(); ++i) pins.push_back(PinAt(i));
    *out = new (std::nothrow) PinEnum(std::move(pins));
    return *out ? S_OK : E_OUTOFMEMORY;
}

HRESULT FilterBase::FindPin(LPCWSTR id, IPin** out) {
    if (!id || !out)
        return E_POINTER;
    *out = nullptr;
    std::u16string want(id);
    for (int i = 0; i < PinCount(); ++i) {
        if (PinAt(i)->Name() == want) {
            *out = PinAt(i);
            (*out)->AddRef();
            return S_OK;
        }
    }
    return VFW_E_NOT_FOUND;
}

HRESULT FilterBase::QueryFilterInfo(FILTER_INFO* info) {
    if (!info)
        return E_POINTER;
    std::lock_guard<std::recursive_mutex> lk(stateLock_);
    CopyName(info->achName, name_, MAX_FILTER_NAME);
    info->pGraph = graph_;
    if (graph_)
        graph_->AddRef();
    return S_OK;
}

HRESULT FilterBase::JoinFilterGraph(IFilterGraph* graph, LPCWSTR name) {
    std::lock_guard<std::recursive_mutex> lk(stateLock_);
    // The graph owns its filters: no reference back to it or to its sink.
    graph_ = graph;
    IMediaEventSink* sink = nullptr;
    if (graph && SUCCEEDED(graph->QueryInterface(IID_IMediaEventSink, reinterpret_cast<void**>(&sink))) &&
        sink)
        sink->Release();
    else
        sink = nullptr;
    sink_ = sink;
    name_ = name ? std::u16string(name) : std::u16string();
    return S_OK;
}

HRESULT FilterBase::QueryVendorInfo(LPWSTR*) {
    return E_NOTIMPL;
}

void FilterBase::NotifyEvent(LONG code, LONG_PTR param1, LONG_PTR param2) {
    if (IMediaEventSink* sink = sink_.load())
        sink->Notify(code, param1, param2);
}

}  // namespace kovel::rt
