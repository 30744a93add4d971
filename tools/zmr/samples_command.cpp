// zmr samples [--seek SECONDS] FILE: creates the courseware reader through
// the component runtime by its class id, loads FILE, connects every output
// pin to a recording sink through the default allocator, runs the filter
// without a clock and prints one JSON object per line for every new segment,
// sample and end of stream, until every pin has ended its stream.
#include <charconv>
#include <cmath>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "chapter_document.h"
#include "commands.h"
#include "kovel/com.h"
#include "kovel/streaming.h"
#include "reader_class.h"
#include "samples_sink.h"
#include "tool_util.h"

namespace zmrtool {

namespace {

// UTF-8 to UTF-16 for the component interface; false on bytes that are not UTF-8.
bool Utf8ToWide(const std::string& in, std::u16string* out) {
    out->clear();
    for (size_t i = 0; i < in.size();) {
        const uint8_t c = uint8_t(in[i]);
        uint32_t cp;
        size_t n;
        if (c < 0x80) {
            cp = c;
            n = 1;
        } else if ((c & 0xE0) == 0xC0) {
            cp = c & 0x1F;
            n = 2;
        } else if ((c & 0xF0) == 0xE0) {
            cp = c & 0x0F;
            n = 3;
        } else if ((c & 0xF8) == 0xF0) {
            cp = c & 0x07;
            n = 4;
        } else {
            return false;
        }
        if (i + n > in.size())
            return false;
        for (size_t k = 1; k < n; ++k) {
            const uint8_t d = uint8_t(in[i + k]);
            if ((d & 0xC0) != 0x80)
                return false;
            cp = (cp << 6) | (d & 0x3F);
        }
        const uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < least[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out->push_back(char16_t(0xD800 + (cp >> 10)));
            out->push_back(char16_t(0xDC00 + (cp & 0x3FF)));
        } else {
            out->push_back(char16_t(cp));
        }
        i += n;
    }
    return true;
}

std::string Number(double v) {
    if (!std::isfinite(v))
        return "null";
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, r.ptr);
}

std::string Hex8(uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%08x", v);
    return buf;
}

std::mutex g_printLock;

void PrintLine(const std::string& line) {
    std::lock_guard<std::mutex> g(g_printLock);
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
}

// One JSON line for an event of the pin `pin` (already a JSON string).
std::string EventLine(const std::string& pin, const SinkEvent& e) {
    std::string s = "{\"pin\":" + pin;
    switch (e.kind) {
        case SinkEvent::kSegment:
            s += ",\"event\":\"segment\",\"start\":" + std::to_string(e.start) +
                 ",\"stop\":" + std::to_string(e.end) + ",\"rate\":" + Number(e.rate);
            break;
        case SinkEvent::kSample:
            s += ",\"event\":\"sample\",\"start\":" + std::to_string(e.start) +
                 ",\"end\":" + std::to_string(e.end) + ",\"size\":" + std::to_string(e.size) +
                 ",\"sync\":" + (e.sync ? "true" : "false") +
                 ",\"discontinuity\":" + (e.discontinuity ? "true" : "false") + ",\"crc32\":\"" +
                 Hex8(e.crc32) + "\"";
            break;
        case SinkEvent::kEndOfStream:
            s += ",\"event\":\"end-of-stream\"";
            break;
        default:
            return std::string();
    }
    return s + "}";
}

struct PinSink {
    IPin* pin = nullptr;
    std::string name;  // JSON string
    std::unique_ptr<CSampleSink> sink;
    std::atomic<bool> printing{true};
};

int Usage() {
    std::fputs("usage: zmr samples [--seek SECONDS] FILE\n", stderr);
    return 2;
}

template <typename T>
void SafeRelease(T*& p) {
    if (p)
        p->Release();
    p = nullptr;
}

}  // namespace

