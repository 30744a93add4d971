// Writes a handful of small, valid lessons as a seed corpus for the fuzz
// target: make_seeds DIR.
#include <cstdio>
#include <string>

#include "courseware_format.h"
#include "courseware_writer.h"

namespace {

zmr::WriterStream Stream(const GUID& type, uint16_t number, int count, size_t big, int64_t step) {
    zmr::WriterStream s;
    s.type = type;
    s.number = number;
    s.format.assign(type == zmr::kAudioStream ? 28 : 88, 0);
    if (type != zmr::kAudioStream) {
        zmr::WriteU32(&s.format[48], 40);
        zmr::WriteU16(&s.format[62], 24);
        zmr::WriteU32(&s.format[64], 0x32564D57);
    } else {
        zmr::WriteU16(&s.format[0], 0x0161);
    }
    for (int i = 0; i < count; ++i)
        s.objects.push_back({std::vector<uint8_t>(i % 4 == 0 ? big : 60 + i, uint8_t(i * 7 + number)),
                             i * step, (i + 1) * step, i % 4 == 0});
    return s;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    struct Seed {
        const char* name;
        bool audio, camera, screen;
    } const seeds[] = {{"all.zmr", true, true, true},
                       {"noscreen.zmr", true, true, false},
                       {"screen.zmr", false, false, true}};
    for (const Seed& s : seeds) {
        zmr::Lesson l;
        l.title = "seed";
        l.play_duration = 3 * UNITS;
        if (s.audio)
            l.streams.push_back(Stream(zmr::kAudioStream, 1, 12, 300, UNITS / 4));
        if (s.camera)
            l.streams.push_back(Stream(zmr::kCameraStream, 2, 6, 2500, UNITS / 2));
        if (s.screen)
            l.streams.push_back(Stream(zmr::kScreenStream, 3, 4, 4100, 3 * UNITS / 4));
        l.chapters = {{1, 0, "one"}};
        std::string err;
        if (!zmr::WriteCourseware(dir + "/" + s.name, l, nullptr, &err)) {
            std::fprintf(stderr, "%s: %s\n", s.name, err.c_str());
            return 1;
        }
    }
    return 0;
}
