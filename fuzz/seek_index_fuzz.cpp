// Arbitrary bytes as the per-second index object at the start of a file:
// each pin's loading of its entries (the audio pin takes the first block, a
// video pin the block of its stream) and the choice of the packet a seek
// restarts from. A chosen packet is always one of the loaded entries.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

#include "courseware_parse.h"
#include "fuzz_input.h"
#include "kovel/types.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string path = kovel::fuzz::InputPath("seek_index_fuzz", ".idx");
    if (!kovel::fuzz::WriteInput(path, data, size))
        return 0;
    zmr::FileReader file;
    if (file.Open(path) != 0)
        return 0;
    // The play duration comes from the input's last bytes (past the index
    // object, which states its own size), so the fuzzer steers it too.
    int64_t duration = 0;
    if (size >= 8)
        std::memcpy(&duration, data + size - 8, 8);
    for (int stream = 0; stream <= 4; ++stream) {
        const auto entries = zmr::LoadSeekIndex(file, 0, stream == 0, uint16_t(stream));
        if (!entries)
            continue;
        if (entries->empty())
            std::abort();  // an index without entries is refused
        // Around the duration and the last entry, wrapping rather than overflowing.
        const int64_t justBefore = int64_t(uint64_t(duration) - 1);
        for (int64_t start : {int64_t(0), duration, duration / 2, justBefore,
                              int64_t(entries->size()) * UNITS, int64_t(12700000), int64_t(-1)}) {
            const auto packet = zmr::SeekPacket(*entries, start, duration);
            if (!packet)
                continue;
            if (start < 0 || start > duration)
                std::abort();
            const uint64_t s = std::min<uint64_t>(uint64_t(start / UNITS), entries->size() - 1);
            if (*packet != (*entries)[s])
                std::abort();
        }
    }
    return 0;
}
