// Clock text for the position and duration labels.
#pragma once

#include <string>

namespace kovel::player {

// "HH:MM:SS " (with the trailing blank) of trunc(seconds + 0.49); hours are
// not limited to two digits.
std::string FormatClock(double seconds);

}  // namespace kovel::player
