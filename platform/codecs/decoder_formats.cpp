#include "decoder_formats.h"

#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace kovel::rt {

namespace {

// WAVEFORMATEXTENSIBLE's fields after the WAVEFORMATEX: valid bits (2),
// channel mask (4), SubFormat GUID (16).
constexpr size_t kExtensibleBytes = 22;

template <class T>
T ReadAt(const std::vector<BYTE>& b, size_t off) {
    T v;
    std::memcpy(&v, b.data() + off, sizeof v);
    return v;
}

int DecoderFor(const AVCodecTag* table, uint32_t tag) {
    const AVCodecTag* const tables[] = {table, nullptr};
    AVCodecID id = av_codec_get_id(tables, tag);
    if (id == AV_CODEC_ID_NONE || !avcodec_find_decoder(id))
        return AV_CODEC_ID_NONE;
    return id;
}

}  // namespace

HRESULT ParseAudioInput(const MediaType& mt, AudioInput* out) {
    if (!out)
        return E_POINTER;
    if (mt.major != MEDIATYPE_Audio || mt.formattype != FORMAT_WaveFormatEx)
        return VFW_E_TYPE_NOT_ACCEPTED;
    const std::vector<BYTE>& f = mt.format;
    if (f.size() < sizeof(WAVEFORMATEX))
        return VFW_E_TYPE_NOT_ACCEPTED;
    WAVEFORMATEX wf = ReadAt<WAVEFORMATEX>(f, 0);
    size_t room = f.size() - sizeof(WAVEFORMATEX);
    if (wf.cbSize > room)
        return VFW_E_TYPE_NOT_ACCEPTED;
    AudioInput in;
    in.tag = wf.wFormatTag;
    size_t extraOff = sizeof(WAVEFORMATEX), extraLen = wf.cbSize;
    if (wf.wFormatTag == WAVE_FORMAT_EXTENSIBLE) {
        if (wf.cbSize < kExtensibleBytes)
            return VFW_E_TYPE_NOT_ACCEPTED;
        GUID sub = ReadAt<GUID>(f, sizeof(WAVEFORMATEX) + 6);
        if (FourccSubtype(sub.Data1) != sub || sub.Data1 > 0xFFFF)
            return VFW_E_TYPE_NOT_ACCEPTED;
        in.tag = sub.Data1;
        extraOff += kExtensibleBytes;
        extraLen -= kExtensibleBytes;
    }
    if (wf.nChannels < 1 || wf.nChannels > kMaxAudioChannels)
        return VFW_E_TYPE_NOT_ACCEPTED;
    if (wf.nSamplesPerSec < 1 || wf.nSamplesPerSec > DWORD(kMaxSampleRate))
        return VFW_E_TYPE_NOT_ACCEPTED;
    in.codecId = DecoderFor(avformat_get_riff_audio_tags(), in.tag);
    if (in.codecId == AV_CODEC_ID_NONE)
        return VFW_E_TYPE_NOT_ACCEPTED;
    in.channels = wf.nChannels;
    in.sampleRate = int(wf.nSamplesPerSec);
    in.blockAlign = wf.nBlockAlign;
    in.bitRate = int64_t(wf.nAvgBytesPerSec) * 8;
    in.bitsPerSample = wf.wBitsPerSample;
    in.extradata.assign(f.begin() + ptrdiff_t(extraOff), f.begin() + ptrdiff_t(extraOff + extraLen));
    *out = std::move(in);
    return S_OK;
}

