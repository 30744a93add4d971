// UTF-16 (the text of component interfaces) to and from UTF-8 (paths and
// names on this system). Unpaired surrogates and malformed UTF-8 become
// U+FFFD rather than being dropped, so lengths stay bounded by the input.
#pragma once

#include <string>
#include <string_view>

namespace kovel::media {

std::string Utf16ToUtf8(std::u16string_view s);
std::u16string Utf8ToUtf16(std::string_view s);

}  // namespace kovel::media
