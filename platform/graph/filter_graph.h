// The filter graph manager (CLSID_FilterGraph): building (IGraphBuilder with
// intelligent connection), control (IMediaControl), positions (IMediaSeeking),
// events (IMediaEventEx, IMediaEventSink) and volume (IBasicAudio).
//
// Volume without any audio renderer: put_Volume checks the range (E_INVALIDARG
// outside -10000..0) and otherwise answers E_NOTIMPL; get_Volume E_NOTIMPL.
// Without a clock (IMediaFilter::SetSyncSource(NULL) on the graph) the
// renderers present as fast as they can and positions follow wall time.
#pragma once

#include "kovel/control.h"

namespace kovel::graph {
HRESULT CreateFilterGraph(IUnknown* outer, REFIID riid, void** ppv);
}
