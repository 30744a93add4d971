// The media subtype that names a bitmap header's pixel layout: the one rule
// for every filter that offers or reads an uncompressed or FOURCC picture.
#pragma once

#include "kovel/formats.h"
#include "kovel/guids.h"

namespace kovel {

// masks: the three colour masks that follow the header (red, green, blue);
// only read for 16-bit bit-field pictures, and may then be null (no masks
// known: the null GUID).
inline GUID BitmapSubtype(const BITMAPINFOHEADER& bih, const DWORD* masks) {
    if (bih.biCompression != BI_RGB && bih.biCompression != BI_BITFIELDS)
        return FourccSubtype(bih.biCompression);
    switch (bih.biBitCount) {
        case 1:
            return MEDIASUBTYPE_RGB1;
        case 4:
            return MEDIASUBTYPE_RGB4;
        case 8:
            return MEDIASUBTYPE_RGB8;
        case 24:
            return MEDIASUBTYPE_RGB24;
        case 32:
            return MEDIASUBTYPE_RGB32;
        case 16:
            if (bih.biCompression == BI_RGB)
                return MEDIASUBTYPE_RGB555;
            if (!masks)
                return GUID_NULL;
            if (masks[0] == 0x7C00 && masks[1] == 0x03E0 && masks[2] == 0x001F)
                return MEDIASUBTYPE_RGB555;
            if (masks[0] == 0xF800 && masks[1] == 0x07E0 && masks[2] == 0x001F)
                return MEDIASUBTYPE_RGB565;
            return GUID_NULL;
        default:
            return GUID_NULL;
    }
}

}  // namespace kovel
