// "Video Renderer": RGB32 pictures (bottom-up or top-down VIDEOINFOHEADER)
// presented at their stream time against the graph's clock.
//
// Scheduling: Receive holds each sample until clock time - run start reaches
// its start divided by the segment's rate (samples ending at or before the
// segment start are never shown; one that straddles it is shown at 0). A
// frame found later than its frame interval (its own duration, else the
// format's average frame time, else 40 ms, over the rate; at least 15 ms and
// at most 40 ms) is dropped and counted, except the first one after a start
// or flush, which is shown as soon as it comes, however late and up to that
// interval early.
// Without a clock every sample is presented as it arrives. A sample whose
// start is not after the last one taken is dropped, so nothing is shown twice
// or out of order. Paused, the first sample after a start or flush is shown
// at once (the paused picture) and held, which completes the pause.
//
// Window: with a QApplication, a widget created on the GUI thread by the
// first IVideoWindow call (or the connection, when made there), docked into
// the owner put_Owner names. IVideoWindow must be called on the GUI thread
// (E_UNEXPECTED from another one); without a QApplication there is no window
// and IVideoWindow answers E_NOINTERFACE, while scheduling and counting go on.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>

#include "kovel/control.h"
#include "kovel/formats.h"
#include "renderer_base.h"

namespace kovel::render {

struct FrameSlot;
class VideoWidget;

class VideoRenderer final : public RendererBase, public IVideoWindow, public IBasicVideo {
  public:
    VideoRenderer();
    ~VideoRenderer() override;

    HRESULT QueryInterface(REFIID riid, void** ppv) override { return FilterBase::QueryInterface(riid, ppv); }
    ULONG AddRef() override { return FilterBase::AddRef(); }
    ULONG Release() override { return FilterBase::Release(); }

    HRESULT SetSyncSource(IReferenceClock* clock) override;

    // IKovelRenderer
    HRESULT GetReferenceClock(IReferenceClock** clock) override;

    // IDispatch: not offered.
    HRESULT GetTypeInfoCount(UINT* n) override;
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
        return E_NOTIMPL;
    }

    // IVideoWindow
    HRESULT put_Caption(BSTR) override { return E_NOTIMPL; }
    HRESULT get_Caption(BSTR*) override { return E_NOTIMPL; }
    HRESULT put_WindowStyle(LONG style) override;
    HRESULT get_WindowStyle(LONG* style) override;
    HRESULT put_WindowStyleEx(LONG style) override;
    HRESULT get_WindowStyleEx(LONG* style) override;
    HRESULT put_AutoShow(LONG v) override;
    HRESULT get_AutoShow(LONG* v) override;
    HRESULT put_WindowState(LONG) override { return E_NOTIMPL; }
    HRESULT get_WindowState(LONG*) override { return E_NOTIMPL; }
    HRESULT put_BackgroundPalette(LONG) override { return E_NOTIMPL; }
    HRESULT get_BackgroundPalette(LONG*) override { return E_NOTIMPL; }
    HRESULT put_Visible(LONG v) override;
    HRESULT get_Visible(LONG* v) override;
    HRESULT put_Left(LONG v) override { return SetWindowRect(kLeft, v); }
    HRESULT get_Left(LONG* v) override { return GetWindowPosition(v, nullptr, nullptr, nullptr); }
    HRESULT put_Width(LONG v) override { return SetWindowRect(kWidth, v); }
    HRESULT get_Width(LONG* v) override { return GetWindowPosition(nullptr, nullptr, v, nullptr); }
    HRESULT put_Top(LONG v) override { return SetWindowRect(kTop, v); }
    HRESULT get_Top(LONG* v) override { return GetWindowPosition(nullptr, v, nullptr, nullptr); }
    HRESULT put_Height(LONG v) override { return SetWindowRect(kHeight, v); }
    HRESULT get_Height(LONG* v) override { return GetWindowPosition(nullptr, nullptr, nullptr, v); }
    HRESULT put_Owner(OAHWND owner) override;
    HRESULT get_Owner(OAHWND* owner) override;
    HRESULT put_MessageDrain(OAHWND drain) override;
    HRESULT get_MessageDrain(OAHWND* drain) override;
    HRESULT get_BorderColor(LONG* c) override;
    HRESULT put_BorderColor(LONG c) override;
    HRESULT get_FullScreenMode(LONG* v) override;
    HRESULT put_FullScreenMode(LONG) override { return E_NOTIMPL; }
    HRESULT SetWindowForeground(LONG focus) override;
    HRESULT NotifyOwnerMessage(OAHWND, LONG, LONG_PTR, LONG_PTR) override { return S_OK; }
    HRESULT SetWindowPosition(LONG left, LONG top, LONG width, LONG height) override;
    HRESULT GetWindowPosition(LONG* left, LONG* top, LONG* width, LONG* height) override;
    HRESULT GetMinIdealImageSize(LONG* w, LONG* h) override { return GetVideoSize(w, h); }
    HRESULT GetMaxIdealImageSize(LONG* w, LONG* h) override { return GetVideoSize(w, h); }
    HRESULT GetRestorePosition(LONG* l, LONG* t, LONG* w, LONG* h) override {
        return GetWindowPosition(l, t, w, h);
    }
    HRESULT HideCursor(LONG hide) override;
    HRESULT IsCursorHidden(LONG* hidden) override;

