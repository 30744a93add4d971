#include <gtest/gtest.h>

#include "kovel/com.h"
#include "media_type_enumerator.h"
#include "test_peers.h"

namespace {

struct Fixture : ::testing::Test {
    CScriptFilter* filter = new CScriptFilter(1);
    CScriptPin* pin = filter->Pin(0);
    CTestInputPin sink;
    void SetUp() override {
        filter->NonDelegatingAddRef();
        sink.m_pOwnAllocator = new CPoolAllocator;
    }
    void TearDown() override {
        filter->Stop();
        pin->Disconnect();
        filter->NonDelegatingRelease();
    }
};

bool DefaultAllocatorAvailable() {
    IMemAllocator* p = nullptr;
    if (FAILED(CoCreateInstance(CLSID_MemoryAllocator, nullptr, CLSCTX_INPROC_SERVER, IID_IMemAllocator,
                                reinterpret_cast<void**>(&p))))
        return false;
    p->Release();
    return true;
}

}  // namespace

using Connection = Fixture;

TEST_F(Connection, FullySpecifiedTypeMakesExactlyOneAttempt) {
    CMediaTypeRecord mt = CScriptPin::MakeType();
    ASSERT_EQ(pin->Connect(&sink, &mt), S_OK);
    EXPECT_EQ(sink.m_cReceiveConnection.load(), 1);
    EXPECT_TRUE(pin->IsConnected());
    EXPECT_EQ(pin->Allocator(), static_cast<IMemAllocator*>(sink.m_pOwnAllocator));
    EXPECT_EQ(sink.m_pNotified, static_cast<IMemAllocator*>(sink.m_pOwnAllocator));
    AM_MEDIA_TYPE got{};
    ASSERT_EQ(pin->ConnectionMediaType(&got), S_OK);
    EXPECT_TRUE(mt.Equals(got));
    CMediaTypeRecord::FreeMediaTypeContents(got);
    EXPECT_EQ(pin->Connect(&sink, &mt), VFW_E_ALREADY_CONNECTED);
}

TEST_F(Connection, RefusedFullySpecifiedTypeLeavesThePinUnconnected) {
    CMediaTypeRecord other = CScriptPin::MakeType(9);
    EXPECT_EQ(pin->Connect(&sink, &other), VFW_E_TYPE_NOT_ACCEPTED);
    EXPECT_EQ(sink.m_cReceiveConnection.load(), 0);
    EXPECT_FALSE(pin->IsConnected());
    EXPECT_EQ(pin->PeerInput(), nullptr);

    sink.m_hrReceiveConnection = E_ACCESSDENIED;
    CMediaTypeRecord mt = CScriptPin::MakeType();
    const int releasesBefore = pin->m_cReleaseConnection.load();
    EXPECT_EQ(pin->Connect(&sink, &mt), E_ACCESSDENIED);
    EXPECT_FALSE(pin->IsConnected());
    EXPECT_EQ(pin->Allocator(), nullptr);
    EXPECT_EQ(pin->PeerInput(), nullptr);
    EXPECT_GT(pin->m_cReleaseConnection.load(), releasesBefore);
    IPin* peer = reinterpret_cast<IPin*>(1);
    EXPECT_EQ(pin->ConnectedTo(&peer), VFW_E_NOT_CONNECTED);
    EXPECT_EQ(peer, nullptr);
}

TEST_F(Connection, PartialTypeNegotiatesOverPeerThenOwnTypes) {
    // The peer offers a video type this pin refuses; the pin's own type follows in the second pass.
    CMediaTypeRecord peerType = CScriptPin::MakeType(9);
    sink.m_offered.push_back(peerType);
    CMediaTypeRecord partial;
    partial.majortype = MEDIATYPE_Video;
    ASSERT_EQ(pin->Connect(&sink, &partial), S_OK);
    EXPECT_EQ(sink.m_cReceiveConnection.load(), 1);
    EXPECT_TRUE(pin->CurrentMediaType() == CScriptPin::MakeType());
}

TEST_F(Connection, PartialTypeThatMatchesNothingFails) {
    CMediaTypeRecord partial;
    partial.majortype = MEDIATYPE_Audio;
    EXPECT_EQ(pin->Connect(&sink, &partial), VFW_E_NO_ACCEPTABLE_TYPES);
    EXPECT_EQ(sink.m_cReceiveConnection.load(), 0);
    EXPECT_FALSE(pin->IsConnected());
}

TEST_F(Connection, NonRefusalFailureIsRemembered) {
    sink.m_hrReceiveConnection = E_ACCESSDENIED;
    EXPECT_EQ(pin->Connect(&sink, nullptr), E_ACCESSDENIED);
    sink.m_hrReceiveConnection = S_OK;
    sink.m_accept = [](const AM_MEDIA_TYPE&) { return false; };
    EXPECT_EQ(pin->Connect(&sink, nullptr), VFW_E_NO_ACCEPTABLE_TYPES);
    EXPECT_FALSE(pin->IsConnected());
}

TEST_F(Connection, SameDirectionPeerIsRefused) {
    CScriptPin* other = filter->AddScriptPin(u"B");
    CMediaTypeRecord mt = CScriptPin::MakeType();
    EXPECT_EQ(pin->Connect(static_cast<IPin*>(other), &mt), VFW_E_INVALID_DIRECTION);
    EXPECT_FALSE(pin->IsConnected());
}

