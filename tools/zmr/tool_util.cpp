#include "tool_util.h"

#include <iconv.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <pugixml.hpp>

#include "chapter_xml.h"

namespace zmrtool {

std::string JsonString(const std::string& s) {
    std::string out;
    out.reserve(s.size() + 2);
    out += '"';
    for (unsigned char c : s) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", c);
                    out += buf;
                } else {
                    out += char(c);
                }
        }
    }
    out += '"';
    return out;
}

std::string GbkToUtf8Lenient(const std::string& gbk) {
    iconv_t cd = iconv_open("UTF-8", "GBK");
    if (cd == iconv_t(-1))
        return gbk;
    std::string out;
    char* src = const_cast<char*>(gbk.data());
    size_t left = gbk.size();
    char buf[256];
    while (left > 0) {
        char* dst = buf;
        size_t room = sizeof buf;
        size_t rc = iconv(cd, &src, &left, &dst, &room);
        out.append(buf, size_t(dst - buf));
        if (rc == size_t(-1)) {
            if (errno == E2BIG)
                continue;
            // Invalid or cut-off sequence: mark it and step over one byte.
            out += "\xEF\xBF\xBD";
            ++src;
            --left;
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
        }
    }
    iconv_close(cd);
    return out;
}

bool ParseInt(const std::string& s, int64_t* out) {
    if (s.empty())
        return false;
    errno = 0;
    char* end = nullptr;
    long long v = std::strtoll(s.c_str(), &end, 10);
    if (errno != 0 || *end != '\0')
        return false;
    *out = v;
    return true;
}

bool ParseDouble(const std::string& s, double* out) {
    if (s.empty())
        return false;
    errno = 0;
    char* end = nullptr;
    double v = std::strtod(s.c_str(), &end);
    if (errno != 0 || *end != '\0' || !std::isfinite(v))
        return false;
    *out = v;
    return true;
}

bool ParseSize(const std::string& s, int limit, int* w, int* h) {
    size_t x = s.find('x');
    if (x == std::string::npos)
        return false;
    int64_t a = 0, b = 0;
    if (!ParseInt(s.substr(0, x), &a) || !ParseInt(s.substr(x + 1), &b))
        return false;
    if (a < 1 || b < 1 || a > limit || b > limit)
        return false;
    *w = int(a);
    *h = int(b);
    return true;
}

bool ParseChapterList(const std::string& document, std::vector<ChapterEntry>* out, std::string* error) {
    out->clear();
    pugi::xml_document doc;
    const zmr::ChapterXml r = zmr::ParseChapterXml(doc, document);
    if (!r) {
        if (error)
            *error = std::string("chapter document is not well formed: ") + r.result.description();
        return false;
    }
    pugi::xml_node index = doc.child("Index");
    for (pugi::xml_node ch = index.child("Chapter"); ch; ch = ch.next_sibling("Chapter")) {
        ChapterEntry e;
        e.id = std::atoi(ch.attribute("id").value());
        e.time = std::atoi(ch.attribute("time").value());
        e.title = ch.text().get();
        out->push_back(std::move(e));
    }
    return true;
}

}  // namespace zmrtool
