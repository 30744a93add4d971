// The platform's memory allocator (CLSID_MemoryAllocator) and its media
// samples. A sample goes back to its pool when its last reference is
// released; GetBuffer waits for a free sample and fails once decommitted.
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include "kovel/builtin.h"
#include "kovel/com.h"
#include "kovel/ref_counted.h"
#include "kovel/streaming.h"

namespace {

// Largest pool one allocator hands out; a bigger request is a broken peer.
constexpr uint64_t kMaxPoolBytes = uint64_t(1) << 31;

void FreeTypeContents(AM_MEDIA_TYPE* mt) {
    if (mt->pbFormat)
        CoTaskMemFree(mt->pbFormat);
    mt->pbFormat = nullptr;
    mt->cbFormat = 0;
    if (mt->pUnk)
        mt->pUnk->Release();
    mt->pUnk = nullptr;
}

// A copy of `src` in task memory (format block included), or null.
AM_MEDIA_TYPE* CopyType(const AM_MEDIA_TYPE& src) {
    auto* mt = static_cast<AM_MEDIA_TYPE*>(CoTaskMemAlloc(sizeof(AM_MEDIA_TYPE)));
    if (!mt)
        return nullptr;
    *mt = src;
    mt->pbFormat = nullptr;
    if (src.cbFormat) {
        mt->pbFormat = static_cast<BYTE*>(CoTaskMemAlloc(src.cbFormat));
        if (!mt->pbFormat) {
            CoTaskMemFree(mt);
            return nullptr;
        }
        std::memcpy(mt->pbFormat, src.pbFormat, src.cbFormat);
    }
    if (mt->pUnk)
        mt->pUnk->AddRef();
    return mt;
}

void DeleteType(AM_MEDIA_TYPE* mt) {
    if (!mt)
        return;
    FreeTypeContents(mt);
    CoTaskMemFree(mt);
}

class MemAllocator;

class MediaSample final : public IMediaSample {
  public:
    MediaSample(MemAllocator* owner, BYTE* data, LONG size) : owner_(owner), data_(data), size_(size) {}
    ~MediaSample() { DeleteType(type_); }

    // Called by the allocator as it hands the sample out.
    void Reset() {
        refs_.store(1);
        sync_ = preroll_ = discontinuity_ = false;
        timeValid_ = stopValid_ = mediaTimeValid_ = false;
        actual_ = size_;
        DeleteType(type_);
        type_ = nullptr;
    }

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IMediaSample) {
            *ppv = static_cast<IMediaSample*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return ++refs_; }
    ULONG Release() override;

