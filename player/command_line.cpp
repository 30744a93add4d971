#include "command_line.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "kovel/version.h"
#include "player_dlg.h"
#include "speed_control.h"

namespace kovel::player {
namespace {

// A finite decimal number, the whole text.
std::optional<double> Number(const std::string& v) {
    char* end = nullptr;
    const double n = std::strtod(v.c_str(), &end);
    if (v.empty() || !end || *end || !std::isfinite(n))
        return std::nullopt;
    return n;
}

// One option: its name, whether it takes a value, what the help says, and
// how it changes the command line (an error text, or empty when accepted).
struct Option {
    const char* name;
    const char* value;  // the value's name in the help; null: the option takes none
    const char* help;
    std::function<std::string(CommandLine&, const std::string& value)> apply;
};

const std::vector<Option>& Options() {
    static const std::vector<Option> options = {
        {"--headless", nullptr, "play without a window; print the position and the chapter once a second",
         [](CommandLine& c, const std::string&) {
             c.headless = true;
             return std::string();
         }},
        {"--seconds", "N", "with --headless: stop after N seconds (default: at the end of the lesson)",
         [](CommandLine& c, const std::string& v) {
             char* end = nullptr;
             const long n = std::strtol(v.c_str(), &end, 10);
             if (v.empty() || !end || *end || n < 0)
                 return std::string("--seconds needs a number of seconds");
             c.seconds = n;
             return std::string();
         }},
        {"--speed", "R", "play at R times the normal speed, from 0.5 to 3 (the voice keeps its pitch)",
         [](CommandLine& c, const std::string& v) {
             const std::optional<double> r = Number(v);
             if (!r || *r < kMinSpeed || *r > kMaxSpeed)
                 return std::string("--speed needs a speed from 0.5 to 3");
             c.speed = *r;
             return std::string();
         }},
        {"--start", "S", "start the lesson at S seconds, not where it was left",
         [](CommandLine& c, const std::string& v) {
             const std::optional<double> s = Number(v);
             if (!s || *s < 0)
                 return std::string("--start needs a number of seconds");
             c.start = *s;
             return std::string();
         }},
        {"--no-resume", nullptr, "start lessons at their beginning and do not remember where they are left",
         [](CommandLine& c, const std::string&) {
             c.resume = false;
             return std::string();
         }},
    };
    return options;
}

void PrintUsage(FILE* out) {
    std::fputs(
        "usage: kovelplayer [--speed R] [--start S] [--no-resume] [FILE]\n"
        "       kovelplayer --headless FILE [--seconds N] [--speed R]\n"
        "Plays a recorded lesson (a .zmr courseware file): the screen recording, the presenter's\n"
        "camera picture, the sound, the lesson's texts and its chapters.\n",
        out);
    for (const Option& o : Options()) {
        std::string left = std::string(o.name) + (o.value ? std::string(" ") + o.value : std::string());
        std::fprintf(out, "  %-14s %s\n", left.c_str(), o.help);
    }
    std::fputs(
        "  --help         show this help and exit\n"
        "  --version      show the version and exit\n"
        "  --             end of options: what follows is the file name\n"
        "A running player opens lessons handed to it with kovel-send.\n",
        out);
}

int UsageError(const std::string& problem) {
    std::fprintf(stderr, "kovelplayer: %s\n", problem.c_str());
    PrintUsage(stderr);
    return 2;
}

}  // namespace

bool HaveDisplay() {
    auto set = [](const char* var) {
        const char* v = std::getenv(var);
        return v && *v;
    };
    // Platforms such as offscreen need no display; X and Wayland do.
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    if (platform && *platform && !std::strstr(platform, "xcb") && !std::strstr(platform, "wayland"))
        return true;
    return set("DISPLAY") || set("WAYLAND_DISPLAY");
}

int ReadCommandLine(int argc, char** argv, CommandLine* out) {
    *out = CommandLine{};
    std::vector<char*> words;
    bool secondsGiven = false;
    std::string windowOnly;  // an option that goes with the window only
    bool optionsEnd = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (optionsEnd || a.size() < 2 || a[0] != '-') {
            words.push_back(argv[i]);
            continue;
        }
        if (a == "--") {
            optionsEnd = true;
        } else if (a == "--help" || a == "-h") {
            PrintUsage(stdout);
            return 0;
        } else if (a == "--version") {
            std::printf("kovelplayer %s\n", KOVEL_VERSION);
            return 0;
        } else {
            const Option* found = nullptr;
            for (const Option& o : Options())
                if (a == o.name)
                    found = &o;
            if (!found)
                return UsageError("unknown option " + a);
            std::string value;
            if (found->value) {
                if (i + 1 >= argc)
                    return UsageError(a + " needs a value");
                value = argv[++i];
            }
            if (std::string problem = found->apply(*out, value); !problem.empty())
                return UsageError(problem);
            secondsGiven = secondsGiven || a == "--seconds";
            windowOnly = windowOnly.empty() && (a == "--start" || a == "--no-resume") ? a : windowOnly;
        }
    }
    if (out->headless) {
        if (!windowOnly.empty())
            return UsageError(windowOnly + " goes with the window, not with --headless");
        if (words.size() != 1)
            return UsageError(words.empty() ? "--headless needs the lesson to play" : "one lesson, please");
        out->file = words.front();
        return -1;
    }
    if (secondsGiven)
        return UsageError("--seconds goes with --headless");
    if (!HaveDisplay()) {
        std::fputs(
            "kovelplayer: no display to show a window on (DISPLAY and WAYLAND_DISPLAY are unset); "
            "use --headless FILE to play without one\n",
            stderr);
        return 1;
    }
    // Words of a path the shell split stay one path, as the window always took them.
    out->file = PendingFileFromArguments(int(words.size()), words.data(), 0);
    return -1;
}

}  // namespace kovel::player
