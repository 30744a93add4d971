#include "media_filter_core.h"

#include "component_server.h"
#include "kovel/com.h"
#include "kovel/events.h"
#include "pin_core.h"
#include "pin_enumerator.h"
#include "wide_text.h"

using namespace kovel::framework;

namespace {
constexpr HRESULT kNotRegistered = HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
}

CMediaFilterCore::CMediaFilterCore(const char* pObjectName, IUnknown* pOuter, REFCLSID clsid)
    : CRefCountedObject(pObjectName, pOuter), m_clsid(clsid) {}

CMediaFilterCore::~CMediaFilterCore() {
    delete[] m_pName;
    if (m_pClock)
        m_pClock->Release();
}

HRESULT CMediaFilterCore::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
    if (!ppv)
        return E_POINTER;
    if (riid == IID_IBaseFilter || riid == IID_IMediaFilter || riid == IID_IPersist)
        return GetInterface(static_cast<IBaseFilter*>(this), ppv);
    if (riid == IID_IAMovieSetup)
        return GetInterface(static_cast<IAMovieSetup*>(this), ppv);
    return CRefCountedObject::NonDelegatingQueryInterface(riid, ppv);
}

HRESULT CMediaFilterCore::GetClassID(CLSID* pClassID) {
    if (!pClassID)
        return E_POINTER;
    *pClassID = m_clsid;
    return S_OK;
}

HRESULT CMediaFilterCore::Stop() {
    CLockHolder lock(StateLock());
    HRESULT hr = S_OK;
    if (m_State != State_Stopped) {
        const int n = PinCount();
        for (int i = 0; i < n; ++i) {
            CPinCore* pPin = PinAt(i);
            if (!pPin || !pPin->IsConnected())
                continue;
            const HRESULT hrPin = pPin->Deactivate();
            if (FAILED(hrPin) && SUCCEEDED(hr))
                hr = hrPin;
        }
    }
    m_State = State_Stopped;
    return hr;
}

HRESULT CMediaFilterCore::Pause() {
    CLockHolder lock(StateLock());
    if (m_State == State_Stopped) {
        const int n = PinCount();
        for (int i = 0; i < n; ++i) {
            CPinCore* pPin = PinAt(i);
            if (!pPin || !pPin->IsConnected())
                continue;
            const HRESULT hr = pPin->Activate();
            if (FAILED(hr)) {
                // The filter stays Stopped, where Stop would skip them: pins
                // already streaming must end here, or their workers outlive
                // every later state change.
                for (int j = 0; j < i; ++j) {
                    CPinCore* pActive = PinAt(j);
                    if (pActive && pActive->IsConnected())
                        pActive->Deactivate();
                }
                return hr;
            }
        }
    }
    m_State = State_Paused;
    return S_OK;
}

HRESULT CMediaFilterCore::Run(REFERENCE_TIME tStart) {
    CLockHolder lock(StateLock());
    m_tStart = tStart;
    if (m_State == State_Stopped) {
        const HRESULT hr = Pause();
        if (FAILED(hr))
            return hr;
    }
    if (m_State != State_Running) {
        const int n = PinCount();
        for (int i = 0; i < n; ++i) {
            CPinCore* pPin = PinAt(i);
            if (!pPin || !pPin->IsConnected())
                continue;
            const HRESULT hr = pPin->RunAt(tStart);
            if (FAILED(hr))
                return hr;
        }
    }
    m_State = State_Running;
    return S_OK;
}

HRESULT CMediaFilterCore::GetState(DWORD, FILTER_STATE* State) {
    if (!State)
        return E_POINTER;
    *State = m_State;
    return S_OK;
}

HRESULT CMediaFilterCore::SetSyncSource(IReferenceClock* pClock) {
    CLockHolder lock(StateLock());
    if (pClock)
        pClock->AddRef();
    if (m_pClock)
        m_pClock->Release();
    m_pClock = pClock;
    return S_OK;
}

HRESULT CMediaFilterCore::GetSyncSource(IReferenceClock** pClock) {
    if (!pClock)
        return E_POINTER;
    CLockHolder lock(StateLock());
    *pClock = m_pClock;
    if (m_pClock)
        m_pClock->AddRef();
    return S_OK;
}

HRESULT CMediaFilterCore::EnumPins(IEnumPins** ppEnum) {
    if (!ppEnum)
        return E_POINTER;
    *ppEnum = new (std::nothrow) CPinEnumerator(this, nullptr);
    return *ppEnum ? S_OK : E_OUTOFMEMORY;
}

