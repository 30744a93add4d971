// A small input pin that takes whatever a source pin delivers and reports
// every call: new segments, samples (times, flags, size, crc32 of the bytes),
// flushes and end of stream. The samples command prints what it reports;
// reader tests check it. Header-only so both can use it without a library.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "crc32.h"
#include "kovel/guids.h"
#include "kovel/hresult.h"
#include "kovel/streaming.h"

namespace zmrtool {

using zmr::Crc32;

struct SinkEvent {
    enum Kind { kSegment, kSample, kEndOfStream, kBeginFlush, kEndFlush } kind = kSample;
    REFERENCE_TIME start = 0;
    REFERENCE_TIME end = 0;  // stop of a segment, end of a sample
    double rate = 1.0;
    bool time_valid = false;
    LONG size = 0;
    bool sync = false;
    bool discontinuity = false;
    uint32_t crc32 = 0;
    std::vector<uint8_t> data;  // only when the sink keeps data
};

class CSampleSink final : public IPin, public IMemInputPin {
  public:
    explicit CSampleSink(std::u16string name) : m_name(std::move(name)) {}
    CSampleSink(const CSampleSink&) = delete;
    CSampleSink& operator=(const CSampleSink&) = delete;
    virtual ~CSampleSink() {
        if (m_pConnector)
            m_pConnector->Release();
        if (m_pAllocator)
            m_pAllocator->Release();
    }

