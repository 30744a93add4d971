#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "test_peers.h"

namespace {

struct Streaming : ::testing::Test {
    CScriptFilter* filter = new CScriptFilter(1);
    CScriptPin* pin = filter->Pin(0);
    CTestInputPin sink;
    CTestGraph graph;
    void SetUp() override {
        filter->NonDelegatingAddRef();
        sink.m_pOwnAllocator = new CPoolAllocator;
        filter->JoinFilterGraph(&graph, u"script");
    }
    void Connect() {
        CMediaTypeRecord mt = CScriptPin::MakeType();
        ASSERT_EQ(pin->Connect(&sink, &mt), S_OK);
    }
    void TearDown() override {
        sink.ReleaseHeld();
        filter->Stop();
        pin->Disconnect();
        filter->JoinFilterGraph(nullptr, nullptr);
        filter->NonDelegatingRelease();
    }
};

}  // namespace

TEST_F(Streaming, PauseDeliversOneSecondSamplesAndStopEndsTheWorker) {
    Connect();
    ASSERT_EQ(filter->Pause(), S_OK);
    EXPECT_TRUE(pin->ThreadExists());
    ASSERT_TRUE(sink.WaitSamples(3));
    ASSERT_EQ(filter->Stop(), S_OK);
    EXPECT_FALSE(pin->ThreadExists());
    auto samples = sink.Samples();
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(samples[i].start, REFERENCE_TIME(i) * UNITS);
        EXPECT_EQ(samples[i].stop, REFERENCE_TIME(i + 1) * UNITS);
        EXPECT_TRUE(samples[i].sync);
    }
    EXPECT_EQ(sink.m_cEndOfStream.load(), 0);
    EXPECT_EQ(sink.m_pOwnAllocator->m_cCommits.load(), 1);
}

TEST_F(Streaming, EndOnTheFirstFillGivesEndOfStreamAndNoSample) {
    pin->m_nEndAt = 0;
    Connect();
    ASSERT_EQ(filter->Pause(), S_OK);
    ASSERT_TRUE(sink.WaitEndOfStream());
    EXPECT_TRUE(sink.Samples().empty());
    FILTER_STATE state;
    filter->GetState(0, &state);
    EXPECT_EQ(state, State_Paused);
    EXPECT_TRUE(graph.Events().empty());
    ASSERT_EQ(filter->Stop(), S_OK);
    EXPECT_FALSE(pin->ThreadExists());
}

TEST_F(Streaming, DownstreamRefusalEndsSilently) {
    sink.m_bRefuse = true;
    Connect();
    ASSERT_EQ(filter->Pause(), S_OK);
    // The first refused sample ends the loop: the fill count stops at 1.
    for (int i = 0; i < 200 && pin->m_nFilled.load() == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(pin->m_nFilled.load(), 1);
    EXPECT_EQ(sink.m_cEndOfStream.load(), 0);
    EXPECT_TRUE(graph.Events().empty());
    EXPECT_EQ(filter->Stop(), S_OK);
}

TEST_F(Streaming, FillFailureSendsEndOfStreamThenErrorAbort) {
    pin->m_nFailAt = 2;
    pin->m_hrFail = E_ACCESSDENIED;
    Connect();
    ASSERT_EQ(filter->Pause(), S_OK);
    ASSERT_TRUE(graph.WaitEvent(EC_ERRORABORT));
    EXPECT_EQ(sink.m_cEndOfStream.load(), 1);
    auto events = graph.Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].p1, LONG_PTR(E_ACCESSDENIED));
    EXPECT_EQ(events[0].p2, 0);
    EXPECT_EQ(sink.Samples().size(), 2u);
    // The worker survives and still answers the stop.
    EXPECT_TRUE(pin->ThreadExists());
    EXPECT_EQ(filter->Stop(), S_OK);
    EXPECT_FALSE(pin->ThreadExists());
}

