#include "progress.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>

namespace zmrtool {

namespace {
constexpr auto kEvery = std::chrono::milliseconds(250);
}  // namespace

std::string ClockText(double seconds) {
    const long s = std::lround(std::max(0.0, seconds));
    char buf[32];
    if (s >= 3600)
        std::snprintf(buf, sizeof buf, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
    else
        std::snprintf(buf, sizeof buf, "%ld:%02ld", s / 60, s % 60);
    return buf;
}

ProgressLine::ProgressLine(std::string what, double total, bool show)
    : what_(std::move(what)),
      total_(std::max(total, 1e-9)),
      show_(show),
      start_(std::chrono::steady_clock::now()) {}

void ProgressLine::End() {
    if (open_)
        std::fputc('\n', stderr);
    open_ = false;
}

bool ProgressLine::Wanted(bool quiet) {
    return !quiet && isatty(STDERR_FILENO);
}

void ProgressLine::Update(double done) {
    if (!show_)
        return;
    const auto now = std::chrono::steady_clock::now();
    if (now - shown_ < kEvery)
        return;
    shown_ = now;
    Print(done, false);
}

void ProgressLine::Finish() {
    if (show_)
        Print(total_, true);
    show_ = false;
}

void ProgressLine::Print(double done, bool last) {
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    const double fraction = std::clamp(done / total_, 0.0, 1.0);
    // Speed in seconds of work a second of wall time; the passes share the total.
    char speed[32] = "-";
    if (elapsed > 0 && done > 0)
        std::snprintf(speed, sizeof speed, "%.1fx", done / elapsed);
    std::string tail;
    if (last)
        tail = "took " + ClockText(elapsed);
    else if (done > 0)
        tail = ClockText(elapsed * (total_ - done) / done) + " left";
    else
        tail = "starting";
    // The line is rewritten in place; the blanks wipe what a longer one left.
    std::fprintf(stderr, "\r%s: %3d%%  speed %s  %s   %s", what_.c_str(), int(fraction * 100), speed,
                 tail.c_str(), last ? "\n" : "");
    std::fflush(stderr);
    open_ = !last;
}

}  // namespace zmrtool
