#include "sample_pool.h"

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

#include "kovel/guids.h"
#include "media_type.h"

namespace kovel::graph {
namespace {

class Pool;

class Sample final : public IMediaSample {
  public:
    Sample(Pool* pool, LONG size) : pool_(pool), data_(size > 0 ? size_t(size) : 0), size_(size) {}
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
    HRESULT GetPointer(BYTE** p) override {
        if (!p)
            return E_POINTER;
        *p = data_.data();
        return S_OK;
    }
    LONG GetSize() override { return size_; }
    HRESULT GetTime(REFERENCE_TIME* s, REFERENCE_TIME* e) override {
        if (!s || !e)
            return E_POINTER;
        if (!hasTime_)
            return VFW_E_SAMPLE_TIME_NOT_SET_OR_FAIL();
        *s = start_;
        *e = hasEnd_ ? end_ : start_ + 1;
        return hasEnd_ ? S_OK : VFW_S_NO_STOP_TIME;
    }
    HRESULT SetTime(REFERENCE_TIME* s, REFERENCE_TIME* e) override {
        hasTime_ = s != nullptr;
        hasEnd_ = s && e;
        if (s)
            start_ = *s;
        if (e)
            end_ = *e;
        return S_OK;
    }
    HRESULT IsSyncPoint() override { return sync_ ? S_OK : S_FALSE; }
    HRESULT SetSyncPoint(BOOL b) override {
        sync_ = b;
        return S_OK;
    }
    HRESULT IsPreroll() override { return preroll_ ? S_OK : S_FALSE; }
    HRESULT SetPreroll(BOOL b) override {
        preroll_ = b;
        return S_OK;
    }
    LONG GetActualDataLength() override { return length_; }
    HRESULT SetActualDataLength(LONG len) override {
        if (len < 0 || len > size_)
            return VFW_E_BUFFER_OVERFLOW;
        length_ = len;
        return S_OK;
    }
    HRESULT GetMediaType(AM_MEDIA_TYPE** mt) override {
        if (!mt)
            return E_POINTER;
        *mt = nullptr;
        return S_FALSE;
    }
    HRESULT SetMediaType(AM_MEDIA_TYPE*) override { return E_NOTIMPL; }
    HRESULT IsDiscontinuity() override { return discontinuity_ ? S_OK : S_FALSE; }
    HRESULT SetDiscontinuity(BOOL b) override {
        discontinuity_ = b;
        return S_OK;
    }
    HRESULT GetMediaTime(LONGLONG*, LONGLONG*) override { return VFW_E_MEDIA_TIME_NOT_SET_VALUE(); }
    HRESULT SetMediaTime(LONGLONG*, LONGLONG*) override { return S_OK; }

    void ResetProperties() {
        hasTime_ = hasEnd_ = false;
        sync_ = preroll_ = discontinuity_ = FALSE;
        length_ = 0;
    }

  private:
    static constexpr HRESULT VFW_E_SAMPLE_TIME_NOT_SET_OR_FAIL() { return MAKE_HR(0x80040249); }
    static constexpr HRESULT VFW_E_MEDIA_TIME_NOT_SET_VALUE() { return MAKE_HR(0x80040251); }
    static constexpr HRESULT VFW_S_NO_STOP_TIME = MAKE_HR(0x00040270);
    Pool* pool_;
    std::vector<BYTE> data_;
    LONG size_;
    LONG length_ = 0;
    std::atomic<ULONG> refs_{0};
    bool hasTime_ = false, hasEnd_ = false;
    BOOL sync_ = FALSE, preroll_ = FALSE, discontinuity_ = FALSE;
    REFERENCE_TIME start_ = 0, end_ = 0;
};

class Pool final : public IMemAllocator {
  public:
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IMemAllocator) {
            *ppv = static_cast<IMemAllocator*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return ++refs_; }
    ULONG Release() override {
        ULONG r = --refs_;
        if (r == 0) {
            std::unique_lock<std::mutex> l(m_);
            // Samples still out keep the pool alive; the last one returning frees it.
            if (out_ == 0) {
                l.unlock();
                delete this;
            } else {
                orphaned_ = true;
            }
        }
        return r;
    }
    HRESULT SetProperties(ALLOCATOR_PROPERTIES* req, ALLOCATOR_PROPERTIES* actual) override {
        if (!req || !actual)
            return E_POINTER;
        std::lock_guard<std::mutex> l(m_);
        if (committed_)
            return VFW_E_ALREADY_COMMITTED;
        if (out_ > 0)
            return VFW_E_BUFFERS_OUTSTANDING;
        if (req->cBuffers <= 0 || req->cbBuffer <= 0 || req->cBuffers > 64 || req->cbBuffer > (256 << 20))
            return E_INVALIDARG;
        props_ = *req;
        props_.cbAlign = req->cbAlign > 0 ? req->cbAlign : 1;
        props_.cbPrefix = 0;
        *actual = props_;
        return S_OK;
    }
    HRESULT GetProperties(ALLOCATOR_PROPERTIES* p) override {
        if (!p)
            return E_POINTER;
        std::lock_guard<std::mutex> l(m_);
        *p = props_;
        return S_OK;
    }
    HRESULT Commit() override {
        std::lock_guard<std::mutex> l(m_);
        if (props_.cBuffers <= 0)
            return VFW_E_SIZENOTSET;
        if (committed_)
            return S_OK;
        if (free_.empty() && out_ == 0) {
            for (LONG i = 0; i < props_.cBuffers; ++i) free_.push_back(new Sample(this, props_.cbBuffer));
        }
        committed_ = true;
        return S_OK;
    }
    HRESULT Decommit() override {
        std::lock_guard<std::mutex> l(m_);
        committed_ = false;
        cv_.notify_all();
        return S_OK;
    }
    HRESULT GetBuffer(IMediaSample** out, REFERENCE_TIME*, REFERENCE_TIME*, DWORD flags) override {
        if (!out)
            return E_POINTER;
        *out = nullptr;
        std::unique_lock<std::mutex> l(m_);
        for (;;) {
            if (!committed_)
                return VFW_E_NOT_COMMITTED;
            if (!free_.empty())
                break;
            if (flags & AM_GBF_NOWAIT)
                return VFW_E_TIMEOUT;
            cv_.wait(l);
        }
        Sample* s = free_.back();
        free_.pop_back();
        ++out_;
        s->ResetProperties();
        s->AddRef();
        *out = s;
        return S_OK;
    }
    HRESULT ReleaseBuffer(IMediaSample*) override { return S_OK; }

    void Return(Sample* s) {
        std::unique_lock<std::mutex> l(m_);
        --out_;
        if (orphaned_ && out_ == 0) {
            l.unlock();
            delete s;
            delete this;
            return;
        }
        free_.push_back(s);
        cv_.notify_one();
    }

  private:
    ~Pool() {
        for (auto* s : free_) delete s;
    }
    std::mutex m_;
    std::condition_variable cv_;
    std::vector<Sample*> free_;
    int out_ = 0;
    bool committed_ = false;
    bool orphaned_ = false;
    ALLOCATOR_PROPERTIES props_{};
    std::atomic<ULONG> refs_{1};
};

ULONG Sample::Release() {
    ULONG r = --refs_;
    if (r == 0)
        pool_->Return(this);
    return r;
}

}  // namespace

IMemAllocator* CreateSamplePool() {
    return new Pool();
}

}  // namespace kovel::graph
