#include "wide_text.h"

#include <cstdio>
#include <new>

#include "utf8_text.h"

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
    return s ? media::Utf16ToUtf8(s) : std::string();
}

std::string GuidToText(const GUID& g) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", unsigned(g.Data1),
                  unsigned(g.Data2), unsigned(g.Data3), g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3],
                  g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return buf;
}

}  // namespace kovel::framework
