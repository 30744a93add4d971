// An owned media type with the platform's AM_MEDIA_TYPE layout. Format
// blocks come from the task allocator so that any receiver can free them.
#pragma once

#include "kovel/streaming.h"

class CMediaTypeRecord : public AM_MEDIA_TYPE {
  public:
    // All zeros except fixed-size samples true and sample size 1.
    CMediaTypeRecord();
    // Deep copy; on a failed format allocation the copy's format size is 0.
    CMediaTypeRecord(const CMediaTypeRecord& other);
    explicit CMediaTypeRecord(const AM_MEDIA_TYPE& other, HRESULT* phr = nullptr);
    ~CMediaTypeRecord();

    // Frees the target first; assigning a record to itself does nothing.
    CMediaTypeRecord& operator=(const CMediaTypeRecord& other);
    CMediaTypeRecord& operator=(const AM_MEDIA_TYPE& other);
    // Same as assignment, reporting E_OUTOFMEMORY when the format block could not be copied.
    HRESULT Set(const AM_MEDIA_TYPE& other);

    // Major, sub and format types, format size and format bytes.
    bool operator==(const CMediaTypeRecord& other) const { return Equals(other); }
    bool operator!=(const CMediaTypeRecord& other) const { return !Equals(other); }
    bool Equals(const AM_MEDIA_TYPE& other) const;

    // Major type or format type is the null GUID.
    bool IsPartiallySpecified() const;
    // Matches the partial type P (null GUIDs in P match anything).
    bool MatchesPartial(const AM_MEDIA_TYPE& partial) const;

    const GUID* Type() const { return &majortype; }
    void SetType(const GUID* p) { majortype = *p; }
    const GUID* Subtype() const { return &subtype; }
    void SetSubtype(const GUID* p) { subtype = *p; }
    const GUID* FormatType() const { return &formattype; }
    void SetFormatType(const GUID* p) { formattype = *p; }
    bool IsFixedSize() const { return bFixedSizeSamples != FALSE; }
    bool IsTemporalCompressed() const { return bTemporalCompression != FALSE; }
    ULONG SampleSize() const { return lSampleSize; }
    // Nonzero: stores it and sets fixed-size samples; 0: clears fixed-size and keeps the stored size.
    void SetSampleSize(ULONG size);
    void SetVariableSize() { bFixedSizeSamples = FALSE; }
    void SetTemporalCompression(bool b) { bTemporalCompression = b ? TRUE : FALSE; }

    ULONG FormatLength() const { return cbFormat; }
    BYTE* Format() const { return pbFormat; }
    // A block of exactly cb bytes (contents not preserved unless the size is
    // unchanged); null on failure unless the current block is already large enough.
    BYTE* AllocFormatBuffer(ULONG cb);
    // Replaces the format block by a copy of cb bytes; false on allocation failure.
    bool SetFormat(const BYTE* pFormat, ULONG cb);

    // Releases the format block and the extra interface.
    void Free() { FreeMediaTypeContents(*this); }

    // Frees the format block (size and pointer back to 0) and releases pUnk.
    static void FreeMediaTypeContents(AM_MEDIA_TYPE& mt);
    // Deep copy of src into dst (dst is overwritten, not freed); E_OUTOFMEMORY
    // when the format block cannot be allocated (dst's format size is then 0).
    static HRESULT CopyMediaTypeContents(AM_MEDIA_TYPE* dst, const AM_MEDIA_TYPE& src);
    // A task-memory AM_MEDIA_TYPE deep-copied from src, or null.
    static AM_MEDIA_TYPE* CreateTaskMemCopy(const AM_MEDIA_TYPE& src);
    // Frees a record handed out in task memory (contents, then the record).
    static void DeleteTaskMemRecord(AM_MEDIA_TYPE* pmt);
};
static_assert(sizeof(CMediaTypeRecord) == sizeof(AM_MEDIA_TYPE));