    HRESULT GetPointer(BYTE** pp) override {
        if (!pp)
            return E_POINTER;
        *pp = data_;
        return S_OK;
    }
    LONG GetSize() override { return size_; }
    HRESULT GetTime(REFERENCE_TIME* start, REFERENCE_TIME* end) override {
        if (!start || !end)
            return E_POINTER;
        if (!timeValid_)
            return VFW_E_SAMPLE_TIME_NOT_SET;
        *start = start_;
        if (stopValid_) {
            *end = end_;
            return S_OK;
        }
        *end = start_ + 1;
        return VFW_S_NO_STOP_TIME;
    }
    HRESULT SetTime(REFERENCE_TIME* start, REFERENCE_TIME* end) override {
        timeValid_ = start != nullptr;
        stopValid_ = start != nullptr && end != nullptr;
        if (start)
            start_ = *start;
        if (stopValid_)
            end_ = *end;
        return S_OK;
    }
    HRESULT IsSyncPoint() override { return sync_ ? S_OK : S_FALSE; }
    HRESULT SetSyncPoint(BOOL v) override {
        sync_ = v != FALSE;
        return S_OK;
    }
    HRESULT IsPreroll() override { return preroll_ ? S_OK : S_FALSE; }
    HRESULT SetPreroll(BOOL v) override {
        preroll_ = v != FALSE;
        return S_OK;
    }
    LONG GetActualDataLength() override { return actual_; }
    HRESULT SetActualDataLength(LONG length) override {
        if (length < 0 || length > size_)
            return VFW_E_BUFFER_OVERFLOW;
        actual_ = length;
        return S_OK;
    }
    HRESULT GetMediaType(AM_MEDIA_TYPE** pp) override {
        if (!pp)
            return E_POINTER;
        *pp = nullptr;
        if (!type_)
            return S_FALSE;
        *pp = CopyType(*type_);
        return *pp ? S_OK : E_OUTOFMEMORY;
    }
    HRESULT SetMediaType(AM_MEDIA_TYPE* mt) override {
        if (mt && mt->cbFormat && !mt->pbFormat)
            return E_POINTER;
        AM_MEDIA_TYPE* copy = nullptr;
        if (mt) {
            copy = CopyType(*mt);
            if (!copy)
                return E_OUTOFMEMORY;
        }
        DeleteType(type_);
        type_ = copy;
        return S_OK;
    }
    HRESULT IsDiscontinuity() override { return discontinuity_ ? S_OK : S_FALSE; }
    HRESULT SetDiscontinuity(BOOL v) override {
        discontinuity_ = v != FALSE;
        return S_OK;
    }
    HRESULT GetMediaTime(LONGLONG* start, LONGLONG* end) override {
        if (!start || !end)
            return E_POINTER;
        if (!mediaTimeValid_)
            return VFW_E_MEDIA_TIME_NOT_SET;
        *start = mediaStart_;
        *end = mediaEnd_;
        return S_OK;
    }
    HRESULT SetMediaTime(LONGLONG* start, LONGLONG* end) override {
        if (!start) {
            mediaTimeValid_ = false;
            return S_OK;
        }
        if (!end)
            return E_POINTER;
        mediaStart_ = *start;
        mediaEnd_ = *end;
        mediaTimeValid_ = true;
        return S_OK;
    }

  private:
    MemAllocator* owner_;
    BYTE* data_;
    LONG size_;
    std::atomic<ULONG> refs_{0};
    LONG actual_ = 0;
    bool sync_ = false, preroll_ = false, discontinuity_ = false;
    bool timeValid_ = false, stopValid_ = false, mediaTimeValid_ = false;
    REFERENCE_TIME start_ = 0, end_ = 0;
    LONGLONG mediaStart_ = 0, mediaEnd_ = 0;
    AM_MEDIA_TYPE* type_ = nullptr;
};

class MemAllocator final : public kovel::SingleInterface<IMemAllocator, IID_IMemAllocator> {
  public:
    ~MemAllocator() { FreeBuffersLocked(); }

    HRESULT SetProperties(ALLOCATOR_PROPERTIES* req, ALLOCATOR_PROPERTIES* actual) override {
        if (!req || !actual)
            return E_POINTER;
        std::lock_guard<std::mutex> g(lock_);
        if (committed_)
            return VFW_E_ALREADY_COMMITTED;
        if (outstanding_ > 0)
            return VFW_E_BUFFERS_OUTSTANDING;
        LONG align = req->cbAlign;
        if (align <= 0 || (align & (align - 1)) != 0)
            return VFW_E_BADALIGN;
        if (req->cBuffers < 0 || req->cbBuffer < 0 || req->cbPrefix < 0)
            return E_INVALIDARG;
        // The buffer grows so that prefix plus buffer is a whole number of alignment units.
        uint64_t span = (uint64_t(req->cbBuffer) + uint64_t(req->cbPrefix) + uint64_t(align) - 1) /
                        uint64_t(align) * uint64_t(align);
        uint64_t buffer = span - uint64_t(req->cbPrefix);
        if (buffer > 0x7FFFFFFF || uint64_t(req->cBuffers) * span > kMaxPoolBytes)
            return E_OUTOFMEMORY;
        props_ = *req;
        props_.cbBuffer = LONG(buffer);
        propsSet_ = true;
        *actual = props_;
        return S_OK;
    }

    HRESULT GetProperties(ALLOCATOR_PROPERTIES* props) override {
        if (!props)
            return E_POINTER;
        std::lock_guard<std::mutex> g(lock_);
        *props = props_;
        return S_OK;
    }

