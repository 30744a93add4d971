// Small helpers for the UTF-16 text at component interfaces.
#pragma once

#include <string>

#include "kovel/types.h"

namespace kovel::framework {

inline size_t WideLength(LPCWSTR s) {
    size_t n = 0;
    if (s)
        while (s[n]) ++n;
    return n;
}

// A new[] copy with terminator, or null (also for a null source).
WCHAR* WideDuplicate(LPCWSTR s);
// Copies at most cch-1 characters and always terminates (cch > 0).
void WideCopyTruncated(WCHAR* dst, size_t cch, LPCWSTR src);
bool WideEqual(LPCWSTR a, LPCWSTR b);
// UTF-16 to UTF-8; unpaired surrogates become U+FFFD.
std::string WideToUtf8(LPCWSTR s);

}  // namespace kovel::framework
