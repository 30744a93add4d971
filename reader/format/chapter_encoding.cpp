#include "chapter_encoding.h"

#include <iconv.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>

namespace zmr {

namespace {

class Converter {
  public:
    Converter(const std::string& to, const std::string& from) : cd_(iconv_open(to.c_str(), from.c_str())) {}
    ~Converter() {
        if (ok())
            iconv_close(cd_);
    }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;
    bool ok() const { return cd_ != iconv_t(-1); }

    // Converts as much as it can; returns 0 at the end of the input, else
    // the errno that stopped it (EILSEQ, EINVAL) with `in` at the offending
    // bytes.
    int Run(std::string_view* in, std::string* out) {
        char* src = const_cast<char*>(in->data());
        size_t left = in->size();
        char buf[1024];
        int stopped = 0;
        while (left > 0) {
            char* dst = buf;
            size_t room = sizeof buf;
            const size_t rc = iconv(cd_, &src, &left, &dst, &room);
            out->append(buf, size_t(dst - buf));
            if (rc != size_t(-1))
                continue;
            if (errno == E2BIG)
                continue;
            stopped = errno;
            break;
        }
        // Flush any shift state.
        char* dst = buf;
        size_t room = sizeof buf;
        iconv(cd_, nullptr, nullptr, &dst, &room);
        out->append(buf, size_t(dst - buf));
        *in = std::string_view(src, left);
        return stopped;
    }

