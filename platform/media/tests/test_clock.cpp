// The system reference clock as the graph uses it.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "kovel/com.h"
#include "kovel/streaming.h"

TEST(SystemClock, ReadsMonotonicTimeAndOffersNoAdvise) {
    IReferenceClock* c = nullptr;
    ASSERT_EQ(CoCreateInstance(CLSID_SystemClock, nullptr, CLSCTX_INPROC_SERVER, IID_IReferenceClock,
                               reinterpret_cast<void**>(&c)),
              S_OK);
    REFERENCE_TIME a = 0, b = 0;
    ASSERT_EQ(c->GetTime(&a), S_OK);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_EQ(c->GetTime(&b), S_OK);
    EXPECT_GE(b - a, 190000) << "100-nanosecond units";
    EXPECT_LT(b - a, 50000000);
    EXPECT_EQ(c->GetTime(nullptr), E_POINTER);

    DWORD_PTR cookie = 7;
    EXPECT_EQ(c->AdviseTime(0, 0, 0, &cookie), E_NOTIMPL);
    EXPECT_EQ(cookie, 0u);
    cookie = 7;
    EXPECT_EQ(c->AdvisePeriodic(0, 1, 0, &cookie), E_NOTIMPL);
    EXPECT_EQ(cookie, 0u);
    EXPECT_EQ(c->Unadvise(0), S_FALSE);

    IUnknown* unk = nullptr;
    ASSERT_EQ(c->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unk)), S_OK);
    EXPECT_EQ(static_cast<void*>(unk), static_cast<void*>(c));
    void* none = &cookie;
    EXPECT_EQ(c->QueryInterface(IID_IPin, &none), E_NOINTERFACE);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(c->QueryInterface(IID_IReferenceClock, nullptr), E_POINTER);
    EXPECT_EQ(unk->Release(), 1u);
    EXPECT_EQ(c->Release(), 0u);
}
