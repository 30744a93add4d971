// The part of IMediaSeeking that is the same wherever positions are kept in
// media time (100-nanosecond units): the time format questions, time
// conversion, the preroll, and the capability check against what
// GetCapabilities reports. The positions, the rate, the capabilities
// themselves and SetTimeFormat are the deriving object's.
#pragma once

#include "kovel/streaming.h"

namespace kovel::graph {

class MediaTimeSeeking : public IMediaSeeking {
  public:
    HRESULT CheckCapabilities(DWORD* caps) override {
        if (!caps)
            return E_POINTER;
        DWORD have = 0;
        GetCapabilities(&have);
        DWORD want = *caps;
        *caps &= have;
        return *caps == want ? S_OK : (*caps ? S_FALSE : E_FAIL);
    }
    HRESULT IsFormatSupported(const GUID* f) override {
        if (!f)
            return E_POINTER;
        return *f == TIME_FORMAT_MEDIA_TIME ? S_OK : S_FALSE;
    }
    HRESULT QueryPreferredFormat(GUID* f) override {
        if (!f)
            return E_POINTER;
        *f = TIME_FORMAT_MEDIA_TIME;
        return S_OK;
    }
    HRESULT GetTimeFormat(GUID* f) override { return QueryPreferredFormat(f); }
    HRESULT IsUsingTimeFormat(const GUID* f) override { return IsFormatSupported(f); }
    HRESULT ConvertTimeFormat(LONGLONG* target, const GUID* tf, LONGLONG src, const GUID* sf) override {
        if (!target)
            return E_POINTER;
        if ((tf && *tf != TIME_FORMAT_MEDIA_TIME) || (sf && *sf != TIME_FORMAT_MEDIA_TIME))
            return E_INVALIDARG;
        *target = src;
        return S_OK;
    }
    HRESULT GetPreroll(LONGLONG* p) override {
        if (!p)
            return E_POINTER;
        *p = 0;
        return S_OK;
    }
};

}  // namespace kovel::graph