    HRESULT Commit() override {
        std::lock_guard<std::mutex> g(lock_);
        if (committed_)
            return S_OK;
        if (!propsSet_ || props_.cBuffers <= 0 || props_.cbBuffer <= 0)
            return VFW_E_SIZENOTSET;
        // Samples of an earlier commit still out: the pool was never freed, use it again.
        if (samples_.empty()) {
            size_t align = size_t(props_.cbAlign) < alignof(std::max_align_t) ? alignof(std::max_align_t)
                                                                              : size_t(props_.cbAlign);
            size_t prefix = (size_t(props_.cbPrefix) + align - 1) / align * align;
            size_t bytes = (prefix + size_t(props_.cbBuffer) + align - 1) / align * align;
            for (LONG i = 0; i < props_.cBuffers; ++i) {
                void* block = std::aligned_alloc(align, bytes);
                if (!block) {
                    FreeBuffersLocked();
                    return E_OUTOFMEMORY;
                }
                blocks_.push_back(block);
                auto* s = new MediaSample(this, static_cast<BYTE*>(block) + prefix, props_.cbBuffer);
                samples_.push_back(s);
                free_.push_back(s);
            }
        }
        committed_ = true;
        return S_OK;
    }

    HRESULT Decommit() override {
        std::lock_guard<std::mutex> g(lock_);
        if (!committed_)
            return S_OK;
        committed_ = false;
        if (outstanding_ == 0)
            FreeBuffersLocked();
        wake_.notify_all();
        return S_OK;
    }

    HRESULT GetBuffer(IMediaSample** pp, REFERENCE_TIME*, REFERENCE_TIME*, DWORD flags) override {
        if (!pp)
            return E_POINTER;
        *pp = nullptr;
        MediaSample* s = nullptr;
        {
            std::unique_lock<std::mutex> g(lock_);
            while (true) {
                if (!committed_)
                    return VFW_E_NOT_COMMITTED;
                if (!free_.empty())
                    break;
                if (flags & AM_GBF_NOWAIT)
                    return VFW_E_TIMEOUT;
                wake_.wait(g);
            }
            s = free_.back();
            free_.pop_back();
            ++outstanding_;
            s->Reset();
        }
        // Every sample out keeps its allocator alive.
        AddRef();
        *pp = s;
        return S_OK;
    }

    HRESULT ReleaseBuffer(IMediaSample* sample) override {
        if (!sample)
            return E_POINTER;
        {
            std::lock_guard<std::mutex> g(lock_);
            auto* s = static_cast<MediaSample*>(sample);
            free_.push_back(s);
            --outstanding_;
            if (!committed_ && outstanding_ == 0)
                FreeBuffersLocked();
            wake_.notify_one();
        }
        Release();
        return S_OK;
    }

  private:
    void FreeBuffersLocked() {
        for (MediaSample* s : samples_) delete s;
        for (void* b : blocks_) std::free(b);
        samples_.clear();
        blocks_.clear();
        free_.clear();
    }

    std::mutex lock_;
    std::condition_variable wake_;
    ALLOCATOR_PROPERTIES props_{};
    bool propsSet_ = false;
    bool committed_ = false;
    LONG outstanding_ = 0;
    std::vector<MediaSample*> samples_, free_;
    std::vector<void*> blocks_;
};

ULONG MediaSample::Release() {
    ULONG r = --refs_;
    if (r == 0)
        owner_->ReleaseBuffer(this);
    return r;
}

HRESULT CreateMemAllocator(IUnknown* outer, REFIID riid, void** ppv) {
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (outer)
        return CLASS_E_NOAGGREGATION;
    auto* a = new (std::nothrow) MemAllocator;
    if (!a)
        return E_OUTOFMEMORY;
    HRESULT hr = a->QueryInterface(riid, ppv);
    a->Release();
    return hr;
}

struct Registrar {
    Registrar() { KovelRegisterBuiltinClass(&CLSID_MemoryAllocator, &CreateMemAllocator); }
} g_registrar;

}  // namespace
