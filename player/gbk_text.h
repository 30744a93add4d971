// Descriptive texts in a lesson are GBK (code page 936) bytes; the window
// shows Unicode.
#pragma once

#include <QString>
#include <string_view>

namespace kovel::player {

// Decodes GBK bytes. An invalid or cut-off sequence becomes U+FFFD and
// decoding goes on with the next byte.
QString GbkToUnicode(std::string_view bytes);

}  // namespace kovel::player
