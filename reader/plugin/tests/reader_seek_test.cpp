// Seeking the reader's pins through the per-second index: where delivery
// restarts, the flush and new segment around it, refused seeks, and seeks
// while samples flow.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>

#include "reader_lessons.h"

using namespace readertest;

namespace {

::testing::Environment* const g_env = ::testing::AddGlobalTestEnvironment(new Initialise);

constexpr int kSeconds = 30;

Crafted Lesson30(const std::string& name) {
    return MakeLesson(name, true, true, true, kSeconds);
}

// Busy-waits up to `maxUs` microseconds: a delay finer than any sleep,
// to spread the meeting points of two racing threads.
void BusyWait(std::mt19937& rng, int maxUs) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(rng() % maxUs);
    while (std::chrono::steady_clock::now() < until) {
    }
}

size_t StreamIndex(const std::u16string& pin) {
    return pin == u"audioOut" ? 0 : pin == u"videoOut" ? 1 : 2;
}

// First object delivery restarts with after a seek to `t`: the first that
// begins in or after the packet the index names for second t.
size_t FirstObjectAfterSeek(const Crafted& c, size_t si, REFERENCE_TIME t, size_t max_entries = SIZE_MAX) {
    zmr::FileReader f;
    EXPECT_EQ(f.Open(c.path), 0);
    auto layout = zmr::ReadFileLayout(f);
    const auto& s = c.lesson.streams[si];
    auto entries = zmr::LoadSeekIndex(f, layout->index_offset, si == 0, s.number);
    EXPECT_TRUE(entries);
    size_t e = std::min<size_t>({size_t(t / UNITS), entries->size() - 1, max_entries - 1});
    uint32_t k = (*entries)[e];
    size_t o = 0;
    while (o < s.objects.size() && c.summary.first_packet[si][o] < k) ++o;
    return o;
}

// Pauses with every pin holding its first sample, seeks every pin to `t`
// and checks what follows the flush.
void SeekWhilePausedAndCheck(const Crafted& c, REFERENCE_TIME t, size_t max_entries = SIZE_MAX) {
    SCOPED_TRACE("seek to " + std::to_string(t));
    ReaderHarness r;
    ASSERT_EQ(r.Load(c.path), S_OK);
    r.ConnectAll(true);
    ASSERT_EQ(r.filter->Pause(), S_OK);
    for (auto& s : r.sinks) ASSERT_TRUE(s->WaitHeldOrEnded());
    std::vector<HRESULT> each;
    r.SeekAll(t, &each);
    for (HRESULT hr : each) EXPECT_EQ(hr, S_OK);
    ASSERT_TRUE(r.WaitAllEnded());
    for (size_t i = 0; i < r.pins.size(); ++i) {
        SCOPED_TRACE(std::string(r.names[i].begin(), r.names[i].end()));
        auto ev = r.sinks[i]->Events();
        int begins = 0, ends = 0;
        for (const auto& e : ev) {
            begins += e.kind == SinkEvent::kBeginFlush;
            ends += e.kind == SinkEvent::kEndFlush;
        }
        EXPECT_EQ(begins, 1);
        EXPECT_EQ(ends, 1);
        auto after = AfterLastFlush(ev);
        ASSERT_FALSE(after.empty());
        EXPECT_EQ(after.front().kind, SinkEvent::kSegment);
        EXPECT_EQ(after.front().start, t);
        EXPECT_EQ(after.front().end, c.lesson.play_duration);
        EXPECT_EQ(after.back().kind, SinkEvent::kEndOfStream);
        size_t si = StreamIndex(r.names[i]);
        auto samples = SamplesOf(after);
        const size_t from = FirstObjectAfterSeek(c, si, t, max_entries);
        ExpectObjects(samples, c.lesson.streams[si], from, t);
        // After a seek audio has no discontinuity; video frames keep their
        // flags (the writer gives flags 0 to the first frame only).
        for (size_t k = 0; k < samples.size(); ++k)
            EXPECT_EQ(samples[k].discontinuity, si != 0 && from + k == 0);
    }
}

TEST(ReaderSeek, RestartsAtTheIndexedPacketWithTimesFromTheNewStart) {
    Crafted c = Lesson30("seek.zmr");
    SeekWhilePausedAndCheck(c, 0);
    SeekWhilePausedAndCheck(c, 127000000);  // entry 12
    SeekWhilePausedAndCheck(c, 5 * UNITS + 1);
    SeekWhilePausedAndCheck(c, c.lesson.play_duration);  // the duration itself is accepted
}

