// An in-process sink on the media runtime's filter base: one input pin that
// takes its allocator from the platform and records the samples it receives.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <vector>

#include "filter_base.h"

struct ReceivedSample {
    REFERENCE_TIME start = 0;
    REFERENCE_TIME stop = 0;
    bool sync = false;
    LONG size = 0;
};

class CSinkFilter : public kovel::rt::FilterBase {
  public:
    CSinkFilter();

    int PinCount() override { return 1; }
    kovel::rt::PinBase* PinAt(int i) override;
    HRESULT OnReceive(kovel::rt::InputPin* pin, IMediaSample* sample) override;
    HRESULT OnEndOfStream(kovel::rt::InputPin*) override;
    HRESULT OnBeginFlush(kovel::rt::InputPin*) override { return S_OK; }
    HRESULT OnEndFlush(kovel::rt::InputPin*) override { return S_OK; }
    HRESULT OnNewSegment(kovel::rt::InputPin*, REFERENCE_TIME, REFERENCE_TIME, double) override;

    IPin* Input();
    // Waits until at least n samples have arrived in all.
    bool WaitSamples(size_t n, int ms = 10000);
    std::vector<ReceivedSample> Samples();
    // Waits until at least n samples have been refused.
    bool WaitRefused(int n, int ms = 10000);
    int RefusedCount();
    int EndOfStreamCount();
    int NewSegmentCount();
    // Receive answers S_FALSE once this many samples have been taken (-1: never).
    void RefuseAfter(int n);

  private:
    class Pin : public kovel::rt::InputPin {
      public:
        explicit Pin(FilterBase* f) : InputPin(f, u"In") {}
        HRESULT CheckMediaType(const kovel::rt::MediaType&) override { return S_OK; }
    };
    Pin m_pin;
    std::mutex m_mutex;
    std::condition_variable m_cond;
    std::vector<ReceivedSample> m_samples;
    int m_cEndOfStream = 0;
    int m_cRefused = 0;
    int m_cNewSegment = 0;
    int m_nRefuseAfter = -1;
};
