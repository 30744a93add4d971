#include "gbk_text.h"

#include <iconv.h>

#include <cerrno>
#include <string>

namespace kovel::player {

QString GbkToUnicode(std::string_view bytes) {
    if (bytes.empty())
        return QString();
    iconv_t cd = iconv_open("UTF-8", "GBK");
    if (cd == iconv_t(-1))
        return QString::fromLatin1(bytes.data(), qsizetype(bytes.size()));

    std::string out;
    // Each GBK byte becomes at most 3 UTF-8 bytes (U+FFFD included).
    std::string chunk(bytes.size() * 3 + 16, '\0');
    char* in = const_cast<char*>(bytes.data());
    size_t inLeft = bytes.size();
    while (inLeft > 0) {
        char* outPtr = chunk.data();
        size_t outLeft = chunk.size();
        size_t rc = iconv(cd, &in, &inLeft, &outPtr, &outLeft);
        out.append(chunk.data(), size_t(outPtr - chunk.data()));
        if (rc != size_t(-1))
            break;
        if (errno == EILSEQ || errno == EINVAL) {
            out.append("\xEF\xBF\xBD");
            ++in;
            --inLeft;
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
        } else if (errno != E2BIG) {
            break;
        }
    }
    iconv_close(cd);
    return QString::fromUtf8(out.data(), qsizetype(out.size()));
}

}  // namespace kovel::player
