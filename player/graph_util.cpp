#include "graph_util.h"

#include "kovel/com.h"
#include "kovel/guids.h"
#include "report_message.h"

namespace kovel::player {

void CFilterList::AddTail(IBaseFilter* filter) {
    filter->AddRef();
    m_filters.push_back(filter);
}

void CFilterList::RemoveAll() {
    for (IBaseFilter* f : m_filters) f->Release();
    m_filters.clear();
}

HRESULT CUtil::CreateFilter(REFCLSID clsid, IBaseFilter** ppFilter) {
    IBaseFilter* filter = nullptr;
    HRESULT hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                  reinterpret_cast<void**>(&filter));
    if (SUCCEEDED(hr) && filter) {
        if (ppFilter)
            *ppFilter = filter;
        else
            filter->Release();
        return S_OK;
    }
    if (SUCCEEDED(hr))
        hr = E_NOINTERFACE;
    ReportMessage("CreateFilter: Failed to create filter!  hr=0x%x\n", static_cast<unsigned>(hr));
    if (ppFilter)
        *ppFilter = nullptr;
    return hr;
}

HRESULT CUtil::RenderOutputPins(IGraphBuilder* pGB, IBaseFilter* pFilter) {
    IEnumPins* pins = nullptr;
    HRESULT hr = pFilter->EnumPins(&pins);
    if (FAILED(hr))
        return hr;
    IPin* pin = nullptr;
    while ((hr = pins->Next(1, &pin, nullptr)) == S_OK) {
        IPin* peer = nullptr;
        HRESULT hrConnected = pin->ConnectedTo(&peer);
        SafeRelease(peer);
        if (hrConnected == VFW_E_NOT_CONNECTED) {
            PIN_DIRECTION dir{};
            if (SUCCEEDED(pin->QueryDirection(&dir)) && dir == PINDIR_OUTPUT)
                hr = pGB->Render(pin);
        }
        SafeRelease(pin);
        if (FAILED(hr))
            break;
    }
    pins->Release();
    // The end of the pin list counts as success.
    return hr == S_FALSE ? S_OK : hr;
}

HRESULT CUtil::GetAVRenderer(IGraphBuilder* pGB, CFilterList& lstBA, CFilterList& lstBV) {
    IEnumFilters* filters = nullptr;
    HRESULT hr = pGB->EnumFilters(&filters);
    if (FAILED(hr))
        return hr;
    IBaseFilter* filter = nullptr;
    while ((hr = filters->Next(1, &filter, nullptr)) == S_OK) {
        IUnknown* itf = nullptr;
        if (SUCCEEDED(filter->QueryInterface(IID_IBasicVideo, reinterpret_cast<void**>(&itf)))) {
            lstBV.AddTail(filter);
            SafeRelease(itf);
        }
        if (SUCCEEDED(filter->QueryInterface(IID_IBasicAudio, reinterpret_cast<void**>(&itf)))) {
            lstBA.AddTail(filter);
            SafeRelease(itf);
        }
        SafeRelease(filter);
    }
    filters->Release();
    return hr;
}

HRESULT CUtil::SetVideoWindowPos(IVideoWindow* pVW, IBasicVideo* pBV, const VideoRect* rect) {
    if (!pVW || !pBV || !rect)
        return E_POINTER;
    LONG w = 0, h = 0;
    HRESULT hr = pBV->GetVideoSize(&w, &h);
    if (FAILED(hr))
        return hr;
    // Without a native size there is nothing to fit.
    if (w <= 0 || h <= 0)
        return E_FAIL;
    const int64_t aw = int64_t(rect->right) - rect->left - 5;
    const int64_t ah = int64_t(rect->bottom) - rect->top - 10;
    int64_t W, H;
    if (aw * h > ah * w) {
        W = ah * w / h;
        H = ah;
    } else {
        W = aw;
        H = aw * h / w;
    }
    const int64_t x = rect->left + (rect->right - W) / 2;
    const int64_t y = rect->top + (rect->bottom - H) / 2 + 3;
    return pVW->SetWindowPosition(LONG(x), LONG(y), LONG(W), LONG(H));
}

HRESULT CUtil::FindPinByDirection(IBaseFilter* pFilter, PIN_DIRECTION dir, bool connected, IPin** ppPin) {
    if (!ppPin)
        return E_POINTER;
    *ppPin = nullptr;
    IEnumPins* pins = nullptr;
    HRESULT hr = pFilter->EnumPins(&pins);
    if (FAILED(hr))
        return hr;
    IPin* pin = nullptr;
    while (pins->Next(1, &pin, nullptr) == S_OK) {
        PIN_DIRECTION d{};
        if (SUCCEEDED(pin->QueryDirection(&d)) && d == dir) {
            IPin* peer = nullptr;
            const bool isConnected = SUCCEEDED(pin->ConnectedTo(&peer));
            SafeRelease(peer);
            if (isConnected == connected) {
                *ppPin = pin;
                pins->Release();
                return S_OK;
            }
        }
        SafeRelease(pin);
    }
    pins->Release();
    return E_FAIL;
}

HRESULT CUtil::FindSourcePin(IBaseFilter* pFilter, IPin** ppPin) {
    if (!ppPin)
        return E_POINTER;
    *ppPin = nullptr;
    // Walks upstream iteratively; a depth limit guards against a graph whose
    // connections form a loop.
    IBaseFilter* current = pFilter;
    current->AddRef();
    for (int depth = 0; depth < 64; ++depth) {
        IPin* input = nullptr;
        HRESULT hr = FindPinByDirection(current, PINDIR_INPUT, true, &input);
        current->Release();
        if (FAILED(hr))
            return hr;
        IPin* upstream = nullptr;
        hr = input->ConnectedTo(&upstream);
        input->Release();
        if (FAILED(hr))
            return hr;
        PIN_INFO info{};
        hr = upstream->QueryPinInfo(&info);
        if (FAILED(hr)) {
            upstream->Release();
            return hr;
        }
        IPin* further = nullptr;
        hr = info.pFilter ? FindPinByDirection(info.pFilter, PINDIR_INPUT, true, &further) : E_FAIL;
        if (hr == E_FAIL) {
            SafeRelease(info.pFilter);
            *ppPin = upstream;
            return S_OK;
        }
        SafeRelease(further);
        if (FAILED(hr)) {
            SafeRelease(info.pFilter);
            upstream->Release();
            return hr;
        }
        upstream->Release();
        current = info.pFilter;  // carries the reference of the pin information
    }
    return E_FAIL;
}

}  // namespace kovel::player
