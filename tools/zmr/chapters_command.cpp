// zmr chapters FILE [--export OUT.xml | --import IN.xml]
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "chapter_document.h"
#include "commands.h"
#include "tool_util.h"

namespace zmrtool {

namespace {

constexpr const char* kUsage = "usage: zmr chapters FILE [--export OUT.xml | --import IN.xml]\n";

bool WriteWhole(const std::string& path, const std::string& bytes, std::string* error) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) {
        *error = std::strerror(errno);
        return false;
    }
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    ok = (std::fflush(f) == 0) && ok;
    if (std::fclose(f) != 0)
        ok = false;
    if (!ok)
        *error = "write failed";
    return ok;
}

bool ReadWhole(const std::string& path, std::string* out, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = std::strerror(errno);
        return false;
    }
    out->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad()) {
        *error = "read failed";
        return false;
    }
    return true;
}

}  // namespace

int RunChapters(const std::vector<std::string>& args) {
    std::string path, export_to, import_from;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--export" || a == "--import") {
            if (i + 1 >= args.size() || !export_to.empty() || !import_from.empty()) {
                std::fputs(kUsage, stderr);
                return 2;
            }
            (a == "--export" ? export_to : import_from) = args[++i];
        } else if (!a.empty() && a[0] == '-') {
            std::fprintf(stderr, "zmr chapters: unknown option '%s'\n%s", a.c_str(), kUsage);
            return 2;
        } else if (path.empty()) {
            path = a;
        } else {
            std::fputs(kUsage, stderr);
            return 2;
        }
    }
    if (path.empty()) {
        std::fputs(kUsage, stderr);
        return 2;
    }

    if (!import_from.empty()) {
        std::string doc, why;
        if (!ReadWhole(import_from, &doc, &why)) {
            std::fprintf(stderr, "zmr chapters: %s: %s\n", import_from.c_str(), why.c_str());
            return 1;
        }
        zmr::WriteBackResult r = zmr::WriteChapterDocument(path, doc);
        if (!r.ok) {
            std::fprintf(stderr, "zmr chapters: %s: chapter document not replaced: %s\n", path.c_str(),
                         r.error.c_str());
            return 1;
        }
        std::printf("%s: chapter document replaced (%zu bytes)\n", path.c_str(), doc.size());
        return 0;
    }

    zmr::ChapterDocument doc = zmr::ReadChapterDocument(path);
    if (!doc.ok) {
        std::fprintf(stderr, "zmr chapters: %s: %s\n", path.c_str(), doc.error.c_str());
        return 1;
    }
    if (!export_to.empty()) {
        std::string why;
        if (!WriteWhole(export_to, doc.bytes, &why)) {
            std::fprintf(stderr, "zmr chapters: %s: %s\n", export_to.c_str(), why.c_str());
            return 1;
        }
        return 0;
    }
    std::vector<ChapterEntry> list;
    std::string why;
    if (!doc.bytes.empty() && !ParseChapterList(doc.bytes, &list, &why)) {
        std::fprintf(stderr, "zmr chapters: %s: %s\n", path.c_str(), why.c_str());
        return 1;
    }
    // One chapter a line: id, time in slider units, title.
    for (const auto& c : list) std::printf("%d\t%d\t%s\n", c.id, c.time, c.title.c_str());
    return 0;
}

}  // namespace zmrtool