TEST_F(Connection, FailingBufferSizeFallsBackToTheDefaultAllocator) {
    if (!DefaultAllocatorAvailable())
        GTEST_SKIP() << "memory allocator not available";
    sink.m_pOwnAllocator->m_cbMaxGrant = 8;  // grants less than the 16 bytes asked
    CMediaTypeRecord mt = CScriptPin::MakeType();
    ASSERT_EQ(pin->Connect(&sink, &mt), S_OK);
    EXPECT_EQ(pin->m_cChooseBufferSize.load(), 2);
    ASSERT_NE(pin->Allocator(), nullptr);
    EXPECT_NE(pin->Allocator(), static_cast<IMemAllocator*>(sink.m_pOwnAllocator));
    EXPECT_EQ(sink.m_pNotified, pin->Allocator());
    ALLOCATOR_PROPERTIES props{};
    pin->Allocator()->GetProperties(&props);
    EXPECT_EQ(props.cbBuffer, 16);
    EXPECT_EQ(props.cBuffers, 1);
}

TEST_F(Connection, NoAllocatorAgreedFailsAndReleasesEverything) {
    sink.m_bRefuseNotify = true;
    CMediaTypeRecord mt = CScriptPin::MakeType();
    EXPECT_TRUE(FAILED(pin->Connect(&sink, &mt)));
    EXPECT_FALSE(pin->IsConnected());
    EXPECT_EQ(pin->Allocator(), nullptr);
    EXPECT_EQ(pin->PeerInput(), nullptr);
    // The peer's connection was undone after the failed allocator step.
    IPin* p = nullptr;
    EXPECT_EQ(sink.ConnectedTo(&p), VFW_E_NOT_CONNECTED);
}

TEST_F(Connection, UnconnectedMediaTypeAndDisconnect) {
    AM_MEDIA_TYPE got;
    std::memset(&got, 0x5A, sizeof got);
    EXPECT_EQ(pin->ConnectionMediaType(&got), VFW_E_NOT_CONNECTED);
    EXPECT_EQ(got.bFixedSizeSamples, TRUE);
    EXPECT_EQ(got.lSampleSize, 1u);
    EXPECT_EQ(got.pbFormat, nullptr);
    EXPECT_EQ(got.majortype, GUID_NULL);
    EXPECT_EQ(pin->Disconnect(), S_FALSE);

    CMediaTypeRecord mt = CScriptPin::MakeType();
    ASSERT_EQ(pin->Connect(&sink, &mt), S_OK);
    ASSERT_EQ(filter->Pause(), S_OK);
    EXPECT_EQ(pin->Disconnect(), VFW_E_NOT_STOPPED);
    filter->Stop();
    EXPECT_EQ(pin->Disconnect(), S_OK);
    EXPECT_FALSE(pin->IsConnected());
}

TEST_F(Connection, QueryAcceptMapsFailureToFalse) {
    CMediaTypeRecord mt = CScriptPin::MakeType();
    EXPECT_EQ(pin->QueryAccept(&mt), S_OK);
    CMediaTypeRecord other = CScriptPin::MakeType(8);
    EXPECT_EQ(pin->QueryAccept(&other), S_FALSE);
    EXPECT_EQ(pin->EndOfStream(), E_UNEXPECTED);
    EXPECT_EQ(pin->BeginFlush(), E_UNEXPECTED);
}

TEST_F(Connection, MediaTypeEnumerator) {
    IEnumMediaTypes* e = nullptr;
    ASSERT_EQ(pin->EnumMediaTypes(&e), S_OK);
    AM_MEDIA_TYPE* types[2] = {};
    ULONG got = 0;
    EXPECT_EQ(e->Next(2, types, &got), S_FALSE);
    ASSERT_EQ(got, 1u);
    EXPECT_TRUE(CScriptPin::MakeType().Equals(*types[0]));
    CMediaTypeRecord::DeleteTaskMemRecord(types[0]);
    EXPECT_EQ(e->Next(2, types, nullptr), E_INVALIDARG);
    EXPECT_EQ(e->Reset(), S_OK);
    EXPECT_EQ(e->Skip(1), S_OK);
    EXPECT_EQ(e->Skip(1), S_FALSE);
    pin->IncrementTypeVersion();
    EXPECT_EQ(e->Next(1, types, &got), VFW_E_ENUM_OUT_OF_SYNC);
    IEnumMediaTypes* clone = reinterpret_cast<IEnumMediaTypes*>(1);
    EXPECT_EQ(e->Clone(&clone), VFW_E_ENUM_OUT_OF_SYNC);
    EXPECT_EQ(clone, nullptr);
    e->Reset();
    EXPECT_EQ(e->Next(1, types, &got), S_OK);
    CMediaTypeRecord::DeleteTaskMemRecord(types[0]);
    IUnknown* unk = nullptr;
    EXPECT_EQ(e->QueryInterface(IID_IPin, reinterpret_cast<void**>(&unk)), E_NOINTERFACE);
    e->Release();
}

TEST_F(Connection, PinCountsGoToTheFilter) {
    const int32_t before = filter->NonDelegatingAddRef();
    filter->NonDelegatingRelease();
    pin->AddRef();
    const ULONG during = filter->NonDelegatingAddRef();
    filter->NonDelegatingRelease();
    EXPECT_EQ(during, ULONG(before + 1));
    pin->Release();
    PIN_INFO info{};
    ASSERT_EQ(pin->QueryPinInfo(&info), S_OK);
    EXPECT_EQ(info.pFilter, static_cast<IBaseFilter*>(filter));
    EXPECT_EQ(info.dir, PINDIR_OUTPUT);
    EXPECT_EQ(info.achName[0], u'A');
    info.pFilter->Release();
}
