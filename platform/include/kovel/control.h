// Graph control interfaces an application uses (automation-style, derived
// from IDispatch), in the platform's method order.
#pragma once

#include "kovel/streaming.h"

struct IMediaControl : IDispatch {
    virtual HRESULT Run() = 0;
    virtual HRESULT Pause() = 0;
    virtual HRESULT Stop() = 0;
    virtual HRESULT GetState(LONG msTimeout, OAFilterState* pfs) = 0;
    virtual HRESULT RenderFile(BSTR strFilename) = 0;
    virtual HRESULT AddSourceFilter(BSTR strFilename, IDispatch** ppUnk) = 0;
    virtual HRESULT get_FilterCollection(IDispatch** ppUnk) = 0;
    virtual HRESULT get_RegFilterCollection(IDispatch** ppUnk) = 0;
    virtual HRESULT StopWhenReady() = 0;
};

struct IMediaEvent : IDispatch {
    virtual HRESULT GetEventHandle(OAEVENT* hEvent) = 0;
    virtual HRESULT GetEvent(LONG* lEventCode, LONG_PTR* lParam1, LONG_PTR* lParam2, LONG msTimeout) = 0;
    virtual HRESULT WaitForCompletion(LONG msTimeout, LONG* pEvCode) = 0;
    virtual HRESULT CancelDefaultHandling(LONG lEvCode) = 0;
    virtual HRESULT RestoreDefaultHandling(LONG lEvCode) = 0;
    virtual HRESULT FreeEventParams(LONG lEvCode, LONG_PTR lParam1, LONG_PTR lParam2) = 0;
};

// SetNotifyWindow(hwnd, msg, instance) on this system: `hwnd` is a QObject*
// cast to OAHWND. Whenever an event is queued, from whatever thread, the graph
// posts `new QEvent(QEvent::Type(QEvent::User + msg))` to that object with
// QCoreApplication::postEvent; it never calls into the application directly.
// The application drains the queue with GetEvent(.., 0) on its own thread and
// calls SetNotifyWindow(0, 0, 0) before the object goes away.
struct IMediaEventEx : IMediaEvent {
    virtual HRESULT SetNotifyWindow(OAHWND hwnd, LONG lMsg, LONG_PTR lInstanceData) = 0;
    virtual HRESULT SetNotifyFlags(LONG lNoNotifyFlags) = 0;
    virtual HRESULT GetNotifyFlags(LONG* lplNoNotifyFlags) = 0;
};

struct IBasicAudio : IDispatch {
    virtual HRESULT put_Volume(LONG lVolume) = 0;
    virtual HRESULT get_Volume(LONG* plVolume) = 0;
    virtual HRESULT put_Balance(LONG lBalance) = 0;
    virtual HRESULT get_Balance(LONG* plBalance) = 0;
};

struct IBasicVideo : IDispatch {
    virtual HRESULT get_AvgTimePerFrame(REFTIME* pAvgTimePerFrame) = 0;
    virtual HRESULT get_BitRate(LONG* pBitRate) = 0;
    virtual HRESULT get_BitErrorRate(LONG* pBitErrorRate) = 0;
    virtual HRESULT get_VideoWidth(LONG* pVideoWidth) = 0;
    virtual HRESULT get_VideoHeight(LONG* pVideoHeight) = 0;
    virtual HRESULT put_SourceLeft(LONG SourceLeft) = 0;
    virtual HRESULT get_SourceLeft(LONG* pSourceLeft) = 0;
    virtual HRESULT put_SourceWidth(LONG SourceWidth) = 0;
    virtual HRESULT get_SourceWidth(LONG* pSourceWidth) = 0;
    virtual HRESULT put_SourceTop(LONG SourceTop) = 0;
    virtual HRESULT get_SourceTop(LONG* pSourceTop) = 0;
    virtual HRESULT put_SourceHeight(LONG SourceHeight) = 0;
    virtual HRESULT get_SourceHeight(LONG* pSourceHeight) = 0;
    virtual HRESULT put_DestinationLeft(LONG DestinationLeft) = 0;
    virtual HRESULT get_DestinationLeft(LONG* pDestinationLeft) = 0;
    virtual HRESULT put_DestinationWidth(LONG DestinationWidth) = 0;
    virtual HRESULT get_DestinationWidth(LONG* pDestinationWidth) = 0;
    virtual HRESULT put_DestinationTop(LONG DestinationTop) = 0;
    virtual HRESULT get_DestinationTop(LONG* pDestinationTop) = 0;
    virtual HRESULT put_DestinationHeight(LONG DestinationHeight) = 0;
    virtual HRESULT get_DestinationHeight(LONG* pDestinationHeight) = 0;
    virtual HRESULT SetSourcePosition(LONG Left, LONG Top, LONG Width, LONG Height) = 0;
    virtual HRESULT GetSourcePosition(LONG* pLeft, LONG* pTop, LONG* pWidth, LONG* pHeight) = 0;
    virtual HRESULT SetDefaultSourcePosition() = 0;
    virtual HRESULT SetDestinationPosition(LONG Left, LONG Top, LONG Width, LONG Height) = 0;
    virtual HRESULT GetDestinationPosition(LONG* pLeft, LONG* pTop, LONG* pWidth, LONG* pHeight) = 0;
    virtual HRESULT SetDefaultDestinationPosition() = 0;
    virtual HRESULT GetVideoSize(LONG* pWidth, LONG* pHeight) = 0;
    virtual HRESULT GetVideoPaletteEntries(LONG StartIndex, LONG Entries, LONG* pRetrieved, LONG* pPalette) = 0;
    virtual HRESULT GetCurrentImage(LONG* pBufferSize, LONG* pDIBImage) = 0;
    virtual HRESULT IsUsingDefaultSource() = 0;
    virtual HRESULT IsUsingDefaultDestination() = 0;
};

