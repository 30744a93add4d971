#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "filter_base.h"

using namespace kovel::rt;

namespace {

IMemAllocator* NewAllocator() {
    IMemAllocator* a = nullptr;
    EXPECT_EQ(CreateAllocator(&a), S_OK);
    return a;
}

IMemAllocator* CommittedAllocator(LONG buffers, LONG size) {
    IMemAllocator* a = NewAllocator();
    ALLOCATOR_PROPERTIES req{buffers, size, 1, 0}, got{};
    EXPECT_EQ(a->SetProperties(&req, &got), S_OK);
    EXPECT_EQ(got.cbBuffer, size);
    EXPECT_EQ(a->Commit(), S_OK);
    return a;
}

TEST(PinAllocator, RefusesUseBeforeSizeAndBadProperties) {
    IMemAllocator* a = NewAllocator();
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->Commit(), VFW_E_SIZENOTSET);
    ALLOCATOR_PROPERTIES req{1, 0, 1, 0}, got{};
    // An empty buffer size is taken but never committed.
    ASSERT_EQ(a->SetProperties(&req, &got), S_OK);
    EXPECT_EQ(a->Commit(), VFW_E_SIZENOTSET);
    req = {1, -1, 1, 0};
    EXPECT_EQ(a->SetProperties(&req, &got), E_INVALIDARG);
    req = {1, 64, 3, 0};
    EXPECT_EQ(a->SetProperties(&req, &got), VFW_E_BADALIGN);
    IMediaSample* s = nullptr;
    EXPECT_EQ(a->GetBuffer(&s, nullptr, nullptr, 0), VFW_E_NOT_COMMITTED);
    a->Release();
}

TEST(PinAllocator, SampleKeepsDataLengthWithinBufferAndTimes) {
    IMemAllocator* a = CommittedAllocator(1, 100);
    IMediaSample* s = nullptr;
    ASSERT_EQ(a->GetBuffer(&s, nullptr, nullptr, 0), S_OK);
    EXPECT_EQ(s->SetActualDataLength(101), VFW_E_BUFFER_OVERFLOW);
    EXPECT_EQ(s->SetActualDataLength(100), S_OK);
    REFERENCE_TIME t0 = -5000000, t1 = -4000000, r0 = 0, r1 = 0;
    s->SetTime(&t0, &t1);
    EXPECT_EQ(s->GetTime(&r0, &r1), S_OK);
    EXPECT_EQ(r0, t0);
    EXPECT_EQ(r1, t1);
    s->Release();
    // A returned buffer comes back cleared: whole length, no times.
    ASSERT_EQ(a->GetBuffer(&s, nullptr, nullptr, 0), S_OK);
    EXPECT_EQ(s->GetActualDataLength(), 100);
    EXPECT_TRUE(FAILED(s->GetTime(&r0, &r1)));
    s->Release();
    a->Decommit();
    a->Release();
}

TEST(PinAllocator, GetBufferWaitsForAFreeBufferAndDecommitReleasesIt) {
    IMemAllocator* a = CommittedAllocator(1, 16);
    IMediaSample* held = nullptr;
    ASSERT_EQ(a->GetBuffer(&held, nullptr, nullptr, 0), S_OK);
    IMediaSample* none = nullptr;
    EXPECT_EQ(a->GetBuffer(&none, nullptr, nullptr, AM_GBF_NOWAIT), VFW_E_TIMEOUT);

    std::atomic<HRESULT> result{S_FALSE};
    std::thread waiter([&] {
        IMediaSample* s = nullptr;
        result = a->GetBuffer(&s, nullptr, nullptr, 0);
        if (s)
            s->Release();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(result.load(), S_FALSE);  // still waiting
    held->Release();                    // frees the only buffer
    waiter.join();
    EXPECT_EQ(result.load(), S_OK);

    ASSERT_EQ(a->GetBuffer(&held, nullptr, nullptr, 0), S_OK);
    result = S_FALSE;
    std::thread blocked([&] {
        IMediaSample* s = nullptr;
        result = a->GetBuffer(&s, nullptr, nullptr, 0);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    a->Decommit();
    blocked.join();
    EXPECT_EQ(result.load(), VFW_E_NOT_COMMITTED);
    // A sample still out keeps the allocator alive past its last reference.
    a->Release();
    EXPECT_EQ(held->SetActualDataLength(16), S_OK);
    held->Release();
}

TEST(MediaType, RoundTripsFormatBlockThroughTaskMemory) {
    MediaType mt;
    mt.major = MEDIATYPE_Audio;
    mt.subtype = MEDIASUBTYPE_PCM;
    mt.formattype = FORMAT_WaveFormatEx;
    mt.format = {1, 2, 3, 4, 5};
    AM_MEDIA_TYPE* am = mt.NewAm();
    ASSERT_NE(am, nullptr);
    EXPECT_EQ(am->cbFormat, 5u);
    MediaType back = MediaType::From(*am);
    EXPECT_EQ(back.format, mt.format);
    EXPECT_TRUE(back.subtype == MEDIASUBTYPE_PCM);
    DeleteMediaType(am);
}

}  // namespace
