// Graph plumbing the playback object needs: creating a filter by class,
// rendering a source's output pins, finding the renderers and the source pin
// that feeds a renderer, and fitting a video window into a box.
#pragma once

#include <vector>

#include "kovel/control.h"
#include "kovel/streaming.h"

namespace kovel::player {

// Filter references local to one graph build; each entry holds a reference.
class CFilterList {
  public:
    CFilterList() = default;
    CFilterList(const CFilterList&) = delete;
    CFilterList& operator=(const CFilterList&) = delete;
    ~CFilterList() { RemoveAll(); }

    void AddTail(IBaseFilter* filter);  // takes its own reference
    void RemoveAll();
    size_t size() const { return m_filters.size(); }
    IBaseFilter* at(size_t i) const { return m_filters[i]; }
    auto begin() const { return m_filters.begin(); }
    auto end() const { return m_filters.end(); }

  private:
    std::vector<IBaseFilter*> m_filters;
};

struct VideoRect {
    LONG left = 0, top = 0, right = 0, bottom = 0;
};

class CUtil {
  public:
    static HRESULT CreateFilter(REFCLSID clsid, IBaseFilter** ppFilter);
    static HRESULT RenderOutputPins(IGraphBuilder* pGB, IBaseFilter* pFilter);
    static HRESULT GetAVRenderer(IGraphBuilder* pGB, CFilterList& lstBA, CFilterList& lstBV);
    static HRESULT SetVideoWindowPos(IVideoWindow* pVW, IBasicVideo* pBV, const VideoRect* rect);
    static HRESULT FindPinByDirection(IBaseFilter* pFilter, PIN_DIRECTION dir, bool connected, IPin** ppPin);
    static HRESULT FindSourcePin(IBaseFilter* pFilter, IPin** ppPin);
};

// Releases and nulls an interface pointer.
template <class T>
void SafeRelease(T*& p) {
    if (p) {
        p->Release();
        p = nullptr;
    }
}

}  // namespace kovel::player
