// zmr create OUT.zmr [options]
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <string>

extern "C" {
#include <libavutil/log.h>
}

#include "chapter_document.h"
#include "commands.h"
#include "courseware_format.h"
#include "courseware_writer.h"
#include "media_encode.h"
#include "progress.h"
#include "tool_util.h"

namespace zmrtool {

namespace {

constexpr const char* kCreateUsage =
    "usage: zmr create OUT.zmr [options]\n"
    "streams (each present when a file or a generator is given for it):\n"
    "  --audio FILE          sound from any file FFmpeg opens\n"
    "  --screen FILE         screen recording (pin capture) from a video file\n"
    "  --camera FILE         camera picture (pin videoOut) from a video file\n"
    "  --pattern             generated screen (time in digits, colour changing every second)\n"
    "                        and camera (circling disc) pictures, where no file is given\n"
    "  --tone                generated sound, pitch changing every second, where no file is given\n"
    "  --no-audio, --no-screen, --no-camera   leave that stream out\n"
    "encoding:\n"
    "  --duration SECONDS    lesson length (default 10, or the longest input file)\n"
    "  --codec NAME          FFmpeg video encoder (default wmv2)\n"
    "  --screen-size WxH     default: the --screen file's own size, else 640x480\n"
    "  --camera-size WxH     default: the --camera file's own size, else 160x120\n"
    "  --fps N               frames a second (default 10)\n"
    "  --gop N               frames from key frame to key frame (default 2 seconds' worth)\n"
    "  audio: Windows Media audio, 44100 Hz stereo, 64 kbit/s\n"
    "descriptive texts and chapters (UTF-8, stored as GBK):\n"
    "  --title T --maker M --account A --date D\n"
    "  --chapter SECONDS=TITLE   repeatable\n"
    "  --quiet               no progress line (there is one only on a terminal anyway)\n";

struct Options {
    std::string out;
    std::string audio_file, screen_file, camera_file;
    bool pattern = false, tone = false;
    bool no_audio = false, no_screen = false, no_camera = false;
    bool quiet = false;
    double duration = 0;  // 0: not given
    std::string codec = "wmv2";
    int screen_w = 0, screen_h = 0, camera_w = 0, camera_h = 0;  // 0: not given
    int fps = 10;
    int gop = 0;  // 0: two seconds
    std::string title, maker, account, date;
    std::vector<std::pair<double, std::string>> chapters;
};

// 2: usage error, 1: a value that cannot be used, 0: parsed.
int Parse(const std::vector<std::string>& args, Options* o) {
    auto bad = [](const std::string& what) {
        std::fprintf(stderr, "zmr create: %s\n", what.c_str());
        return 1;
    };
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](std::string* v) {
            if (i + 1 >= args.size())
                return false;
            *v = args[++i];
            return true;
        };
        std::string v;
        const bool takes_value = a == "--audio" || a == "--screen" || a == "--camera" || a == "--duration" ||
                                 a == "--codec" || a == "--screen-size" || a == "--camera-size" ||
                                 a == "--fps" || a == "--gop" || a == "--title" || a == "--maker" ||
                                 a == "--account" || a == "--date" || a == "--chapter";
        if (takes_value && !value(&v)) {
            std::fprintf(stderr, "zmr create: %s needs a value\n%s", a.c_str(), kCreateUsage);
            return 2;
        }
        int64_t n = 0;
        if (a == "--audio") {
            o->audio_file = v;
        } else if (a == "--screen") {
            o->screen_file = v;
        } else if (a == "--camera") {
            o->camera_file = v;
        } else if (a == "--pattern") {
            o->pattern = true;
        } else if (a == "--tone") {
            o->tone = true;
        } else if (a == "--no-audio") {
            o->no_audio = true;
        } else if (a == "--no-screen") {
            o->no_screen = true;
        } else if (a == "--no-camera") {
            o->no_camera = true;
        } else if (a == "--quiet") {
            o->quiet = true;
        } else if (a == "--duration") {
            // Up to a day; the index holds one entry a second.
            if (!ParseDouble(v, &o->duration) || o->duration <= 0 || o->duration > 86400)
                return bad("--duration wants a number of seconds above 0 and at most 86400: " + v);
        } else if (a == "--codec") {
            o->codec = v;
        } else if (a == "--screen-size") {
            if (!ParseSize(v, 4096, &o->screen_w, &o->screen_h))
                return bad("--screen-size wants WxH (1..4096): " + v);
        } else if (a == "--camera-size") {
            if (!ParseSize(v, 4096, &o->camera_w, &o->camera_h))
                return bad("--camera-size wants WxH (1..4096): " + v);
        } else if (a == "--fps") {
            if (!ParseInt(v, &n) || n < 1 || n > 120)
                return bad("--fps wants 1..120: " + v);
            o->fps = int(n);
        } else if (a == "--gop") {
            if (!ParseInt(v, &n) || n < 1 || n > 100000)
                return bad("--gop wants a number of frames from 1: " + v);
            o->gop = int(n);
        } else if (a == "--title") {
            o->title = v;
        } else if (a == "--maker") {
            o->maker = v;
        } else if (a == "--account") {
            o->account = v;
        } else if (a == "--date") {
            o->date = v;
        } else if (a == "--chapter") {
            const size_t eq = v.find('=');
            double at = 0;
            if (eq == std::string::npos || !ParseDouble(v.substr(0, eq), &at) || at < 0)
                return bad("--chapter wants SECONDS=TITLE with SECONDS from 0: " + v);
            o->chapters.emplace_back(at, v.substr(eq + 1));
        } else if (a == "-h" || a == "--help") {
            std::fputs(kCreateUsage, stdout);
            return -1;
        } else if (!a.empty() && a[0] == '-') {
            std::fprintf(stderr, "zmr create: unknown option '%s'\n%s", a.c_str(), kCreateUsage);
            return 2;
        } else if (o->out.empty()) {
            o->out = a;
        } else {
            std::fprintf(stderr, "zmr create: unexpected argument '%s'\n%s", a.c_str(), kCreateUsage);
            return 2;
        }
    }
    if (o->out.empty()) {
        std::fputs(kCreateUsage, stderr);
        return 2;
    }
    return 0;
}

