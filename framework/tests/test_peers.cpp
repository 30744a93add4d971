#include "test_peers.h"

#include <chrono>

#include "kovel/com.h"

const CLSID CLSID_ScriptFilter = kovel::detail::MakeGuid("6E1B2C3D-4A5F-4E6B-9C7D-8E9FA0B1C2D3");

class CPoolSample final : public IMediaSample {
  public:
    CPoolSample(CPoolAllocator* owner, LONG cb) : m_owner(owner), m_buffer(size_t(cb)) {}
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IMediaSample) {
            *ppv = static_cast<IMediaSample*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return ++m_cRef; }
    ULONG Release() override {
        const ULONG n = --m_cRef;
        if (n == 0)
            m_owner->Return(this);
        return n;
    }
    HRESULT GetPointer(BYTE** pp) override {
        if (!pp)
            return E_POINTER;
        *pp = m_buffer.data();
        return S_OK;
    }
    LONG GetSize() override { return LONG(m_buffer.size()); }
    HRESULT GetTime(REFERENCE_TIME* s, REFERENCE_TIME* e) override {
        if (!m_bTimes)
            return VFW_E_SAMPLE_TIME_NOT_SET_PLACEHOLDER;
        if (s)
            *s = m_start;
        if (e)
            *e = m_stop;
        return S_OK;
    }
    HRESULT SetTime(REFERENCE_TIME* s, REFERENCE_TIME* e) override {
        m_bTimes = s != nullptr;
        if (s)
            m_start = *s;
        if (e)
            m_stop = *e;
        return S_OK;
    }
    HRESULT IsSyncPoint() override { return m_bSync ? S_OK : S_FALSE; }
    HRESULT SetSyncPoint(BOOL b) override {
        m_bSync = b != FALSE;
        return S_OK;
    }
    HRESULT IsPreroll() override { return S_FALSE; }
    HRESULT SetPreroll(BOOL) override { return S_OK; }
    LONG GetActualDataLength() override { return m_actual; }
    HRESULT SetActualDataLength(LONG n) override {
        m_actual = n;
        return S_OK;
    }
    HRESULT GetMediaType(AM_MEDIA_TYPE** pp) override {
        if (pp)
            *pp = nullptr;
        return S_FALSE;
    }
    HRESULT SetMediaType(AM_MEDIA_TYPE*) override { return S_OK; }
    HRESULT IsDiscontinuity() override { return S_FALSE; }
    HRESULT SetDiscontinuity(BOOL) override { return S_OK; }
    HRESULT GetMediaTime(LONGLONG*, LONGLONG*) override { return E_NOTIMPL; }
    HRESULT SetMediaTime(LONGLONG*, LONGLONG*) override { return E_NOTIMPL; }

    void Reset() {
        m_bTimes = false;
        m_bSync = false;
        m_actual = LONG(m_buffer.size());
        m_cRef = 1;
    }

    static constexpr HRESULT VFW_E_SAMPLE_TIME_NOT_SET_PLACEHOLDER = MAKE_HR(0x80040249);

  private:
    CPoolAllocator* m_owner;
    std::vector<BYTE> m_buffer;
    std::atomic<ULONG> m_cRef{0};
    bool m_bTimes = false, m_bSync = false;
    REFERENCE_TIME m_start = 0, m_stop = 0;
    LONG m_actual = 0;
};