HRESULT ParseVideoInput(const MediaType& mt, VideoInput* out) {
    if (!out)
        return E_POINTER;
    if (mt.major != MEDIATYPE_Video || mt.formattype != FORMAT_VideoInfo)
        return VFW_E_TYPE_NOT_ACCEPTED;
    const std::vector<BYTE>& f = mt.format;
    if (f.size() < sizeof(VIDEOINFOHEADER))
        return VFW_E_TYPE_NOT_ACCEPTED;
    VIDEOINFOHEADER vih = ReadAt<VIDEOINFOHEADER>(f, 0);
    const BITMAPINFOHEADER& bih = vih.bmiHeader;
    constexpr size_t kHeaderEnd = offsetof(VIDEOINFOHEADER, bmiHeader);
    // The bitmap header's own size may not reach past the block.
    if (bih.biSize < sizeof(BITMAPINFOHEADER) || bih.biSize > f.size() - kHeaderEnd)
        return VFW_E_TYPE_NOT_ACCEPTED;
    if (bih.biCompression == BI_RGB || bih.biCompression == BI_BITFIELDS)
        return VFW_E_TYPE_NOT_ACCEPTED;  // nothing to decode
    int64_t h = bih.biHeight < 0 ? -int64_t(bih.biHeight) : int64_t(bih.biHeight);
    if (bih.biWidth < 1 || bih.biWidth > kMaxVideoDimension || h < 1 || h > kMaxVideoDimension)
        return VFW_E_TYPE_NOT_ACCEPTED;
    VideoInput in;
    in.fourcc = bih.biCompression;
    in.codecId = DecoderFor(avformat_get_riff_video_tags(), in.fourcc);
    if (in.codecId == AV_CODEC_ID_NONE)
        return VFW_E_TYPE_NOT_ACCEPTED;
    in.width = bih.biWidth;
    in.height = int(h);
    in.bitCount = bih.biBitCount;
    in.avgTimePerFrame = vih.AvgTimePerFrame > 0 ? vih.AvgTimePerFrame : 0;
    // Codec set-up bytes follow the bitmap header: as many as biSize counts
    // beyond it, or, when it counts none, the rest of the block.
    size_t begin = sizeof(VIDEOINFOHEADER);
    size_t end = bih.biSize > sizeof(BITMAPINFOHEADER) ? kHeaderEnd + bih.biSize : f.size();
    in.extradata.assign(f.begin() + ptrdiff_t(begin), f.begin() + ptrdiff_t(end));
    *out = std::move(in);
    return S_OK;
}

MediaType PcmOutputType(const AudioInput& in) {
    WAVEFORMATEX wf{};
    wf.wFormatTag = WAVE_FORMAT_PCM;
    wf.nChannels = WORD(in.channels);
    wf.nSamplesPerSec = DWORD(in.sampleRate);
    wf.wBitsPerSample = 16;
    wf.nBlockAlign = WORD(in.channels * 2);
    wf.nAvgBytesPerSec = wf.nSamplesPerSec * wf.nBlockAlign;
    wf.cbSize = 0;
    MediaType mt;
    mt.major = MEDIATYPE_Audio;
    mt.subtype = MEDIASUBTYPE_PCM;
    mt.formattype = FORMAT_WaveFormatEx;
    mt.fixedSize = true;
    mt.temporal = false;
    mt.sampleSize = wf.nBlockAlign;
    mt.format.resize(sizeof wf);
    std::memcpy(mt.format.data(), &wf, sizeof wf);
    return mt;
}

MediaType Rgb32OutputType(const VideoInput& in) {
    VIDEOINFOHEADER vih{};
    vih.rcSource = {0, 0, in.width, in.height};
    vih.rcTarget = vih.rcSource;
    vih.AvgTimePerFrame = in.avgTimePerFrame;
    DWORD image = DWORD(in.width) * 4 * DWORD(in.height);
    if (in.avgTimePerFrame > 0) {
        int64_t rate = int64_t(image) * 8 * 10000000 / in.avgTimePerFrame;
        vih.dwBitRate = rate > 0 && rate <= INT32_MAX ? DWORD(rate) : 0;
    }
    BITMAPINFOHEADER& b = vih.bmiHeader;
    b.biSize = sizeof(BITMAPINFOHEADER);
    b.biWidth = in.width;
    b.biHeight = in.height;  // positive: bottom-up rows
    b.biPlanes = 1;
    b.biBitCount = 32;
    b.biCompression = BI_RGB;
    b.biSizeImage = image;
    MediaType mt;
    mt.major = MEDIATYPE_Video;
    mt.subtype = MEDIASUBTYPE_RGB32;
    mt.formattype = FORMAT_VideoInfo;
    mt.fixedSize = true;
    mt.temporal = false;
    mt.sampleSize = image;
    mt.format.resize(sizeof vih);
    std::memcpy(mt.format.data(), &vih, sizeof vih);
    return mt;
}

}  // namespace kovel::rt
