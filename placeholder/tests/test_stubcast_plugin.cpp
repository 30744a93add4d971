// The built placeholder plug-in end to end: registered by the real
// kovel-regsvr into a registry of this test's own, created by class id,
// connected to an in-process sink through the platform's memory allocator and
// streamed through pause, run, stop and run again.
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include "kovel/com.h"
#include "kovel/formats.h"
#include "kovel/registry.h"
#include "kovel/streaming.h"
#include "sink_filter.h"

namespace {

KOVEL_GUID(CLSID_VideoDummy, "E87F8AB8-DC1B-4081-B2A6-FC52FB5BC527");
KOVEL_GUID(CLSID_AudioDummy, "C0E37CD9-A9C4-4CFA-9F22-A102A96D0CFE");
const char* const kVideoKey = "{E87F8AB8-DC1B-4081-B2A6-FC52FB5BC527}";
const char* const kAudioKey = "{C0E37CD9-A9C4-4CFA-9F22-A102A96D0CFE}";

const std::string& RegistryPath() {
    static const std::string path = "/tmp/stubcast_plugin_test_" + std::to_string(getpid()) + ".db";
    return path;
}

// Set before the component runtime first looks at the registry.
const bool g_privateRegistry = [] {
    std::remove(RegistryPath().c_str());
    setenv("KOVEL_REGISTRY", RegistryPath().c_str(), 1);
    return true;
}();

int RunRegsvr(bool unregister) {
    // The tool leaks its loaded plug-in on purpose; leak reports would fail it under the sanitizers.
    std::string cmd = "ASAN_OPTIONS=detect_leaks=0 '" + std::string(KOVEL_REGSVR_PATH) + "' " +
                      (unregister ? "-u " : "") + "'" + STUBCAST_PLUGIN_PATH + "' >/dev/null";
    return std::system(cmd.c_str());
}

std::string Value(const std::string& key, const char* name = nullptr) {
    HKEY h = nullptr;
    if (RegOpenKeyA(HKEY_CLASSES_ROOT, key.c_str(), &h) != ERROR_SUCCESS)
        return "<missing>";
    char buf[4096];
    DWORD cb = sizeof buf, type = 0;
    const LSTATUS st = RegQueryValueExA(h, name, nullptr, &type, reinterpret_cast<BYTE*>(buf), &cb);
    RegCloseKey(h);
    return st == ERROR_SUCCESS ? std::string(buf) : "<no value>";
}

bool KeyExists(const std::string& key) {
    HKEY h = nullptr;
    if (RegOpenKeyA(HKEY_CLASSES_ROOT, key.c_str(), &h) != ERROR_SUCCESS)
        return false;
    RegCloseKey(h);
    return true;
}

std::string RealPath(const char* p) {
    char buf[PATH_MAX];
    return realpath(p, buf) ? std::string(buf) : std::string(p);
}

class Registered : public ::testing::Environment {
  public:
    void SetUp() override { ASSERT_EQ(RunRegsvr(false), 0); }
    void TearDown() override { std::remove(RegistryPath().c_str()); }
};
const auto* const g_env = ::testing::AddGlobalTestEnvironment(new Registered);

IBaseFilter* CreateFilter(REFCLSID clsid) {
    IBaseFilter* f = nullptr;
    EXPECT_EQ(
        CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter, reinterpret_cast<void**>(&f)),
        S_OK);
    return f;
}

IPin* OutPin(IBaseFilter* filter) {
    IPin* pin = nullptr;
    EXPECT_EQ(filter->FindPin(u"1", &pin), S_OK);
    return pin;
}

// A source filter connected to a fresh sink, torn down in order.
struct Chain {
    IBaseFilter* source = nullptr;
    IPin* out = nullptr;
    CSinkFilter* sink = new CSinkFilter;

