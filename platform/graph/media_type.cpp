#include "media_type.h"

#include <cstdio>

#include "kovel/com.h"
#include "kovel/guid_text.h"
#include "kovel/guids.h"
#include "utf8_text.h"

namespace kovel::graph {

HRESULT CopyMediaType(AM_MEDIA_TYPE* dst, const AM_MEDIA_TYPE* src) {
    if (!dst || !src)
        return E_POINTER;
    *dst = *src;
    dst->pbFormat = nullptr;
    dst->cbFormat = 0;
    if (src->cbFormat && src->pbFormat) {
        dst->pbFormat = static_cast<BYTE*>(CoTaskMemAlloc(src->cbFormat));
        if (!dst->pbFormat) {
            *dst = AM_MEDIA_TYPE{};
            return E_OUTOFMEMORY;
        }
        std::memcpy(dst->pbFormat, src->pbFormat, src->cbFormat);
        dst->cbFormat = src->cbFormat;
    }
    if (dst->pUnk)
        dst->pUnk->AddRef();
    return S_OK;
}

AM_MEDIA_TYPE* CreateMediaTypeCopy(const AM_MEDIA_TYPE* src) {
    auto* mt = static_cast<AM_MEDIA_TYPE*>(CoTaskMemAlloc(sizeof(AM_MEDIA_TYPE)));
    if (!mt)
        return nullptr;
    if (FAILED(CopyMediaType(mt, src))) {
        CoTaskMemFree(mt);
        return nullptr;
    }
    return mt;
}

bool MediaTypesEqual(const AM_MEDIA_TYPE& a, const AM_MEDIA_TYPE& b) {
    if (a.majortype != b.majortype || a.subtype != b.subtype || a.formattype != b.formattype)
        return false;
    if (a.cbFormat != b.cbFormat)
        return false;
    return a.cbFormat == 0 || std::memcmp(a.pbFormat, b.pbFormat, a.cbFormat) == 0;
}

std::string MediaTypeName(const GUID& g) {
    struct Named {
        const GUID* id;
        const char* name;
    };
    static const Named names[] = {
        {&MEDIATYPE_Video, "Video"},      {&MEDIATYPE_Audio, "Audio"},
        {&MEDIATYPE_Stream, "Stream"},    {&MEDIASUBTYPE_RGB24, "RGB24"},
        {&MEDIASUBTYPE_RGB32, "RGB32"},   {&MEDIASUBTYPE_RGB565, "RGB565"},
        {&MEDIASUBTYPE_RGB555, "RGB555"}, {&MEDIASUBTYPE_RGB8, "RGB8"},
        {&MEDIASUBTYPE_PCM, "PCM"},       {&MEDIASUBTYPE_WMAudioV2, "WMAudioV2"},
    };
    for (const auto& n : names)
        if (*n.id == g)
            return n.name;
    // FOURCC subtypes read better as their four characters.
    GUID base = FourccSubtype(0);
    GUID probe = g;
    probe.Data1 = 0;
    if (probe == base) {
        char cc[5] = {char(g.Data1 & 0xFF), char((g.Data1 >> 8) & 0xFF), char((g.Data1 >> 16) & 0xFF),
                      char((g.Data1 >> 24) & 0xFF), 0};
        bool printable = true;
        for (int i = 0; i < 4; ++i)
            if (cc[i] < 0x20 || cc[i] > 0x7E)
                printable = false;
        if (printable)
            return cc;
        char tag[16];
        std::snprintf(tag, sizeof tag, "0x%04X", g.Data1);
        return tag;
    }
    return GuidText(g);
}

std::string ToUtf8(const char16_t* s) {
    return s ? ToUtf8(std::u16string(s)) : std::string();
}

std::string ToUtf8(const std::u16string& s) {
    return media::Utf16ToUtf8(s);
}

std::u16string FromUtf8(const std::string& s) {
    return media::Utf8ToUtf16(s);
}

void CopyName(WCHAR* dst, size_t capacity, const std::u16string& src) {
    if (!dst || capacity == 0)
        return;
    size_t n = std::min(src.size(), capacity - 1);
    std::memcpy(dst, src.data(), n * sizeof(WCHAR));
    dst[n] = 0;
}

}  // namespace kovel::graph
