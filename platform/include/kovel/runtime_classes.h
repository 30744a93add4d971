// Class identifiers of the media runtime's built-in filters. The decoders
// carry identifiers of their own; the renderers answer to the platform's
// published renderer class ids so applications that create them by class id
// get ours.
#pragma once

#include "kovel/guids.h"

// "Audio Decoder": compressed audio (any wave format tag the decoding library
// knows, read from the WAVEFORMATEX) in, PCM 16-bit interleaved out.
KOVEL_GUID(CLSID_KovelAudioDecoder, "D3FDAA3A-A555-46E9-88A4-CC6D2106A1CA");

// "Video Decoder": compressed video (FOURCC subtype, FORMAT_VideoInfo) in,
// RGB32 out (bottom-up VIDEOINFOHEADER, rows of width * 4 bytes).
KOVEL_GUID(CLSID_KovelVideoDecoder, "B7EDC195-D7C8-48A7-89C7-C93958FB5546");

// "Audio Renderer": PCM in, sound device out; the graph's reference clock.
inline constexpr CLSID CLSID_KovelAudioRenderer = CLSID_DSoundRender;
// "Video Renderer": RGB32 in, a window docked into its owner.
inline constexpr CLSID CLSID_KovelVideoRenderer = CLSID_VideoRenderer;

// Merits they are registered with: renderers ahead of anything a plug-in
// registers at normal merit, decoders at normal merit.
inline constexpr DWORD kKovelDecoderMerit = 0x600000;   // MERIT_NORMAL
inline constexpr DWORD kKovelRendererMerit = 0x800000;  // MERIT_PREFERRED
