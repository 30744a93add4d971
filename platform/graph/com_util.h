// Small building blocks for the runtime's component objects: an interface
// pointer holder and the pin / media type / filter enumerators.
#pragma once

#include <atomic>
#include <vector>

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

// Enumerator over a snapshot of interface pointers (pins or filters).
template <class Enum, class Item, const IID& EnumIid>
class ItemEnumerator final : public Enum {
  public:
    explicit ItemEnumerator(std::vector<Item*> items, size_t pos = 0) : items_(std::move(items)), pos_(pos) {
        for (auto* i : items_) i->AddRef();
    }
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == EnumIid) {
            *ppv = static_cast<Enum*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return ++refs_; }
    ULONG Release() override {
        ULONG r = --refs_;
        if (r == 0)
            delete this;
        return r;
    }
    HRESULT Next(ULONG count, Item** out, ULONG* fetched) override {
        if (!out)
            return E_POINTER;
        if (count != 1 && !fetched)
            return E_POINTER;
        ULONG n = 0;
        while (n < count && pos_ < items_.size()) {
            out[n] = items_[pos_++];
            out[n]->AddRef();
            ++n;
        }
        if (fetched)
            *fetched = n;
        return n == count ? S_OK : S_FALSE;
    }
    HRESULT Skip(ULONG count) override {
        pos_ = std::min(items_.size(), pos_ + count);
        return pos_ < items_.size() ? S_OK : S_FALSE;
    }
    HRESULT Reset() override {
        pos_ = 0;
        return S_OK;
    }
    HRESULT Clone(Enum** out) override {
        if (!out)
            return E_POINTER;
        *out = new ItemEnumerator(items_, pos_);
        return S_OK;
    }

  private:
    ~ItemEnumerator() {
        for (auto* i : items_) i->Release();
    }
    std::vector<Item*> items_;
    size_t pos_;
    std::atomic<ULONG> refs_{1};
};

using PinEnumerator = ItemEnumerator<IEnumPins, IPin, IID_IEnumPins>;
using FilterEnumerator = ItemEnumerator<IEnumFilters, IBaseFilter, IID_IEnumFilters>;

class MediaTypeEnumerator final : public IEnumMediaTypes {
  public:
    explicit MediaTypeEnumerator(std::vector<MediaTypeHolder> types, size_t pos = 0)
        : types_(std::move(types)), pos_(pos) {}
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IEnumMediaTypes) {
            *ppv = static_cast<IEnumMediaTypes*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return ++refs_; }
    ULONG Release() override {
        ULONG r = --refs_;
        if (r == 0)
            delete this;
        return r;
    }
    HRESULT Next(ULONG count, AM_MEDIA_TYPE** out, ULONG* fetched) override {
        if (!out)
            return E_POINTER;
        if (count != 1 && !fetched)
            return E_POINTER;
        ULONG n = 0;
        while (n < count && pos_ < types_.size()) {
            AM_MEDIA_TYPE* mt = CreateMediaTypeCopy(&types_[pos_].get());
            if (!mt)
                break;
            out[n++] = mt;
            ++pos_;
        }
        if (fetched)
            *fetched = n;
        return n == count ? S_OK : S_FALSE;
    }
    HRESULT Skip(ULONG count) override {
        pos_ = std::min(types_.size(), pos_ + count);
        return pos_ < types_.size() ? S_OK : S_FALSE;
    }
    HRESULT Reset() override {
        pos_ = 0;
        return S_OK;
    }
    HRESULT Clone(IEnumMediaTypes** out) override {
        if (!out)
            return E_POINTER;
        *out = new MediaTypeEnumerator(types_, pos_);
        return S_OK;
    }

  private:
    ~MediaTypeEnumerator() = default;
    std::vector<MediaTypeHolder> types_;
    size_t pos_;
    std::atomic<ULONG> refs_{1};
};

// Pins of a filter, collected through EnumPins.
std::vector<ComPtr<IPin>> ListPins(IBaseFilter* filter);
PIN_DIRECTION PinDirection(IPin* pin);
std::u16string PinName(IPin* pin);
std::u16string FilterName(IBaseFilter* filter);
// The filter that owns a pin (referenced).
ComPtr<IBaseFilter> PinOwner(IPin* pin);

}  // namespace kovel::graph