HRESULT CPoolAllocator::QueryInterface(REFIID riid, void** ppv) {
    if (!ppv)
        return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IMemAllocator) {
        *ppv = static_cast<IMemAllocator*>(this);
        AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

ULONG CPoolAllocator::Release() {
    const ULONG n = --m_cRef;
    if (n == 0) {
        for (auto* p : m_free) delete p;
        delete this;
    }
    return n;
}

HRESULT CPoolAllocator::SetProperties(ALLOCATOR_PROPERTIES* pRequest, ALLOCATOR_PROPERTIES* pActual) {
    if (!pRequest || !pActual)
        return E_POINTER;
    std::lock_guard<std::mutex> g(m_mutex);
    if (m_bCommitted)
        return VFW_E_ALREADY_COMMITTED;
    m_props = *pRequest;
    if (m_props.cbBuffer > m_cbMaxGrant)
        m_props.cbBuffer = m_cbMaxGrant;
    *pActual = m_props;
    return S_OK;
}

HRESULT CPoolAllocator::GetProperties(ALLOCATOR_PROPERTIES* p) {
    if (!p)
        return E_POINTER;
    std::lock_guard<std::mutex> g(m_mutex);
    *p = m_props;
    return S_OK;
}

HRESULT CPoolAllocator::Commit() {
    std::lock_guard<std::mutex> g(m_mutex);
    ++m_cCommits;
    if (m_bCommitted)
        return S_OK;
    if (m_props.cBuffers <= 0 || m_props.cbBuffer <= 0)
        return VFW_E_SIZENOTSET;
    if (m_free.empty() && m_cOutstanding == 0)
        for (int i = 0; i < m_props.cBuffers; ++i) m_free.push_back(new CPoolSample(this, m_props.cbBuffer));
    m_bCommitted = true;
    return S_OK;
}

HRESULT CPoolAllocator::Decommit() {
    std::lock_guard<std::mutex> g(m_mutex);
    ++m_cDecommits;
    m_bCommitted = false;
    m_cond.notify_all();
    return S_OK;
}

HRESULT CPoolAllocator::GetBuffer(IMediaSample** pp, REFERENCE_TIME*, REFERENCE_TIME*, DWORD) {
    if (!pp)
        return E_POINTER;
    *pp = nullptr;
    std::unique_lock<std::mutex> g(m_mutex);
    m_cond.wait(g, [this] { return !m_bCommitted || !m_free.empty(); });
    if (!m_bCommitted)
        return VFW_E_NOT_COMMITTED;
    CPoolSample* s = m_free.back();
    m_free.pop_back();
    ++m_cOutstanding;
    s->Reset();
    AddRef();  // an outstanding sample keeps its allocator
    *pp = s;
    return S_OK;
}

HRESULT CPoolAllocator::ReleaseBuffer(IMediaSample*) {
    return S_OK;
}

void CPoolAllocator::Return(CPoolSample* p) {
    {
        std::lock_guard<std::mutex> g(m_mutex);
        m_free.push_back(p);
        --m_cOutstanding;
        m_cond.notify_all();
    }
    Release();
}

// ---------------------------------------------------------------------------

namespace {
class CTypeList final : public IEnumMediaTypes {
  public:
    explicit CTypeList(std::vector<AM_MEDIA_TYPE> types) : m_types(std::move(types)) {}
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IEnumMediaTypes) {
            *ppv = this;
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return ++m_cRef; }
    ULONG Release() override {
        const ULONG n = --m_cRef;
        if (n == 0)
            delete this;
        return n;
    }
    HRESULT Next(ULONG n, AM_MEDIA_TYPE** pp, ULONG* pf) override {
        ULONG got = 0;
        while (got < n && m_pos < m_types.size())
            pp[got++] = CMediaTypeRecord::CreateTaskMemCopy(m_types[m_pos++]);
        if (pf)
            *pf = got;
        return got == n ? S_OK : S_FALSE;
    }
    HRESULT Skip(ULONG n) override {
        m_pos += n;
        return m_pos <= m_types.size() ? S_OK : S_FALSE;
    }
    HRESULT Reset() override {
        m_pos = 0;
        return S_OK;
    }
    HRESULT Clone(IEnumMediaTypes**) override { return E_NOTIMPL; }

  private:
    std::atomic<ULONG> m_cRef{1};
    std::vector<AM_MEDIA_TYPE> m_types;
    size_t m_pos = 0;
};
}  // namespace

CTestInputPin::CTestInputPin() = default;

CTestInputPin::~CTestInputPin() {
    ReleaseHeld();
    if (m_pNotified)
        m_pNotified->Release();
    if (m_pConnector)
        m_pConnector->Release();
    if (m_pOwnAllocator)
        m_pOwnAllocator->Release();
}

