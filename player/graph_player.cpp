#include "graph_player.h"

#include <unistd.h>
#include <QObject>
#include <QString>
#include <QWidget>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "chapter_extract.h"
#include "graph_util.h"
#include "kovel/com.h"
#include "kovel/guids.h"
#include "report_message.h"

namespace kovel::player {
namespace {

KOVEL_GUID(CLSID_ZmReader, "2D042A1B-F952-4B68-AAF0-F531C78E69E4");

// Longest path accepted, in bytes; longer ones are refused, never cut.
constexpr size_t kMaxPath = 4095;

std::u16string ToWide(const std::string& path) {
    const QString text = QString::fromUtf8(path.data(), qsizetype(path.size()));
    return std::u16string(reinterpret_cast<const char16_t*>(text.utf16()), size_t(text.size()));
}

std::string NarrowPinName(const WCHAR* name) {
    size_t n = 0;
    while (n < MAX_PIN_NAME && name[n]) ++n;
    return QString::fromUtf16(name, qsizetype(n)).toStdString();
}

}  // namespace

bool IsCoursewareName(const std::string& path) {
    return QString::fromUtf8(path.data(), qsizetype(path.size())).toLower().contains(QStringLiteral(".zmr"));
}

CGraphPlayer::CGraphPlayer() {
    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)))
        std::exit(1);
    m_bComInitialised = true;
}

CGraphPlayer::~CGraphPlayer() {
    CloseGraph();
    RemoveTempDocument();
    if (m_bComInitialised)
        CoUninitialize();
}

void CGraphPlayer::RemoveTempDocument() {
    if (m_szTempDoc.empty())
        return;
    ::unlink(m_szTempDoc.c_str());
    const size_t slash = m_szTempDoc.rfind('/');
    if (slash != std::string::npos && slash > 0)
        ::rmdir(m_szTempDoc.substr(0, slash).c_str());
}

HRESULT CGraphPlayer::Open(const char* path) {
    if (m_state != PlayState::Closed)
        CloseGraph();
    if (!path)
        return 1;
    const std::string file(path);
    if (file.size() > kMaxPath) {
        ReportMessage("Path too long (%zu bytes, at most %zu)\n", file.size(), kMaxPath);
        return E_INVALIDARG;
    }
    m_szFile = file;
    if (const std::string temp = TempDocumentPath(); !temp.empty())
        m_szTempDoc = temp;

    // Other media files have no chapter document; they go to the runtime's
    // own file rendering.
    m_bChapterOffsetKnown = false;
    if (IsCoursewareName(m_szFile)) {
        if (m_szTempDoc.empty())
            return E_FAIL;
        const ExtractResult extracted = ExtractChapterDocument(m_szFile, m_szTempDoc);
        if (!extracted.ok)
            return E_FAIL;
        m_bChapterOffsetKnown = extracted.offsetKnown;
        if (extracted.offsetKnown)
            m_nChapterIndexOffset = extracted.chapterIndexOffset;
        m_strStoredChapters = extracted.document;
    }

    m_state = PlayState::Stopped;
    const HRESULT hr = BuildGraph(m_szFile.c_str());
    if (FAILED(hr))
        CloseGraph();
    return hr;
}

HRESULT CGraphPlayer::Fail(HRESULT hr, const char* what) {
    ReportMessage("FAILED(hr=0x%x) in %s\n", static_cast<unsigned>(hr), what);
    return hr;
}