    // Called on the delivering thread for every event, after it is recorded.
    std::function<void(const SinkEvent&)> m_onEvent;
    // Keep every sample's bytes in its event.
    bool m_bKeepData = false;
    // Block in Receive after the first sample until a flush begins (the
    // sample is then refused) or Unblock is called (it is taken).
    bool m_bHoldFirst = false;
    // Refuse samples once this many were taken (0: no limit), so a source
    // that never ends can still be bounded.
    size_t m_nSampleLimit = 0;
    // Compute each sample's crc32 (off where only the delivery rate counts).
    bool m_bChecksum = true;

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IPin)
            *ppv = static_cast<IPin*>(this);
        else if (riid == IID_IMemInputPin)
            *ppv = static_cast<IMemInputPin*>(this);
        else {
            *ppv = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    // The owner keeps the sink alive for the graph's life.
    ULONG AddRef() override { return ++m_cRef; }
    ULONG Release() override { return --m_cRef; }

    // IPin (input side)
    HRESULT Connect(IPin*, const AM_MEDIA_TYPE*) override { return E_UNEXPECTED; }
    HRESULT ReceiveConnection(IPin* pConnector, const AM_MEDIA_TYPE* pmt) override {
        if (!pConnector || !pmt)
            return E_POINTER;
        std::lock_guard<std::mutex> g(m_mutex);
        if (m_pConnector)
            return VFW_E_ALREADY_CONNECTED;
        m_pConnector = pConnector;
        m_pConnector->AddRef();
        m_mt = *pmt;
        m_mt.pUnk = nullptr;
        m_format.assign(pmt->pbFormat, pmt->pbFormat + (pmt->pbFormat ? pmt->cbFormat : 0));
        m_mt.pbFormat = nullptr;
        return S_OK;
    }
    HRESULT Disconnect() override {
        std::lock_guard<std::mutex> g(m_mutex);
        if (!m_pConnector)
            return S_FALSE;
        m_pConnector->Release();
        m_pConnector = nullptr;
        if (m_pAllocator) {
            m_pAllocator->Release();
            m_pAllocator = nullptr;
        }
        return S_OK;
    }
    HRESULT ConnectedTo(IPin** pPin) override {
        if (!pPin)
            return E_POINTER;
        std::lock_guard<std::mutex> g(m_mutex);
        *pPin = m_pConnector;
        if (!m_pConnector)
            return VFW_E_NOT_CONNECTED;
        m_pConnector->AddRef();
        return S_OK;
    }
    HRESULT ConnectionMediaType(AM_MEDIA_TYPE*) override { return E_NOTIMPL; }
    HRESULT QueryPinInfo(PIN_INFO* pInfo) override {
        if (!pInfo)
            return E_POINTER;
        pInfo->pFilter = nullptr;
        pInfo->dir = PINDIR_INPUT;
        size_t n = std::min<size_t>(m_name.size(), MAX_PIN_NAME - 1);
        std::memcpy(pInfo->achName, m_name.data(), n * sizeof(WCHAR));
        pInfo->achName[n] = 0;
        return S_OK;
    }
    HRESULT QueryDirection(PIN_DIRECTION* pPinDir) override {
        if (!pPinDir)
            return E_POINTER;
        *pPinDir = PINDIR_INPUT;
        return S_OK;
    }
    HRESULT QueryId(LPWSTR*) override { return E_NOTIMPL; }
    HRESULT QueryAccept(const AM_MEDIA_TYPE*) override { return S_OK; }
    HRESULT EnumMediaTypes(IEnumMediaTypes**) override { return E_NOTIMPL; }
    HRESULT QueryInternalConnections(IPin**, ULONG*) override { return E_NOTIMPL; }
    HRESULT EndOfStream() override {
        SinkEvent e;
        e.kind = SinkEvent::kEndOfStream;
        Record(std::move(e));
        return S_OK;
    }
    HRESULT BeginFlush() override {
        {
            std::lock_guard<std::mutex> g(m_mutex);
            m_bFlushing = true;
            m_bFlushSeen = true;
        }
        m_cond.notify_all();
        SinkEvent e;
        e.kind = SinkEvent::kBeginFlush;
        Record(std::move(e));
        return S_OK;
    }
    HRESULT EndFlush() override {
        {
            std::lock_guard<std::mutex> g(m_mutex);
            m_bFlushing = false;
        }
        SinkEvent e;
        e.kind = SinkEvent::kEndFlush;
        Record(std::move(e));
        return S_OK;
    }
    HRESULT NewSegment(REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate) override {
        SinkEvent e;
        e.kind = SinkEvent::kSegment;
        e.start = tStart;
        e.end = tStop;
        e.rate = dRate;
        Record(std::move(e));
        return S_OK;
    }

    // IMemInputPin: no allocator of its own, so the source takes the default one.
    HRESULT GetAllocator(IMemAllocator** ppAllocator) override {
        if (!ppAllocator)
            return E_POINTER;
        *ppAllocator = nullptr;
        return VFW_E_NO_ALLOCATOR;
    }
    HRESULT NotifyAllocator(IMemAllocator* pAllocator, BOOL) override {
        if (!pAllocator)
            return E_POINTER;
        std::lock_guard<std::mutex> g(m_mutex);
        pAllocator->AddRef();
        if (m_pAllocator)
            m_pAllocator->Release();
        m_pAllocator = pAllocator;
        return S_OK;
    }
    HRESULT GetAllocatorRequirements(ALLOCATOR_PROPERTIES*) override { return E_NOTIMPL; }
    HRESULT Receive(IMediaSample* pSample) override {
        if (!pSample)
            return E_POINTER;
        {
            std::lock_guard<std::mutex> g(m_mutex);
            if (m_bFlushing)
                return S_FALSE;
            if (m_nSampleLimit && m_nSamples >= m_nSampleLimit)
                return S_FALSE;
            ++m_nSamples;
        }
        SinkEvent e;
        e.kind = SinkEvent::kSample;
        REFERENCE_TIME s = 0, t = 0;
        e.time_valid = SUCCEEDED(pSample->GetTime(&s, &t));
        e.start = s;
        e.end = t;
        e.size = pSample->GetActualDataLength();
        e.sync = pSample->IsSyncPoint() == S_OK;
        e.discontinuity = pSample->IsDiscontinuity() == S_OK;
        BYTE* p = nullptr;
        if (!m_bChecksum) {
            e.crc32 = 0;
        } else if (SUCCEEDED(pSample->GetPointer(&p)) && p && e.size > 0) {
            e.crc32 = Crc32(p, size_t(e.size));
            if (m_bKeepData)
                e.data.assign(p, p + e.size);
        } else {
            e.crc32 = Crc32(nullptr, 0);
        }
        Record(std::move(e));
        if (m_bHoldFirst) {
            std::unique_lock<std::mutex> g(m_mutex);
            if (!m_bHeldOnce) {
                m_bHeldOnce = true;
                m_cond.notify_all();
                m_cond.wait(g, [&] { return m_bReleased || m_bFlushSeen; });
                // Refused when a flush let it go; taken when released by hand.
                return m_bFlushSeen ? S_FALSE : S_OK;
            }
        }
        return S_OK;
    }
    HRESULT ReceiveMultiple(IMediaSample** pSamples, LONG nSamples, LONG* nProcessed) override {
        if (!pSamples || !nProcessed)
            return E_POINTER;
        *nProcessed = 0;
        for (LONG i = 0; i < nSamples; ++i) {
            HRESULT hr = Receive(pSamples[i]);
            if (hr != S_OK)
                return hr;
            ++*nProcessed;
        }
        return S_OK;
    }
    HRESULT ReceiveCanBlock() override { return m_bHoldFirst ? S_OK : S_FALSE; }

    // Lets a sample held by m_bHoldFirst go (before stopping the source).
    void Unblock() {
        {
            std::lock_guard<std::mutex> g(m_mutex);
            m_bReleased = true;
        }
        m_cond.notify_all();
    }

    // Waits until `pred` holds for the events so far (or `ms` pass); it is
    // checked again on every event but a sample.
    bool WaitFor(const std::function<bool(const std::vector<SinkEvent>&)>& pred, int ms = 10000) {
        std::unique_lock<std::mutex> g(m_mutex);
        return m_cond.wait_for(g, std::chrono::milliseconds(ms), [&] { return pred(m_events); });
    }
    bool WaitEndOfStream(int ms = 10000) {
        return WaitFor(
            [](const std::vector<SinkEvent>& ev) {
                return !ev.empty() && ev.back().kind == SinkEvent::kEndOfStream;
            },
            ms);
    }
    // True once the stream ended or the sample limit was reached.
    bool WaitEndedOrLimit(int ms = 10000) {
        std::unique_lock<std::mutex> g(m_mutex);
        return m_cond.wait_for(g, std::chrono::milliseconds(ms), [&] {
            return (m_nSampleLimit && m_nSamples >= m_nSampleLimit) ||
                   (!m_events.empty() && m_events.back().kind == SinkEvent::kEndOfStream);
        });
    }
    // True once the first sample was held, or the stream ended before one came.
    bool WaitHeldOrEnded(int ms = 10000) {
        std::unique_lock<std::mutex> g(m_mutex);
        return m_cond.wait_for(g, std::chrono::milliseconds(ms), [&] {
            return m_bHeldOnce || (!m_events.empty() && m_events.back().kind == SinkEvent::kEndOfStream);
        });
    }
    std::vector<SinkEvent> Events() {
        std::lock_guard<std::mutex> g(m_mutex);
        return m_events;
    }
    void ClearEvents() {
        std::lock_guard<std::mutex> g(m_mutex);
        m_events.clear();
    }
    // The connection type (format block copied into FormatBlock()).
    AM_MEDIA_TYPE MediaType() {
        std::lock_guard<std::mutex> g(m_mutex);
        return m_mt;
    }
    std::vector<uint8_t> FormatBlock() {
        std::lock_guard<std::mutex> g(m_mutex);
        return m_format;
    }
    ULONG RefCount() const { return m_cRef; }

  private:
    void Record(SinkEvent e) {
        bool wake;
        {
            std::lock_guard<std::mutex> g(m_mutex);
            // Waking a waiter for every sample would cost the delivering thread
            // more than the delivery; waiters care about the other events.
            wake = e.kind != SinkEvent::kSample || (m_nSampleLimit && m_nSamples >= m_nSampleLimit);
            m_events.push_back(e);
        }
        if (wake)
            m_cond.notify_all();
        if (m_onEvent)
            m_onEvent(e);
    }

    std::u16string m_name;
    std::atomic<ULONG> m_cRef{1};
    std::mutex m_mutex;
    std::condition_variable m_cond;
    std::vector<SinkEvent> m_events;
    IPin* m_pConnector = nullptr;
    IMemAllocator* m_pAllocator = nullptr;
    AM_MEDIA_TYPE m_mt{};
    std::vector<uint8_t> m_format;
    bool m_bFlushing = false;
    bool m_bHeldOnce = false;
    bool m_bReleased = false;
    bool m_bFlushSeen = false;
    size_t m_nSamples = 0;
};

}  // namespace zmrtool
