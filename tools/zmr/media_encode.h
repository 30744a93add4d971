// Encoding the streams of a lesson with FFmpeg, from media files or from the
// generated signals, into media objects the courseware writer lays out.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "courseware_writer.h"

namespace zmrtool {

// Told the media time (100 ns units) encoded so far, now and then.
using EncodeProgress = std::function<void(int64_t done)>;

struct VideoSettings {
    std::string codec = "wmv2";  // FFmpeg encoder name
    int width = 640;             // 0 (with height 0): the input file's own size
    int height = 480;
    int fps = 10;
    int gop = 20;  // frames from one key frame to the next
    int64_t bit_rate = 400000;
    EncodeProgress progress;
};

struct AudioSettings {
    int rate = 44100;
    int channels = 2;
    int64_t bit_rate = 64000;
    EncodeProgress progress;
};

// Encodes `duration` (100 ns units) of video from `file`, or of the screen or
// camera pattern when `file` is empty. Each object carries the encoder's key
// frame flag and its presentation times; `out` gets the format block too.
bool EncodeVideo(const VideoSettings& settings, bool camera, const std::string& file, int64_t duration,
                 zmr::WriterStream* out, std::string* error);

// Encodes `duration` of Windows Media audio (tag 0x0161) from `file`, or of
// the tone when `file` is empty.
bool EncodeAudio(const AudioSettings& settings, const std::string& file, int64_t duration,
                 zmr::WriterStream* out, std::string* error);

// Length of a media file in 100 ns units; 0 when it cannot be told.
int64_t MediaDuration(const std::string& file);

// FOURCC FFmpeg's RIFF video table gives `codec_id` and maps back to it; 0 if none.
uint32_t VideoFourcc(int codec_id);

}  // namespace zmrtool
