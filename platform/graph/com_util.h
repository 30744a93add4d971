// Small building blocks for the runtime's component objects: an interface
// pointer holder, the pin / media type / filter enumerators and questions
// asked of pins and filters.
#pragma once

#include <atomic>
#include <vector>

#include "kovel/ref_counted.h"
#include "kovel/streaming.h"
#include "media_type.h"

namespace kovel::graph {

template <class T>
class ComPtr {
  public:
    ComPtr() = default;
    ComPtr(T* p) : p_(p) {  // NOLINT: adopts an added reference holder semantics below
        if (p_)
            p_->AddRef();
    }
    ComPtr(const ComPtr& o) : ComPtr(o.p_) {}
    ComPtr(ComPtr&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    ComPtr& operator=(const ComPtr& o) {
        ComPtr tmp(o);
        std::swap(p_, tmp.p_);
        return *this;
    }
    ComPtr& operator=(ComPtr&& o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }
    ~ComPtr() { Reset(); }
    void Reset() {
        if (p_)
            p_->Release();
        p_ = nullptr;
    }
    // For out-parameters that hand over a reference.
    T** Out() {
        Reset();
        return &p_;
    }
    void** OutVoid() { return reinterpret_cast<void**>(Out()); }
    T* get() const { return p_; }
    T* operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    T* Detach() {
        T* p = p_;
        p_ = nullptr;
        return p;
    }
    static ComPtr Adopt(T* p) {
        ComPtr c;
        c.p_ = p;
        return c;
    }

  private:
    T* p_ = nullptr;
};

template <class Q, class T>
ComPtr<Q> QueryAs(T* obj, const IID& iid) {
    ComPtr<Q> q;
    if (obj)
        obj->QueryInterface(iid, q.OutVoid());
    return q;
}

// Enumerator over a snapshot. `Give` hands out one entry (a new reference or
// a copy the caller frees); null when it cannot, which ends Next there.
template <class Enum, class Out, const IID& EnumIid, class Entry, Out* (*Give)(const Entry&)>
class SnapshotEnumerator final : public kovel::SingleInterface<Enum, EnumIid> {
  public:
    explicit SnapshotEnumerator(std::vector<Entry> entries, size_t pos = 0)
        : entries_(std::move(entries)), pos_(pos) {}
    HRESULT Next(ULONG count, Out** out, ULONG* fetched) override {
        if (!out)
            return E_POINTER;
        if (count != 1 && !fetched)
            return E_POINTER;
        ULONG n = 0;
        while (n < count && pos_ < entries_.size()) {
            Out* item = Give(entries_[pos_]);
            if (!item)
                break;
            out[n++] = item;
            ++pos_;
        }
        if (fetched)
            *fetched = n;
        return n == count ? S_OK : S_FALSE;
    }
    HRESULT Skip(ULONG count) override {
        pos_ = std::min(entries_.size(), pos_ + count);
        return pos_ < entries_.size() ? S_OK : S_FALSE;
    }
    HRESULT Reset() override {
        pos_ = 0;
        return S_OK;
    }
    HRESULT Clone(Enum** out) override {
        if (!out)
            return E_POINTER;
        *out = new SnapshotEnumerator(entries_, pos_);
        return S_OK;
    }

  private:
    ~SnapshotEnumerator() = default;
    std::vector<Entry> entries_;
    size_t pos_;
};

template <class T>
T* GiveReference(const ComPtr<T>& p) {
    p->AddRef();
    return p.get();
}
inline AM_MEDIA_TYPE* GiveCopy(const MediaTypeHolder& mt) {
    return CreateMediaTypeCopy(&mt.get());
}

using PinEnumerator = SnapshotEnumerator<IEnumPins, IPin, IID_IEnumPins, ComPtr<IPin>, &GiveReference<IPin>>;
using FilterEnumerator = SnapshotEnumerator<IEnumFilters, IBaseFilter, IID_IEnumFilters, ComPtr<IBaseFilter>,
                                            &GiveReference<IBaseFilter>>;
using MediaTypeEnumerator =
    SnapshotEnumerator<IEnumMediaTypes, AM_MEDIA_TYPE, IID_IEnumMediaTypes, MediaTypeHolder, &GiveCopy>;

// Pins of a filter, collected through EnumPins.
std::vector<ComPtr<IPin>> ListPins(IBaseFilter* filter);
PIN_DIRECTION PinDirection(IPin* pin);
std::u16string PinName(IPin* pin);
std::u16string FilterName(IBaseFilter* filter);
// The filter that owns a pin (referenced).
ComPtr<IBaseFilter> PinOwner(IPin* pin);
// The pin connected to `pin`, or null.
ComPtr<IPin> ConnectedPeer(IPin* pin);

}  // namespace kovel::graph
