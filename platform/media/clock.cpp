// The system reference clock (CLSID_SystemClock): a monotonic clock in
// 100-nanosecond units. The graph paces its renderers with its own waits, so
// the advise methods are not offered.
#include <atomic>
#include <chrono>
#include <new>

#include "kovel/builtin.h"
#include "kovel/streaming.h"

namespace {

class SystemClock final : public IReferenceClock {
  public:
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IReferenceClock) {
            *ppv = static_cast<IReferenceClock*>(this);
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
    HRESULT GetTime(REFERENCE_TIME* t) override {
        if (!t)
            return E_POINTER;
        auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                      std::chrono::steady_clock::now().time_since_epoch())
                      .count();
        *t = REFERENCE_TIME(ns / 100);
        return S_OK;
    }
    HRESULT AdviseTime(REFERENCE_TIME, REFERENCE_TIME, HEVENT, DWORD_PTR* cookie) override {
        if (cookie)
            *cookie = 0;
        return E_NOTIMPL;
    }
    HRESULT AdvisePeriodic(REFERENCE_TIME, REFERENCE_TIME, HSEMAPHORE, DWORD_PTR* cookie) override {
        if (cookie)
            *cookie = 0;
        return E_NOTIMPL;
    }
    HRESULT Unadvise(DWORD_PTR) override { return S_FALSE; }

  private:
    std::atomic<ULONG> refs_{1};
};

HRESULT CreateSystemClock(IUnknown* outer, REFIID riid, void** ppv) {
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (outer)
        return CLASS_E_NOAGGREGATION;
    auto* c = new (std::nothrow) SystemClock;
    if (!c)
        return E_OUTOFMEMORY;
    HRESULT hr = c->QueryInterface(riid, ppv);
    c->Release();
    return hr;
}

struct Registrar {
    Registrar() { KovelRegisterBuiltinClass(&CLSID_SystemClock, &CreateSystemClock); }
} g_registrar;

}  // namespace
