// The file source for any file the decoding library opens: one output pin
// per audio or video stream whose codec has a wave format tag or FOURCC.
//   audio: MEDIATYPE_Audio, subtype from the tag, FORMAT_WaveFormatEx with
//          the codec's extradata after the WAVEFORMATEX (cbSize bytes);
//   video: MEDIATYPE_Video, FOURCC subtype, FORMAT_VideoInfo whose
//          BITMAPINFOHEADER (biSize = 40 + extradata) is followed by the extradata.
// Streams of codecs without a tag are not offered. Each pin answers
// IMediaSeeking; samples are stamped relative to the current start position.
#pragma once

#include "kovel/streaming.h"

KOVEL_GUID(CLSID_KovelFileSource, "6B1C3E2A-43D4-4F0E-9C1A-5E2B7D8F9A01");

namespace kovel::graph {
HRESULT CreateFileSource(IUnknown* outer, REFIID riid, void** ppv);
}
