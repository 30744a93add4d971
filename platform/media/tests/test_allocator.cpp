// The memory allocator, its samples, and the system clock.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "kovel/com.h"
#include "kovel/streaming.h"

namespace {

IMemAllocator* NewAllocator() {
    IMemAllocator* a = nullptr;
    EXPECT_EQ(CoCreateInstance(CLSID_MemoryAllocator, nullptr, CLSCTX_INPROC_SERVER, IID_IMemAllocator,
                               reinterpret_cast<void**>(&a)),
              S_OK);
    return a;
}

ALLOCATOR_PROPERTIES Props(LONG n, LONG size, LONG align = 1, LONG prefix = 0) {
    return {n, size, align, prefix};
}

TEST(Allocator, Negotiation) {
    IMemAllocator* a = NewAllocator();
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->Commit(), VFW_E_SIZENOTSET);
    ALLOCATOR_PROPERTIES req = Props(2, 1000, 0), act{};
    EXPECT_EQ(a->SetProperties(&req, &act), VFW_E_BADALIGN);
    req.cbAlign = 12;
    EXPECT_EQ(a->SetProperties(&req, &act), VFW_E_BADALIGN);
    req = Props(-1, 1000);
    EXPECT_EQ(a->SetProperties(&req, &act), E_INVALIDARG);
    req = Props(1 << 20, 1 << 20);
    EXPECT_EQ(a->SetProperties(&req, &act), E_OUTOFMEMORY) << "a terabyte pool is refused";

    req = Props(3, 1000, 64, 8);
    ASSERT_EQ(a->SetProperties(&req, &act), S_OK);
    EXPECT_EQ(act.cBuffers, 3);
    EXPECT_EQ((act.cbBuffer + act.cbPrefix) % 64, 0) << "prefix and buffer fill whole alignment units";
    EXPECT_GE(act.cbBuffer, 1000);
    ALLOCATOR_PROPERTIES got{};
    ASSERT_EQ(a->GetProperties(&got), S_OK);
    EXPECT_EQ(std::memcmp(&got, &act, sizeof got), 0);

    ASSERT_EQ(a->Commit(), S_OK);
    EXPECT_EQ(a->SetProperties(&req, &act), VFW_E_ALREADY_COMMITTED);
    IMediaSample* s = nullptr;
    ASSERT_EQ(a->GetBuffer(&s, nullptr, nullptr, 0), S_OK);
    BYTE* p = nullptr;
    s->GetPointer(&p);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 64, 0u);
    EXPECT_EQ(s->GetSize(), act.cbBuffer);
    std::memset(p, 0xAB, size_t(s->GetSize()));  // the whole buffer is usable

    ASSERT_EQ(a->Decommit(), S_OK);
    EXPECT_EQ(a->SetProperties(&req, &act), VFW_E_BUFFERS_OUTSTANDING);
    IMediaSample* none = nullptr;
    EXPECT_EQ(a->GetBuffer(&none, nullptr, nullptr, 0), VFW_E_NOT_COMMITTED);
    EXPECT_EQ(none, nullptr);
    s->Release();
    req = Props(1, 16);
    EXPECT_EQ(a->SetProperties(&req, &act), S_OK);
    a->Release();
}

