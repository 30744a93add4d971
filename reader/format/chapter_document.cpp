#include "chapter_document.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <pugixml.hpp>

#include "courseware_parse.h"

namespace zmr {

namespace {

struct Located {
    std::string error;
    uint64_t offset = 0;
    uint64_t file_size = 0;
};

// The offset is trusted only where it cannot reach into the media.
bool Locate(const FileReader& file, Located* out) {
    auto layout = ReadFileLayout(file);
    if (!layout) {
        out->error = "not a courseware file";
        return false;
    }
    if (!layout->file_properties_first) {
        out->error =
            "the chapter index offset is unknown (the header does not begin with the file properties)";
        return false;
    }
    if (!layout->data) {
        out->error = "the file has no data object";
        return false;
    }
    if (layout->chapter_index_offset < layout->media_end) {
        out->error = "the chapter index offset lies inside the media data";
        return false;
    }
    if (layout->chapter_index_offset > layout->file_size) {
        out->error = "the chapter index offset lies beyond the end of the file";
        return false;
    }
    out->offset = layout->chapter_index_offset;
    out->file_size = layout->file_size;
    return true;
}

std::string Errno(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

}  // namespace

ChapterDocument ReadChapterDocument(const std::string& path) {
    ChapterDocument doc;
    if (path.size() >= PATH_MAX) {
        doc.error = "path too long";
        return doc;
    }
    FileReader file;
    if (int err = file.Open(path)) {
        doc.error = std::string("cannot open: ") + std::strerror(err);
        return doc;
    }
    Located at;
    if (!Locate(file, &at)) {
        doc.error = at.error;
        return doc;
    }
    doc.offset = at.offset;
    doc.bytes.resize(at.file_size - at.offset);
    if (!file.ReadExact(at.offset, doc.bytes.data(), doc.bytes.size())) {
        doc.error = "short read";
        doc.bytes.clear();
        return doc;
    }
    doc.ok = true;
    return doc;
}

WriteBackResult WriteChapterDocument(const std::string& path, const std::string& document) {
    WriteBackResult r;
    if (path.size() >= PATH_MAX) {
        r.error = "path too long";
        return r;
    }
    pugi::xml_document xml;
    if (!xml.load_buffer(document.data(), document.size()) || !xml.document_element()) {
        r.error = "the new chapter document is not well-formed XML";
        return r;
    }
    // Never created: a missing lesson is an error, not an empty file to fill.
    int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        r.error = Errno("cannot open the courseware file");
        return r;
    }
    // One writer at a time.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        r.error = Errno("the courseware file is in use");
        ::close(fd);
        return r;
    }
    FileReader reader;
    if (int err = reader.Open("/proc/self/fd/" + std::to_string(fd))) {
        r.error = std::string("cannot read the courseware file: ") + std::strerror(err);
        ::close(fd);
        return r;
    }
    Located at;
    if (!Locate(reader, &at)) {
        r.error = at.error;
        ::close(fd);
        return r;
    }
    reader.Close();
    size_t done = 0;
    while (done < document.size()) {
        ssize_t n = ::pwrite(fd, document.data() + done, document.size() - done, off_t(at.offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            r.error = Errno("cannot write the chapter document");
            ::close(fd);
            return r;
        }
        done += size_t(n);
    }
    if (::fsync(fd) != 0) {
        r.error = Errno("cannot flush the chapter document");
        ::close(fd);
        return r;
    }
    if (::ftruncate(fd, off_t(at.offset + document.size())) != 0 || ::fsync(fd) != 0) {
        r.error = Errno("cannot set the end of the courseware file");
        ::close(fd);
        return r;
    }
    if (::close(fd) != 0) {
        r.error = Errno("cannot close the courseware file");
        return r;
    }
    r.ok = true;
    return r;
}

}  // namespace zmr