// Window style bits the player hands to IVideoWindow::put_WindowStyle.
constexpr LONG WS_CHILD = 0x40000000;
constexpr LONG WS_CLIPSIBLINGS = 0x04000000;
constexpr LONG WS_CLIPCHILDREN = 0x02000000;

struct IVideoWindow : IDispatch {
    virtual HRESULT put_Caption(BSTR strCaption) = 0;
    virtual HRESULT get_Caption(BSTR* strCaption) = 0;
    virtual HRESULT put_WindowStyle(LONG WindowStyle) = 0;
    virtual HRESULT get_WindowStyle(LONG* WindowStyle) = 0;
    virtual HRESULT put_WindowStyleEx(LONG WindowStyleEx) = 0;
    virtual HRESULT get_WindowStyleEx(LONG* WindowStyleEx) = 0;
    virtual HRESULT put_AutoShow(LONG AutoShow) = 0;
    virtual HRESULT get_AutoShow(LONG* AutoShow) = 0;
    virtual HRESULT put_WindowState(LONG WindowState) = 0;
    virtual HRESULT get_WindowState(LONG* WindowState) = 0;
    virtual HRESULT put_BackgroundPalette(LONG BackgroundPalette) = 0;
    virtual HRESULT get_BackgroundPalette(LONG* pBackgroundPalette) = 0;
    virtual HRESULT put_Visible(LONG Visible) = 0;
    virtual HRESULT get_Visible(LONG* pVisible) = 0;
    virtual HRESULT put_Left(LONG Left) = 0;
    virtual HRESULT get_Left(LONG* pLeft) = 0;
    virtual HRESULT put_Width(LONG Width) = 0;
    virtual HRESULT get_Width(LONG* pWidth) = 0;
    virtual HRESULT put_Top(LONG Top) = 0;
    virtual HRESULT get_Top(LONG* pTop) = 0;
    virtual HRESULT put_Height(LONG Height) = 0;
    virtual HRESULT get_Height(LONG* pHeight) = 0;
    virtual HRESULT put_Owner(OAHWND Owner) = 0;
    virtual HRESULT get_Owner(OAHWND* Owner) = 0;
    virtual HRESULT put_MessageDrain(OAHWND Drain) = 0;
    virtual HRESULT get_MessageDrain(OAHWND* Drain) = 0;
    virtual HRESULT get_BorderColor(LONG* Color) = 0;
    virtual HRESULT put_BorderColor(LONG Color) = 0;
    virtual HRESULT get_FullScreenMode(LONG* FullScreenMode) = 0;
    virtual HRESULT put_FullScreenMode(LONG FullScreenMode) = 0;
    virtual HRESULT SetWindowForeground(LONG Focus) = 0;
    virtual HRESULT NotifyOwnerMessage(OAHWND hwnd, LONG uMsg, LONG_PTR wParam, LONG_PTR lParam) = 0;
    virtual HRESULT SetWindowPosition(LONG Left, LONG Top, LONG Width, LONG Height) = 0;
    virtual HRESULT GetWindowPosition(LONG* pLeft, LONG* pTop, LONG* pWidth, LONG* pHeight) = 0;
    virtual HRESULT GetMinIdealImageSize(LONG* pWidth, LONG* pHeight) = 0;
    virtual HRESULT GetMaxIdealImageSize(LONG* pWidth, LONG* pHeight) = 0;
    virtual HRESULT GetRestorePosition(LONG* pLeft, LONG* pTop, LONG* pWidth, LONG* pHeight) = 0;
    virtual HRESULT HideCursor(LONG HideCursor) = 0;
    virtual HRESULT IsCursorHidden(LONG* CursorHidden) = 0;
};