    explicit Chain(REFCLSID clsid) {
        source = CreateFilter(clsid);
        if (source)
            out = OutPin(source);
    }
    ~Chain() {
        if (source)
            source->Stop();
        sink->Stop();
        if (out) {
            out->Disconnect();
            out->Release();
        }
        sink->Input()->Disconnect();
        if (source)
            source->Release();
        sink->Release();
    }
    ALLOCATOR_PROPERTIES Negotiated() {
        ALLOCATOR_PROPERTIES props{};
        IMemInputPin* input = nullptr;
        EXPECT_EQ(sink->Input()->QueryInterface(IID_IMemInputPin, reinterpret_cast<void**>(&input)), S_OK);
        IMemAllocator* alloc = nullptr;
        EXPECT_EQ(input->GetAllocator(&alloc), S_OK);
        EXPECT_EQ(alloc->GetProperties(&props), S_OK);
        alloc->Release();
        input->Release();
        return props;
    }
};

AM_MEDIA_TYPE* NextType(IEnumMediaTypes* e) {
    AM_MEDIA_TYPE* mt = nullptr;
    ULONG n = 0;
    return e->Next(1, &mt, &n) == S_OK && n == 1 ? mt : nullptr;
}

void FreeType(AM_MEDIA_TYPE* mt) {
    if (!mt)
        return;
    CoTaskMemFree(mt->pbFormat);
    if (mt->pUnk)
        mt->pUnk->Release();
    CoTaskMemFree(mt);
}

void ExpectOneSecondApart(const std::vector<ReceivedSample>& s, size_t from, REFERENCE_TIME firstStart) {
    for (size_t i = from; i < s.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(s[i].start, firstStart + REFERENCE_TIME(i - from) * UNITS);
        EXPECT_EQ(s[i].stop, s[i].start + UNITS);
        EXPECT_TRUE(s[i].sync);
    }
}

}  // namespace

TEST(StubcastRegistration, RecordsDescribeBothFilters) {
    const std::string server = RealPath(STUBCAST_PLUGIN_PATH);
    struct Row {
        const char* key;
        const char* name;
        const char* major;
    };
    for (const Row& r : {Row{kVideoKey, "Video Dummy Filter", "{73646976-0000-0010-8000-00AA00389B71}"},
                         Row{kAudioKey, "Audio Dummy Filter", "{73647561-0000-0010-8000-00AA00389B71}"}}) {
        SCOPED_TRACE(r.name);
        const std::string cls = std::string("CLSID\\") + r.key;
        EXPECT_EQ(Value(cls), r.name);
        EXPECT_EQ(RealPath(Value(cls + "\\InprocServer32").c_str()), server);
        EXPECT_EQ(Value(cls + "\\InprocServer32", "ThreadingModel"), "Both");
        EXPECT_EQ(Value(std::string("Filter\\") + r.key), r.name);
        EXPECT_EQ(Value(cls, "Merit"), "00200000");
        const std::string pin = cls + "\\Pins\\Output";
        EXPECT_EQ(Value(pin, "Direction"), "out");
        EXPECT_EQ(Value(pin, "IsRendered"), "0");
        EXPECT_EQ(Value(pin, "AllowedZero"), "0");
        EXPECT_EQ(Value(pin, "AllowedMany"), "0");
        EXPECT_EQ(Value(pin, "ConnectsToFilter"), "{00000000-0000-0000-0000-000000000000}");
        EXPECT_EQ(Value(pin + "\\Types\\0", "MajorType"), r.major);
        EXPECT_EQ(Value(pin + "\\Types\\0", "SubType"), "{00000000-0000-0000-0000-000000000000}");
        EXPECT_FALSE(KeyExists(pin + "\\Types\\1"));
        // The registered pin name is not the running pin's name.
        EXPECT_FALSE(KeyExists(cls + "\\Pins\\Out"));
    }
}

TEST(StubcastRegistration, UnregisterRemovesTheRecordsAndRegisterRestoresThem) {
    ASSERT_EQ(RunRegsvr(true), 0);
    for (const char* key : {kVideoKey, kAudioKey}) {
        EXPECT_FALSE(KeyExists(std::string("CLSID\\") + key)) << key;
        EXPECT_FALSE(KeyExists(std::string("Filter\\") + key)) << key;
    }
    // A second unregistration finds nothing and still succeeds.
    EXPECT_EQ(RunRegsvr(true), 0);
    ASSERT_EQ(RunRegsvr(false), 0);
    EXPECT_EQ(Value(std::string("CLSID\\") + kVideoKey), "Video Dummy Filter");
}