TEST(Allocator, SamplesReturnToThePool) {
    IMemAllocator* a = NewAllocator();
    ALLOCATOR_PROPERTIES req = Props(2, 256), act{};
    ASSERT_EQ(a->SetProperties(&req, &act), S_OK);
    EXPECT_EQ(a->GetBuffer(nullptr, nullptr, nullptr, 0), E_POINTER);
    IMediaSample* none = nullptr;
    EXPECT_EQ(a->GetBuffer(&none, nullptr, nullptr, AM_GBF_NOWAIT), VFW_E_NOT_COMMITTED);
    ASSERT_EQ(a->Commit(), S_OK);
    IMediaSample *s1 = nullptr, *s2 = nullptr, *s3 = nullptr;
    ASSERT_EQ(a->GetBuffer(&s1, nullptr, nullptr, 0), S_OK);
    ASSERT_EQ(a->GetBuffer(&s2, nullptr, nullptr, 0), S_OK);
    EXPECT_NE(s1, s2);
    EXPECT_EQ(a->GetBuffer(&s3, nullptr, nullptr, AM_GBF_NOWAIT), VFW_E_TIMEOUT);

    // An extra reference keeps the sample out; the last one returns it.
    s1->AddRef();
    s1->Release();
    EXPECT_EQ(a->GetBuffer(&s3, nullptr, nullptr, AM_GBF_NOWAIT), VFW_E_TIMEOUT);
    s1->Release();
    ASSERT_EQ(a->GetBuffer(&s3, nullptr, nullptr, AM_GBF_NOWAIT), S_OK);
    EXPECT_EQ(s3, s1);

    // Samples outlive the client's reference to the allocator.
    a->Decommit();
    a->Release();
    BYTE* p = nullptr;
    s2->GetPointer(&p);
    p[0] = 1;
    s2->Release();
    s3->Release();
}

TEST(Allocator, RecommitAfterDecommit) {
    IMemAllocator* a = NewAllocator();
    ALLOCATOR_PROPERTIES req = Props(1, 64), act{};
    ASSERT_EQ(a->SetProperties(&req, &act), S_OK);
    for (int round = 0; round < 3; ++round) {
        ASSERT_EQ(a->Commit(), S_OK);
        IMediaSample* s = nullptr;
        ASSERT_EQ(a->GetBuffer(&s, nullptr, nullptr, 0), S_OK);
        ASSERT_EQ(a->Decommit(), S_OK);
        if (round == 1) {
            // Committed again while the sample is still out: the pool is used again.
            ASSERT_EQ(a->Commit(), S_OK);
            s->Release();
            IMediaSample* again = nullptr;
            ASSERT_EQ(a->GetBuffer(&again, nullptr, nullptr, AM_GBF_NOWAIT), S_OK);
            again->Release();
            a->Decommit();
        } else {
            s->Release();
        }
    }
    a->Release();
}

