// Damaged lessons: many mutations of a valid file (bytes flipped, fields set
// to extreme values, the file cut short) are loaded, played, sought and
// stopped. Nothing may crash, overrun or hang; whatever is delivered is at
// most the buffer the pin asked for.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <random>

#include "reader_lessons.h"

using namespace readertest;

namespace {

::testing::Environment* const g_env = ::testing::AddGlobalTestEnvironment(new Initialise);

void PlayDamaged(const std::string& path, REFERENCE_TIME seek) {
    ReaderHarness r;
    ASSERT_EQ(r.hr_create, S_OK);
    if (FAILED(r.Load(path)))
        return;
    for (size_t i = 0; i < r.pins.size(); ++i) {
        r.sinks[i]->m_nSampleLimit = 300;
        r.pins[i]->Connect(r.sinks[i].get(), nullptr);
    }
    if (FAILED(r.filter->Run(0)))
        return;
    r.SeekAll(seek);
    for (auto& s : r.sinks) EXPECT_TRUE(s->WaitEndedOrLimit(10000));
    EXPECT_EQ(r.filter->Stop(), S_OK);
    for (auto& s : r.sinks)
        for (const auto& e : SamplesOf(s->Events())) {
            EXPECT_GE(e.size, 0);
            EXPECT_LE(e.size, 0xFFFF);
        }
}

TEST(ReaderHostile, MutatedLessonsNeverCrashOrHang) {
    Crafted c = MakeLesson("hostile_base.zmr", true, true, true, 3);
    const auto base = ReadAll(c.path);
    const Layout lay = LayoutOf(base);
    // Offsets worth hitting: object heads, stream properties fields, packet
    // and payload heads, index block heads.
    std::vector<size_t> hot = {16,
                               24 + 16,
                               24 + zmr::kFpPacketSize,
                               24 + zmr::kFpPlayDuration,
                               size_t(lay.data_offset + 16),
                               size_t(lay.data_offset + zmr::kDataPacketCount),
                               size_t(lay.index_offset + 16),
                               size_t(lay.index_offset + 24 + zmr::kIbBlockSize),
                               size_t(lay.index_offset + 24 + zmr::kIbEntryCount)};
    for (uint16_t n : {kAudioNumber, kCameraNumber, kScreenNumber}) {
        size_t sp = StreamPropsOffset(base, n);
        for (uint32_t f : {16u, zmr::kSpStreamNumber, zmr::kSpSampleSize, zmr::kSpBufferSize,
                           zmr::kSpFormatLength, zmr::kSpFormatData + 14, zmr::kSpFormatData + 48 + 16})
            hot.push_back(sp + f);
    }
    ForEachPayload(base, [&](uint64_t k, size_t off) {
        if (k % 3 == 0)
            for (uint32_t f :
                 {0u, zmr::kPlObjectNumber, zmr::kPlObjectSize, zmr::kPlDataLength, zmr::kPlFlags})
                hot.push_back(off + f);
    });
    for (uint64_t k = 0; k < lay.packet_count; k += 4) {
        hot.push_back(size_t(lay.Packet(k)));
        hot.push_back(size_t(lay.Packet(k) + 4));
    }
    const uint64_t extremes[] = {
        0, 1, 23, 24, 25, 0x7F, 0xFF, 0x7FFF, 0xFFFF, 0x7FFFFFFF, 0xFFFFFFFF, 0x8000000000000000ull, ~0ull};
    std::mt19937_64 rng(20261208);
    const std::string path = TempPath("hostile_case.zmr");
    for (int round = 0; round < 150; ++round) {
        auto b = base;
        const int edits = 1 + int(rng() % 4);
        for (int e = 0; e < edits; ++e) {
            switch (rng() % 4) {
                case 0:  // an extreme value over a field
                {
                    size_t at = hot[rng() % hot.size()];
                    uint64_t v = extremes[rng() % std::size(extremes)];
                    size_t width = size_t(1) << (rng() % 4);
                    for (size_t i = 0; i < width && at + i < b.size(); ++i) b[at + i] = uint8_t(v >> (8 * i));
                    break;
                }
                case 1:  // random bytes anywhere
                    for (int i = 0; i < 8; ++i) b[rng() % b.size()] = uint8_t(rng());
                    break;
                case 2:  // cut short
                    b.resize(size_t(rng() % b.size()));
                    break;
                default:  // bit flips in the header
                    b[rng() % std::min<size_t>(b.size(), size_t(lay.header_size))] ^=
                        uint8_t(1u << (rng() % 8));
                    break;
            }
            if (b.empty())
                break;
        }
        WriteAll(path, b);
        SCOPED_TRACE("round " + std::to_string(round));
        PlayDamaged(path, REFERENCE_TIME(rng() % (5 * UNITS)) - UNITS);
    }
}

// Inputs the fuzzer once crashed on stay in its corpus as regress-*.zmr; each
// is played here the way the fuzzer played it, seek from its last bytes included.
TEST(ReaderHostile, FuzzFindingsPlayCleanly) {
    int replayed = 0;
    for (const auto& entry : std::filesystem::directory_iterator(KOVEL_FUZZ_CORPUS)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("regress-", 0) != 0)
            continue;
        const auto bytes = ReadAll(entry.path().string());
        REFERENCE_TIME seek = 0;
        if (bytes.size() >= 8)
            std::memcpy(&seek, bytes.data() + bytes.size() - 8, 8);
        SCOPED_TRACE(name);
        PlayDamaged(entry.path().string(), seek % (600 * UNITS));
        ++replayed;
    }
    EXPECT_GE(replayed, 1);
}

}  // namespace