TEST(ReaderSeek, PastTheLastEntryUsesTheLastEntry) {
    Crafted c = Lesson30("shortindex.zmr");
    auto b = ReadAll(c.path);
    Layout lay = LayoutOf(b);
    uint64_t end = lay.index_offset + zmr::ReadU64(&b[lay.index_offset + 16]);
    for (uint64_t off = lay.index_offset + 24; off < end; off += zmr::ReadU32(&b[off + zmr::kIbBlockSize]))
        zmr::WriteU64(&b[off + zmr::kIbEntryCount], 6);
    WriteAll(c.path, b);
    SeekWhilePausedAndCheck(c, 20 * UNITS, 6);
}

// Refused seeks leave delivery alone: no flush, and samples keep the times
// of the segment they belong to.
void RefusedSeek(const std::string& path, const Crafted& c, REFERENCE_TIME t) {
    SCOPED_TRACE("seek to " + std::to_string(t));
    ReaderHarness r;
    ASSERT_EQ(r.Load(path), S_OK);
    r.ConnectAll(true);
    ASSERT_EQ(r.filter->Pause(), S_OK);
    for (auto& s : r.sinks) ASSERT_TRUE(s->WaitHeldOrEnded());
    std::vector<HRESULT> each;
    r.SeekAll(t, &each);
    for (size_t i = 0; i < each.size(); ++i) {
        EXPECT_EQ(each[i], E_FAIL);
        LONGLONG start = -1, stop = -1;
        EXPECT_EQ(r.Seeking(i)->GetPositions(&start, &stop), S_OK);
        EXPECT_EQ(start, 0);
    }
    for (auto& s : r.sinks) s->Unblock();
    ASSERT_TRUE(r.WaitAllEnded());
    for (size_t i = 0; i < r.pins.size(); ++i) {
        auto ev = r.sinks[i]->Events();
        for (const auto& e : ev) EXPECT_NE(e.kind, SinkEvent::kBeginFlush);
        ExpectObjects(SamplesOf(ev), c.lesson.streams[StreamIndex(r.names[i])], 0);
    }
}

TEST(ReaderSeek, ImpossibleSeeksFailBeforeAnythingStops) {
    Crafted c = Lesson30("refuse.zmr");
    RefusedSeek(c.path, c, c.lesson.play_duration + 1);
    RefusedSeek(c.path, c, -1);

    // No index object at all.
    auto b = ReadAll(c.path);
    Layout lay = LayoutOf(b);
    std::string noindex = TempPath("noindex.zmr");
    WriteAll(noindex, std::vector<uint8_t>(b.begin(), b.begin() + long(lay.index_offset)));
    RefusedSeek(noindex, c, 0);

    // Index blocks without entries.
    uint64_t end = lay.index_offset + zmr::ReadU64(&b[lay.index_offset + 16]);
    for (uint64_t off = lay.index_offset + 24; off < end; off += zmr::ReadU32(&b[off + zmr::kIbBlockSize]))
        zmr::WriteU64(&b[off + zmr::kIbEntryCount], 0);
    std::string empty = TempPath("emptyindex.zmr");
    WriteAll(empty, b);
    RefusedSeek(empty, c, 0);
}

TEST(ReaderSeek, StopAndRateAloneDoNotRestartAndTravelInTheNextSegment) {
    Crafted c = Lesson30("stoprate.zmr");
    ReaderHarness r;
    ASSERT_EQ(r.Load(c.path), S_OK);
    r.ConnectAll(true);
    ASSERT_EQ(r.filter->Pause(), S_OK);
    IMediaSeeking* ms = r.Seeking(0);
    LONGLONG duration = 0;
    ASSERT_EQ(ms->GetDuration(&duration), S_OK);
    EXPECT_EQ(duration, c.lesson.play_duration);
    ASSERT_TRUE(r.sinks[0]->WaitHeldOrEnded());
    LONGLONG stop = 20 * UNITS;
    EXPECT_EQ(ms->SetPositions(nullptr, 0, &stop, AM_SEEKING_AbsolutePositioning), S_OK);
    EXPECT_EQ(ms->SetRate(2.0), S_OK);
    for (const auto& e : r.sinks[0]->Events()) EXPECT_NE(e.kind, SinkEvent::kBeginFlush);
    LONGLONG start = 3 * UNITS;
    EXPECT_EQ(ms->SetPositions(&start, AM_SEEKING_AbsolutePositioning, nullptr, 0), S_OK);
    for (auto& s : r.sinks) s->Unblock();
    ASSERT_TRUE(r.WaitAllEnded());
    auto after = AfterLastFlush(r.sinks[0]->Events());
    ASSERT_FALSE(after.empty());
    EXPECT_EQ(after.front().kind, SinkEvent::kSegment);
    EXPECT_EQ(after.front().start, start);
    EXPECT_EQ(after.front().end, stop);
    EXPECT_EQ(after.front().rate, 2.0);
    // Delivery still runs to the end of the data, times unscaled.
    ExpectObjects(SamplesOf(after), c.lesson.streams[0], FirstObjectAfterSeek(c, 0, start), start);
}