// Seconds per position-slider unit for a lesson of `seconds`: 1 up to 30000
// seconds, else the power of ten that brings it to at most 30000 units.
double SliderScale(double seconds) {
    double scale = 1;
    while (seconds / scale > 30000) scale *= 10;
    return scale;
}

}  // namespace

int RunCreate(const std::vector<std::string>& args) {
    Options o;
    // The encoders' own chatter (clipped coefficients and the like) is not the user's business.
    av_log_set_level(AV_LOG_ERROR);
    if (int rc = Parse(args, &o); rc != 0)
        return rc < 0 ? 0 : rc;

    const bool want_audio = !o.no_audio && (!o.audio_file.empty() || o.tone);
    const bool want_camera = !o.no_camera && (!o.camera_file.empty() || o.pattern);
    const bool want_screen = !o.no_screen && (!o.screen_file.empty() || o.pattern);
    if (!want_audio && !want_camera && !want_screen) {
        std::fprintf(
            stderr,
            "zmr create: no stream to write: give --audio, --screen, --camera, --pattern or --tone\n");
        return 2;
    }

    int64_t duration = int64_t(std::llround(o.duration * double(UNITS)));
    if (o.duration == 0) {
        duration = 0;
        for (const std::string* f : {&o.audio_file, &o.screen_file, &o.camera_file}) {
            if (f->empty())
                continue;
            const int64_t d = MediaDuration(*f);
            if (d > duration)
                duration = d;
        }
        if (duration == 0)
            duration = 10 * UNITS;
    }
    const double seconds = double(duration) / double(UNITS);

    zmr::Lesson lesson;
    lesson.title = o.title;
    lesson.maker = o.maker;
    lesson.account = o.account;
    lesson.date = o.date;
    lesson.play_duration = duration;
    const double scale = SliderScale(seconds);
    int id = 0;
    for (const auto& [at, title] : o.chapters) {
        if (at > seconds) {
            std::fprintf(stderr, "zmr create: chapter at %g s lies beyond the lesson's %g s\n", at, seconds);
            return 1;
        }
        lesson.chapters.push_back({++id, int(std::floor(at / scale)), title});
    }

    std::string error;
    // One pass a stream, each over the whole lesson: the line spreads over them.
    const int passes = int(want_audio) + int(want_camera) + int(want_screen);
    ProgressLine line("create", seconds, ProgressLine::Wanted(o.quiet));
    int pass = 0;
    auto progress = [&](int64_t done) {
        line.Update((pass * seconds + double(done) / double(UNITS)) / passes);
    };
    // Stream numbers: audio 1, camera 2, screen 3, audio first so its index block is the first.
    if (want_audio) {
        zmr::WriterStream s;
        AudioSettings as;
        as.progress = progress;
        if (!EncodeAudio(as, o.audio_file, duration, &s, &error)) {
            line.End();
            std::fprintf(stderr, "zmr create: audio: %s\n", error.c_str());
            return 1;
        }
        s.number = 1;
        lesson.streams.push_back(std::move(s));
        ++pass;
    }
    const int gop = o.gop ? o.gop : 2 * o.fps;
    struct Video {
        bool want;
        bool camera;
        const std::string* file;
        int w, h;
        int64_t bit_rate;
        uint16_t number;
    };
    // Unless told, a file keeps its own size (0x0); the generators draw at the usual sizes.
    auto size = [](int given, const std::string& file, int generated) {
        return given || !file.empty() ? given : generated;
    };
    const Video videos[] = {
        {want_camera, true, &o.camera_file, size(o.camera_w, o.camera_file, 160),
         size(o.camera_h, o.camera_file, 120), 150000, 2},
        {want_screen, false, &o.screen_file, size(o.screen_w, o.screen_file, 640),
         size(o.screen_h, o.screen_file, 480), 500000, 3},
    };
    for (const Video& v : videos) {
        if (!v.want)
            continue;
        VideoSettings vs;
        vs.codec = o.codec;
        vs.width = v.w;
        vs.height = v.h;
        vs.fps = o.fps;
        vs.gop = gop;
        vs.bit_rate = v.bit_rate;
        vs.progress = progress;
        zmr::WriterStream s;
        if (!EncodeVideo(vs, v.camera, *v.file, duration, &s, &error)) {
            line.End();
            std::fprintf(stderr, "zmr create: %s: %s\n", v.camera ? "camera" : "screen", error.c_str());
            return 1;
        }
        s.number = v.number;
        lesson.streams.push_back(std::move(s));
        ++pass;
    }
    line.Finish();

    zmr::WriteSummary summary;
    if (!zmr::WriteCourseware(o.out, lesson, &summary, &error)) {
        // A half-written lesson would only mislead whoever opens it.
        std::remove(o.out.c_str());
        std::fprintf(stderr, "zmr create: %s: %s\n", o.out.c_str(), error.c_str());
        return 1;
    }
    // A chapter write-back cut short in the file this one replaces must not
    // be completed into it.
    zmr::DiscardChapterJournal(o.out);
    std::string names;
    for (const auto& s : lesson.streams) {
        if (!names.empty())
            names += ", ";
        names += s.type == zmr::kAudioStream    ? "audioOut"
                 : s.type == zmr::kCameraStream ? "videoOut"
                                                : "capture";
        names += " (" + std::to_string(s.objects.size()) + " objects)";
    }
    std::printf("%s: %zu streams [%s], %" PRIu64 " packets, %.3f s, %zu chapters\n", o.out.c_str(),
                lesson.streams.size(), names.c_str(), summary.packet_count, seconds, lesson.chapters.size());
    return 0;
}

}  // namespace zmrtool
