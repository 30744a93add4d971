#include "media_type.h"

#include <cstdio>

#include "kovel/com.h"
#include "kovel/guids.h"

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

void FreeMediaType(AM_MEDIA_TYPE* mt) {
    if (!mt)
        return;
    if (mt->pbFormat)
        CoTaskMemFree(mt->pbFormat);
    if (mt->pUnk)
        mt->pUnk->Release();
    *mt = AM_MEDIA_TYPE{};
}

void DeleteMediaType(AM_MEDIA_TYPE* mt) {
    if (!mt)
        return;
    FreeMediaType(mt);
    CoTaskMemFree(mt);
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

std::string GuidText(const GUID& g) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1, g.Data2,
                  g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6],
                  g.Data4[7]);
    return buf;
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
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        uint32_t c = s[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        if (c < 0x80) {
            out += char(c);
        } else if (c < 0x800) {
            out += char(0xC0 | (c >> 6));
            out += char(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += char(0xE0 | (c >> 12));
            out += char(0x80 | ((c >> 6) & 0x3F));
            out += char(0x80 | (c & 0x3F));
        } else {
            out += char(0xF0 | (c >> 18));
            out += char(0x80 | ((c >> 12) & 0x3F));
            out += char(0x80 | ((c >> 6) & 0x3F));
            out += char(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::u16string FromUtf8(const std::string& s) {
    std::u16string out;
    size_t i = 0;
    while (i < s.size()) {
        unsigned char b = s[i];
        uint32_t c = 0xFFFD;
        size_t len = 1;
        if (b < 0x80) {
            c = b;
        } else if ((b & 0xE0) == 0xC0) {
            len = 2;
        } else if ((b & 0xF0) == 0xE0) {
            len = 3;
        } else if ((b & 0xF8) == 0xF0) {
            len = 4;
        }
        if (len > 1) {
            if (i + len > s.size()) {
                len = 1;
            } else {
                c = b & (0x7F >> len);
                for (size_t k = 1; k < len; ++k) {
                    unsigned char n = s[i + k];
                    if ((n & 0xC0) != 0x80) {
                        c = 0xFFFD;
                        len = k;
                        break;
                    }
                    c = (c << 6) | (n & 0x3F);
                }
            }
        }
        i += len;
        if (c >= 0x10000) {
            c -= 0x10000;
            out += char16_t(0xD800 + (c >> 10));
            out += char16_t(0xDC00 + (c & 0x3FF));
        } else {
            out += char16_t(c);
        }
    }
    return out;
}

void CopyName(WCHAR* dst, size_t capacity, const std::u16string& src) {
    if (!dst || capacity == 0)
        return;
    size_t n = std::min(src.size(), capacity - 1);
    std::memcpy(dst, src.data(), n * sizeof(WCHAR));
    dst[n] = 0;
}

}  // namespace kovel::graph