TEST(StubcastFilters, IdentityAndPins) {
    for (const CLSID& clsid : {CLSID_VideoDummy, CLSID_AudioDummy}) {
        IBaseFilter* filter = CreateFilter(clsid);
        ASSERT_NE(filter, nullptr);
        CLSID got{};
        EXPECT_EQ(filter->GetClassID(&got), S_OK);
        EXPECT_EQ(got, clsid);

        IPin* pin = OutPin(filter);
        ASSERT_NE(pin, nullptr);
        PIN_INFO info{};
        ASSERT_EQ(pin->QueryPinInfo(&info), S_OK);
        EXPECT_EQ(std::u16string(info.achName), u"Out");
        EXPECT_EQ(info.dir, PINDIR_OUTPUT);
        EXPECT_EQ(info.pFilter, filter);
        info.pFilter->Release();
        LPWSTR id = nullptr;
        ASSERT_EQ(pin->QueryId(&id), S_OK);
        EXPECT_EQ(std::u16string(id), u"1");
        CoTaskMemFree(id);
        IPin* none = reinterpret_cast<IPin*>(1);
        EXPECT_EQ(filter->FindPin(u"2", &none), VFW_E_NOT_FOUND);
        EXPECT_EQ(none, nullptr);
        EXPECT_EQ(filter->FindPin(u"Out", &none), VFW_E_NOT_FOUND);

        // Exactly one pin.
        IEnumPins* pins = nullptr;
        ASSERT_EQ(filter->EnumPins(&pins), S_OK);
        IPin* got2[2] = {};
        ULONG n = 0;
        EXPECT_EQ(pins->Next(2, got2, &n), S_FALSE);
        EXPECT_EQ(n, 1u);
        if (got2[0])
            got2[0]->Release();
        pins->Release();

        // Neither seeks nor has a registration record of its own.
        void* p = nullptr;
        EXPECT_EQ(pin->QueryInterface(IID_IMediaSeeking, &p), E_NOINTERFACE);
        IAMovieSetup* setup = nullptr;
        ASSERT_EQ(filter->QueryInterface(IID_IAMovieSetup, reinterpret_cast<void**>(&setup)), S_OK);
        EXPECT_EQ(setup->Register(), S_FALSE);
        setup->Release();
        pin->Release();
        filter->Release();
    }
}

TEST(StubcastFilters, VideoTypesAreFiveScreenSizedPicturesInOrder) {
    IBaseFilter* filter = CreateFilter(CLSID_VideoDummy);
    ASSERT_NE(filter, nullptr);
    IPin* pin = OutPin(filter);
    IEnumMediaTypes* e = nullptr;
    ASSERT_EQ(pin->EnumMediaTypes(&e), S_OK);
    const GUID subtypes[] = {MEDIASUBTYPE_RGB32, MEDIASUBTYPE_RGB24, MEDIASUBTYPE_RGB565, MEDIASUBTYPE_RGB555,
                             MEDIASUBTYPE_RGB8};
    const WORD bits[] = {32, 24, 16, 16, 8};
    for (int i = 0; i < 5; ++i) {
        SCOPED_TRACE(i);
        AM_MEDIA_TYPE* mt = NextType(e);
        ASSERT_NE(mt, nullptr);
        EXPECT_EQ(mt->majortype, MEDIATYPE_Video);
        EXPECT_EQ(mt->subtype, subtypes[i]);
        EXPECT_EQ(mt->formattype, FORMAT_VideoInfo);
        ASSERT_EQ(mt->cbFormat, sizeof(VIDEOINFO));
        VIDEOINFOHEADER vih;
        std::memcpy(&vih, mt->pbFormat, sizeof vih);
        // No display in this process: the default 1024 x 768 screen.
        EXPECT_EQ(vih.bmiHeader.biWidth, 1024);
        EXPECT_EQ(vih.bmiHeader.biHeight, 768);
        EXPECT_EQ(vih.bmiHeader.biBitCount, bits[i]);
        EXPECT_EQ(vih.bmiHeader.biSizeImage, DWORD(1024 * bits[i] / 8 * 768));
        EXPECT_EQ(mt->lSampleSize, vih.bmiHeader.biSizeImage);
        EXPECT_EQ(pin->QueryAccept(mt), S_OK);
        FreeType(mt);
    }
    AM_MEDIA_TYPE* sixth = nullptr;
    ULONG n = 7;
    EXPECT_EQ(e->Next(1, &sixth, &n), S_FALSE);
    EXPECT_EQ(n, 0u);
    e->Release();
    pin->Release();
    filter->Release();
}

