// Arbitrary bytes as a courseware file: the reader filter loads them, every
// pin it builds is connected to a sink and delivers (bounded) while a seek
// derived from the input moves it, then the filter stops and goes.
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "kovel/com.h"
#include "pin_core.h"
#include "reader_filter.h"
#include "samples_sink.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string path = [] {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        return kovel::fuzz::InputPath("zmreader_fuzz", ".zmr");
    }();
    if (!kovel::fuzz::WriteInput(path, data, size))
        return 0;

    HRESULT hr = S_OK;
    auto* filter = static_cast<CReaderFilter*>(CReaderFilter::CreateInstance(nullptr, &hr));
    if (!filter)
        return 0;
    filter->NonDelegatingAddRef();
    std::u16string wpath(path.begin(), path.end());
    if (SUCCEEDED(filter->Load(wpath.c_str(), nullptr))) {
        std::vector<IPin*> pins;
        std::vector<std::unique_ptr<zmrtool::CSampleSink>> sinks;
        for (int i = 0; i < filter->PinCount(); ++i) {
            IPin* p = static_cast<IPin*>(filter->PinAt(i));
            auto sink = std::make_unique<zmrtool::CSampleSink>(u"in");
            sink->m_nSampleLimit = 400;
            if (p->Connect(sink.get(), nullptr) == S_OK) {
                p->AddRef();
                pins.push_back(p);
                sinks.push_back(std::move(sink));
            }
        }
        // The last bytes choose where to seek once delivery has begun.
        REFERENCE_TIME seek = 0;
        if (size >= 8)
            std::memcpy(&seek, data + size - 8, 8);
        if (SUCCEEDED(filter->Run(0))) {
            for (size_t i = 0; i < pins.size(); ++i) {
                IMediaSeeking* ms = nullptr;
                if (SUCCEEDED(pins[i]->QueryInterface(IID_IMediaSeeking, reinterpret_cast<void**>(&ms)))) {
                    LONGLONG t = seek % (600 * UNITS);
                    ms->SetPositions(&t, AM_SEEKING_AbsolutePositioning, nullptr, 0);
                    ms->Release();
                }
            }
            for (auto& s : sinks) s->WaitEndedOrLimit(5000);
        }
        filter->Stop();
        for (size_t i = 0; i < pins.size(); ++i) {
            pins[i]->Disconnect();
            sinks[i]->Disconnect();
            pins[i]->Release();
        }
    }
    filter->NonDelegatingRelease();
    return 0;
}