int RunSamples(const std::vector<std::string>& args) {
    bool seek = false;
    double seconds = 0;
    std::string file;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--seek") {
            if (i + 1 >= args.size() || !ParseDouble(args[i + 1], &seconds) || !std::isfinite(seconds))
                return Usage();
            seek = true;
            ++i;
        } else if (args[i] == "-h" || args[i] == "--help") {
            std::fputs("usage: zmr samples [--seek SECONDS] FILE\n", stdout);
            return 0;
        } else if (!args[i].empty() && args[i][0] == '-' && args[i] != "-") {
            return Usage();
        } else if (file.empty()) {
            file = args[i];
        } else {
            return Usage();
        }
    }
    if (file.empty())
        return Usage();
    // Seconds to reference time as the player converts them.
    if (std::fabs(seconds) > 9.2e11)
        return Usage();
    const REFERENCE_TIME seekTime = REFERENCE_TIME(std::trunc(seconds * 1e7));
    std::u16string wfile;
    if (!Utf8ToWide(file, &wfile)) {
        std::fprintf(stderr, "zmr samples: %s: the path is not UTF-8\n", file.c_str());
        return 1;
    }

    // As every reader of a lesson does, complete a chapter write-back that
    // was cut short (the samples themselves all lie before the chapters).
    zmr::ReadChapterDocument(file);

    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    int status = 0;
    IBaseFilter* filter = nullptr;
    IFileSourceFilter* source = nullptr;
    std::vector<std::unique_ptr<PinSink>> pins;
    HRESULT hr = CoCreateInstance(CLSID_ZmReader, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                  reinterpret_cast<void**>(&filter));
    if (FAILED(hr)) {
        std::fprintf(stderr, "zmr samples: cannot create the reader: 0x%08x\n", unsigned(hr));
        status = 1;
    } else if (FAILED(hr =
                          filter->QueryInterface(IID_IFileSourceFilter, reinterpret_cast<void**>(&source)))) {
        std::fprintf(stderr, "zmr samples: the reader has no file source interface: 0x%08x\n", unsigned(hr));
        status = 1;
    } else if (FAILED(hr = source->Load(wfile.c_str(), nullptr))) {
        std::fprintf(stderr, "zmr samples: %s: load failed: 0x%08x\n", file.c_str(), unsigned(hr));
        status = 1;
    }

    if (status == 0) {
        IEnumPins* e = nullptr;
        if (SUCCEEDED(filter->EnumPins(&e))) {
            IPin* p = nullptr;
            while (e->Next(1, &p, nullptr) == S_OK) {
                auto ps = std::make_unique<PinSink>();
                ps->pin = p;
                PIN_INFO info{};
                if (SUCCEEDED(p->QueryPinInfo(&info))) {
                    SafeRelease(info.pFilter);
                    std::string n;
                    for (size_t k = 0; k < MAX_PIN_NAME && info.achName[k]; ++k)
                        n.push_back(info.achName[k] < 0x80 ? char(info.achName[k]) : '?');
                    ps->name = JsonString(n);
                }
                ps->sink = std::make_unique<CSampleSink>(u"Input");
                ps->sink->m_bHoldFirst = seek;
                ps->printing = !seek;
                PinSink* raw = ps.get();
                ps->sink->m_onEvent = [raw](const SinkEvent& ev) {
                    // With a seek only what follows the end of its flush counts.
                    if (ev.kind == SinkEvent::kEndFlush) {
                        raw->printing = true;
                        return;
                    }
                    if (!raw->printing)
                        return;
                    std::string line = EventLine(raw->name, ev);
                    if (!line.empty())
                        PrintLine(line);
                };
                pins.push_back(std::move(ps));
            }
            e->Release();
        }
        for (auto& ps : pins) {
            hr = ps->pin->Connect(ps->sink.get(), nullptr);
            if (FAILED(hr)) {
                std::fprintf(stderr, "zmr samples: cannot connect pin %s: 0x%08x\n", ps->name.c_str(),
                             unsigned(hr));
                status = 1;
            }
        }
    }

    if (status == 0) {
        filter->SetSyncSource(nullptr);
        if (!seek) {
            hr = filter->Run(0);
        } else {
            hr = filter->Pause();
            if (SUCCEEDED(hr)) {
                // Every pin first delivers (and is held at) its first sample, or ends.
                for (auto& ps : pins)
                    while (!ps->sink->WaitHeldOrEnded(1000)) {
                    }
                for (auto& ps : pins) {
                    IMediaSeeking* ms = nullptr;
                    HRESULT hs = ps->pin->QueryInterface(IID_IMediaSeeking, reinterpret_cast<void**>(&ms));
                    if (SUCCEEDED(hs)) {
                        LONGLONG t = seekTime;
                        hs = ms->SetPositions(&t, AM_SEEKING_AbsolutePositioning, nullptr, 0);
                        ms->Release();
                    }
                    if (FAILED(hs)) {
                        std::fprintf(stderr, "zmr samples: seek of pin %s to %s s failed: 0x%08x\n",
                                     ps->name.c_str(), Number(seconds).c_str(), unsigned(hs));
                        status = 1;
                        ps->sink->Unblock();
                    }
                }
            }
        }
        if (FAILED(hr)) {
            std::fprintf(stderr, "zmr samples: the reader would not start: 0x%08x\n", unsigned(hr));
            status = 1;
        } else {
            for (auto& ps : pins)
                while (!ps->sink->WaitEndOfStream(1000)) {
                }
        }
        filter->Stop();
    }

    for (auto& ps : pins) {
        ps->sink->Unblock();
        ps->pin->Disconnect();
        ps->sink->Disconnect();
        SafeRelease(ps->pin);
    }
    SafeRelease(source);
    SafeRelease(filter);
    std::fflush(stdout);
    pins.clear();
    CoUninitialize();
    return status;
}

}  // namespace zmrtool