  private:
    iconv_t cd_;
};

std::string Upper(std::string_view s) {
    std::string u(s);
    for (char& c : u) c = char(std::toupper(static_cast<unsigned char>(c)));
    return u;
}

bool StartsWith(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && s.substr(0, prefix.size()) == prefix;
}

// The value of the encoding pseudo-attribute of an ASCII-readable XML
// declaration; empty when there is none.
std::string DeclaredEncoding(std::string_view bytes) {
    if (!StartsWith(bytes, "<?xml") || bytes.size() < 6 ||
        !std::isspace(static_cast<unsigned char>(bytes[5])))
        return {};
    const size_t end = bytes.substr(0, 1024).find("?>");
    if (end == std::string_view::npos)
        return {};
    const std::string_view decl = bytes.substr(0, end);
    size_t at = decl.find("encoding");
    if (at == std::string_view::npos)
        return {};
    at += 8;
    auto skipBlanks = [&] {
        while (at < decl.size() && std::isspace(static_cast<unsigned char>(decl[at]))) ++at;
    };
    skipBlanks();
    if (at >= decl.size() || decl[at] != '=')
        return {};
    ++at;
    skipBlanks();
    if (at >= decl.size() || (decl[at] != '"' && decl[at] != '\''))
        return {};
    const char quote = decl[at++];
    const size_t close = decl.find(quote, at);
    if (close == std::string_view::npos)
        return {};
    return std::string(decl.substr(at, close - at));
}

// iconv knows the encoding both ways and writes the characters of markup
// as ASCII does, so the declaration can be read before decoding.
bool AsciiCompatible(const std::string& charset, const std::string& read_as) {
    Converter in("UTF-8", read_as), out(charset, "UTF-8");
    if (!in.ok() || !out.ok())
        return false;
    const std::string_view markup = "<?xml version=\"1.0\" encoding='x'?><Index id=\"-_.:;&#09;\"/>\n\t\r";
    std::string_view rest = markup;
    std::string converted;
    return out.Run(&rest, &converted) == 0 && converted == markup;
}

size_t UnitSize(const std::string& charset) {
    if (StartsWith(charset, "UTF-32"))
        return 4;
    return StartsWith(charset, "UTF-16") ? 2 : 1;
}

// Length of the UTF-8 sequence at the start of `s` and its code point;
// 0 when it is not a valid sequence.
size_t DecodeUtf8(std::string_view s, uint32_t* cp) {
    const auto b = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
    if (s.empty())
        return 0;
    size_t len = 0;
    if (b(0) < 0x80) {
        *cp = b(0);
        return 1;
    } else if ((b(0) & 0xE0) == 0xC0) {
        len = 2;
        *cp = b(0) & 0x1F;
    } else if ((b(0) & 0xF0) == 0xE0) {
        len = 3;
        *cp = b(0) & 0x0F;
    } else if ((b(0) & 0xF8) == 0xF0) {
        len = 4;
        *cp = b(0) & 0x07;
    } else {
        return 0;
    }
    if (s.size() < len)
        return 0;
    for (size_t i = 1; i < len; ++i) {
        if ((b(i) & 0xC0) != 0x80)
            return 0;
        *cp = (*cp << 6) | (b(i) & 0x3F);
    }
    return len;
}

}  // namespace

bool NamesUtf8(std::string_view name) {
    const std::string upper = Upper(name);
    return upper == "UTF-8" || upper == "UTF8";
}

DocumentEncoding DetectDocumentEncoding(std::string_view bytes) {
    DocumentEncoding e;
    struct Mark {
        std::string_view bytes;
        const char* charset;
        bool bom;
    };
    // Longest first: a UTF-32 little-endian mark begins like a UTF-16 one.
    static constexpr Mark kMarks[] = {
        {std::string_view("\xFF\xFE\0\0", 4), "UTF-32LE", true},
        {std::string_view("\0\0\xFE\xFF", 4), "UTF-32BE", true},
        {std::string_view("<\0\0\0", 4), "UTF-32LE", false},
        {std::string_view("\0\0\0<", 4), "UTF-32BE", false},
        {std::string_view("\xEF\xBB\xBF", 3), "", true},
        {std::string_view("\xFF\xFE", 2), "UTF-16LE", true},
        {std::string_view("\xFE\xFF", 2), "UTF-16BE", true},
        {std::string_view("<\0?\0", 4), "UTF-16LE", false},
        {std::string_view("\0<\0?", 4), "UTF-16BE", false},
    };
    for (const Mark& m : kMarks) {
        if (!StartsWith(bytes, m.bytes))
            continue;
        e.charset = e.read_as = m.charset;
        if (m.bom)
            e.bom = std::string(m.bytes);
        return e;
    }
    const std::string name = Upper(DeclaredEncoding(bytes));
    if (name.empty() || NamesUtf8(name) || StartsWith(name, "UTF-") || StartsWith(name, "UCS"))
        return e;
    // The lessons' authoring tools wrote code page 936 and called it GB2312.
    const std::string read_as = (name == "GB2312" || name == "EUC-CN" || name == "CSGB2312") ? "GBK" : name;
    if (!AsciiCompatible(name, read_as))
        return e;
    e.charset = name;
    e.read_as = read_as;
    return e;
}

std::string DocumentToUtf8(std::string_view bytes, const DocumentEncoding& encoding) {
    if (StartsWith(bytes, encoding.bom))
        bytes.remove_prefix(encoding.bom.size());
    if (encoding.charset.empty())
        return std::string(bytes);
    Converter conv("UTF-8", encoding.read_as);
    std::string out;
    if (!conv.ok())
        return std::string(bytes);
    const size_t unit = UnitSize(encoding.read_as);
    while (!bytes.empty()) {
        if (conv.Run(&bytes, &out) == 0)
            break;
        out += "\xEF\xBF\xBD";
        bytes.remove_prefix(std::min(unit, bytes.size()));
    }
    return out;
}

bool Utf8ToDocument(std::string_view utf8, const DocumentEncoding& encoding, std::string* out) {
    out->assign(encoding.bom);
    if (encoding.charset.empty()) {
        out->append(utf8);
        return true;
    }
    Converter conv(encoding.charset, "UTF-8");
    if (!conv.ok())
        return false;
    while (!utf8.empty()) {
        if (conv.Run(&utf8, out) == 0)
            break;
        uint32_t cp = 0;
        size_t len = DecodeUtf8(utf8, &cp);
        if (!len) {
            cp = 0xFFFD;
            len = 1;
        }
        utf8.remove_prefix(len);
        const std::string text = "&#" + std::to_string(cp) + ";";
        std::string_view ref = text;
        if (conv.Run(&ref, out) != 0)
            return false;
    }
    return true;
}

}  // namespace zmr
