// Class identifier and names under which the courseware reader plug-in
// registers its filter. Clients create the filter by this identifier only.
#pragma once

#include "kovel/guids.h"

KOVEL_GUID(CLSID_ZmReader, "2D042A1B-F952-4B68-AAF0-F531C78E69E4");

namespace zmr {
// Output pin names; the player tells the screen window by "capture".
inline constexpr char16_t kAudioPinName[] = u"audioOut";
inline constexpr char16_t kCameraPinName[] = u"videoOut";
inline constexpr char16_t kScreenPinName[] = u"capture";
}  // namespace zmr