HRESULT CMediaFilterCore::FindPin(LPCWSTR Id, IPin** ppPin) {
    if (!ppPin)
        return E_POINTER;
    *ppPin = nullptr;
    if (!Id)
        return E_POINTER;
    CLockHolder lock(StateLock());
    const int n = PinCount();
    for (int i = 0; i < n; ++i) {
        CPinCore* pPin = PinAt(i);
        if (pPin && WideEqual(pPin->Name(), Id)) {
            *ppPin = static_cast<IPin*>(pPin);
            (*ppPin)->AddRef();
            return S_OK;
        }
    }
    return VFW_E_NOT_FOUND;
}

HRESULT CMediaFilterCore::QueryFilterInfo(FILTER_INFO* pInfo) {
    if (!pInfo)
        return E_POINTER;
    CLockHolder lock(StateLock());
    WideCopyTruncated(pInfo->achName, MAX_FILTER_NAME, m_pName);
    pInfo->pGraph = m_pGraph;
    if (m_pGraph)
        m_pGraph->AddRef();
    return S_OK;
}

HRESULT CMediaFilterCore::JoinFilterGraph(IFilterGraph* pGraph, LPCWSTR pName) {
    CLockHolder lock(StateLock());
    m_pGraph = pGraph;
    IMediaEventSink* pSink = nullptr;
    if (pGraph && SUCCEEDED(pGraph->QueryInterface(IID_IMediaEventSink, reinterpret_cast<void**>(&pSink))) &&
        pSink) {
        // The graph owns the filter: keeping a counted sink would make a cycle.
        pSink->Release();
    } else {
        pSink = nullptr;
    }
    m_pSink = pSink;
    delete[] m_pName;
    m_pName = WideDuplicate(pName);
    return S_OK;
}

HRESULT CMediaFilterCore::QueryVendorInfo(LPWSTR*) {
    return E_NOTIMPL;
}

HRESULT CMediaFilterCore::CurrentStreamTime(REFERENCE_TIME* pStreamTime) {
    if (!pStreamTime)
        return E_POINTER;
    CLockHolder lock(StateLock());
    if (!m_pClock)
        return VFW_E_NO_CLOCK;
    REFERENCE_TIME now = 0;
    const HRESULT hr = m_pClock->GetTime(&now);
    if (FAILED(hr))
        return hr;
    *pStreamTime = now - m_tStart;
    return S_OK;
}

HRESULT CMediaFilterCore::NotifyEvent(LONG EventCode, LONG_PTR EventParam1, LONG_PTR EventParam2) {
    IMediaEventSink* pSink = m_pSink.load();
    if (!pSink)
        return E_NOTIMPL;
    if (EventCode == EC_COMPLETE)
        EventParam2 = reinterpret_cast<LONG_PTR>(static_cast<IBaseFilter*>(this));
    return pSink->Notify(EventCode, EventParam1, EventParam2);
}

void CMediaFilterCore::IncrementPinVersion() {
    m_PinVersion.fetch_add(1);
}

namespace {
// Runs the version 1 mapper step for this filter's record, with the
// component library initialised for the call.
HRESULT RunSetupStep(const FilterSetupRecord* pSetup, bool bRegister) {
    const HRESULT hrInit = CoInitialize(nullptr);
    IFilterMapper* pMapper = nullptr;
    HRESULT hr = CoCreateInstance(CLSID_FilterMapper, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterMapper,
                                  reinterpret_cast<void**>(&pMapper));
    if (SUCCEEDED(hr) && pMapper) {
        hr = RegisterWithMapper1(pMapper, pSetup, bRegister);
        pMapper->Release();
    } else if (SUCCEEDED(hr)) {
        hr = E_NOINTERFACE;
    }
    CoFreeUnusedLibraries();
    if (SUCCEEDED(hrInit))
        CoUninitialize();
    return hr;
}
}  // namespace

HRESULT CMediaFilterCore::Register() {
    const FilterSetupRecord* pSetup = SetupRecord();
    if (!pSetup)
        return S_FALSE;
    // The failure is reported, not hidden behind success.
    const HRESULT hr = RunSetupStep(pSetup, true);
    return hr == kNotRegistered ? S_OK : hr;
}

HRESULT CMediaFilterCore::Unregister() {
    const FilterSetupRecord* pSetup = SetupRecord();
    if (!pSetup)
        return S_FALSE;
    const HRESULT hr = RunSetupStep(pSetup, false);
    return hr == kNotRegistered ? S_OK : hr;
}
