#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kovel/com.h"
#include "pin_enumerator.h"
#include "source_seeking_core.h"
#include "test_peers.h"

namespace {

std::u16string IdOf(IPin* pin) {
    LPWSTR id = nullptr;
    EXPECT_EQ(pin->QueryId(&id), S_OK);
    std::u16string s = id ? std::u16string(id) : std::u16string();
    CoTaskMemFree(id);
    return s;
}

// A pin answering IMediaSeeking, recording the order of its hooks.
class CSeekPin : public CScriptPin, public CSourceSeekingCore {
  public:
    CSeekPin(HRESULT* phr, CSourceFilterCore* f) : CScriptPin(phr, f, u"S"), CSourceSeekingCore(this) {}

    HRESULT QueryInterface(REFIID riid, void** ppv) override { return CScriptPin::QueryInterface(riid, ppv); }
    ULONG AddRef() override { return CScriptPin::AddRef(); }
    ULONG Release() override { return CScriptPin::Release(); }
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override {
        if (riid == IID_IMediaSeeking) {
            if (!ppv)
                return E_POINTER;
            *ppv = static_cast<IMediaSeeking*>(this);
            AddRef();
            return S_OK;
        }
        return CScriptPin::NonDelegatingQueryInterface(riid, ppv);
    }
    ULONG NonDelegatingAddRef() override { return CScriptPin::NonDelegatingAddRef(); }
    ULONG NonDelegatingRelease() override { return CScriptPin::NonDelegatingRelease(); }

    HRESULT OnStartChanged() override {
        hooks += "start;";
        return hrStart;
    }
    HRESULT OnStopChanged() override {
        hooks += "stop;";
        return hrStop;
    }
    HRESULT OnRateChanged() override {
        hooks += "rate;";
        return S_OK;
    }
    LONGLONG Start() const { return m_rtStart; }
    LONGLONG StopPos() const { return m_rtStop; }

    std::string hooks;
    HRESULT hrStart = S_OK, hrStop = S_OK;
};

struct Seeking : ::testing::Test {
    CScriptFilter* filter = new CScriptFilter(0);
    CSeekPin* pin = nullptr;
    IMediaSeeking* ms = nullptr;
    void SetUp() override {
        filter->NonDelegatingAddRef();
        HRESULT hr = S_OK;
        pin = new CSeekPin(&hr, filter);
        ASSERT_EQ(hr, S_OK);
        ASSERT_EQ(static_cast<IPin*>(pin)->QueryInterface(IID_IMediaSeeking, reinterpret_cast<void**>(&ms)),
                  S_OK);
    }
    void TearDown() override {
        ms->Release();
        filter->NonDelegatingRelease();
    }
};

}  // namespace

TEST(PinEnumeration, PinsAddedDuringEnumerationComeOnceEach) {
    CScriptFilter* filter = new CScriptFilter(2);
    filter->NonDelegatingAddRef();
    IEnumPins* e = nullptr;
    ASSERT_EQ(filter->EnumPins(&e), S_OK);
    IPin* pins[4] = {};
    ULONG got = 0;
    ASSERT_EQ(e->Next(1, pins, &got), S_OK);
    EXPECT_EQ(pins[0], static_cast<IPin*>(filter->Pin(0)));
    pins[0]->Release();
    filter->AddScriptPin(u"C");
    // The set changed: the walk restarts but the first pin is not handed out again.
    ASSERT_EQ(e->Next(4, pins, &got), S_FALSE);
    ASSERT_EQ(got, 2u);
    EXPECT_EQ(pins[0], static_cast<IPin*>(filter->Pin(1)));
    EXPECT_EQ(pins[1], static_cast<IPin*>(filter->Pin(2)));
    for (ULONG i = 0; i < got; ++i) pins[i]->Release();
    EXPECT_EQ(e->Next(1, pins, &got), S_FALSE);
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(e->Next(2, pins, nullptr), E_INVALIDARG);
    EXPECT_EQ(e->Reset(), S_OK);
    EXPECT_EQ(e->Skip(3), S_OK);
    EXPECT_EQ(e->Skip(1), S_FALSE);
    filter->AddScriptPin(u"D");
    EXPECT_EQ(e->Skip(1), VFW_E_ENUM_OUT_OF_SYNC);
    IEnumPins* clone = reinterpret_cast<IEnumPins*>(1);
    EXPECT_EQ(e->Clone(&clone), VFW_E_ENUM_OUT_OF_SYNC);
    EXPECT_EQ(clone, nullptr);
    e->Reset();
    ASSERT_EQ(e->Clone(&clone), S_OK);
    ASSERT_EQ(clone->Next(4, pins, &got), S_OK);
    for (ULONG i = 0; i < got; ++i) pins[i]->Release();
    clone->Release();
    e->Release();
    filter->NonDelegatingRelease();
}

