// Owned media types and small helpers shared by the graph manager and the
// file source: copying format blocks with the task allocator (freeing them is
// the runtime filter base's), names of media types, and UTF-16 <-> UTF-8 for
// names and paths.
#pragma once

#include <string>

#include "filter_base.h"
#include "kovel/streaming.h"

namespace kovel::graph {

using rt::DeleteMediaType;
using rt::FreeMediaType;

// Deep copy of src into dst (format block from the task allocator). dst must
// not hold a format block of its own. E_OUTOFMEMORY leaves dst empty.
HRESULT CopyMediaType(AM_MEDIA_TYPE* dst, const AM_MEDIA_TYPE* src);
// Task-allocated deep copy, or null.
AM_MEDIA_TYPE* CreateMediaTypeCopy(const AM_MEDIA_TYPE* src);
// Same major type, subtype, format type and format bytes.
bool MediaTypesEqual(const AM_MEDIA_TYPE& a, const AM_MEDIA_TYPE& b);

// Short readable name for the major types and subtypes the runtime knows.
std::string MediaTypeName(const GUID& g);

std::string ToUtf8(const std::u16string& s);
std::string ToUtf8(const char16_t* s);
std::u16string FromUtf8(const std::string& s);
// Bounded copy into a fixed WCHAR array, always terminated.
void CopyName(WCHAR* dst, size_t capacity, const std::u16string& src);

// Owner of one media type value; copyable.
class MediaTypeHolder {
  public:
    MediaTypeHolder() = default;
    explicit MediaTypeHolder(const AM_MEDIA_TYPE& mt) { CopyMediaType(&mt_, &mt); }
    MediaTypeHolder(const MediaTypeHolder& o) { CopyMediaType(&mt_, &o.mt_); }
    MediaTypeHolder& operator=(const MediaTypeHolder& o) {
        if (this != &o) {
            FreeMediaType(&mt_);
            CopyMediaType(&mt_, &o.mt_);
        }
        return *this;
    }
    ~MediaTypeHolder() { FreeMediaType(&mt_); }
    void Reset() { FreeMediaType(&mt_); }
    AM_MEDIA_TYPE& get() { return mt_; }
    const AM_MEDIA_TYPE& get() const { return mt_; }

  private:
    AM_MEDIA_TYPE mt_{};
};

}  // namespace kovel::graph