TEST_F(Streaming, StopWhileBlockedInGetBufferEndsPromptly) {
    sink.m_bHold = true;  // one buffer, never given back: the worker blocks in get-buffer
    Connect();
    ASSERT_EQ(filter->Pause(), S_OK);
    ASSERT_TRUE(sink.WaitSamples(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(filter->Stop(), S_OK);
    const auto elapsed = std::chrono::steady_clock::now() - t0;
    EXPECT_LT(elapsed, std::chrono::seconds(1));
    EXPECT_FALSE(pin->ThreadExists());
    EXPECT_EQ(sink.Samples().size(), 1u);
}

TEST_F(Streaming, StateChangesActivateOnce) {
    Connect();
    ASSERT_EQ(filter->Pause(), S_OK);
    ASSERT_EQ(filter->Pause(), S_OK);
    EXPECT_EQ(pin->m_cActivate.load(), 1);
    ASSERT_EQ(filter->Run(0), S_OK);
    ASSERT_EQ(filter->Run(0), S_OK);
    EXPECT_EQ(pin->m_cRunAt.load(), 1);
    filter->Stop();
    ASSERT_EQ(filter->Run(5), S_OK);
    EXPECT_EQ(pin->m_cActivate.load(), 2);
    EXPECT_EQ(pin->m_cRunAt.load(), 2);
    EXPECT_EQ(filter->StreamStartTime(), 5);
    FILTER_STATE state;
    filter->GetState(0, &state);
    EXPECT_EQ(state, State_Running);
    EXPECT_EQ(filter->Stop(), S_OK);
    filter->GetState(0, &state);
    EXPECT_EQ(state, State_Stopped);
}

TEST_F(Streaming, UnconnectedPinStartsNoThread) {
    EXPECT_EQ(filter->Pause(), S_OK);
    EXPECT_FALSE(pin->ThreadExists());
    EXPECT_EQ(filter->Run(0), S_OK);
    EXPECT_FALSE(pin->ThreadExists());
    EXPECT_EQ(pin->m_cActivate.load(), 0);
    EXPECT_EQ(filter->Stop(), S_OK);
}

TEST_F(Streaming, FailedActivationLeavesNoWorkerAndCanRetry) {
    // The second pin fails after the first one already streams: the first
    // must be stopped again, or every later Pause fails on its live worker.
    CScriptPin* second = filter->AddScriptPin(u"B");
    CTestInputPin sink2;
    sink2.m_pOwnAllocator = new CPoolAllocator;
    second->m_hrWorkerStart = E_ACCESSDENIED;
    Connect();
    CMediaTypeRecord mt = CScriptPin::MakeType();
    ASSERT_EQ(second->Connect(&sink2, &mt), S_OK);
    EXPECT_EQ(filter->Pause(), E_ACCESSDENIED);
    FILTER_STATE state;
    filter->GetState(0, &state);
    EXPECT_EQ(state, State_Stopped);
    EXPECT_FALSE(pin->ThreadExists());
    EXPECT_FALSE(second->ThreadExists());
    EXPECT_EQ(sink.m_pOwnAllocator->m_cDecommits.load(), sink.m_pOwnAllocator->m_cCommits.load());
    second->m_hrWorkerStart = S_OK;
    EXPECT_EQ(filter->Pause(), S_OK);
    EXPECT_TRUE(sink.WaitSamples(1));
    EXPECT_TRUE(sink2.WaitSamples(1));
    EXPECT_EQ(filter->Stop(), S_OK);
    EXPECT_FALSE(second->ThreadExists());
    second->Disconnect();
}

TEST_F(Streaming, ExitEndsTheWorkerEvenWhileItDelivers) {
    // An Exit that lands in a running delivery loop (a restart's Run slipped
    // in before it) must still end the thread, and Stop must always wait for it.
    Connect();
    ASSERT_EQ(filter->Pause(), S_OK);
    ASSERT_TRUE(sink.WaitSamples(1));
    EXPECT_EQ(pin->SendCommand(WorkerCommand::Exit), S_OK);
    pin->JoinThread();
    EXPECT_FALSE(pin->ThreadExists());
    // The filter still thinks it is paused: Stop ends cleanly and a new run starts.
    EXPECT_EQ(filter->Stop(), S_OK);
    EXPECT_EQ(filter->Pause(), S_OK);
    EXPECT_TRUE(pin->ThreadExists());
    EXPECT_EQ(filter->Stop(), S_OK);
    EXPECT_FALSE(pin->ThreadExists());
}

TEST_F(Streaming, RestartRepositionsBetweenStopAndRunAndIsOneStepForActivation) {
    Connect();
    ASSERT_EQ(filter->Pause(), S_OK);
    ASSERT_TRUE(sink.WaitSamples(2));
    int flushesAtReposition = -1;
    bool workerIdle = false;
    EXPECT_EQ(pin->RestartDelivery([&] {
        flushesAtReposition = sink.m_cBeginFlush.load() - sink.m_cEndFlush.load();
        DWORD cmd = 0;
        workerIdle = !pin->PeekCommand(&cmd);  // the Stop was answered
    }),
              S_OK);
    EXPECT_EQ(flushesAtReposition, 1);
    EXPECT_TRUE(workerIdle);
    EXPECT_EQ(sink.m_cEndFlush.load(), 1);
    const size_t before = sink.Samples().size();
    ASSERT_TRUE(sink.WaitSamples(before + 2));
    EXPECT_EQ(pin->m_cDeliveryStart.load(), 2);
    ASSERT_EQ(filter->Stop(), S_OK);

    // Stopped: only the reposition runs. An activation racing it waits for
    // it, so the first loop already starts from the new position; it can
    // never start from the old one with the new position applied unflushed.
    std::atomic<int> position{0};
    std::atomic<int> seenAtStart{-1};
    pin->m_onDeliveryStart = [&] { seenAtStart = position.load(); };
    std::thread pauser;
    EXPECT_EQ(pin->RestartDelivery([&] {
        pauser = std::thread([&] { filter->Pause(); });
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        position = 42;
    }),
              S_OK);
    pauser.join();
    EXPECT_EQ(sink.m_cBeginFlush.load(), 1);
    for (int i = 0; i < 500 && seenAtStart.load() < 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_EQ(seenAtStart.load(), 42);
    EXPECT_EQ(filter->Stop(), S_OK);
    pin->m_onDeliveryStart = nullptr;
}

TEST(WorkerThread, CommandsWithoutAThreadFail) {
    struct Idle : CWorkerThread {
        DWORD ThreadBody() override {
            for (;;) {
                DWORD c = WaitCommand();
                Answer(HRESULT(c) + 100);
                if (c == WorkerCommand::Exit)
                    return 7;
            }
        }
    } w;
    EXPECT_EQ(w.SendCommand(WorkerCommand::Init), E_FAIL);
    ASSERT_TRUE(w.StartThread());
    EXPECT_FALSE(w.StartThread());
    EXPECT_EQ(w.SendCommand(WorkerCommand::Run), 102);
    DWORD c = 0;
    EXPECT_FALSE(w.PeekCommand(&c));
    EXPECT_EQ(w.SendCommand(WorkerCommand::Exit), 104);
    w.JoinThread();
    EXPECT_FALSE(w.ThreadExists());
    // A sender never hangs on a thread that ended without answering.
    struct Quitter : CWorkerThread {
        DWORD ThreadBody() override { return 0; }
    } q;
    ASSERT_TRUE(q.StartThread());
    EXPECT_EQ(q.SendCommand(WorkerCommand::Init), E_FAIL);
    q.JoinThread();
}