TEST(ReaderSeek, SeekWhileStoppedStartsNothingAndActivationBeginsAtTheFirstPacket) {
    Crafted c = MakeLesson("stopped.zmr", true, false, false, 5);
    ReaderHarness r;
    ASSERT_EQ(r.Load(c.path), S_OK);
    // Before the pin was ever active: the index is found all the same.
    ASSERT_EQ(r.SeekAll(2 * UNITS), S_OK);
    r.ConnectAll();
    ASSERT_EQ(r.SeekAll(2 * UNITS), S_OK);
    EXPECT_TRUE(r.sinks[0]->Events().empty());
    ASSERT_EQ(r.filter->Run(0), S_OK);
    ASSERT_TRUE(r.WaitAllEnded());
    auto ev = r.sinks[0]->Events();
    EXPECT_EQ(ev.front().kind, SinkEvent::kSegment);
    EXPECT_EQ(ev.front().start, 2 * UNITS);
    ExpectObjects(SamplesOf(ev), c.lesson.streams[0], 0, 2 * UNITS);
}

TEST(ReaderSeekThreaded, SeeksWhileDataFlowsLoseNothingAtTheNewPosition) {
    Crafted c = Lesson30("flowing.zmr");
    std::mt19937 rng(7);
    for (int round = 0; round < 4; ++round) {
        ReaderHarness r;
        ASSERT_EQ(r.Load(c.path), S_OK);
        r.ConnectAll();
        ASSERT_EQ(r.filter->Pause(), S_OK);
        ASSERT_EQ(r.filter->Run(0), S_OK);
        REFERENCE_TIME t = 0;
        const int seeks = 25;
        for (int k = 0; k < seeks; ++k) {
            std::this_thread::sleep_for(std::chrono::microseconds(rng() % 3000));
            t = REFERENCE_TIME(rng() % uint32_t(c.lesson.play_duration / 1000)) * 1000;
            ASSERT_EQ(r.SeekAll(t), S_OK);
        }
        ASSERT_TRUE(r.WaitAllEnded());
        for (size_t i = 0; i < r.pins.size(); ++i) {
            SCOPED_TRACE(std::string(r.names[i].begin(), r.names[i].end()));
            auto ev = r.sinks[i]->Events();
            int begins = 0, ends = 0;
            for (size_t e = 0; e < ev.size(); ++e) {
                begins += ev[e].kind == SinkEvent::kBeginFlush;
                if (ev[e].kind == SinkEvent::kEndFlush) {
                    ++ends;
                    // Every restart begins with a new segment, unless the
                    // next seek stopped it before it delivered anything.
                    ASSERT_LT(e + 1, ev.size());
                    EXPECT_TRUE(ev[e + 1].kind == SinkEvent::kSegment ||
                                ev[e + 1].kind == SinkEvent::kBeginFlush)
                        << "event " << int(ev[e + 1].kind) << " after an end of flush";
                }
            }
            EXPECT_EQ(begins, seeks);
            EXPECT_EQ(ends, seeks);
            size_t si = StreamIndex(r.names[i]);
            // Whatever came of each restart began with the object the index
            // names: nothing filled at the new position was thrown away.
            const auto& objects = c.lesson.streams[si].objects;
            for (size_t e = 0; e + 2 < ev.size(); ++e) {
                if (ev[e].kind != SinkEvent::kEndFlush || ev[e + 2].kind != SinkEvent::kSample)
                    continue;
                const REFERENCE_TIME base = ev[e + 1].start;
                const size_t from = FirstObjectAfterSeek(c, si, base);
                ASSERT_LT(from, objects.size());
                EXPECT_EQ(ev[e + 2].start, objects[from].start - base) << "restart at " << base;
            }
            auto after = AfterLastFlush(ev);
            EXPECT_EQ(after.front().start, t);
            ExpectObjects(SamplesOf(after), c.lesson.streams[si], FirstObjectAfterSeek(c, si, t), t);
        }
        ASSERT_EQ(r.filter->Stop(), S_OK);
    }
}

