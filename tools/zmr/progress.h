// The progress line of a long encode or copy, on a terminal only: how far,
// how fast against real time, and how long is left.
#pragma once

#include <chrono>
#include <cstdio>
#include <string>

namespace zmrtool {

class ProgressLine {
  public:
    // `what` names the work ("create", "export"); `total` is the lesson's
    // length in seconds, which work over several passes spreads over them.
    // Nothing is shown unless `show` (see Wanted).
    ProgressLine(std::string what, double total, bool show);
    // Ends a line cut short, so that a message starts a line of its own.
    void End();
    ~ProgressLine() { End(); }
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;
    // `done` of `total` handled so far; shown at most a few times a second.
    void Update(double done);
    // Ends the line at 100% with the time taken.
    void Finish();

    // Shown when standard error is a terminal and the user did not ask for quiet.
    static bool Wanted(bool quiet);

  private:
    void Print(double done, bool last);

    std::string what_;
    double total_;
    bool show_;
    bool open_ = false;  // a line is shown and not ended yet
    std::chrono::steady_clock::time_point start_, shown_{};
};

// "1:05" or "1:02:03".
std::string ClockText(double seconds);

}  // namespace zmrtool
