#include "sink_filter.h"

#include <chrono>

#include "kovel/guids.h"

namespace {
KOVEL_GUID(CLSID_StubcastTestSink, "5B0C7E1A-3D2F-4C61-9E8B-7A6D5C4B3A29");
}  // namespace

CSinkFilter::CSinkFilter() : FilterBase(CLSID_StubcastTestSink), m_pin(this) {}

kovel::rt::PinBase* CSinkFilter::PinAt(int i) {
    return i == 0 ? &m_pin : nullptr;
}

IPin* CSinkFilter::Input() {
    return &m_pin;
}

HRESULT CSinkFilter::OnReceive(kovel::rt::InputPin*, IMediaSample* sample) {
    ReceivedSample r;
    sample->GetTime(&r.start, &r.stop);
    r.sync = sample->IsSyncPoint() == S_OK;
    r.size = sample->GetSize();
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_nRefuseAfter >= 0 && m_samples.size() >= size_t(m_nRefuseAfter)) {
        ++m_cRefused;
        m_cond.notify_all();
        return S_FALSE;
    }
    m_samples.push_back(r);
    m_cond.notify_all();
    return S_OK;
}

HRESULT CSinkFilter::OnEndOfStream(kovel::rt::InputPin*) {
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_cEndOfStream;
    return S_OK;
}

HRESULT CSinkFilter::OnNewSegment(kovel::rt::InputPin*, REFERENCE_TIME, REFERENCE_TIME, double) {
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_cNewSegment;
    return S_OK;
}

bool CSinkFilter::WaitSamples(size_t n, int ms) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_cond.wait_for(lock, std::chrono::milliseconds(ms), [&] { return m_samples.size() >= n; });
}

std::vector<ReceivedSample> CSinkFilter::Samples() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_samples;
}

bool CSinkFilter::WaitRefused(int n, int ms) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_cond.wait_for(lock, std::chrono::milliseconds(ms), [&] { return m_cRefused >= n; });
}

int CSinkFilter::RefusedCount() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_cRefused;
}

int CSinkFilter::EndOfStreamCount() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_cEndOfStream;
}

int CSinkFilter::NewSegmentCount() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_cNewSegment;
}

void CSinkFilter::RefuseAfter(int n) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_nRefuseAfter = n;
}
