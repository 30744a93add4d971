// The allocator across threads: a waiting GetBuffer, Decommit releasing it,
// and producers and consumers sharing a small pool.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "kovel/com.h"
#include "kovel/streaming.h"

namespace {

using namespace std::chrono_literals;

IMemAllocator* Committed(LONG n, LONG size) {
    IMemAllocator* a = nullptr;
    EXPECT_EQ(CoCreateInstance(CLSID_MemoryAllocator, nullptr, CLSCTX_ALL, IID_IMemAllocator,
                               reinterpret_cast<void**>(&a)),
              S_OK);
    ALLOCATOR_PROPERTIES req{n, size, 1, 0}, act{};
    EXPECT_EQ(a->SetProperties(&req, &act), S_OK);
    EXPECT_EQ(a->Commit(), S_OK);
    return a;
}

TEST(AllocatorThreads, GetBufferWaitsForARelease) {
    IMemAllocator* a = Committed(1, 64);
    IMediaSample* held = nullptr;
    ASSERT_EQ(a->GetBuffer(&held, nullptr, nullptr, 0), S_OK);
    auto waiter = std::async(std::launch::async, [a] {
        IMediaSample* s = nullptr;
        HRESULT hr = a->GetBuffer(&s, nullptr, nullptr, 0);
        if (s)
            s->Release();
        return hr;
    });
    EXPECT_EQ(waiter.wait_for(100ms), std::future_status::timeout) << "no free buffer: it waits";
    held->Release();
    ASSERT_EQ(waiter.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(waiter.get(), S_OK);
    a->Decommit();
    a->Release();
}

TEST(AllocatorThreads, DecommitReleasesEveryWaiterAtOnce) {
    IMemAllocator* a = Committed(1, 64);
    IMediaSample* held = nullptr;
    ASSERT_EQ(a->GetBuffer(&held, nullptr, nullptr, 0), S_OK);
    std::vector<std::future<HRESULT>> waiters;
    for (int i = 0; i < 3; ++i)
        waiters.push_back(std::async(std::launch::async, [a] {
            IMediaSample* s = nullptr;
            HRESULT hr = a->GetBuffer(&s, nullptr, nullptr, 0);
            if (s)
                s->Release();
            return hr;
        }));
    std::this_thread::sleep_for(50ms);
    auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(a->Decommit(), S_OK);
    for (auto& w : waiters) {
        ASSERT_EQ(w.wait_for(5s), std::future_status::ready);
        EXPECT_EQ(w.get(), VFW_E_NOT_COMMITTED);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 1s);
    held->Release();  // the last sample back frees the pool
    a->Release();
}

TEST(AllocatorThreads, ProducersAndConsumersShareAPool) {
    IMemAllocator* a = Committed(3, 128);
    std::mutex qlock;
    std::condition_variable qwake;
    std::vector<IMediaSample*> queue;
    std::atomic<int> produced{0}, consumed{0};
    constexpr int kPerProducer = 300;
    std::vector<std::thread> producers;
    for (int p = 0; p < 2; ++p)
        producers.emplace_back([&, p] {
            for (int i = 0; i < kPerProducer; ++i) {
                IMediaSample* s = nullptr;
                if (a->GetBuffer(&s, nullptr, nullptr, 0) != S_OK)
                    return;
                BYTE* data = nullptr;
                s->GetPointer(&data);
                data[0] = BYTE(p);
                REFERENCE_TIME t = i;
                s->SetTime(&t, nullptr);
                ++produced;
                std::lock_guard<std::mutex> g(qlock);
                queue.push_back(s);
                qwake.notify_one();
            }
        });
    std::thread consumer([&] {
        while (consumed < 2 * kPerProducer) {
            std::unique_lock<std::mutex> g(qlock);
            qwake.wait(g, [&] { return !queue.empty(); });
            IMediaSample* s = queue.back();
            queue.pop_back();
            g.unlock();
            s->Release();
            ++consumed;
        }
    });
    for (auto& t : producers) t.join();
    consumer.join();
    EXPECT_EQ(produced, 2 * kPerProducer);
    EXPECT_EQ(consumed, 2 * kPerProducer);
    a->Decommit();
    a->Release();
}

}  // namespace
