// The system reference clock (CLSID_SystemClock): a monotonic clock in
// 100-nanosecond units. The graph paces its renderers with its own waits, so
// the advise methods are not offered.
#include <chrono>
#include <new>

#include "kovel/builtin.h"
#include "reference_clock.h"

namespace {

class SystemClock final : public kovel::media::ReferenceClockBase {
  protected:
    REFERENCE_TIME Now() override {
        auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                      std::chrono::steady_clock::now().time_since_epoch())
                      .count();
        return REFERENCE_TIME(ns / 100);
    }
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