TEST(ReaderSeekThreaded, StopDuringDeliveryAndRestart) {
    Crafted c = Lesson30("restart.zmr");
    ReaderHarness r;
    ASSERT_EQ(r.Load(c.path), S_OK);
    r.ConnectAll();
    for (int k = 0; k < 10; ++k) {
        ASSERT_EQ(r.filter->Run(0), S_OK);
        std::this_thread::sleep_for(std::chrono::microseconds(500 * k));
        ASSERT_EQ(r.filter->Stop(), S_OK);
    }
    for (auto& s : r.sinks) s->ClearEvents();
    // Every activation starts again at the first packet.
    ASSERT_EQ(r.filter->Run(0), S_OK);
    ASSERT_TRUE(r.WaitAllEnded());
    for (size_t i = 0; i < r.pins.size(); ++i)
        ExpectObjects(SamplesOf(r.sinks[i]->Events()), c.lesson.streams[StreamIndex(r.names[i])], 0);
}

// A seek straight through a pin's seeking interface racing Stop: once Stop
// has returned no worker may be left (a restart's Run landing between
// Deactivate's Stop and Exit used to leave a spinning worker behind a filter
// that reported Stopped, and every later Run failed).
TEST(ReaderSeekThreaded, SeekRacingStopLeavesNoWorker) {
    Crafted c = MakeLesson("racestop.zmr", true, true, true, 5);
    ReaderHarness r;
    ASSERT_EQ(r.Load(c.path), S_OK);
    r.ConnectAll();
    IMediaSeeking* ms = r.Seeking(0);
    std::mt19937 rng(11);
    for (int round = 0; round < 400; ++round) {
        ASSERT_EQ(r.filter->Run(0), S_OK) << "a worker outlived the Stop of round " << round - 1;
        REFERENCE_TIME t = REFERENCE_TIME(rng() % 5) * UNITS;
        std::atomic<bool> go{false};
        std::thread seeker([&] {
            while (!go) std::this_thread::yield();
            ms->SetPositions(&t, AM_SEEKING_AbsolutePositioning, nullptr, 0);
        });
        // Delivery has settled; the seek and the Stop then start a few
        // microseconds apart, which is where the restart meets Deactivate.
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        go = true;
        BusyWait(rng, 40);
        const HRESULT hrStop = r.filter->Stop();
        seeker.join();
        ASSERT_EQ(hrStop, S_OK) << "round " << round;
    }
}

// A seek racing the activation: whatever the order, the segment a pin sends
// and the samples that follow it belong together, and every sample is there.
TEST(ReaderSeekThreaded, SeekRacingPauseKeepsSegmentAndSamplesTogether) {
    Crafted c = MakeLesson("racepause.zmr", true, true, true, 5);
    ReaderHarness r;
    ASSERT_EQ(r.Load(c.path), S_OK);
    r.ConnectAll();
    std::mt19937 rng(5);
    for (int round = 0; round < 150; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        for (auto& s : r.sinks) s->ClearEvents();
        const REFERENCE_TIME t = REFERENCE_TIME(1 + rng() % 4) * UNITS + REFERENCE_TIME(rng() % 1000) * 1000;
        std::atomic<bool> go{false};
        std::thread seeker([&] {
            while (!go) std::this_thread::yield();
            r.SeekAll(t);
        });
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        go = true;
        BusyWait(rng, 100);
        const HRESULT hrPause = r.filter->Pause();
        seeker.join();
        ASSERT_EQ(hrPause, S_OK);
        ASSERT_TRUE(r.WaitAllEnded());
        for (size_t i = 0; i < r.pins.size(); ++i) {
            SCOPED_TRACE(std::string(r.names[i].begin(), r.names[i].end()));
            auto after = AfterLastFlush(r.sinks[i]->Events());
            ASSERT_FALSE(after.empty());
            ASSERT_EQ(after.front().kind, SinkEvent::kSegment);
            const REFERENCE_TIME base = after.front().start;
            EXPECT_EQ(base, t);
            const size_t si = StreamIndex(r.names[i]);
            auto samples = SamplesOf(after);
            ASSERT_FALSE(samples.empty());
            // From the indexed packet, or from the first one when the seek
            // came before the activation; timed from the segment either way.
            const auto& objects = c.lesson.streams[si].objects;
            const size_t from =
                samples.front().start + base == objects[0].start ? 0 : FirstObjectAfterSeek(c, si, base);
            ExpectObjects(samples, c.lesson.streams[si], from, base);
        }
        ASSERT_EQ(r.filter->Stop(), S_OK);
    }
}

}  // namespace