HRESULT CGraphPlayer::BuildGraph(const char* path) {
    if (!path)
        return E_POINTER;
    const std::u16string wFile = ToWide(path);
    HRESULT hr = CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                                  reinterpret_cast<void**>(&m_pGB));
    if (FAILED(hr))
        return Fail(
            hr,
            "CoCreateInstance(CLSID_FilterGraph, NULL, CLSCTX_INPROC_SERVER, IID_IGraphBuilder, (void "
            "**)&m_pGB)");
    hr = m_pGB->QueryInterface(IID_IMediaEventEx, reinterpret_cast<void**>(&m_pME));
    if (FAILED(hr))
        return Fail(hr, "m_pGB->QueryInterface(IID_IMediaEventEx, (void **)&m_pME)");
    QObject* notify = m_pNotifyTarget ? m_pNotifyTarget : static_cast<QObject*>(m_hWnd);
    hr = m_pME->SetNotifyWindow(reinterpret_cast<OAHWND>(notify), WM_GRAPHNOTIFY, 0);
    if (FAILED(hr))
        return Fail(hr, "m_pME->SetNotifyWindow((OAHWND)m_hWnd, WM_GRAPHNOTIFY, 0)");

    if (IsCoursewareName(path)) {
        hr = CUtil::CreateFilter(CLSID_ZmReader, &m_pReader);
        if (FAILED(hr))
            return Fail(hr, "CUtil::CreateFilter(CLSID_ZmReader, &m_pReader)");
        hr = m_pGB->AddFilter(m_pReader, u"Zm Reader");
        if (FAILED(hr))
            return Fail(hr, "m_pGB->AddFilter(m_pReader, L\"Zm Reader\")");
        hr = m_pReader->QueryInterface(IID_IFileSourceFilter, reinterpret_cast<void**>(&m_pFileSource));
        if (FAILED(hr))
            return Fail(hr, "m_pReader->QueryInterface(IID_IFileSourceFilter, (void **) &m_pFileSource)");
        hr = m_pFileSource->Load(wFile.c_str(), nullptr);
        if (FAILED(hr))
            return Fail(hr, "m_pFileSource->Load(wFile, NULL)");
        hr = CUtil::RenderOutputPins(m_pGB, m_pReader);
        if (FAILED(hr))
            return Fail(hr, "CUtil::RenderOutputPins(m_pGB, m_pReader)");
        SafeRelease(m_pReader);
    } else {
        hr = m_pGB->RenderFile(wFile.c_str(), nullptr);
        if (FAILED(hr))
            return Fail(hr, "m_pGB->RenderFile(wFile, NULL)");
    }

    hr = m_pGB->QueryInterface(IID_IMediaControl, reinterpret_cast<void**>(&m_pMC));
    if (FAILED(hr))
        return Fail(hr, "m_pGB->QueryInterface(IID_IMediaControl, (void **)&m_pMC)");
    hr = m_pGB->QueryInterface(IID_IMediaSeeking, reinterpret_cast<void**>(&m_pMS));
    if (FAILED(hr))
        return Fail(hr, "m_pGB->QueryInterface(IID_IMediaSeeking, (void **)&m_pMS)");

    CFilterList lstBA, lstBV;
    hr = CUtil::GetAVRenderer(m_pGB, lstBA, lstBV);
    if (FAILED(hr))
        return Fail(hr, "CUtil::GetAVRenderer(m_pGB,lstBA,lstBV)");
    for (IBaseFilter* filter : lstBV) {
        IPin* pin = nullptr;
        // A renderer that no source feeds has nothing to show: skip it.
        if (FAILED(CUtil::FindSourcePin(filter, &pin)))
            continue;
        PIN_INFO info{};
        hr = pin->QueryPinInfo(&info);
        if (FAILED(hr)) {
            pin->Release();
            return Fail(hr, "pPin->QueryPinInfo(&pinInfo)");
        }
        const bool screen = NarrowPinName(info.achName) == "capture";
        SafeRelease(info.pFilter);
        pin->Release();
        IVideoWindow*& vw = screen ? m_pCVW : m_pVW;
        IBasicVideo*& bv = screen ? m_pCBV : m_pBV;
        SafeRelease(vw);
        SafeRelease(bv);
        hr = filter->QueryInterface(IID_IVideoWindow, reinterpret_cast<void**>(&vw));
        if (FAILED(hr))
            return Fail(hr, screen ? "filter->QueryInterface(IID_IVideoWindow,(void **)&m_pCVW)"
                                   : "filter->QueryInterface(IID_IVideoWindow,(void **)&m_pVW)");
        hr = filter->QueryInterface(IID_IBasicVideo, reinterpret_cast<void**>(&bv));
        if (FAILED(hr))
            return Fail(hr, screen ? "filter->QueryInterface(IID_IBasicVideo, (void **)&m_pCBV)"
                                   : "filter->QueryInterface(IID_IBasicVideo, (void **)&m_pBV)");
    }

    hr = m_pGB->QueryInterface(IID_IBasicAudio, reinterpret_cast<void**>(&m_pBA));
    if (FAILED(hr))
        return Fail(hr, "m_pGB->QueryInterface(IID_IBasicAudio, (void **)&m_pBA)");
    DetectAudioOnly();

    if (!m_bAudioOnly) {
        if (!m_hWnd)
            return E_FAIL;
        if (m_pCVW) {
            hr = DockVideo(m_pCVW, m_pCBV, 1006, "m_pCVW->put_Owner((OAHWND)screenHwnd)",
                           "m_pCVW->put_WindowStyle(WS_CHILD | WS_CLIPSIBLINGS | WS_CLIPCHILDREN)",
                           "CUtil::SetVideoWindowPos(m_pCVW, m_pCBV, &screenRect)");
            if (FAILED(hr))
                return hr;
            // A lesson opened while in full screen is shown in full screen.
            if (m_bFullScreen)
                StretchScreenWindow();
        }
        if (m_pVW) {
            hr = DockVideo(m_pVW, m_pBV, 1007, "m_pVW->put_Owner((OAHWND)cameraHwnd)",
                           "m_pVW->put_WindowStyle(WS_CHILD | WS_CLIPSIBLINGS | WS_CLIPCHILDREN)",
                           "CUtil::SetVideoWindowPos(m_pVW, m_pBV, &cameraRect)");
            if (FAILED(hr))
                return hr;
        }
    }

    // A message box above runs a nested event loop: whatever it served may
    // have closed the graph.
    if (!m_pMC)
        return E_FAIL;
    hr = m_pMC->Run();
    if (FAILED(hr))
        return Fail(hr, "m_pMC->Run()");
    m_state = PlayState::Running;
    return hr;
}