    // IBasicVideo
    HRESULT get_AvgTimePerFrame(REFTIME* t) override;
    HRESULT get_BitRate(LONG* v) override;
    HRESULT get_BitErrorRate(LONG* v) override;
    HRESULT get_VideoWidth(LONG* v) override;
    HRESULT get_VideoHeight(LONG* v) override;
    HRESULT put_SourceLeft(LONG v) override { return PutEdge(kSourceRect, kLeft, v); }
    HRESULT get_SourceLeft(LONG* v) override { return GetEdge(kSourceRect, kLeft, v); }
    HRESULT put_SourceWidth(LONG v) override { return PutEdge(kSourceRect, kWidth, v); }
    HRESULT get_SourceWidth(LONG* v) override { return GetEdge(kSourceRect, kWidth, v); }
    HRESULT put_SourceTop(LONG v) override { return PutEdge(kSourceRect, kTop, v); }
    HRESULT get_SourceTop(LONG* v) override { return GetEdge(kSourceRect, kTop, v); }
    HRESULT put_SourceHeight(LONG v) override { return PutEdge(kSourceRect, kHeight, v); }
    HRESULT get_SourceHeight(LONG* v) override { return GetEdge(kSourceRect, kHeight, v); }
    HRESULT put_DestinationLeft(LONG v) override { return PutEdge(kDestRect, kLeft, v); }
    HRESULT get_DestinationLeft(LONG* v) override { return GetEdge(kDestRect, kLeft, v); }
    HRESULT put_DestinationWidth(LONG v) override { return PutEdge(kDestRect, kWidth, v); }
    HRESULT get_DestinationWidth(LONG* v) override { return GetEdge(kDestRect, kWidth, v); }
    HRESULT put_DestinationTop(LONG v) override { return PutEdge(kDestRect, kTop, v); }
    HRESULT get_DestinationTop(LONG* v) override { return GetEdge(kDestRect, kTop, v); }
    HRESULT put_DestinationHeight(LONG v) override { return PutEdge(kDestRect, kHeight, v); }
    HRESULT get_DestinationHeight(LONG* v) override { return GetEdge(kDestRect, kHeight, v); }
    HRESULT SetSourcePosition(LONG left, LONG top, LONG width, LONG height) override;
    HRESULT GetSourcePosition(LONG* left, LONG* top, LONG* width, LONG* height) override;
    HRESULT SetDefaultSourcePosition() override { return ResetRect(kSourceRect); }
    HRESULT SetDestinationPosition(LONG left, LONG top, LONG width, LONG height) override;
    HRESULT GetDestinationPosition(LONG* left, LONG* top, LONG* width, LONG* height) override;
    HRESULT SetDefaultDestinationPosition() override { return ResetRect(kDestRect); }
    HRESULT GetVideoSize(LONG* width, LONG* height) override;
    HRESULT GetVideoPaletteEntries(LONG, LONG, LONG*, LONG*) override { return E_NOTIMPL; }
    // The picture held while paused (the paused picture after a start or a
    // seek), as a packed bitmap: its header, then its rows as the connected
    // format has them. VFW_E_NOT_PAUSED unless paused, E_UNEXPECTED while no
    // picture is held; *size gets the bytes needed when `dib` is null.
    HRESULT GetCurrentImage(LONG* size, LONG* dib) override;
    HRESULT IsUsingDefaultSource() override { return IsDefaultRect(kSourceRect); }
    HRESULT IsUsingDefaultDestination() override { return IsDefaultRect(kDestRect); }

