// The player's command line: what to open and how to play it.
#pragma once

#include <optional>
#include <string>

namespace kovel::player {

struct CommandLine {
    bool headless = false;
    long seconds = -1;   // with --headless: stop after this many seconds; -1 plays to the end
    std::string file;    // the lesson: the words given, joined by blanks, double quotes trimmed
    double speed = 1.0;  // playback speed, 0.5 to 3
    // The window: where the first lesson starts instead of where it was
    // left, and whether lessons resume (and are remembered) at all.
    std::optional<double> start;
    bool resume = true;
};

// Reads the arguments into `out`. Returns -1 when the program goes on;
// otherwise the exit status, after printing the help or the version (0), a
// usage error (2), or that there is no display for a window (1).
int ReadCommandLine(int argc, char** argv, CommandLine* out);

// Whether a window can be shown: Qt is told a platform that needs no
// display (offscreen), or an X or a Wayland display is named.
bool HaveDisplay();

}  // namespace kovel::player