HRESULT CGraphPlayer::DockVideo(IVideoWindow* vw, IBasicVideo* bv, int boxId, const char* ownerMsg,
                                const char* styleMsg, const char* posMsg) {
    QWidget* box = m_hWnd->findChild<QWidget*>(QStringLiteral("ctl%1").arg(boxId));
    if (!box)
        return E_FAIL;
    HRESULT hr = vw->put_Owner(reinterpret_cast<OAHWND>(box));
    if (FAILED(hr))
        return Fail(hr, ownerMsg);
    hr = vw->put_WindowStyle(kVideoWindowStyle);
    if (FAILED(hr))
        return Fail(hr, styleMsg);
    const VideoRect rect{0, 0, box->width(), box->height()};
    hr = CUtil::SetVideoWindowPos(vw, bv, &rect);
    if (FAILED(hr))
        return Fail(hr, posMsg);
    return hr;
}

void CGraphPlayer::DetectAudioOnly() {
    if ((m_pVW && m_pBV) || (m_pCVW && m_pCBV)) {
        m_bAudioOnly = false;
        IVideoWindow* vw = m_pVW ? m_pVW : m_pCVW;
        LONG visible = 0;
        const HRESULT hr = vw->get_Visible(&visible);
        if (SUCCEEDED(hr))
            return;
        if (hr == E_NOINTERFACE)
            m_bAudioOnly = true;
        else
            ReportMessage("Failed(%08lx) in pVW->get_Visible()!\r\n",
                          static_cast<unsigned long>(uint32_t(hr)));
        return;
    }
    m_bAudioOnly = true;
}

HRESULT CGraphPlayer::CloseGraph() {
    HRESULT hr = S_OK;
    if (m_pMC)
        hr = m_pMC->Stop();
    m_state = PlayState::Closed;
    for (IVideoWindow* vw : {m_pVW, m_pCVW}) {
        if (vw) {
            hr = vw->put_Visible(OAFALSE);
            hr = vw->put_Owner(0);
        }
    }
    m_bAudioOnly = true;
    SafeRelease(m_pGB);
    SafeRelease(m_pMC);
    SafeRelease(m_pME);
    SafeRelease(m_pVW);
    SafeRelease(m_pBA);
    SafeRelease(m_pBV);
    SafeRelease(m_pCVW);
    SafeRelease(m_pCBV);
    SafeRelease(m_pMS);
    SafeRelease(m_pReader);
    SafeRelease(m_pFileSource);
    return hr;
}

}  // namespace kovel::player