    // RendererBase
    HRESULT OnPause(FILTER_STATE from) override;
    HRESULT OnRun(REFERENCE_TIME start) override;
    void OnStop() override;
    HRESULT OnReceive(rt::InputPin* pin, IMediaSample* sample) override;
    HRESULT OnEndOfStream(rt::InputPin* pin) override;
    HRESULT OnBeginFlush(rt::InputPin* pin) override;
    HRESULT OnEndFlush(rt::InputPin* pin) override;
    HRESULT QueryExtra(REFIID riid, void** ppv) override;
    HRESULT CheckInputType(const rt::MediaType& mt) override;
    void SetConnected(const rt::MediaType& mt) override;

    static constexpr REFERENCE_TIME kDefaultFrameTime = 400000;  // 40 ms
    static constexpr REFERENCE_TIME kMinLateLimit = 150000;      // 15 ms
    static constexpr REFERENCE_TIME kMaxLateLimit = 400000;      // 40 ms

  private:
    struct Format {
        LONG width = 0, height = 0;
        bool bottomUp = true;
        uint64_t stride = 0;
        REFERENCE_TIME avgFrame = 0;
        DWORD bitRate = 0, bitErrorRate = 0;
    };
    static bool ParseFormat(const rt::MediaType& mt, Format* f);

    // The window, created on first use; null with *hr set when there can be
    // none (no QApplication: E_NOINTERFACE) or not from this thread.
    VideoWidget* Window(HRESULT* hr);
    bool PrerolledLocked() override { return holding_ || eos_ || !connected_; }
    void PresentLocked(const BYTE* data, REFERENCE_TIME when);
    void BumpLocked() {
        ++generation_;
        cv_.notify_all();
    }
    void RestartStreamLocked() {
        eos_ = completeSent_ = false;
        shown_ = haveLast_ = false;
        ForgetFirstPresentedLocked();
    }
    // Reads the clock with mu_ released; false when a state change, flush or
    // clock change came meanwhile and the caller must look again.
    bool ReadClockUnlocked(std::unique_lock<std::mutex>& l, REFERENCE_TIME* now, HRESULT* hr);
    // Waits for `due` (or a change) at most 10 ms: the clock offers no advise.
    void WaitUntilLocked(std::unique_lock<std::mutex>& l, REFERENCE_TIME due, REFERENCE_TIME now);

    // Runs `use` on the window, or answers why there is none.
    template <class F>
    HRESULT WithWindow(F&& use);
    // Settings kept beside the window, answered only while there can be one.
    template <class T>
    HRESULT PutSetting(T* field, T v);
    template <class T>
    HRESULT GetSetting(const T& field, T* out);
    // A value of the connected format; VFW_E_NOT_CONNECTED without one.
    template <class T, class F>
    HRESULT FormatValue(T* out, F&& read);

    // Edges in the order of a rectangle's four values.
    enum Edge { kLeft, kTop, kWidth, kHeight };
    enum RectKind { kSourceRect, kDestRect };
    HRESULT GetRect(RectKind kind, LONG r[4]);
    HRESULT PutEdge(RectKind kind, Edge edge, LONG v);
    HRESULT GetEdge(RectKind kind, Edge edge, LONG* v);
    HRESULT ResetRect(RectKind kind);
    HRESULT IsDefaultRect(RectKind kind);
    HRESULT SetWindowRect(Edge edge, LONG v);

    std::shared_ptr<FrameSlot> slot_;

    // Guarded by mu_.
    uint64_t generation_ = 0;  // bumped by every state change, flush and clock change
    bool holding_ = false, shown_ = false, haveLast_ = false;
    const BYTE* heldData_ = nullptr;  // the held sample's picture, while holding_
    REFERENCE_TIME lastStart_ = 0, lastEnd_ = 0, runStart_ = 0;
    IReferenceClock* clock_copy_ = nullptr;
    Format fmt_;

    // Window settings (GUI thread, or under mu_ for the flags).
    LONG style_ = 0, styleEx_ = 0, borderColor_ = 0;
    bool autoShow_ = true, cursorHidden_ = false;
    OAHWND owner_ = 0, drain_ = 0;
};

}  // namespace kovel::render
