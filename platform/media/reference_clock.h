// Base of the runtime's reference clocks: reference counting, GetTime from
// the clock's Now(), and the advise methods, which none of them offers (the
// graph and the renderers pace themselves by reading the time).
#pragma once

#include <atomic>

#include "kovel/ref_counted.h"
#include "kovel/streaming.h"

namespace kovel::media {

class ReferenceClockBase : public kovel::SingleInterface<IReferenceClock, IID_IReferenceClock> {
  public:
    HRESULT GetTime(REFERENCE_TIME* t) override {
        if (!t)
            return E_POINTER;
        *t = Now();
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

  protected:
    virtual ~ReferenceClockBase() = default;
    // The time in 100-nanosecond units; never goes back.
    virtual REFERENCE_TIME Now() = 0;

  private:
};

}  // namespace kovel::media