TEST(StubcastFilters, OtherSizesAndTopDownPicturesAreRefused) {
    Chain c(CLSID_VideoDummy);
    ASSERT_NE(c.out, nullptr);
    IEnumMediaTypes* e = nullptr;
    ASSERT_EQ(c.out->EnumMediaTypes(&e), S_OK);
    AM_MEDIA_TYPE* mt = NextType(e);
    e->Release();
    ASSERT_NE(mt, nullptr);
    auto* bih = reinterpret_cast<BITMAPINFOHEADER*>(mt->pbFormat + offsetof(VIDEOINFOHEADER, bmiHeader));

    bih->biWidth = 800;
    bih->biHeight = 600;
    EXPECT_EQ(c.out->QueryAccept(mt), S_FALSE);
    EXPECT_EQ(c.out->Connect(c.sink->Input(), mt), VFW_E_TYPE_NOT_ACCEPTED);
    bih->biWidth = 1024;
    bih->biHeight = -768;
    EXPECT_EQ(c.out->QueryAccept(mt), S_FALSE);
    EXPECT_EQ(c.out->Connect(c.sink->Input(), mt), VFW_E_TYPE_NOT_ACCEPTED);
    IPin* peer = nullptr;
    EXPECT_EQ(c.out->ConnectedTo(&peer), VFW_E_NOT_CONNECTED);

    // The matching bottom-up picture connects.
    bih->biHeight = 768;
    EXPECT_EQ(c.out->Connect(c.sink->Input(), mt), S_OK);
    FreeType(mt);
}

TEST(StubcastFilters, VideoStreamsThroughPauseRunStopAndRunAgain) {
    Chain c(CLSID_VideoDummy);
    ASSERT_NE(c.out, nullptr);
    // No type given: the first offered type the sink accepts, the 32-bit one.
    ASSERT_EQ(c.out->Connect(c.sink->Input(), nullptr), S_OK);
    AM_MEDIA_TYPE mt{};
    ASSERT_EQ(c.out->ConnectionMediaType(&mt), S_OK);
    EXPECT_EQ(mt.subtype, MEDIASUBTYPE_RGB32);
    CoTaskMemFree(mt.pbFormat);
    const ALLOCATOR_PROPERTIES props = c.Negotiated();
    EXPECT_EQ(props.cBuffers, 1);
    EXPECT_EQ(props.cbBuffer, 1024 * 4 * 768);

    ASSERT_EQ(c.sink->Pause(), S_OK);
    ASSERT_EQ(c.source->Pause(), S_OK);
    ASSERT_EQ(c.source->Pause(), S_OK);  // a second pause starts nothing new
    ASSERT_TRUE(c.sink->WaitSamples(2));
    ASSERT_EQ(c.sink->Run(0), S_OK);
    ASSERT_EQ(c.source->Run(0), S_OK);
    FILTER_STATE state{};
    EXPECT_EQ(c.source->GetState(0, &state), S_OK);
    EXPECT_EQ(state, State_Running);
    ASSERT_TRUE(c.sink->WaitSamples(4));
    ASSERT_EQ(c.source->Stop(), S_OK);
    ASSERT_EQ(c.sink->Stop(), S_OK);

    auto first = c.sink->Samples();
    ASSERT_GE(first.size(), 4u);
    ExpectOneSecondApart(first, 0, 0);
    EXPECT_EQ(first[0].size, 1024 * 4 * 768);

    // The counter is never reset: the next run continues where the last one stopped.
    ASSERT_EQ(c.sink->Run(0), S_OK);
    ASSERT_EQ(c.source->Run(0), S_OK);
    ASSERT_TRUE(c.sink->WaitSamples(first.size() + 3));
    ASSERT_EQ(c.source->Stop(), S_OK);
    auto all = c.sink->Samples();
    ASSERT_GT(all.size(), first.size());
    // The stop waited for the worker, so everything filled was delivered.
    EXPECT_EQ(all[first.size()].start, REFERENCE_TIME(first.size()) * UNITS);
    ExpectOneSecondApart(all, first.size(), all[first.size()].start);
    EXPECT_EQ(c.sink->EndOfStreamCount(), 0);
    EXPECT_EQ(c.sink->NewSegmentCount(), 0);
}

