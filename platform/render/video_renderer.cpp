#include "video_renderer.h"

#include <QApplication>
#include <QThread>
#include <algorithm>
#include <cstring>

#include "kovel/runtime_classes.h"
#include "video_widget.h"

namespace kovel::render {

namespace {

constexpr LONG kMaxDimension = 16384;

QApplication* GuiApp() {
    return qobject_cast<QApplication*>(QCoreApplication::instance());
}
bool OnGuiThread() {
    QApplication* app = GuiApp();
    return app && QThread::currentThread() == app->thread();
}

}  // namespace

VideoRenderer::VideoRenderer()
    : RendererBase(CLSID_KovelVideoRenderer, KovelRenderer_Video, u"Input"),
      slot_(std::make_shared<FrameSlot>()) {}

VideoRenderer::~VideoRenderer() {
    {
        std::unique_lock<std::mutex> l(slot_->mu);
        if (VideoWidget* w = slot_->widget) {
            if (OnGuiThread()) {
                l.unlock();
                delete w;
            } else {
                w->deleteLater();
            }
        }
    }
    if (clock_copy_)
        clock_copy_->Release();
}

HRESULT VideoRenderer::QueryExtra(REFIID riid, void** ppv) {
    if (!ppv)
        return E_POINTER;
    if (riid == IID_IKovelRenderer)
        *ppv = static_cast<IKovelRenderer*>(this);
    else if (riid == IID_IVideoWindow || riid == IID_IDispatch)
        *ppv = static_cast<IVideoWindow*>(this);
    else if (riid == IID_IBasicVideo)
        *ppv = static_cast<IBasicVideo*>(this);
    else {
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

bool VideoRenderer::ParseFormat(const rt::MediaType& mt, Format* f) {
    if (mt.major != MEDIATYPE_Video || mt.subtype != MEDIASUBTYPE_RGB32 || mt.formattype != FORMAT_VideoInfo)
        return false;
    if (mt.format.size() < sizeof(VIDEOINFOHEADER))
        return false;
    VIDEOINFOHEADER vih;
    std::memcpy(&vih, mt.format.data(), sizeof(vih));
    const BITMAPINFOHEADER& bi = vih.bmiHeader;
    if (bi.biBitCount != 32 || (bi.biCompression != BI_RGB && bi.biCompression != BI_BITFIELDS))
        return false;
    if (bi.biWidth <= 0 || bi.biWidth > kMaxDimension || bi.biHeight == 0 || bi.biHeight > kMaxDimension ||
        bi.biHeight < -kMaxDimension)
        return false;
    f->width = bi.biWidth;
    f->height = bi.biHeight < 0 ? -bi.biHeight : bi.biHeight;
    f->bottomUp = bi.biHeight > 0;
    f->stride = DibRowStride(bi.biWidth, 32);
    f->avgFrame = vih.AvgTimePerFrame > 0 ? vih.AvgTimePerFrame : 0;
    f->bitRate = vih.dwBitRate;
    f->bitErrorRate = vih.dwBitErrorRate;
    return true;
}

HRESULT VideoRenderer::CheckInputType(const rt::MediaType& mt) {
    Format f;
    return ParseFormat(mt, &f) ? S_OK : S_FALSE;
}

void VideoRenderer::SetConnected(const rt::MediaType& mt) {
    Format f;
    bool ok = ParseFormat(mt, &f);
    {
        std::lock_guard<std::mutex> l(mu_);
        connected_ = ok;
        fmt_ = ok ? f : Format();
        BumpLocked();
    }
    if (ok) {
        std::lock_guard<std::mutex> l(slot_->mu);
        slot_->source = QRect();
    }
    // Connections made on the GUI thread get their window right away, so
    // the player can ask for it before the graph runs.
    if (ok && OnGuiThread()) {
        HRESULT hr;
        Window(&hr);
    }
}

HRESULT VideoRenderer::SetSyncSource(IReferenceClock* clock) {
    std::lock_guard<std::recursive_mutex> lk(StateLock());
    HRESULT hr = FilterBase::SetSyncSource(clock);
    std::lock_guard<std::mutex> l(mu_);
    if (clock)
        clock->AddRef();
    if (clock_copy_)
        clock_copy_->Release();
    clock_copy_ = clock;
    BumpLocked();
    return hr;
}

// ---------------------------------------------------------------- states

HRESULT VideoRenderer::OnPause(FILTER_STATE from) {
    bool autoShow;
    {
        std::lock_guard<std::mutex> l(mu_);
        if (from == State_Stopped) {
            flushing_ = false;
            RestartStreamLocked();
            presented_ = dropped_ = 0;
            maxOffset_ = 0;
        }
        streamState_ = State_Paused;
        BumpLocked();
        autoShow = autoShow_ && from == State_Stopped;
    }
    if (autoShow) {
        if (OnGuiThread()) {
            std::unique_lock<std::mutex> l(slot_->mu);
            VideoWidget* w = slot_->widget;
            l.unlock();
            if (w)
                w->show();
        } else {
            slot_->RequestShow();
        }
    }
    return S_OK;
}

HRESULT VideoRenderer::OnRun(REFERENCE_TIME start) {
    std::lock_guard<std::mutex> l(mu_);
    streamState_ = State_Running;
    runStart_ = start;
    BumpLocked();
    return S_OK;
}

void VideoRenderer::OnStop() {
    std::lock_guard<std::mutex> l(mu_);
    streamState_ = State_Stopped;
    RestartStreamLocked();
    BumpLocked();
}

HRESULT VideoRenderer::GetReferenceClock(IReferenceClock** clock) {
    if (!clock)
        return E_POINTER;
    *clock = nullptr;
    return E_NOINTERFACE;
}

// ---------------------------------------------------------------- streaming

bool VideoRenderer::ReadClockUnlocked(std::unique_lock<std::mutex>& l, REFERENCE_TIME* now, HRESULT* hr) {
    IReferenceClock* clock = clock_copy_;
    clock->AddRef();
    const uint64_t gen = generation_;
    l.unlock();
    *now = 0;
    *hr = clock->GetTime(now);
    clock->Release();
    l.lock();
    return gen == generation_;
}

void VideoRenderer::WaitUntilLocked(std::unique_lock<std::mutex>& l, REFERENCE_TIME due, REFERENCE_TIME now) {
    REFERENCE_TIME wait = std::min<REFERENCE_TIME>(due - now, 100000);
    cv_.wait_for(l, std::chrono::microseconds(wait / 10 + 1));
}

void VideoRenderer::PresentLocked(const BYTE* data, REFERENCE_TIME when) {
    ++presented_;
    // Headless there is nobody to paint for: counting is all.
    if (GuiApp()) {
        QImage img(fmt_.width, fmt_.height, QImage::Format_RGB32);
        if (!img.isNull()) {
            for (LONG y = 0; y < fmt_.height; ++y) {
                LONG row = fmt_.bottomUp ? fmt_.height - 1 - y : y;
                const BYTE* src = data + uint64_t(row) * fmt_.stride;
                auto* dst = reinterpret_cast<uint32_t*>(img.scanLine(y));
                std::memcpy(dst, src, size_t(fmt_.width) * 4);
                // The fourth byte of a DIB pixel is unused; the image wants it opaque.
                for (LONG x = 0; x < fmt_.width; ++x) dst[x] |= 0xFF000000u;
            }
            slot_->Publish(std::move(img));
        }
    }
    // Once the window has the picture: what the user waited for ends here.
    NoteFirstPresentedLocked(when);
}

HRESULT VideoRenderer::OnReceive(rt::InputPin*, IMediaSample* sample) {
    if (sample->IsPreroll() == S_OK)
        return S_OK;
    BYTE* data = nullptr;
    if (FAILED(sample->GetPointer(&data)) || !data)
        return E_POINTER;
    LONG len = std::min(sample->GetActualDataLength(), sample->GetSize());

    // A format change travels on the sample; take it only if we can draw it.
    AM_MEDIA_TYPE* changed = nullptr;
    if (sample->GetMediaType(&changed) == S_OK && changed) {
        Format f;
        bool ok = ParseFormat(rt::MediaType::From(*changed), &f);
        rt::DeleteMediaType(changed);
        if (!ok)
            return VFW_E_TYPE_NOT_ACCEPTED;
        std::lock_guard<std::mutex> l(mu_);
        fmt_ = f;
    }

    std::unique_lock<std::mutex> l(mu_);
    if (flushing_)
        return S_FALSE;
    if (streamState_ == State_Stopped)
        return VFW_E_WRONG_STATE;
    if (eos_ || !connected_)
        return S_FALSE;
    if (len < 0 || uint64_t(len) < fmt_.stride * uint64_t(fmt_.height)) {
        ++dropped_;  // too short for a picture
        return S_OK;
    }
    const REFERENCE_TIME interval = fmt_.avgFrame > 0 ? fmt_.avgFrame : kDefaultFrameTime;
    REFERENCE_TIME start = 0, end = 0;
    const bool timed = SampleTimes(sample, interval, &start, &end);
    if (timed && end <= 0)
        return S_OK;  // wholly before the segment start
    const REFERENCE_TIME when = timed ? std::max<REFERENCE_TIME>(start, 0) : 0;
    if (timed) {
        if (haveLast_ && start <= lastStart_) {
            ++dropped_;
            return S_OK;
        }
        haveLast_ = true;
        lastStart_ = start;
        lastEnd_ = end;
    }
    const REFERENCE_TIME lateLimit =
        std::clamp(StreamTimeOf(timed ? end - start : interval, playRate_), kMinLateLimit, kMaxLateLimit);

    holding_ = true;
    heldData_ = data;
    cv_.notify_all();
    bool shownThis = false;
    HRESULT hr = S_OK;
    for (;;) {
        if (flushing_) {
            hr = S_FALSE;
            break;
        }
        if (streamState_ == State_Stopped) {
            hr = VFW_E_WRONG_STATE;
            break;
        }
        if (streamState_ == State_Paused) {
            if (!shown_) {
                PresentLocked(data, when);
                shown_ = shownThis = true;
            }
            cv_.wait(l);
            continue;
        }
        if (!clock_copy_ || !timed) {
            if (!shownThis)
                PresentLocked(data, when);
            shown_ = true;
            break;
        }
        const REFERENCE_TIME due = runStart_ + StreamTimeOf(when, playRate_);
        REFERENCE_TIME now;
        HRESULT th;
        if (!ReadClockUnlocked(l, &now, &th))
            continue;
        // The first picture after a start or a seek is what the user waits
        // for: shown as soon as it is decoded, however late and up to a frame
        // early, as the paused picture is (not a frame played out of time,
        // so not counted in the offset).
        const bool first = !shown_ && !shownThis;
        if (FAILED(th) || now >= due || (first && due - now <= lateLimit)) {
            REFERENCE_TIME late = FAILED(th) ? 0 : now - due;
            if (!shownThis) {
                if (first) {
                    PresentLocked(data, when);
                } else if (late > lateLimit) {
                    ++dropped_;
                } else {
                    PresentLocked(data, when);
                    maxOffset_ = std::max(maxOffset_, late);
                }
            }
            shown_ = true;
            break;
        }
        WaitUntilLocked(l, due, now);
    }
    holding_ = false;
    heldData_ = nullptr;
    return hr;
}

HRESULT VideoRenderer::OnEndOfStream(rt::InputPin*) {
    std::unique_lock<std::mutex> l(mu_);
    if (flushing_ || streamState_ == State_Stopped)
        return S_FALSE;
    eos_ = true;
    cv_.notify_all();
    // Complete once running and the last picture has had its time.
    for (;;) {
        if (flushing_ || streamState_ == State_Stopped || !eos_ || completeSent_)
            return S_OK;
        if (streamState_ == State_Paused) {
            cv_.wait(l);
            continue;
        }
        if (!clock_copy_ || !haveLast_)
            break;
        // A hostile stop time must not hold completion back for long.
        const REFERENCE_TIME target =
            runStart_ +
            StreamTimeOf(std::min(lastEnd_, std::max<REFERENCE_TIME>(lastStart_, 0) + UNITS), playRate_);
        REFERENCE_TIME now;
        HRESULT th;
        if (!ReadClockUnlocked(l, &now, &th))
            continue;
        if (FAILED(th) || now >= target)
            break;
        WaitUntilLocked(l, target, now);
    }
    completeSent_ = true;
    l.unlock();
    NotifyComplete();
    return S_OK;
}

HRESULT VideoRenderer::OnBeginFlush(rt::InputPin*) {
    std::lock_guard<std::mutex> l(mu_);
    flushing_ = true;
    RestartStreamLocked();
    BumpLocked();
    return S_OK;
}

HRESULT VideoRenderer::OnEndFlush(rt::InputPin*) {
    std::lock_guard<std::mutex> l(mu_);
    flushing_ = false;
    BumpLocked();
    return S_OK;
}

// ---------------------------------------------------------------- window

VideoWidget* VideoRenderer::Window(HRESULT* hr) {
    if (!GuiApp()) {
        *hr = E_NOINTERFACE;
        return nullptr;
    }
    if (!OnGuiThread()) {
        *hr = E_UNEXPECTED;
        return nullptr;
    }
    *hr = S_OK;
    VideoWidget* w;
    {
        std::lock_guard<std::mutex> l(slot_->mu);
        w = slot_->widget;
    }
    if (w)
        return w;
    // Only this thread creates or destroys the widget, so no one else can
    // have made one in the meantime.
    w = new VideoWidget(slot_, reinterpret_cast<QWidget*>(owner_));
    LONG width, height;
    {
        std::lock_guard<std::mutex> l(mu_);
        width = fmt_.width;
        height = fmt_.height;
    }
    if (width > 0 && height > 0)
        w->resize(width, height);
    return w;
}

template <class F>
HRESULT VideoRenderer::WithWindow(F&& use) {
    HRESULT hr;
    VideoWidget* w = Window(&hr);
    return w ? use(w) : hr;
}
template <class T>
HRESULT VideoRenderer::PutSetting(T* field, T v) {
    return WithWindow([&](VideoWidget*) {
        *field = v;
        return S_OK;
    });
}
template <class T>
HRESULT VideoRenderer::GetSetting(const T& field, T* out) {
    if (!out)
        return E_POINTER;
    return WithWindow([&](VideoWidget*) {
        *out = field;
        return S_OK;
    });
}

HRESULT VideoRenderer::put_WindowStyle(LONG style) {
    return PutSetting(&style_, style);
}
HRESULT VideoRenderer::get_WindowStyle(LONG* style) {
    return GetSetting(style_, style);
}
HRESULT VideoRenderer::put_WindowStyleEx(LONG style) {
    return PutSetting(&styleEx_, style);
}
HRESULT VideoRenderer::get_WindowStyleEx(LONG* style) {
    return GetSetting(styleEx_, style);
}
HRESULT VideoRenderer::put_MessageDrain(OAHWND drain) {
    return PutSetting(&drain_, drain);
}
HRESULT VideoRenderer::get_MessageDrain(OAHWND* drain) {
    return GetSetting(drain_, drain);
}
HRESULT VideoRenderer::put_BorderColor(LONG c) {
    return PutSetting(&borderColor_, c);
}
HRESULT VideoRenderer::get_BorderColor(LONG* c) {
    return GetSetting(borderColor_, c);
}
HRESULT VideoRenderer::get_FullScreenMode(LONG* v) {
    return GetSetting(LONG(OAFALSE), v);
}
HRESULT VideoRenderer::IsCursorHidden(LONG* hidden) {
    return GetSetting(cursorHidden_ ? LONG(OATRUE) : LONG(OAFALSE), hidden);
}
HRESULT VideoRenderer::put_AutoShow(LONG v) {
    return WithWindow([&](VideoWidget*) {
        std::lock_guard<std::mutex> l(mu_);
        autoShow_ = v != OAFALSE;
        return S_OK;
    });
}
HRESULT VideoRenderer::get_AutoShow(LONG* v) {
    if (!v)
        return E_POINTER;
    return WithWindow([&](VideoWidget*) {
        std::lock_guard<std::mutex> l(mu_);
        *v = autoShow_ ? OATRUE : OAFALSE;
        return S_OK;
    });
}
HRESULT VideoRenderer::put_Visible(LONG v) {
    return WithWindow([&](VideoWidget* w) {
        w->setVisible(v != OAFALSE);
        return S_OK;
    });
}
HRESULT VideoRenderer::get_Visible(LONG* v) {
    if (!v)
        return E_POINTER;
    return WithWindow([&](VideoWidget* w) {
        *v = w->isHidden() ? OAFALSE : OATRUE;
        return S_OK;
    });
}

HRESULT VideoRenderer::SetWindowRect(Edge edge, LONG v) {
    return WithWindow([&](VideoWidget* w) {
        if ((edge == kWidth || edge == kHeight) && v < 0)
            return E_INVALIDARG;
        QRect g = w->geometry();
        switch (edge) {
            case kLeft:
                g.moveLeft(v);
                break;
            case kTop:
                g.moveTop(v);
                break;
            case kWidth:
                g.setWidth(v);
                break;
            case kHeight:
                g.setHeight(v);
                break;
        }
        w->setGeometry(g);
        return S_OK;
    });
}

HRESULT VideoRenderer::SetWindowPosition(LONG left, LONG top, LONG width, LONG height) {
    if (width < 0 || height < 0)
        return E_INVALIDARG;
    return WithWindow([&](VideoWidget* w) {
        w->setGeometry(left, top, width, height);
        return S_OK;
    });
}
HRESULT VideoRenderer::GetWindowPosition(LONG* left, LONG* top, LONG* width, LONG* height) {
    if (!left && !top && !width && !height)
        return E_POINTER;
    return WithWindow([&](VideoWidget* w) {
        QRect g = w->geometry();
        if (left)
            *left = g.x();
        if (top)
            *top = g.y();
        if (width)
            *width = g.width();
        if (height)
            *height = g.height();
        return S_OK;
    });
}

HRESULT VideoRenderer::put_Owner(OAHWND owner) {
    return WithWindow([&](VideoWidget* w) {
        bool wasShown = !w->isHidden();
        owner_ = owner;
        // Docked: a child of the owner, shown again if it was; undocked: a
        // hidden window of its own.
        w->setParent(reinterpret_cast<QWidget*>(owner));
        if (owner && wasShown)
            w->show();
        return S_OK;
    });
}
HRESULT VideoRenderer::get_Owner(OAHWND* owner) {
    if (!owner)
        return E_POINTER;
    return WithWindow([&](VideoWidget* w) {
        *owner = LONG_PTR(w->parentWidget());
        return S_OK;
    });
}
HRESULT VideoRenderer::SetWindowForeground(LONG focus) {
    return WithWindow([&](VideoWidget* w) {
        w->raise();
        if (focus != OAFALSE)
            w->activateWindow();
        return S_OK;
    });
}
HRESULT VideoRenderer::HideCursor(LONG hide) {
    return WithWindow([&](VideoWidget* w) {
        cursorHidden_ = hide != OAFALSE;
        if (cursorHidden_)
            w->setCursor(Qt::BlankCursor);
        else
            w->unsetCursor();
        return S_OK;
    });
}

HRESULT VideoRenderer::GetTypeInfoCount(UINT* n) {
    if (n)
        *n = 0;
    return E_NOTIMPL;
}

// ---------------------------------------------------------------- IBasicVideo

template <class T, class F>
HRESULT VideoRenderer::FormatValue(T* out, F&& read) {
    if (!out)
        return E_POINTER;
    std::lock_guard<std::mutex> l(mu_);
    if (!connected_)
        return VFW_E_NOT_CONNECTED;
    *out = read(fmt_);
    return S_OK;
}

HRESULT VideoRenderer::GetVideoSize(LONG* width, LONG* height) {
    if (!width || !height)
        return E_POINTER;
    return FormatValue(width, [&](const Format& f) {
        *height = f.height;
        return f.width;
    });
}
HRESULT VideoRenderer::get_AvgTimePerFrame(REFTIME* t) {
    return FormatValue(t, [](const Format& f) { return double(f.avgFrame) / double(UNITS); });
}
HRESULT VideoRenderer::get_BitRate(LONG* v) {
    return FormatValue(v, [](const Format& f) { return LONG(std::min<DWORD>(f.bitRate, 0x7FFFFFFF)); });
}
HRESULT VideoRenderer::get_BitErrorRate(LONG* v) {
    return FormatValue(v, [](const Format& f) { return LONG(std::min<DWORD>(f.bitErrorRate, 0x7FFFFFFF)); });
}
HRESULT VideoRenderer::get_VideoWidth(LONG* v) {
    return FormatValue(v, [](const Format& f) { return f.width; });
}
HRESULT VideoRenderer::get_VideoHeight(LONG* v) {
    return FormatValue(v, [](const Format& f) { return f.height; });
}

HRESULT VideoRenderer::GetCurrentImage(LONG* size, LONG* dib) {
    if (!size)
        return E_POINTER;
    std::lock_guard<std::mutex> l(mu_);
    if (streamState_ != State_Paused)
        return VFW_E_NOT_PAUSED;
    if (!holding_ || !heldData_)
        return E_UNEXPECTED;
    // At most 16384 x 16384 x 4 bytes: the total fits a LONG.
    const uint64_t image = fmt_.stride * uint64_t(fmt_.height);
    const LONG need = LONG(sizeof(BITMAPINFOHEADER) + image);
    if (!dib) {
        *size = need;
        return S_OK;
    }
    if (*size < need)
        return E_OUTOFMEMORY;
    BITMAPINFOHEADER bi{};
    bi.biSize = sizeof bi;
    bi.biWidth = fmt_.width;
    bi.biHeight = fmt_.bottomUp ? fmt_.height : -fmt_.height;
    bi.biPlanes = 1;
    bi.biBitCount = 32;
    bi.biCompression = BI_RGB;
    bi.biSizeImage = DWORD(image);
    auto* out = reinterpret_cast<BYTE*>(dib);
    std::memcpy(out, &bi, sizeof bi);
    std::memcpy(out + sizeof bi, heldData_, size_t(image));
    *size = need;
    return S_OK;
}

HRESULT VideoRenderer::SetSourcePosition(LONG left, LONG top, LONG width, LONG height) {
    LONG vw, vh;
    HRESULT hr = GetVideoSize(&vw, &vh);
    if (FAILED(hr))
        return hr;
    if (left < 0 || top < 0 || width <= 0 || height <= 0 || int64_t(left) + width > vw ||
        int64_t(top) + height > vh)
        return E_INVALIDARG;
    std::lock_guard<std::mutex> l(slot_->mu);
    slot_->source = QRect(left, top, width, height);
    return S_OK;
}
HRESULT VideoRenderer::GetSourcePosition(LONG* left, LONG* top, LONG* width, LONG* height) {
    if (!left || !top || !width || !height)
        return E_POINTER;
    LONG vw, vh;
    HRESULT hr = GetVideoSize(&vw, &vh);
    if (FAILED(hr))
        return hr;
    std::lock_guard<std::mutex> l(slot_->mu);
    QRect r = slot_->source.isNull() ? QRect(0, 0, vw, vh) : slot_->source;
    *left = r.x();
    *top = r.y();
    *width = r.width();
    *height = r.height();
    return S_OK;
}

// The destination is a rectangle inside the window; by default all of it
// (headless: the video size).
HRESULT VideoRenderer::SetDestinationPosition(LONG left, LONG top, LONG width, LONG height) {
    if (width <= 0 || height <= 0)
        return E_INVALIDARG;
    {
        std::lock_guard<std::mutex> l(slot_->mu);
        slot_->dest = QRect(left, top, width, height);
    }
    slot_->RequestRepaint();
    return S_OK;
}
HRESULT VideoRenderer::GetDestinationPosition(LONG* left, LONG* top, LONG* width, LONG* height) {
    if (!left || !top || !width || !height)
        return E_POINTER;
    QRect r;
    {
        std::lock_guard<std::mutex> l(slot_->mu);
        r = slot_->dest;
    }
    if (r.isNull()) {
        HRESULT hr;
        if (VideoWidget* w = OnGuiThread() ? Window(&hr) : nullptr) {
            r = QRect(0, 0, w->width(), w->height());
        } else {
            LONG vw, vh;
            HRESULT vr = GetVideoSize(&vw, &vh);
            if (FAILED(vr))
                return vr;
            r = QRect(0, 0, vw, vh);
        }
    }
    *left = r.x();
    *top = r.y();
    *width = r.width();
    *height = r.height();
    return S_OK;
}

// One edge of either rectangle: read, changed and checked as a whole.
HRESULT VideoRenderer::GetRect(RectKind kind, LONG r[4]) {
    return kind == kSourceRect ? GetSourcePosition(&r[0], &r[1], &r[2], &r[3])
                               : GetDestinationPosition(&r[0], &r[1], &r[2], &r[3]);
}
HRESULT VideoRenderer::PutEdge(RectKind kind, Edge edge, LONG v) {
    LONG r[4];
    HRESULT hr = GetRect(kind, r);
    if (FAILED(hr))
        return hr;
    r[edge] = v;
    return kind == kSourceRect ? SetSourcePosition(r[0], r[1], r[2], r[3])
                               : SetDestinationPosition(r[0], r[1], r[2], r[3]);
}
HRESULT VideoRenderer::GetEdge(RectKind kind, Edge edge, LONG* v) {
    if (!v)
        return E_POINTER;
    LONG r[4];
    HRESULT hr = GetRect(kind, r);
    if (SUCCEEDED(hr))
        *v = r[edge];
    return hr;
}
HRESULT VideoRenderer::ResetRect(RectKind kind) {
    std::lock_guard<std::mutex> l(slot_->mu);
    (kind == kSourceRect ? slot_->source : slot_->dest) = QRect();
    return S_OK;
}
HRESULT VideoRenderer::IsDefaultRect(RectKind kind) {
    std::lock_guard<std::mutex> l(slot_->mu);
    return (kind == kSourceRect ? slot_->source : slot_->dest).isNull() ? S_OK : S_FALSE;
}

}  // namespace kovel::render
