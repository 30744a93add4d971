#include "wide_text.h"

#include <cstdio>
#include <new>

namespace kovel::framework {

WCHAR* WideDuplicate(LPCWSTR s) {
    if (!s)
        return nullptr;
    const size_t n = WideLength(s);
    auto* p = new (std::nothrow) WCHAR[n + 1];
    if (!p)
        return nullptr;
    for (size_t i = 0; i < n; ++i) p[i] = s[i];
    p[n] = 0;
    return p;
}

void WideCopyTruncated(WCHAR* dst, size_t cch, LPCWSTR src) {
    if (!dst || cch == 0)
        return;
    size_t i = 0;
    if (src)
        for (; i + 1 < cch && src[i]; ++i) dst[i] = src[i];
    dst[i] = 0;
}

bool WideEqual(LPCWSTR a, LPCWSTR b) {
    if (!a || !b)
        return a == b;
    while (*a && *a == *b) ++a, ++b;
    return *a == *b;
}

std::string WideToUtf8(LPCWSTR s) {
    std::string out;
    if (!s)
        return out;
    for (size_t i = 0; s[i]; ++i) {
        uint32_t c = s[i];
        if (c >= 0xD800 && c <= 0xDBFF && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (uint32_t(s[i + 1]) - 0xDC00);
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

std::string GuidToText(const GUID& g) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", unsigned(g.Data1),
                  unsigned(g.Data2), unsigned(g.Data3), g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3],
                  g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return buf;
}

}  // namespace kovel::framework
