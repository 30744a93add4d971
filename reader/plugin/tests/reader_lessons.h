// Crafted lessons for the reader's tests: synthetic media objects written
// with the courseware writer, byte patches for broken files, and a harness
// that creates the real plug-in through the component runtime and connects
// every output pin to a recording sink.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "courseware_parse.h"
#include "courseware_writer.h"
#include "kovel/com.h"
#include "kovel/formats.h"
#include "kovel/streaming.h"
#include "reader_class.h"
#include "samples_sink.h"

namespace readertest {

using zmrtool::CSampleSink;
using zmrtool::SinkEvent;

constexpr uint16_t kAudioNumber = 1, kCameraNumber = 2, kScreenNumber = 3;

inline std::vector<uint8_t> WaveFormat(uint16_t tag = 0x0161) {
    std::vector<uint8_t> f(18 + 10, 0);
    zmr::WriteU16(&f[0], tag);
    zmr::WriteU16(&f[2], 1);
    zmr::WriteU32(&f[4], 16000);
    zmr::WriteU32(&f[8], 2000);
    zmr::WriteU16(&f[12], 743);
    zmr::WriteU16(&f[16], 10);
    for (int i = 0; i < 10; ++i) f[18 + i] = uint8_t(0xA0 + i);
    return f;
}

inline std::vector<uint8_t> VideoFormat(uint32_t fourcc = 0x32564D57, int w = 160, int h = 120) {
    std::vector<uint8_t> f(88, 0);
    zmr::WriteU32(&f[48], 40);
    zmr::WriteU32(&f[52], uint32_t(w));
    zmr::WriteU32(&f[56], uint32_t(h));
    zmr::WriteU16(&f[60], 1);
    zmr::WriteU16(&f[62], 24);
    zmr::WriteU32(&f[64], fourcc);
    return f;
}

// Deterministic bytes that differ from object to object.
inline std::vector<uint8_t> Bytes(size_t n, uint32_t seed) {
    std::vector<uint8_t> v(n);
    uint32_t x = seed * 2654435761u + 12345;
    for (auto& b : v) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = uint8_t(x);
    }
    return v;
}

inline zmr::WriterStream AudioStream(int seconds) {
    zmr::WriterStream s;
    s.type = zmr::kAudioStream;
    s.number = kAudioNumber;
    s.format = WaveFormat();
    for (int i = 0; i < seconds * 10; ++i)
        s.objects.push_back(
            {Bytes(600 + (i * 37) % 300, 1000 + i), i * UNITS / 10, (i + 1) * UNITS / 10, true});
    return s;
}

// Video frames of varied sizes, some spanning several packets; a key frame each second.
inline zmr::WriterStream VideoStream(const GUID& type, uint16_t number, int seconds, int per_second,
                                     size_t big) {
    zmr::WriterStream s;
    s.type = type;
    s.number = number;
    s.format = VideoFormat();
    for (int i = 0; i < seconds * per_second; ++i) {
        const bool key = i % per_second == 0;
        s.objects.push_back({Bytes(key ? big : 200 + (i * 131) % 1500, number * 100000u + uint32_t(i)),
                             int64_t(i) * UNITS / per_second, int64_t(i + 1) * UNITS / per_second, key});
    }
    return s;
}

struct Crafted {
    std::string path;
    zmr::Lesson lesson;
    zmr::WriteSummary summary;
};

inline std::string TempPath(const std::string& name) {
    return std::string(::testing::TempDir()) + "reader_" + name;
}

inline Crafted Write(const std::string& name, zmr::Lesson lesson) {
    Crafted c;
    c.path = TempPath(name);
    c.lesson = std::move(lesson);
    // The writer copies the record area with memcpy even when it is empty.
    if (c.lesson.title.empty())
        c.lesson.title = "lesson";
    std::string err;
    EXPECT_TRUE(zmr::WriteCourseware(c.path, c.lesson, &c.summary, &err)) << err;
    return c;
}

