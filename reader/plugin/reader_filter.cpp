#include "reader_filter.h"

#include <climits>
#include <cstring>
#include <new>

#include "component_server.h"
#include "courseware_parse.h"
#include "kovel/com.h"
#include "reader_class.h"
#include "stream_pins.h"

namespace {

// Registration: two alike output pin entries, although a loaded filter has up to three pins.
char16_t g_wszOutput[] = u"Output";
const REGPINTYPES kPinTypes = {&GUID_NULL, &GUID_NULL};
const REGFILTERPINS kPins[2] = {
    {g_wszOutput, FALSE, TRUE, FALSE, TRUE, &CLSID_NULL, u"Input", 1, &kPinTypes},
    {g_wszOutput, FALSE, TRUE, FALSE, TRUE, &CLSID_NULL, u"Input", 1, &kPinTypes},
};

// Strict UTF-16 to UTF-8: an unpaired surrogate names no file, so it is refused
// rather than replaced (a replacement could open some other file).
bool PathFromWide(LPCOLESTR s, std::string* out) {
    out->clear();
    for (size_t i = 0; s[i]; ++i) {
        uint32_t c = s[i];
        if (c >= 0xD800 && c <= 0xDBFF) {
            uint32_t lo = s[i + 1];
            if (lo < 0xDC00 || lo > 0xDFFF)
                return false;
            c = 0x10000 + ((c - 0xD800) << 10) + (lo - 0xDC00);
            ++i;
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            return false;
        }
        if (c < 0x80) {
            out->push_back(char(c));
        } else if (c < 0x800) {
            out->push_back(char(0xC0 | (c >> 6)));
            out->push_back(char(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out->push_back(char(0xE0 | (c >> 12)));
            out->push_back(char(0x80 | ((c >> 6) & 0x3F)));
            out->push_back(char(0x80 | (c & 0x3F)));
        } else {
            out->push_back(char(0xF0 | (c >> 18)));
            out->push_back(char(0x80 | ((c >> 12) & 0x3F)));
            out->push_back(char(0x80 | ((c >> 6) & 0x3F)));
            out->push_back(char(0x80 | (c & 0x3F)));
        }
        if (out->size() >= PATH_MAX)
            return true;  // the caller refuses it by its length
    }
    return true;
}

HRESULT OpenError(int err) {
    switch (err) {
        case ENOENT:
            return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
        case ENOTDIR:
            return HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
        case EACCES:
        case EPERM:
        case EISDIR:
            return E_ACCESSDENIED;
        case ENAMETOOLONG:
            return HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE);
        default:
            return E_FAIL;
    }
}

}  // namespace

const FilterSetupRecord g_ReaderSetup = {&CLSID_ZmReader, u"Zm Reader", MERIT_DO_NOT_USE, 2, kPins};

CReaderFilter::CReaderFilter(IUnknown* pOuter, HRESULT*)
    : CSourceFilterCore("Zm Reader", pOuter, CLSID_ZmReader) {}

CRefCountedObject* CReaderFilter::CreateInstance(IUnknown* pOuter, HRESULT* phr) {
    HRESULT hr = S_OK;
    auto* pFilter = new (std::nothrow) CReaderFilter(pOuter, &hr);
    if ((!pFilter || FAILED(hr)) && phr)
        *phr = E_OUTOFMEMORY;
    return pFilter;
}

HRESULT CReaderFilter::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
    if (!ppv)
        return E_POINTER;
    if (riid == IID_IFileSourceFilter)
        return GetInterface(static_cast<IFileSourceFilter*>(this), ppv);
    return CSourceFilterCore::NonDelegatingQueryInterface(riid, ppv);
}

const FilterSetupRecord* CReaderFilter::SetupRecord() {
    return &g_ReaderSetup;
}

HRESULT CReaderFilter::Load(LPCOLESTR pszFileName, const AM_MEDIA_TYPE*) {
    if (!pszFileName)
        return E_POINTER;
    std::string path;
    if (!PathFromWide(pszFileName, &path))
        return E_INVALIDARG;
    if (path.empty())
        return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    // Longer paths are refused, never cut to some other file's name.
    if (path.size() >= PATH_MAX)
        return HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE);
    std::lock_guard<std::mutex> load(m_LoadLock);
    {
        CLockHolder lock(StateLock());
        // Pins of an earlier file would stand beside the new ones.
        if (m_iPins > 0 || !IsStopped())
            return E_UNEXPECTED;
    }
    {
        zmr::FileReader probe;
        const int err = probe.Open(path);
        if (err != 0)
            return OpenError(err);
    }
    {
        CLockHolder lock(StateLock());
        m_wszFileName = pszFileName;
    }

    // Each pin opens the file itself; a pin whose stream is missing is dropped.
    struct {
        const char16_t* name;
        const GUID* type;
    } const streams[] = {{zmr::kAudioPinName, &zmr::kAudioStream},
                         {zmr::kCameraPinName, &zmr::kCameraStream},
                         {zmr::kScreenPinName, &zmr::kScreenStream}};
    for (const auto& s : streams) {
        HRESULT hr = S_OK;
        CCoursewareStreamPin* pPin = nullptr;
        if (*s.type == zmr::kAudioStream)
            pPin = new (std::nothrow) CAudioStreamPin(&hr, this, s.name);
        else
            pPin = new (std::nothrow) CVideoStreamPin(&hr, this, s.name, *s.type);
        if (!pPin)
            continue;
        if (FAILED(hr) || !pPin->ParseHeader(path))
            delete pPin;
    }
    return PinCount() > 0 ? S_OK : E_FAIL;
}

HRESULT CReaderFilter::GetCurFile(LPOLESTR* ppszFileName, AM_MEDIA_TYPE*) {
    if (!ppszFileName)
        return E_POINTER;
    std::u16string name;
    {
        CLockHolder lock(StateLock());
        name = m_wszFileName;
    }
    const size_t cb = 2 * name.size() + 2;
    auto* p = static_cast<WCHAR*>(CoTaskMemAlloc(cb));
    *ppszFileName = p;
    if (!p)
        return E_OUTOFMEMORY;
    std::memcpy(p, name.c_str(), cb);
    return S_OK;
}
