#include "preview_decoder.h"

#include <sys/resource.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "com_util.h"
#include "kovel/com.h"
#include "kovel/control.h"
#include "kovel/formats.h"
#include "media_type.h"
#include "reader_class.h"

namespace kovel::player {

namespace {

using graph::ComPtr;
using graph::QueryAs;

// Longest wait for a picture; a seek of the paused graph takes a few frames'
// decoding, so this only bounds a broken file.
constexpr LONG kPictureWaitMs = 3000;

// The held picture as a packed bitmap (header and rows) made small.
QImage SmallPicture(const std::vector<LONG>& dib, LONG size, QSize box) {
    if (size_t(size) < sizeof(BITMAPINFOHEADER))
        return {};
    BITMAPINFOHEADER bi;
    std::memcpy(&bi, dib.data(), sizeof bi);
    const int64_t w = bi.biWidth, h = bi.biHeight < 0 ? -int64_t(bi.biHeight) : bi.biHeight;
    const int64_t stride = w * 4;
    if (bi.biBitCount != 32 || w < 1 || h < 1 || int64_t(sizeof bi) + stride * h > size)
        return {};
    const auto* bits = reinterpret_cast<const uchar*>(dib.data()) + sizeof bi;
    const QImage view(bits, int(w), int(h), qsizetype(stride), QImage::Format_RGB32);
    QImage small = view.scaled(box, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    // The fourth byte of a bitmap pixel is unused; the image wants it opaque.
    for (int y = 0; y < small.height(); ++y) {
        auto* row = reinterpret_cast<uint32_t*>(small.scanLine(y));
        for (int x = 0; x < small.width(); ++x) row[x] |= 0xFF000000u;
    }
    // Bottom-up rows: the first one in memory is the picture's last.
    return bi.biHeight > 0 ? small.mirrored(false, true) : small;
}

}  // namespace

// The preview's own graph: reader, decoder, a video renderer without a window.
struct CPreviewDecoder::Graph {
    ComPtr<IGraphBuilder> builder;
    ComPtr<IMediaControl> control;
    ComPtr<IMediaSeeking> seeking;
    ComPtr<IBasicVideo> video;

    ~Graph() {
        if (control)
            control->Stop();
    }

    bool Build(const std::string& path) {
        if (FAILED(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                                    builder.OutVoid())))
            return false;
        ComPtr<IBaseFilter> reader;
        if (FAILED(CoCreateInstance(CLSID_ZmReader, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                    reader.OutVoid())) ||
            FAILED(builder->AddFilter(reader.get(), u"Zm Reader")))
            return false;
        auto source = QueryAs<IFileSourceFilter>(reader.get(), IID_IFileSourceFilter);
        const std::u16string file = graph::FromUtf8(path);
        if (!source || FAILED(source->Load(file.c_str(), nullptr)))
            return false;
        // Only the screen recording: the camera and the sound stay unconnected
        // and so are never read.
        bool rendered = false;
        for (auto& pin : graph::ListPins(reader.get()))
            if (graph::PinName(pin.get()) == zmr::kScreenPinName)
                rendered = SUCCEEDED(builder->Render(pin.get()));
        if (!rendered)
            return false;
        ComPtr<IEnumFilters> filters;
        builder->EnumFilters(filters.Out());
        IBaseFilter* f = nullptr;
        ULONG got = 0;
        while (!video && filters && filters->Next(1, &f, &got) == S_OK) {
            auto held = ComPtr<IBaseFilter>::Adopt(f);
            video = QueryAs<IBasicVideo>(f, IID_IBasicVideo);
        }
        control = QueryAs<IMediaControl>(builder.get(), IID_IMediaControl);
        seeking = QueryAs<IMediaSeeking>(builder.get(), IID_IMediaSeeking);
        // Paused, without a clock: the renderer shows and holds the picture
        // of each new position and the stream rests behind it.
        if (auto media = QueryAs<IMediaFilter>(builder.get(), IID_IMediaFilter))
            media->SetSyncSource(nullptr);
        return video && control && seeking && SUCCEEDED(control->Pause());
    }
};

CPreviewDecoder::CPreviewDecoder(QSize box, Deliver deliver) : box_(box), deliver_(std::move(deliver)) {
    thread_ = std::thread([this] { Loop(); });
}

CPreviewDecoder::~CPreviewDecoder() {
    {
        std::lock_guard<std::mutex> l(mu_);
        quit_ = true;
    }
    cv_.notify_all();
    thread_.join();
}

void CPreviewDecoder::SetLesson(const std::string& path, uint64_t lesson) {
    std::unique_lock<std::mutex> l(mu_);
    wantedPath_ = path;
    wantedLesson_ = lesson;
    haveWish_ = false;
    cv_.notify_all();
}

void CPreviewDecoder::LetGo(uint64_t lesson) {
    SetLesson({}, lesson);
    std::unique_lock<std::mutex> l(mu_);
    cv_.wait(l, [&] { return (openPath_.empty() && wantedPath_.empty()) || quit_; });
}

void CPreviewDecoder::Want(int key, double seconds) {
    {
        std::lock_guard<std::mutex> l(mu_);
        wishKey_ = key;
        wishSeconds_ = seconds;
        haveWish_ = true;
    }
    cv_.notify_all();
}

QImage CPreviewDecoder::Decode(Graph& g, double seconds) {
    LONGLONG at = LONGLONG(seconds * 1e7);
    if (FAILED(
            g.seeking->SetPositions(&at, AM_SEEKING_AbsolutePositioning, nullptr, AM_SEEKING_NoPositioning)))
        return {};
    OAFilterState state;
    if (g.control->GetState(kPictureWaitMs, &state) != S_OK)
        return {};
    LONG size = 0;
    if (FAILED(g.video->GetCurrentImage(&size, nullptr)) || size <= 0)
        return {};
    std::vector<LONG> dib((size_t(size) + sizeof(LONG) - 1) / sizeof(LONG));
    if (FAILED(g.video->GetCurrentImage(&size, dib.data())))
        return {};
    return SmallPicture(dib, size, box_);
}

void CPreviewDecoder::Loop() {
    // Behind playback and the user interface for the processor; the reader's
    // and the decoder's threads started from here inherit this.
    setpriority(PRIO_PROCESS, gettid(), 10);
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    std::unique_ptr<Graph> graph;
    std::unique_lock<std::mutex> l(mu_);
    for (;;) {
        cv_.wait(l, [&] { return quit_ || wantedPath_ != openPath_ || haveWish_; });
        if (quit_)
            break;
        if (wantedPath_ != openPath_) {
            // Another lesson, or none: the reader of the old one goes first.
            const std::string path = wantedPath_;
            l.unlock();
            graph.reset();
            l.lock();
            openPath_ = path;
            cv_.notify_all();
            if (path.empty())
                continue;
            // Built at once, while the pointer is still on its way.
            l.unlock();
            graph = std::make_unique<Graph>();
            if (!graph->Build(path))
                graph.reset();
            l.lock();
            continue;
        }
        const int key = wishKey_;
        const double seconds = wishSeconds_;
        const uint64_t lesson = wantedLesson_;
        haveWish_ = false;
        l.unlock();
        // A lesson that gave no graph gives no pictures.
        deliver_(lesson, key, graph ? Decode(*graph, seconds) : QImage());
        l.lock();
    }
    l.unlock();
    graph.reset();
    CoUninitialize();
}

}  // namespace kovel::player