// Audio, camera and screen as asked, `seconds` long.
inline Crafted MakeLesson(const std::string& name, bool audio, bool camera, bool screen, int seconds = 20) {
    zmr::Lesson l;
    l.title = "lesson";
    l.play_duration = int64_t(seconds) * UNITS;
    if (audio)
        l.streams.push_back(AudioStream(seconds));
    if (camera)
        l.streams.push_back(VideoStream(zmr::kCameraStream, kCameraNumber, seconds, 5, 4500));
    if (screen)
        l.streams.push_back(VideoStream(zmr::kScreenStream, kScreenNumber, seconds, 2, 9000));
    return Write(name, std::move(l));
}

inline std::vector<uint8_t> ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}
inline void WriteAll(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

// Byte offsets of a well-formed file's parts, for patches.
struct Layout {
    uint64_t header_size, data_offset, packet_count, index_offset;
    uint64_t Packet(uint64_t k) const {
        return data_offset + zmr::kDataObjectHeadSize + k * zmr::kPacketSize;
    }
};
inline Layout LayoutOf(const std::vector<uint8_t>& b) {
    Layout l{};
    l.header_size = zmr::ReadU64(&b[16]);
    l.data_offset = l.header_size;
    l.packet_count = zmr::ReadU64(&b[l.data_offset + zmr::kDataPacketCount]);
    l.index_offset = l.data_offset + zmr::ReadU64(&b[l.data_offset + 16]);
    return l;
}
// Offset of the stream properties object of `number`.
inline size_t StreamPropsOffset(const std::vector<uint8_t>& b, uint16_t number) {
    uint64_t hs = zmr::ReadU64(&b[16]);
    for (uint64_t off = 24; off < hs; off += zmr::ReadU64(&b[off + 16]))
        if (zmr::ReadGuid(&b[off]) == zmr::kStreamPropertiesObject &&
            zmr::ReadU16(&b[off + zmr::kSpStreamNumber]) == number)
            return size_t(off);
    ADD_FAILURE() << "no stream " << number;
    return 0;
}
// Calls fn(packet number, payload offset in the file) for every payload.
template <typename Fn>
void ForEachPayload(const std::vector<uint8_t>& b, Fn fn) {
    Layout l = LayoutOf(b);
    for (uint64_t k = 0; k < l.packet_count; ++k) {
        size_t p = size_t(l.Packet(k));
        unsigned count = b[p];
        size_t off = p + zmr::kPacketHeadSize;
        for (unsigned i = 0; i < count; ++i) {
            fn(k, off);
            off += zmr::kPayloadHeadSize + zmr::ReadU16(&b[off + zmr::kPlDataLength]);
        }
    }
}

struct Initialise : ::testing::Environment {
    void SetUp() override { CoInitializeEx(nullptr, COINIT_MULTITHREADED); }
    void TearDown() override { CoUninitialize(); }
};

// The real plug-in, by class id through the registry, with one sink per pin.
class ReaderHarness {
  public:
    ReaderHarness() {
        hr_create = CoCreateInstance(CLSID_ZmReader, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                     reinterpret_cast<void**>(&filter));
        if (filter)
            filter->QueryInterface(IID_IFileSourceFilter, reinterpret_cast<void**>(&source));
    }
    ~ReaderHarness() {
        if (filter)
            filter->Stop();
        for (auto& s : sinks) s->Unblock();
        for (size_t i = 0; i < pins.size(); ++i) {
            pins[i]->Disconnect();
            sinks[i]->Disconnect();
            pins[i]->Release();
        }
        if (source)
            source->Release();
        if (filter)
            filter->Release();
    }

    HRESULT Load(const std::string& path) {
        std::u16string w(path.begin(), path.end());
        HRESULT hr = source->Load(w.c_str(), nullptr);
        IEnumPins* e = nullptr;
        filter->EnumPins(&e);
        IPin* p = nullptr;
        while (e && e->Next(1, &p, nullptr) == S_OK) {
            pins.push_back(p);
            PIN_INFO info{};
            p->QueryPinInfo(&info);
            if (info.pFilter)
                info.pFilter->Release();
            names.push_back(info.achName);
            sinks.push_back(std::make_unique<CSampleSink>(u"in"));
            sinks.back()->m_bKeepData = keep_data;
        }
        if (e)
            e->Release();
        return hr;
    }
    int Find(const std::u16string& name) const {
        for (size_t i = 0; i < names.size(); ++i)
            if (names[i] == name)
                return int(i);
        return -1;
    }
    void ConnectAll(bool hold_first = false) {
        for (size_t i = 0; i < pins.size(); ++i) {
            sinks[i]->m_bHoldFirst = hold_first;
            ASSERT_EQ(pins[i]->Connect(sinks[i].get(), nullptr), S_OK);
        }
    }
    IMediaSeeking* Seeking(size_t i) {
        IMediaSeeking* ms = nullptr;
        pins[i]->QueryInterface(IID_IMediaSeeking, reinterpret_cast<void**>(&ms));
        if (ms)
            ms->Release();  // the harness holds the pin
        return ms;
    }
    HRESULT SeekAll(REFERENCE_TIME t, std::vector<HRESULT>* each = nullptr) {
        HRESULT first = S_OK;
        for (size_t i = 0; i < pins.size(); ++i) {
            REFERENCE_TIME v = t;
            HRESULT hr = Seeking(i)->SetPositions(&v, AM_SEEKING_AbsolutePositioning, nullptr, 0);
            if (each)
                each->push_back(hr);
            if (FAILED(hr) && SUCCEEDED(first))
                first = hr;
        }
        return first;
    }
    // Loads, connects every pin, runs and waits until every pin has ended.
    ::testing::AssertionResult PlayToEnd(const std::string& path) {
        if (HRESULT hr = Load(path); hr != S_OK)
            return ::testing::AssertionFailure() << "Load gave 0x" << std::hex << uint32_t(hr);
        for (size_t i = 0; i < pins.size(); ++i)
            if (HRESULT hr = pins[i]->Connect(sinks[i].get(), nullptr); hr != S_OK)
                return ::testing::AssertionFailure()
                       << "pin " << i << " did not connect: 0x" << std::hex << uint32_t(hr);
        if (HRESULT hr = filter->Run(0); hr != S_OK)
            return ::testing::AssertionFailure() << "Run gave 0x" << std::hex << uint32_t(hr);
        if (!WaitAllEnded())
            return ::testing::AssertionFailure() << "not every pin ended";
        return ::testing::AssertionSuccess();
    }
    bool WaitAllEnded(int ms = 20000) {
        for (auto& s : sinks)
            if (!s->WaitEndOfStream(ms))
                return false;
        return true;
    }

    HRESULT hr_create = E_FAIL;
    IBaseFilter* filter = nullptr;
    IFileSourceFilter* source = nullptr;
    bool keep_data = false;
    std::vector<IPin*> pins;
    std::vector<std::u16string> names;
    std::vector<std::unique_ptr<CSampleSink>> sinks;
};

inline std::vector<SinkEvent> SamplesOf(const std::vector<SinkEvent>& ev) {
    std::vector<SinkEvent> out;
    for (const auto& e : ev)
        if (e.kind == SinkEvent::kSample)
            out.push_back(e);
    return out;
}
// Events after the last end of a flush.
inline std::vector<SinkEvent> AfterLastFlush(const std::vector<SinkEvent>& ev) {
    size_t at = 0;
    for (size_t i = 0; i < ev.size(); ++i)
        if (ev[i].kind == SinkEvent::kEndFlush)
            at = i + 1;
    return std::vector<SinkEvent>(ev.begin() + long(at), ev.end());
}

// Checks that `got` are exactly objects [from, end) of `s`, times relative to `base`.
inline void ExpectObjects(const std::vector<SinkEvent>& got, const zmr::WriterStream& s, size_t from,
                          REFERENCE_TIME base = 0) {
    ASSERT_EQ(got.size(), s.objects.size() - from) << "stream " << s.number;
    for (size_t i = 0; i < got.size(); ++i) {
        const auto& o = s.objects[from + i];
        ASSERT_TRUE(got[i].time_valid);
        EXPECT_EQ(got[i].start, o.start - base) << "object " << from + i;
        EXPECT_EQ(got[i].end, o.end - base) << "object " << from + i;
        ASSERT_EQ(size_t(got[i].size), o.data.size()) << "object " << from + i;
        EXPECT_EQ(got[i].crc32, zmrtool::Crc32(o.data.data(), o.data.size())) << "object " << from + i;
        EXPECT_TRUE(got[i].sync);
    }
}

}  // namespace readertest
