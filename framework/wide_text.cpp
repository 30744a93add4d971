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

}  // namespace kovel::framework