TEST(Sample, TimesFlagsAndLength) {
    IMemAllocator* a = NewAllocator();
    ALLOCATOR_PROPERTIES req = Props(1, 100), act{};
    ASSERT_EQ(a->SetProperties(&req, &act), S_OK);
    ASSERT_EQ(a->Commit(), S_OK);
    IMediaSample* s = nullptr;
    ASSERT_EQ(a->GetBuffer(&s, nullptr, nullptr, 0), S_OK);

    REFERENCE_TIME t0 = -1, t1 = -1;
    EXPECT_EQ(s->GetTime(&t0, &t1), VFW_E_SAMPLE_TIME_NOT_SET);
    REFERENCE_TIME start = 5000, end = 9000;
    ASSERT_EQ(s->SetTime(&start, nullptr), S_OK);
    EXPECT_EQ(s->GetTime(&t0, &t1), VFW_S_NO_STOP_TIME);
    EXPECT_EQ(t0, 5000);
    EXPECT_EQ(t1, 5001);
    ASSERT_EQ(s->SetTime(&start, &end), S_OK);
    EXPECT_EQ(s->GetTime(&t0, &t1), S_OK);
    EXPECT_EQ(t1, 9000);
    ASSERT_EQ(s->SetTime(nullptr, nullptr), S_OK);
    EXPECT_EQ(s->GetTime(&t0, &t1), VFW_E_SAMPLE_TIME_NOT_SET);

    LONGLONG m0, m1;
    EXPECT_EQ(s->GetMediaTime(&m0, &m1), VFW_E_MEDIA_TIME_NOT_SET);
    LONGLONG ms = 3, me = 4;
    ASSERT_EQ(s->SetMediaTime(&ms, &me), S_OK);
    EXPECT_EQ(s->GetMediaTime(&m0, &m1), S_OK);
    EXPECT_EQ(m1, 4);

    EXPECT_EQ(s->IsSyncPoint(), S_FALSE);
    s->SetSyncPoint(TRUE);
    EXPECT_EQ(s->IsSyncPoint(), S_OK);
    s->SetDiscontinuity(TRUE);
    EXPECT_EQ(s->IsDiscontinuity(), S_OK);
    s->SetPreroll(TRUE);
    EXPECT_EQ(s->IsPreroll(), S_OK);

    EXPECT_EQ(s->SetActualDataLength(s->GetSize() + 1), VFW_E_BUFFER_OVERFLOW);
    EXPECT_EQ(s->SetActualDataLength(-1), VFW_E_BUFFER_OVERFLOW);
    ASSERT_EQ(s->SetActualDataLength(42), S_OK);
    EXPECT_EQ(s->GetActualDataLength(), 42);

    AM_MEDIA_TYPE* got = reinterpret_cast<AM_MEDIA_TYPE*>(1);
    EXPECT_EQ(s->GetMediaType(&got), S_FALSE);
    EXPECT_EQ(got, nullptr);
    BYTE format[6] = {1, 2, 3, 4, 5, 6};
    AM_MEDIA_TYPE mt{};
    mt.majortype = MEDIATYPE_Audio;
    mt.subtype = MEDIASUBTYPE_PCM;
    mt.formattype = FORMAT_WaveFormatEx;
    mt.cbFormat = sizeof format;
    mt.pbFormat = format;
    ASSERT_EQ(s->SetMediaType(&mt), S_OK);
    format[0] = 99;  // the sample holds its own copy
    ASSERT_EQ(s->GetMediaType(&got), S_OK);
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(got->majortype, MEDIATYPE_Audio);
    ASSERT_EQ(got->cbFormat, 6u);
    EXPECT_NE(got->pbFormat, format);
    EXPECT_EQ(got->pbFormat[0], 1);
    CoTaskMemFree(got->pbFormat);
    CoTaskMemFree(got);
    AM_MEDIA_TYPE broken{};
    broken.cbFormat = 10;
    EXPECT_EQ(s->SetMediaType(&broken), E_POINTER);

    // Handed out again, the sample starts clean.
    s->Release();
    ASSERT_EQ(a->GetBuffer(&s, nullptr, nullptr, 0), S_OK);
    EXPECT_EQ(s->GetTime(&t0, &t1), VFW_E_SAMPLE_TIME_NOT_SET);
    EXPECT_EQ(s->GetMediaTime(&m0, &m1), VFW_E_MEDIA_TIME_NOT_SET);
    EXPECT_EQ(s->IsSyncPoint(), S_FALSE);
    EXPECT_EQ(s->IsDiscontinuity(), S_FALSE);
    EXPECT_EQ(s->IsPreroll(), S_FALSE);
    EXPECT_EQ(s->GetMediaType(&got), S_FALSE);
    s->Release();
    a->Decommit();
    a->Release();
}

TEST(Clock, MonotonicInHundredNanoseconds) {
    IReferenceClock* c = nullptr;
    ASSERT_EQ(CoCreateInstance(CLSID_SystemClock, nullptr, CLSCTX_ALL, IID_IReferenceClock,
                               reinterpret_cast<void**>(&c)),
              S_OK);
    REFERENCE_TIME prev = 0, now = 0;
    ASSERT_EQ(c->GetTime(&prev), S_OK);
    for (int i = 0; i < 10000; ++i) {
        c->GetTime(&now);
        ASSERT_GE(now, prev);
        prev = now;
    }
    REFERENCE_TIME before = 0, after = 0;
    c->GetTime(&before);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    c->GetTime(&after);
    EXPECT_GE(after - before, 30 * 10000);
    EXPECT_LT(after - before, 5 * UNITS);
    EXPECT_EQ(c->GetTime(nullptr), E_POINTER);
    c->Release();
}

TEST(BuiltinClasses, AvailableWithoutRegistration) {
    for (const CLSID* id :
         {&CLSID_MemoryAllocator, &CLSID_SystemClock, &CLSID_FilterMapper, &CLSID_FilterMapper2}) {
        IUnknown* u = nullptr;
        ASSERT_EQ(
            CoCreateInstance(*id, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, reinterpret_cast<void**>(&u)),
            S_OK);
        u->Release();
    }
}

}  // namespace
