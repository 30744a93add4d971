// The reader plug-in through the component runtime: loading, pins and media
// types, and delivery of every media object from crafted lessons.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <climits>
#include <thread>

#include "kovel/registry.h"
#include "reader_lessons.h"

using namespace readertest;

namespace {

::testing::Environment* const g_env = ::testing::AddGlobalTestEnvironment(new Initialise);

const zmr::WriterStream* StreamOf(const Crafted& c, uint16_t number) {
    for (const auto& s : c.lesson.streams)
        if (s.number == number)
            return &s;
    return nullptr;
}

// Every delivered sample is a whole object of `s`, in order, none twice.
void ExpectWholeObjectsInOrder(const std::vector<SinkEvent>& got, const zmr::WriterStream& s) {
    size_t j = 0;
    for (const auto& g : got) {
        while (j < s.objects.size() && s.objects[j].start != g.start) ++j;
        ASSERT_LT(j, s.objects.size()) << "sample at " << g.start << " is no object, or out of order";
        ASSERT_EQ(size_t(g.size), s.objects[j].data.size());
        EXPECT_EQ(g.crc32, zmrtool::Crc32(s.objects[j].data.data(), s.objects[j].data.size()));
        ++j;
    }
}

uint16_t NumberOfPin(const std::u16string& name) {
    return name == u"audioOut" ? kAudioNumber : name == u"videoOut" ? kCameraNumber : kScreenNumber;
}

// Plays the lesson to the end and checks every pin's whole delivery.
void PlayAndCheckAll(const Crafted& c, const std::vector<std::u16string>& expected_pins) {
    ReaderHarness r;
    ASSERT_EQ(r.hr_create, S_OK);
    ASSERT_EQ(r.Load(c.path), S_OK);
    ASSERT_EQ(r.names, expected_pins);
    r.ConnectAll();
    ASSERT_EQ(r.filter->Pause(), S_OK);
    ASSERT_EQ(r.filter->Run(0), S_OK);
    ASSERT_TRUE(r.WaitAllEnded());
    for (size_t i = 0; i < r.pins.size(); ++i) {
        SCOPED_TRACE(std::string(r.names[i].begin(), r.names[i].end()));
        const zmr::WriterStream* s = StreamOf(c, NumberOfPin(r.names[i]));
        ASSERT_NE(s, nullptr);
        auto ev = r.sinks[i]->Events();
        ASSERT_GE(ev.size(), 2u);
        EXPECT_EQ(ev.front().kind, SinkEvent::kSegment);
        EXPECT_EQ(ev.front().start, 0);
        EXPECT_EQ(ev.front().end, c.lesson.play_duration);
        EXPECT_EQ(ev.front().rate, 1.0);
        EXPECT_EQ(ev.back().kind, SinkEvent::kEndOfStream);
        auto samples = SamplesOf(ev);
        ExpectObjects(samples, *s, 0);
        // Only the first sample is a discontinuity: for audio by rule, for
        // video because the writer marks only the first frame with flags 0.
        for (size_t k = 0; k < samples.size(); ++k) EXPECT_EQ(samples[k].discontinuity, k == 0) << k;
    }
}

TEST(ReaderDelivery, EveryObjectOnceInOrderForEachStreamCombination) {
    PlayAndCheckAll(MakeLesson("all.zmr", true, true, true), {u"audioOut", u"videoOut", u"capture"});
    PlayAndCheckAll(MakeLesson("noscreen.zmr", true, true, false), {u"audioOut", u"videoOut"});
    PlayAndCheckAll(MakeLesson("nocamera.zmr", true, false, true), {u"audioOut", u"capture"});
    PlayAndCheckAll(MakeLesson("screenonly.zmr", false, false, true), {u"capture"});
}

TEST(ReaderDelivery, SplitObjectsAndForeignPayloadsAreHandled) {
    // A fourth stream of a type no pin carries shares the packets; objects up
    // to 64 KB span many packets.
    zmr::Lesson l;
    l.play_duration = 4 * UNITS;
    l.streams.push_back(AudioStream(4));
    auto screen = VideoStream(zmr::kScreenStream, kScreenNumber, 4, 2, 65535);
    l.streams.push_back(screen);
    auto foreign =
        VideoStream(::kovel::detail::MakeGuid("12345678-0000-0000-0000-000000000001"), 9, 4, 10, 3000);
    l.streams.push_back(foreign);
    Crafted c = Write("foreign.zmr", l);
    PlayAndCheckAll(c, {u"audioOut", u"capture"});
}

TEST(ReaderDelivery, VideoFlagsByteZeroMarksADiscontinuity) {
    Crafted c = MakeLesson("flags.zmr", true, false, true, 5);
    auto b = ReadAll(c.path);
    // Screen object 3: every fragment gets flags 0; object 0 gets 1.
    ForEachPayload(b, [&](uint64_t, size_t off) {
        if (zmr::ReadU16(&b[off]) != kScreenNumber)
            return;
        uint16_t obj = zmr::ReadU16(&b[off + zmr::kPlObjectNumber]);
        if (obj == 3)
            b[off + zmr::kPlFlags] = 0;
        if (obj == 0)
            b[off + zmr::kPlFlags] = 1;
    });
    WriteAll(c.path, b);
    ReaderHarness r;
    ASSERT_TRUE(r.PlayToEnd(c.path));
    auto screen = SamplesOf(r.sinks[size_t(r.Find(u"capture"))]->Events());
    ASSERT_EQ(screen.size(), 10u);
    for (size_t k = 0; k < screen.size(); ++k) EXPECT_EQ(screen[k].discontinuity, k == 3) << k;
    // Audio ignores the flags: only its first sample.
    auto audio = SamplesOf(r.sinks[size_t(r.Find(u"audioOut"))]->Events());
    for (size_t k = 0; k < audio.size(); ++k) EXPECT_EQ(audio[k].discontinuity, k == 0) << k;
}

TEST(ReaderLoad, MediaTypesOfTheStreams) {
    zmr::Lesson l;
    l.play_duration = 2 * UNITS;
    auto audio = AudioStream(2);
    audio.format = WaveFormat(0x0001);  // the announced subtype does not follow the tag
    l.streams.push_back(audio);
    auto camera = VideoStream(zmr::kCameraStream, kCameraNumber, 2, 5, 1000);
    camera.sample_size = 0;
    // A second-generation video header: 24 extra bytes before the bitmap header.
    std::vector<uint8_t> v2(48, 0x11);
    v2.resize(72, 0);
    auto bih = VideoFormat(0x31435657);  // 'WVC1'
    v2.insert(v2.end(), bih.begin() + 48, bih.end());
    camera.format = v2;
    l.streams.push_back(camera);
    auto screen = VideoStream(zmr::kScreenStream, kScreenNumber, 2, 2, 1000);
    screen.sample_size = 4096;
    l.streams.push_back(screen);
    Crafted c = Write("types.zmr", l);

    ReaderHarness r;
    ASSERT_EQ(r.Load(c.path), S_OK);
    ASSERT_EQ(r.names.size(), 3u);
    auto first_type = [&](size_t i) {
        IEnumMediaTypes* e = nullptr;
        EXPECT_EQ(r.pins[i]->EnumMediaTypes(&e), S_OK);
        AM_MEDIA_TYPE* mts[2] = {};
        ULONG got = 0;
        EXPECT_EQ(e->Next(2, mts, &got), S_FALSE);  // exactly one type
        EXPECT_EQ(got, 1u);
        e->Release();
        return mts[0];
    };
    AM_MEDIA_TYPE* a = first_type(0);
    EXPECT_EQ(a->majortype, MEDIATYPE_Audio);
    EXPECT_EQ(a->subtype, MEDIASUBTYPE_WMAudioV2);
    EXPECT_EQ(a->formattype, FORMAT_WaveFormatEx);
    EXPECT_FALSE(a->bFixedSizeSamples);
    EXPECT_EQ(a->lSampleSize, 1u);
    ASSERT_EQ(a->cbFormat, audio.format.size());
    EXPECT_EQ(std::vector<uint8_t>(a->pbFormat, a->pbFormat + a->cbFormat), audio.format);

    AM_MEDIA_TYPE* v = first_type(1);
    EXPECT_EQ(v->majortype, MEDIATYPE_Video);
    EXPECT_EQ(v->subtype, FourccSubtype(0x31435657));
    EXPECT_EQ(v->formattype, FORMAT_VideoInfo);
    EXPECT_TRUE(v->bTemporalCompression);
    EXPECT_FALSE(v->bFixedSizeSamples);
    ASSERT_EQ(v->cbFormat, v2.size() - 24);
    EXPECT_EQ(std::vector<uint8_t>(v->pbFormat, v->pbFormat + 48),
              std::vector<uint8_t>(v2.begin(), v2.begin() + 48));
    EXPECT_EQ(std::vector<uint8_t>(v->pbFormat + 48, v->pbFormat + v->cbFormat),
              std::vector<uint8_t>(v2.begin() + 72, v2.end()));

    AM_MEDIA_TYPE* s = first_type(2);
    EXPECT_TRUE(s->bFixedSizeSamples);
    EXPECT_EQ(s->lSampleSize, 4096u);
    EXPECT_EQ(s->subtype, FourccSubtype(0x32564D57));

    // The pin's own type is accepted; one differing only in its format block is not.
    EXPECT_EQ(r.pins[2]->QueryAccept(s), S_OK);
    s->pbFormat[0] ^= 1;
    EXPECT_EQ(r.pins[2]->QueryAccept(s), S_FALSE);
    for (AM_MEDIA_TYPE* m : {a, v, s}) {
        CoTaskMemFree(m->pbFormat);
        CoTaskMemFree(m);
    }
}

TEST(ReaderLoad, FileNameAndFailures) {
    ReaderHarness r;
    ASSERT_EQ(r.hr_create, S_OK);
    LPOLESTR name = nullptr;
    ASSERT_EQ(r.source->GetCurFile(&name, nullptr), S_OK);
    EXPECT_EQ(std::u16string(name), u"zm Reader");
    CoTaskMemFree(name);
    EXPECT_EQ(r.source->GetCurFile(nullptr, nullptr), E_POINTER);
    EXPECT_EQ(r.source->Load(nullptr, nullptr), E_POINTER);

    // A missing file is a failure now, and changes nothing.
    EXPECT_EQ(r.Load(TempPath("does-not-exist.zmr")), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
    EXPECT_TRUE(r.pins.empty());
    ASSERT_EQ(r.source->GetCurFile(&name, nullptr), S_OK);
    EXPECT_EQ(std::u16string(name), u"zm Reader");
    CoTaskMemFree(name);
    EXPECT_EQ(r.Load(::testing::TempDir()), E_ACCESSDENIED);
    // Longer than a path can be: refused, not cut to another name.
    EXPECT_EQ(r.Load("/" + std::string(PATH_MAX, 'a')), HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE));
    const char16_t lone[] = {u'/', 0xD800, u'x', 0};
    EXPECT_EQ(r.source->Load(lone, nullptr), E_INVALIDARG);

    // Not a courseware file: no pins, but the name is taken.
    std::string junk = TempPath("junk.zmr");
    WriteAll(junk, std::vector<uint8_t>(5000, 0x42));
    EXPECT_EQ(r.Load(junk), E_FAIL);
    EXPECT_TRUE(r.pins.empty());
    ASSERT_EQ(r.source->GetCurFile(&name, nullptr), S_OK);
    EXPECT_EQ(std::u16string(name), std::u16string(junk.begin(), junk.end()));
    CoTaskMemFree(name);

    // A path near the limit loads.
    Crafted c = MakeLesson("x.zmr", true, false, false, 2);
    std::string dir = ::testing::TempDir() + std::string(200, 'd');
    mkdir(dir.c_str(), 0700);
    std::string deep = dir;
    while (deep.size() < 3000) {
        deep += "/" + std::string(200, 'e');
        mkdir(deep.c_str(), 0700);
    }
    std::string longpath = deep + "/lesson.zmr";
    WriteAll(longpath, ReadAll(c.path));
    EXPECT_EQ(r.Load(longpath), S_OK);
    ASSERT_EQ(r.names, std::vector<std::u16string>{u"audioOut"});
    ASSERT_EQ(r.source->GetCurFile(&name, nullptr), S_OK);
    EXPECT_EQ(std::u16string(name), std::u16string(longpath.begin(), longpath.end()));
    CoTaskMemFree(name);
    // A second file on the same filter would put pins of two files side by side.
    EXPECT_EQ(r.source->Load(u"/tmp/other.zmr", nullptr), E_UNEXPECTED);
}

TEST(ReaderLoad, BrokenStreamsDropOnlyTheirPins) {
    // Stream number 0, a short wave format, and duplicate screen streams
    // (the first one wins).
    zmr::Lesson l;
    l.play_duration = 3 * UNITS;
    auto audio = AudioStream(3);
    audio.format.resize(10);
    l.streams.push_back(audio);
    l.streams.push_back(VideoStream(zmr::kScreenStream, kScreenNumber, 3, 2, 3000));
    l.streams.push_back(VideoStream(zmr::kScreenStream, 4, 3, 4, 500));
    l.streams.push_back(VideoStream(zmr::kCameraStream, 5, 3, 5, 800));
    Crafted c = Write("broken.zmr", l);
    auto b = ReadAll(c.path);
    zmr::WriteU16(&b[StreamPropsOffset(b, 5) + zmr::kSpStreamNumber], 0);
    WriteAll(c.path, b);
    {
        ReaderHarness r;
        ASSERT_EQ(r.Load(c.path), S_OK);
        ASSERT_EQ(r.names, std::vector<std::u16string>{u"capture"});
        r.ConnectAll();
        ASSERT_EQ(r.filter->Run(0), S_OK);
        ASSERT_TRUE(r.WaitAllEnded());
        ExpectObjects(SamplesOf(r.sinks[0]->Events()), c.lesson.streams[1], 0);
    }
    // A malformed properties object (format length 0) ends the walk of every
    // stream that comes after it; those before it stay.
    c = MakeLesson("malformed.zmr", true, true, true, 3);
    b = ReadAll(c.path);
    zmr::WriteU32(&b[StreamPropsOffset(b, kCameraNumber) + zmr::kSpFormatLength], 0);
    WriteAll(c.path, b);
    ReaderHarness r;
    ASSERT_EQ(r.Load(c.path), S_OK);
    EXPECT_EQ(r.names, std::vector<std::u16string>{u"audioOut"});
    // A header of nothing but its head has no stream.
    b = ReadAll(c.path);
    zmr::WriteU64(&b[16], 24);
    WriteAll(c.path, b);
    ReaderHarness r2;
    EXPECT_EQ(r2.Load(c.path), E_FAIL);
}

TEST(ReaderDelivery, PacketFieldsFromTheFileAreChecked) {
    Crafted c = MakeLesson("packets.zmr", true, true, true, 6);
    auto b = ReadAll(c.path);
    Layout lay = LayoutOf(b);
    // A stored packet size other than the standard is ignored.
    zmr::WriteU64(&b[24 + zmr::kFpPacketSize], 1000);
    // An audio packet with a wrong length ends the audio stream there; a
    // video packet with a length above the packet size is dropped whole.
    uint64_t cut = lay.packet_count / 2;
    zmr::WriteU32(&b[lay.Packet(cut) + 4], 1999);
    zmr::WriteU32(&b[lay.Packet(cut + 3) + 4], 60000);
    WriteAll(c.path, b);

    ReaderHarness r;
    ASSERT_TRUE(r.PlayToEnd(c.path));
    auto audio = SamplesOf(r.sinks[0]->Events());
    const auto& as = c.lesson.streams[0];
    ASSERT_GT(audio.size(), 5u);
    ASSERT_LT(audio.size(), as.objects.size());
    ExpectObjects(
        audio,
        zmr::WriterStream{
            as.type, as.number, 0, {}, {as.objects.begin(), as.objects.begin() + long(audio.size())}},
        0);
    // The video pins lose what lay in the dropped packet, nothing else, and
    // never deliver a broken object.
    for (size_t i = 1; i < 3; ++i) {
        const auto& vs = c.lesson.streams[i];
        auto got = SamplesOf(r.sinks[i]->Events());
        EXPECT_GE(got.size(), vs.objects.size() - 8);
        ExpectWholeObjectsInOrder(got, vs);
    }
}

TEST(ReaderDelivery, HostileSizesAreRefusedCleanly) {
    Crafted c = MakeLesson("hostile.zmr", true, true, true, 4);
    auto b = ReadAll(c.path);
    // The screen stream's buffer is smaller than its key frames: those are
    // dropped, the rest delivered.
    zmr::WriteU32(&b[StreamPropsOffset(b, kScreenNumber) + zmr::kSpBufferSize], 5000);
    // A camera payload whose length runs past the payload area, and one whose
    // fragments add up to more than its object.
    std::vector<std::pair<uint64_t, size_t>> camera;
    ForEachPayload(b, [&](uint64_t k, size_t off) {
        if (zmr::ReadU16(&b[off]) == kCameraNumber)
            camera.push_back({k, off});
    });
    bool past = false, over = false;
    for (auto [k, off] : camera) {
        if (!past && k >= 3) {
            zmr::WriteU16(&b[off + zmr::kPlDataLength], 0xFFF0);
            past = true;
        } else if (!over && k >= 10) {
            zmr::WriteU16(&b[off + zmr::kPlObjectSize], 5);
            over = true;
        }
    }
    ASSERT_TRUE(past && over);
    // More packets claimed than the file holds: the end of the file ends delivery.
    Layout lay = LayoutOf(b);
    zmr::WriteU64(&b[lay.data_offset + zmr::kDataPacketCount], lay.packet_count + 1000000);
    b.resize(size_t(lay.index_offset));
    WriteAll(c.path, b);

    ReaderHarness r;
    ASSERT_TRUE(r.PlayToEnd(c.path));
    // The broken payload chain costs every stream the rest of that packet.
    for (size_t i = 0; i < 3; ++i) {
        const auto& s = c.lesson.streams[i];
        auto got = SamplesOf(r.sinks[i]->Events());
        EXPECT_GE(got.size(), s.objects.size() / 2);
        ExpectWholeObjectsInOrder(got, s);
        if (i > 0) {
            EXPECT_LT(got.size(), s.objects.size());
        }
    }
    for (const auto& g : SamplesOf(r.sinks[2]->Events())) EXPECT_LE(g.size, 5000);
}

TEST(ReaderDelivery, FragmentsThatDisagreeOnTheObjectSizeAreDropped) {
    // Screen objects 2 to 5 all carry number 2, and every fragment after the
    // first claims a one-byte object. Taken as one object they would run far
    // past the stream's buffer; the reader must drop them and go on with 6.
    Crafted c = MakeLesson("fragsize.zmr", true, false, true, 5);
    auto b = ReadAll(c.path);
    bool first = true;
    int rewritten = 0;
    ForEachPayload(b, [&](uint64_t, size_t off) {
        if (zmr::ReadU16(&b[off]) != kScreenNumber)
            return;
        uint16_t obj = zmr::ReadU16(&b[off + zmr::kPlObjectNumber]);
        if (obj < 2 || obj > 5)
            return;
        zmr::WriteU16(&b[off + zmr::kPlObjectNumber], 2);
        if (!first)
            zmr::WriteU16(&b[off + zmr::kPlObjectSize], 1);
        first = false;
        ++rewritten;
    });
    ASSERT_GT(rewritten, 8);
    WriteAll(c.path, b);

    ReaderHarness r;
    ASSERT_TRUE(r.PlayToEnd(c.path));
    const zmr::WriterStream* screen = StreamOf(c, kScreenNumber);
    auto got = SamplesOf(r.sinks[size_t(r.Find(u"capture"))]->Events());
    ExpectWholeObjectsInOrder(got, *screen);
    std::vector<REFERENCE_TIME> starts;
    for (const auto& g : got) starts.push_back(g.start);
    std::vector<REFERENCE_TIME> want;
    for (size_t k : {0, 1, 6, 7, 8, 9}) want.push_back(screen->objects[k].start);
    EXPECT_EQ(starts, want);
    // The other stream is untouched.
    EXPECT_EQ(SamplesOf(r.sinks[size_t(r.Find(u"audioOut"))]->Events()).size(),
              StreamOf(c, kAudioNumber)->objects.size());
}

TEST(ReaderDelivery, BrokenDataObjectEndsTheStreamAtOnce) {
    Crafted c = MakeLesson("nodata.zmr", true, false, true, 2);
    auto b = ReadAll(c.path);
    Layout lay = LayoutOf(b);
    zmr::WriteU64(&b[lay.data_offset + 16], 49);
    WriteAll(c.path, b);
    ReaderHarness r;
    ASSERT_TRUE(r.PlayToEnd(c.path));
    for (auto& s : r.sinks) EXPECT_TRUE(SamplesOf(s->Events()).empty());
}

std::string RegistryValue(const std::string& key, const char* name) {
    HKEY k = nullptr;
    if (RegOpenKeyA(HKEY_CLASSES_ROOT, key.c_str(), &k) != ERROR_SUCCESS)
        return "<no key " + key + ">";
    char buf[4096] = {};
    DWORD cb = sizeof buf, type = 0;
    LSTATUS st = RegQueryValueExA(k, name, nullptr, &type, reinterpret_cast<BYTE*>(buf), &cb);
    RegCloseKey(k);
    return st == ERROR_SUCCESS ? std::string(buf) : "<no value>";
}

TEST(ReaderRegistration, TheBuildRegistryNamesThePlugInAndItsFilterRecord) {
    const std::string clsid = "CLSID\\{2D042A1B-F952-4B68-AAF0-F531C78E69E4}";
    const std::string server = RegistryValue(clsid + "\\InprocServer32", nullptr);
    ASSERT_GE(server.size(), 15u);
    EXPECT_EQ(server.substr(server.size() - 15), "/libzmreader.so");
    // Never picked by automatic graph building.
    EXPECT_EQ(RegistryValue(clsid, "Merit"), "00200000");
    const std::string pin = clsid + "\\Pins\\Output";
    EXPECT_EQ(RegistryValue(pin, "Direction"), "out");
    EXPECT_EQ(RegistryValue(pin, "IsRendered"), "0");
    EXPECT_EQ(RegistryValue(pin, "AllowedZero"), "0");
    EXPECT_EQ(RegistryValue(pin, "AllowedMany"), "1");
    EXPECT_EQ(RegistryValue(pin, "ConnectsToPin"), "Input");
    EXPECT_EQ(RegistryValue(pin + "\\Types\\0", "MajorType"), "{00000000-0000-0000-0000-000000000000}");

    ReaderHarness r;
    ASSERT_EQ(r.hr_create, S_OK);
    CLSID id{};
    EXPECT_EQ(r.filter->GetClassID(&id), S_OK);
    EXPECT_EQ(id, CLSID_ZmReader);
}

TEST(ReaderLoad, LoadsAtOnceAddOnePinSet) {
    Crafted c = MakeLesson("twice.zmr", true, true, true, 2);
    const std::u16string w(c.path.begin(), c.path.end());
    for (int round = 0; round < 20; ++round) {
        ReaderHarness r;
        HRESULT a = E_FAIL, b = E_FAIL;
        std::thread t([&] { a = r.source->Load(w.c_str(), nullptr); });
        b = r.source->Load(w.c_str(), nullptr);
        t.join();
        EXPECT_TRUE((a == S_OK && b == E_UNEXPECTED) || (a == E_UNEXPECTED && b == S_OK)) << a << " " << b;
        IEnumPins* e = nullptr;
        ASSERT_EQ(r.filter->EnumPins(&e), S_OK);
        IPin* pins[8] = {};
        ULONG got = 0;
        e->Next(8, pins, &got);
        EXPECT_EQ(got, 3u);
        for (ULONG i = 0; i < got; ++i) pins[i]->Release();
        e->Release();
    }
}

}  // namespace
