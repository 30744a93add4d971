// The courseware reader filter: a source filter that is handed a courseware
// file through IFileSourceFilter and offers one output pin per stream the
// file holds ("audioOut", "videoOut", "capture").
#pragma once

#include <mutex>
#include <string>

#include "kovel/streaming.h"
#include "source_filter_core.h"

struct FilterSetupRecord;
// Registration data of the filter (name, merit, pin entries).
extern const FilterSetupRecord g_ReaderSetup;

class CReaderFilter : public CSourceFilterCore, public IFileSourceFilter {
  public:
    CReaderFilter(IUnknown* pOuter, HRESULT* phr);

    // Create function of the component template.
    static CRefCountedObject* CreateInstance(IUnknown* pOuter, HRESULT* phr);

    KOVEL_DECLARE_IUNKNOWN
    // IFileSourceFilter, else the source filter's interfaces.
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

    // IFileSourceFilter. Load: S_OK with at least one pin; E_FAIL when no
    // stream was found; the open error (file not found, access denied) when
    // the file cannot be opened; E_UNEXPECTED when pins are already loaded.
    HRESULT Load(LPCOLESTR pszFileName, const AM_MEDIA_TYPE* pmt) override;
    // The current file name in task memory; the media type is left untouched.
    HRESULT GetCurFile(LPOLESTR* ppszFileName, AM_MEDIA_TYPE* pmt) override;

    const FilterSetupRecord* SetupRecord() override;

  private:
    std::u16string m_wszFileName = u"zm Reader";  // guarded by the state lock
    // Serialises loads, so that two at once cannot both add pins.
    std::mutex m_LoadLock;
};
