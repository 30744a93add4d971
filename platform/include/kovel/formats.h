// Format blocks carried by media types: bitmap and video headers, and the
// wave format. Natural layout, matching the platform's byte offsets.
#pragma once

#include "kovel/types.h"

constexpr DWORD BI_RGB = 0;
constexpr DWORD BI_BITFIELDS = 3;

struct BITMAPINFOHEADER {
    DWORD biSize;
    LONG biWidth;
    LONG biHeight;
    WORD biPlanes;
    WORD biBitCount;
    DWORD biCompression;
    DWORD biSizeImage;
    LONG biXPelsPerMeter;
    LONG biYPelsPerMeter;
    DWORD biClrUsed;
    DWORD biClrImportant;
};
static_assert(sizeof(BITMAPINFOHEADER) == 40);

struct VIDEOINFOHEADER {
    RECT rcSource;
    RECT rcTarget;
    DWORD dwBitRate;
    DWORD dwBitErrorRate;
    REFERENCE_TIME AvgTimePerFrame;
    BITMAPINFOHEADER bmiHeader;
};
static_assert(offsetof(VIDEOINFOHEADER, bmiHeader) == 48);
static_assert(sizeof(VIDEOINFOHEADER) == 88);

struct RGBQUAD {
    BYTE rgbBlue;
    BYTE rgbGreen;
    BYTE rgbRed;
    BYTE rgbReserved;
};

constexpr int iPALETTE_COLORS = 256;
constexpr int iMASK_COLORS = 3;

struct TRUECOLORINFO {
    DWORD dwBitMasks[iMASK_COLORS];
    RGBQUAD bmiColors[iPALETTE_COLORS];
};

// VIDEOINFOHEADER followed by colour masks sharing their place with a palette.
struct VIDEOINFO {
    RECT rcSource;
    RECT rcTarget;
    DWORD dwBitRate;
    DWORD dwBitErrorRate;
    REFERENCE_TIME AvgTimePerFrame;
    BITMAPINFOHEADER bmiHeader;
    union {
        RGBQUAD bmiColors[iPALETTE_COLORS];
        DWORD dwBitMasks[iMASK_COLORS];
        TRUECOLORINFO TrueColorInfo;
    };
};
static_assert(sizeof(VIDEOINFO) == 1128);

// The 24 bytes a VIDEOINFOHEADER2 carries between its rectangles/rates and its bitmap header.
constexpr size_t kVideoInfo2ExtraBytes = 24;

constexpr WORD WAVE_FORMAT_PCM = 1;
constexpr WORD WAVE_FORMAT_EXTENSIBLE = 0xFFFE;

// The platform declares this structure byte-packed: it is 18 bytes long, and
// format blocks are laid out that way.
struct __attribute__((packed)) WAVEFORMATEX {
    WORD wFormatTag;
    WORD nChannels;
    DWORD nSamplesPerSec;
    DWORD nAvgBytesPerSec;
    WORD nBlockAlign;
    WORD wBitsPerSample;
    WORD cbSize;
};
static_assert(sizeof(WAVEFORMATEX) == 18);

// Image bytes of a bitmap: rows padded to 32 bits, times the absolute height.
constexpr DWORD DibRowStride(LONG width, WORD bits) {
    return DWORD(((int64_t(width) * bits + 31) / 32) * 4);
}
