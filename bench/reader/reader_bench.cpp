// How fast the reader delivers a one-hour lesson (every pin reads every
// packet and keeps its own stream's objects), beside reading the same file
// sequentially from the page cache. The lesson is generated once into the
// build tree with synthetic payloads.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "courseware_format.h"
#include "courseware_writer.h"
#include "kovel/com.h"
#include "pin_core.h"
#include "reader_filter.h"
#include "samples_sink.h"

namespace {

const std::string kLesson = ZMREADER_BENCH_LESSON;
constexpr int kSeconds = 3600;

uint64_t FileSize(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? uint64_t(st.st_size) : 0;
}

// Audio blocks ten a second, camera frames five a second, screen frames two
// a second with a larger key frame every ten seconds.
bool MakeLesson() {
    if (FileSize(kLesson) > 0)
        return true;
    mkdir(kLesson.substr(0, kLesson.rfind('/')).c_str(), 0755);
    zmr::Lesson l;
    l.title = "benchmark";
    l.play_duration = int64_t(kSeconds) * UNITS;
    auto stream = [](const GUID& type, uint16_t number, int per_second, size_t small, size_t key, int gop) {
        zmr::WriterStream s;
        s.type = type;
        s.number = number;
        s.format.assign(type == zmr::kAudioStream ? 28 : 88, 0);
        if (type != zmr::kAudioStream) {
            zmr::WriteU32(&s.format[48], 40);
            zmr::WriteU32(&s.format[64], 0x32564D57);
        }
        for (int i = 0; i < kSeconds * per_second; ++i) {
            const bool k = i % gop == 0;
            s.objects.push_back({std::vector<uint8_t>(k ? key : small + size_t(i % 97), uint8_t(i)),
                                 int64_t(i) * UNITS / per_second, int64_t(i + 1) * UNITS / per_second, k});
        }
        return s;
    };
    l.streams.push_back(stream(zmr::kAudioStream, 1, 10, 743, 743, 1));
    l.streams.push_back(stream(zmr::kCameraStream, 2, 5, 900, 6000, 10));
    l.streams.push_back(stream(zmr::kScreenStream, 3, 2, 3000, 40000, 20));
    std::string err;
    return zmr::WriteCourseware(kLesson, l, nullptr, &err);
}

void BM_ReaderDelivery(benchmark::State& state) {
    if (!MakeLesson()) {
        state.SkipWithError("cannot write the lesson");
        return;
    }
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    const std::u16string wpath(kLesson.begin(), kLesson.end());
    uint64_t bytes = 0, samples = 0;
    for (auto _ : state) {
        HRESULT hr = S_OK;
        auto* filter = static_cast<CReaderFilter*>(CReaderFilter::CreateInstance(nullptr, &hr));
        filter->NonDelegatingAddRef();
        if (FAILED(filter->Load(wpath.c_str(), nullptr))) {
            state.SkipWithError("load failed");
            filter->NonDelegatingRelease();
            break;
        }
        std::vector<IPin*> pins;
        std::vector<std::unique_ptr<zmrtool::CSampleSink>> sinks;
        for (int i = 0; i < filter->PinCount(); ++i) {
            pins.push_back(static_cast<IPin*>(filter->PinAt(i)));
            sinks.push_back(std::make_unique<zmrtool::CSampleSink>(u"in"));
            sinks.back()->m_bChecksum = false;
            pins.back()->Connect(sinks.back().get(), nullptr);
        }
        filter->Run(0);
        for (auto& s : sinks) s->WaitEndOfStream(600000);
        filter->Stop();
        for (size_t i = 0; i < pins.size(); ++i) {
            for (const auto& e : sinks[i]->Events())
                if (e.kind == zmrtool::SinkEvent::kSample) {
                    bytes += uint64_t(e.size);
                    ++samples;
                }
            pins[i]->Disconnect();
            sinks[i]->Disconnect();
        }
        filter->NonDelegatingRelease();
    }
    state.SetBytesProcessed(int64_t(bytes));
    state.SetItemsProcessed(int64_t(samples));
    state.counters["file_bytes"] = double(FileSize(kLesson));
    state.counters["file_rate"] =
        benchmark::Counter(double(FileSize(kLesson)) * double(state.iterations()),
                           benchmark::Counter::kIsRate, benchmark::Counter::kIs1024);
    CoUninitialize();
}
BENCHMARK(BM_ReaderDelivery)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

void BM_RawSequentialRead(benchmark::State& state) {
    if (!MakeLesson()) {
        state.SkipWithError("cannot write the lesson");
        return;
    }
    std::vector<char> buf(1 << 16);
    uint64_t bytes = 0;
    for (auto _ : state) {
        int fd = open(kLesson.c_str(), O_RDONLY | O_CLOEXEC);
        ssize_t n;
        while ((n = read(fd, buf.data(), buf.size())) > 0) bytes += uint64_t(n);
        close(fd);
    }
    state.SetBytesProcessed(int64_t(bytes));
}
BENCHMARK(BM_RawSequentialRead)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