TEST(PinIdentifiers, QueryIdAndFindPinAreInverse) {
    CScriptFilter* filter = new CScriptFilter(2);
    filter->NonDelegatingAddRef();
    EXPECT_EQ(IdOf(filter->Pin(0)), u"1");
    EXPECT_EQ(IdOf(filter->Pin(1)), u"2");
    IPin* p = nullptr;
    ASSERT_EQ(filter->FindPin(u"2", &p), S_OK);
    EXPECT_EQ(p, static_cast<IPin*>(filter->Pin(1)));
    p->Release();
    for (const char16_t* bad : {u"0", u"", u"x", u"3", u"-1", u"99999999999999999999"}) {
        p = reinterpret_cast<IPin*>(1);
        EXPECT_EQ(filter->FindPin(bad, &p), VFW_E_NOT_FOUND);
        EXPECT_EQ(p, nullptr);
    }
    EXPECT_EQ(filter->FindPin(u"1", nullptr), E_POINTER);
    // Removing the first pin renumbers the second.
    delete filter->Pin(0);
    EXPECT_EQ(filter->PinCount(), 1);
    EXPECT_EQ(IdOf(filter->Pin(0)), u"1");
    filter->NonDelegatingRelease();
}

TEST(PinArray, HoldsEachOwnPinOnceAndDestructionDeletesEachOnce) {
    static int destroyed = 0;
    struct CountedPin : CScriptPin {
        using CScriptPin::CScriptPin;
        ~CountedPin() override { ++destroyed; }
    };
    destroyed = 0;
    CScriptFilter* filter = new CScriptFilter(0);
    CScriptFilter* other = new CScriptFilter(0);
    filter->NonDelegatingAddRef();
    other->NonDelegatingAddRef();
    HRESULT hr = S_OK;
    auto* mine = new CountedPin(&hr, filter, u"A");
    auto* foreign = new CountedPin(&hr, other, u"B");
    // A second entry would be deleted twice; a pin of another filter would
    // never leave this array, since its destructor removes it from its own.
    EXPECT_EQ(filter->AddPin(mine), E_INVALIDARG);
    EXPECT_EQ(filter->AddPin(foreign), E_INVALIDARG);
    EXPECT_EQ(filter->PinCount(), 1);
    filter->NonDelegatingRelease();
    EXPECT_EQ(destroyed, 1);
    other->NonDelegatingRelease();
    EXPECT_EQ(destroyed, 2);
}

TEST_F(Seeking, StopFlagsOutsideTheModeAreRefusedButAcceptedOnStart) {
    LONGLONG start = 5 * UNITS, stop = 9 * UNITS;
    EXPECT_EQ(ms->SetPositions(&start, 0, &stop, 0x5), E_INVALIDARG);
    EXPECT_EQ(pin->StopPos(), MAX_TIME);
    EXPECT_EQ(pin->hooks, "");
    EXPECT_EQ(ms->SetPositions(&start, 0x5, nullptr, 0), S_OK);
    EXPECT_EQ(pin->Start(), 5 * UNITS);
    EXPECT_EQ(pin->hooks, "start;");
}

