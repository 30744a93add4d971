#include "chapter_extract.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <utility>

#include "chapter_document.h"
#include "courseware_format.h"
#include "user_folders.h"

namespace kovel::player {

std::string TempDocumentPath() {
    static std::once_flag once;
    static std::string path;
    std::call_once(once, [] {
        const std::string base = XdgBaseFolder("XDG_DATA_HOME", ".local/share");
        if (base.empty() || !MakeDirectories(base + "/kovelplayer"))
            return;
        std::string dir = base + "/kovelplayer/session-XXXXXX";
        if (!::mkdtemp(dir.data()))
            return;
        path = dir + "/temp.xml";
    });
    // Closing a window removes the folder with the document; a later open
    // in the same process makes it again under the same name.
    if (!path.empty())
        ::mkdir(path.substr(0, path.size() - 9).c_str(), 0700);
    return path;
}

ExtractResult ExtractChapterDocument(const std::string& file, const std::string& tempDoc) {
    ExtractResult result;
    // Reading is enough: only the write-back needs write access.
    std::FILE* in = std::fopen(file.c_str(), "rb");
    if (!in)
        return result;
    uint8_t head[zmr::kObjectHeadSize] = {};
    const bool headRead = std::fread(head, 1, sizeof head, in) == sizeof head;
    std::fclose(in);
    if (!headRead || !(zmr::ReadGuid(head) == zmr::kHeaderObject) ||
        static_cast<int64_t>(zmr::ReadU64(head + 16)) < static_cast<int64_t>(zmr::kObjectHeadSize))
        return result;

    zmr::ChapterDocument doc = zmr::ReadChapterDocument(file);
    std::FILE* out = std::fopen(tempDoc.c_str(), "wb");
    if (!out) {
        std::printf("cannot create %s\n", tempDoc.c_str());
        return result;
    }
    bool written = true;
    if (doc.ok && !doc.bytes.empty())
        written = std::fwrite(doc.bytes.data(), 1, doc.bytes.size(), out) == doc.bytes.size();
    written = std::fclose(out) == 0 && written;
    if (!written) {
        std::printf("cannot create %s\n", tempDoc.c_str());
        return result;
    }
    result.ok = true;
    result.offsetKnown = doc.ok;
    result.chapterIndexOffset = doc.ok ? doc.offset : 0;
    result.document = std::move(doc.bytes);
    return result;
}

}  // namespace kovel::player