HRESULT CTestInputPin::QueryInterface(REFIID riid, void** ppv) {
    if (!ppv)
        return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IPin) {
        *ppv = static_cast<IPin*>(this);
    } else if (riid == IID_IMemInputPin) {
        *ppv = static_cast<IMemInputPin*>(this);
    } else {
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

ULONG CTestInputPin::Release() {
    return --m_cRef;
}  // lives on the test's stack

HRESULT CTestInputPin::ReceiveConnection(IPin* pConnector, const AM_MEDIA_TYPE* pmt) {
    ++m_cReceiveConnection;
    if (!pConnector || !pmt)
        return E_POINTER;
    if (m_pConnector)
        return VFW_E_ALREADY_CONNECTED;
    if (FAILED(m_hrReceiveConnection))
        return m_hrReceiveConnection;
    if (!m_accept(*pmt))
        return VFW_E_TYPE_NOT_ACCEPTED;
    m_pConnector = pConnector;
    m_pConnector->AddRef();
    return S_OK;
}

HRESULT CTestInputPin::Disconnect() {
    if (!m_pConnector)
        return S_FALSE;
    m_pConnector->Release();
    m_pConnector = nullptr;
    return S_OK;
}

HRESULT CTestInputPin::ConnectedTo(IPin** pp) {
    if (!pp)
        return E_POINTER;
    *pp = m_pConnector;
    if (!m_pConnector)
        return VFW_E_NOT_CONNECTED;
    m_pConnector->AddRef();
    return S_OK;
}

HRESULT CTestInputPin::ConnectionMediaType(AM_MEDIA_TYPE*) {
    return E_NOTIMPL;
}

HRESULT CTestInputPin::QueryPinInfo(PIN_INFO* p) {
    if (!p)
        return E_POINTER;
    p->pFilter = nullptr;
    p->dir = PINDIR_INPUT;
    p->achName[0] = u'I';
    p->achName[1] = 0;
    return S_OK;
}

HRESULT CTestInputPin::QueryDirection(PIN_DIRECTION* p) {
    if (!p)
        return E_POINTER;
    *p = PINDIR_INPUT;
    return S_OK;
}

HRESULT CTestInputPin::QueryAccept(const AM_MEDIA_TYPE* pmt) {
    return pmt && m_accept(*pmt) ? S_OK : S_FALSE;
}

HRESULT CTestInputPin::EnumMediaTypes(IEnumMediaTypes** pp) {
    if (!pp)
        return E_POINTER;
    *pp = new CTypeList(m_offered);
    return S_OK;
}

HRESULT CTestInputPin::EndOfStream() {
    std::lock_guard<std::mutex> g(m_mutex);
    ++m_cEndOfStream;
    m_cond.notify_all();
    return S_OK;
}

HRESULT CTestInputPin::BeginFlush() {
    {
        std::lock_guard<std::mutex> g(m_mutex);
        ++m_cBeginFlush;
        m_bFlushing = true;
    }
    ReleaseHeld();
    return S_OK;
}

HRESULT CTestInputPin::EndFlush() {
    std::lock_guard<std::mutex> g(m_mutex);
    ++m_cEndFlush;
    m_bFlushing = false;
    return S_OK;
}

HRESULT CTestInputPin::NewSegment(REFERENCE_TIME tStart, REFERENCE_TIME, double) {
    std::lock_guard<std::mutex> g(m_mutex);
    m_segments.push_back(tStart);
    return S_OK;
}

HRESULT CTestInputPin::GetAllocator(IMemAllocator** pp) {
    if (!pp)
        return E_POINTER;
    *pp = m_pOwnAllocator;
    if (!m_pOwnAllocator)
        return VFW_E_NO_ALLOCATOR;
    m_pOwnAllocator->AddRef();
    return S_OK;
}

HRESULT CTestInputPin::NotifyAllocator(IMemAllocator* p, BOOL) {
    if (m_bRefuseNotify)
        return E_FAIL;
    if (p)
        p->AddRef();
    if (m_pNotified)
        m_pNotified->Release();
    m_pNotified = p;
    return S_OK;
}

HRESULT CTestInputPin::GetAllocatorRequirements(ALLOCATOR_PROPERTIES* p) {
    if (!p)
        return E_POINTER;
    return E_NOTIMPL;
}

HRESULT CTestInputPin::Receive(IMediaSample* pSample) {
    if (!pSample)
        return E_POINTER;
    std::lock_guard<std::mutex> g(m_mutex);
    if (m_bFlushing || m_bRefuse)
        return S_FALSE;
    SampleRecord r;
    pSample->GetTime(&r.start, &r.stop);
    r.sync = pSample->IsSyncPoint() == S_OK;
    r.size = pSample->GetSize();
    m_samples.push_back(r);
    if (m_bHold) {
        pSample->AddRef();
        m_held.push_back(pSample);
    }
    m_cond.notify_all();
    return S_OK;
}

bool CTestInputPin::WaitSamples(size_t n, int ms) {
    std::unique_lock<std::mutex> g(m_mutex);
    return m_cond.wait_for(g, std::chrono::milliseconds(ms), [&] { return m_samples.size() >= n; });
}

bool CTestInputPin::WaitEndOfStream(int ms) {
    std::unique_lock<std::mutex> g(m_mutex);
    return m_cond.wait_for(g, std::chrono::milliseconds(ms), [&] { return m_cEndOfStream.load() > 0; });
}

std::vector<SampleRecord> CTestInputPin::Samples() {
    std::lock_guard<std::mutex> g(m_mutex);
    return m_samples;
}

void CTestInputPin::ReleaseHeld() {
    std::deque<IMediaSample*> held;
    {
        std::lock_guard<std::mutex> g(m_mutex);
        held.swap(m_held);
    }
    for (auto* s : held) s->Release();
}

// ---------------------------------------------------------------------------

HRESULT CTestGraph::QueryInterface(REFIID riid, void** ppv) {
    if (!ppv)
        return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IFilterGraph) {
        *ppv = static_cast<IFilterGraph*>(this);
    } else if (riid == IID_IMediaEventSink) {
        *ppv = static_cast<IMediaEventSink*>(this);
    } else {
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

HRESULT CTestGraph::Notify(LONG code, LONG_PTR p1, LONG_PTR p2) {
    std::lock_guard<std::mutex> g(m_mutex);
    m_events.push_back({code, p1, p2});
    m_cond.notify_all();
    return S_OK;
}

std::vector<CTestGraph::Event> CTestGraph::Events() {
    std::lock_guard<std::mutex> g(m_mutex);
    return m_events;
}

bool CTestGraph::WaitEvent(LONG code, int ms) {
    std::unique_lock<std::mutex> g(m_mutex);
    return m_cond.wait_for(g, std::chrono::milliseconds(ms), [&] {
        for (auto& e : m_events)
            if (e.code == code)
                return true;
        return false;
    });
}

// ---------------------------------------------------------------------------

CScriptPin::CScriptPin(HRESULT* phr, CSourceFilterCore* pFilter, LPCWSTR pName)
    : CStreamingPin("script pin", phr, pFilter, pName) {}

CMediaTypeRecord CScriptPin::MakeType(int formatByte) {
    CMediaTypeRecord mt;
    mt.majortype = MEDIATYPE_Video;
    mt.subtype = MEDIASUBTYPE_RGB32;
    mt.formattype = FORMAT_VideoInfo;
    const BYTE fmt[4] = {BYTE(formatByte), 2, 3, 4};
    mt.SetFormat(fmt, 4);
    return mt;
}

HRESULT CScriptPin::SingleFormat(CMediaTypeRecord* pmt) {
    *pmt = MakeType();
    return S_OK;
}

HRESULT CScriptPin::ChooseBufferSize(IMemAllocator* pAlloc, ALLOCATOR_PROPERTIES* pProps) {
    ++m_cChooseBufferSize;
    CLockHolder lock(StateLock());
    return SetBufferProperties(pAlloc, pProps, m_cBuffers, m_cbBuffer);
}

HRESULT CScriptPin::FillSample(IMediaSample* pSample) {
    const int n = m_nFilled.load();
    if (n == m_nEndAt)
        return S_FALSE;
    if (n == m_nFailAt)
        return m_hrFail;
    REFERENCE_TIME start = REFERENCE_TIME(n) * UNITS, stop = start + UNITS;
    pSample->SetTime(&start, &stop);
    pSample->SetSyncPoint(TRUE);
    ++m_nFilled;
    return S_OK;
}

CScriptFilter::CScriptFilter(int nPins) : CSourceFilterCore("script filter", nullptr, CLSID_ScriptFilter) {
    static const WCHAR* names[] = {u"A", u"B", u"C", u"D"};
    for (int i = 0; i < nPins && i < 4; ++i) AddScriptPin(names[i]);
}

CScriptFilter::~CScriptFilter() {
    Stop();
}

CScriptPin* CScriptFilter::AddScriptPin(LPCWSTR name) {
    HRESULT hr = S_OK;
    return new CScriptPin(&hr, this, name);
}