TEST_F(Seeking, IncrementalStopFollowsTheNewStart) {
    LONGLONG start = 20000000, stop = 10000000;
    ASSERT_EQ(
        ms->SetPositions(&start, AM_SEEKING_AbsolutePositioning, &stop, AM_SEEKING_IncrementalPositioning),
        S_OK);
    LONGLONG s = 0, e = 0;
    ASSERT_EQ(ms->GetPositions(&s, &e), S_OK);
    EXPECT_EQ(s, 20000000);
    EXPECT_EQ(e, 30000000);
    LONGLONG delta = -UNITS;
    ASSERT_EQ(
        ms->SetPositions(&delta, AM_SEEKING_RelativePositioning, &delta, AM_SEEKING_RelativePositioning),
        S_OK);
    ms->GetPositions(&s, &e);
    EXPECT_EQ(s, 10000000);
    EXPECT_EQ(e, 20000000);
    EXPECT_EQ(ms->SetPositions(&start, AM_SEEKING_IncrementalPositioning, nullptr, 0), E_INVALIDARG);
    EXPECT_EQ(ms->SetPositions(nullptr, AM_SEEKING_AbsolutePositioning, nullptr, 0), E_POINTER);
    EXPECT_EQ(ms->SetPositions(nullptr, 0, nullptr, AM_SEEKING_AbsolutePositioning), E_POINTER);
}

TEST_F(Seeking, StopHookRunsFirstAndStartResultWins) {
    pin->hrStop = E_FAIL;
    LONGLONG start = 1, stop = 2;
    EXPECT_EQ(ms->SetPositions(&start, 1, &stop, 1), S_OK);
    EXPECT_EQ(pin->hooks, "stop;start;");
    pin->hooks.clear();
    EXPECT_EQ(ms->SetPositions(nullptr, 0, &stop, 1), E_FAIL);
    EXPECT_EQ(pin->hooks, "stop;");
    EXPECT_EQ(ms->SetPositions(nullptr, 0, nullptr, 0), S_OK);
}

TEST_F(Seeking, QueriesAndRate) {
    DWORD caps = 0;
    ASSERT_EQ(ms->GetCapabilities(&caps), S_OK);
    EXPECT_EQ(caps, 0x37u);
    DWORD ask = AM_SEEKING_CanGetCurrentPos;
    EXPECT_EQ(ms->CheckCapabilities(&ask), S_FALSE);
    EXPECT_EQ(ask, AM_SEEKING_CanGetCurrentPos);
    ask = AM_SEEKING_CanSeekAbsolute | AM_SEEKING_CanGetDuration;
    EXPECT_EQ(ms->CheckCapabilities(&ask), S_OK);
    EXPECT_EQ(ms->IsFormatSupported(&TIME_FORMAT_MEDIA_TIME), S_OK);
    EXPECT_EQ(ms->IsFormatSupported(&MEDIATYPE_Video), S_FALSE);
    EXPECT_EQ(ms->SetTimeFormat(&MEDIATYPE_Video), E_INVALIDARG);
    LONGLONG v = 0;
    EXPECT_EQ(ms->GetCurrentPosition(&v), E_NOTIMPL);
    EXPECT_EQ(ms->ConvertTimeFormat(&v, nullptr, 77, &TIME_FORMAT_MEDIA_TIME), S_OK);
    EXPECT_EQ(v, 77);
    EXPECT_EQ(ms->ConvertTimeFormat(&v, &MEDIATYPE_Video, 77, nullptr), E_INVALIDARG);
    EXPECT_EQ(ms->SetRate(-2.0), S_OK);
    double rate = 0;
    EXPECT_EQ(ms->GetRate(&rate), S_OK);
    EXPECT_EQ(rate, -2.0);
    EXPECT_EQ(pin->hooks, "rate;");
    LONGLONG early = 1, late = 0;
    EXPECT_EQ(ms->GetAvailable(&early, &late), S_OK);
    EXPECT_EQ(early, 0);
    EXPECT_EQ(late, MAX_TIME);
}

TEST_F(Seeking, SeekingInterfaceKeepsThePinAndQueriesBackToIPin) {
    IPin* back = nullptr;
    ASSERT_EQ(ms->QueryInterface(IID_IPin, reinterpret_cast<void**>(&back)), S_OK);
    EXPECT_EQ(back, static_cast<IPin*>(pin));
    back->Release();
    const ULONG before = filter->NonDelegatingAddRef();
    filter->NonDelegatingRelease();
    ms->AddRef();
    const ULONG after = filter->NonDelegatingAddRef();
    filter->NonDelegatingRelease();
    EXPECT_EQ(after, before + 1);
    ms->Release();
}