TEST(StubcastFilters, TimesAfterStopAndRunStartAtTheFilledCount) {
    // The sink takes three samples, then refuses the fourth: four filled in all.
    Chain c(CLSID_AudioDummy);
    ASSERT_NE(c.out, nullptr);
    c.sink->RefuseAfter(3);
    ASSERT_EQ(c.out->Connect(c.sink->Input(), nullptr), S_OK);
    ASSERT_EQ(c.sink->Run(0), S_OK);
    ASSERT_EQ(c.source->Run(0), S_OK);
    ASSERT_TRUE(c.sink->WaitRefused(1));
    ASSERT_EQ(c.source->Stop(), S_OK);
    // The refusal ended the loop quietly: no end of stream, no further sample.
    EXPECT_EQ(c.sink->RefusedCount(), 1);
    EXPECT_EQ(c.sink->EndOfStreamCount(), 0);
    auto first = c.sink->Samples();
    ASSERT_EQ(first.size(), 3u);
    ExpectOneSecondApart(first, 0, 0);
    EXPECT_EQ(first[0].size, 1);  // one byte for 8-bit mono

    c.sink->RefuseAfter(5);
    ASSERT_EQ(c.source->Run(0), S_OK);
    ASSERT_TRUE(c.sink->WaitSamples(5));
    ASSERT_EQ(c.source->Stop(), S_OK);
    auto all = c.sink->Samples();
    ASSERT_EQ(all.size(), 5u);
    EXPECT_EQ(all[3].start, 4 * UNITS);
    EXPECT_EQ(all[4].start, 5 * UNITS);
    EXPECT_EQ(all[4].stop, 6 * UNITS);
}

TEST(StubcastFilters, AudioTakesAnyPcmWithBuffersOfOneSample) {
    Chain c(CLSID_AudioDummy);
    ASSERT_NE(c.out, nullptr);
    IEnumMediaTypes* e = nullptr;
    ASSERT_EQ(c.out->EnumMediaTypes(&e), S_OK);
    AM_MEDIA_TYPE* own = NextType(e);
    ASSERT_NE(own, nullptr);
    EXPECT_EQ(own->subtype, MEDIASUBTYPE_PCM);
    EXPECT_EQ(own->formattype, FORMAT_WaveFormatEx);
    EXPECT_EQ(own->lSampleSize, 1u);
    ASSERT_EQ(own->cbFormat, sizeof(WAVEFORMATEX));
    EXPECT_EQ(NextType(e), nullptr);  // one type only
    e->Release();

    // 44.1 kHz stereo 16-bit is accepted and gets 2-byte buffers.
    WAVEFORMATEX wfx{WAVE_FORMAT_PCM, 2, 44100, 176400, 4, 16, 0};
    std::memcpy(own->pbFormat, &wfx, sizeof wfx);
    ASSERT_EQ(c.out->Connect(c.sink->Input(), own), S_OK);
    EXPECT_EQ(c.Negotiated().cbBuffer, 2);
    EXPECT_EQ(c.Negotiated().cBuffers, 1);

    ASSERT_EQ(c.sink->Pause(), S_OK);
    ASSERT_EQ(c.source->Pause(), S_OK);
    ASSERT_TRUE(c.sink->WaitSamples(3));
    ASSERT_EQ(c.source->Stop(), S_OK);
    auto s = c.sink->Samples();
    ExpectOneSecondApart(s, 0, 0);
    EXPECT_EQ(s[0].size, 2);
    FreeType(own);
}
