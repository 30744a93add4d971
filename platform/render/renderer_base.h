// What the audio and the video renderer share: one input pin that hands its
// type checks and connection changes to the renderer, the preroll wait behind
// GetState, the render state the graph reads, and the completion event.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

#include "filter_base.h"
#include "kovel/renderer.h"
#include "render_common.h"

namespace kovel::render {

class RendererBase : public rt::FilterBase, public IKovelRenderer {
  public:
    // Paused, waits up to `ms` for the preroll (VFW_S_STATE_INTERMEDIATE).
    HRESULT GetState(DWORD ms, FILTER_STATE* state) override;

    // IKovelRenderer
    HRESULT GetRenderState(KovelRenderState* state) override;
    HRESULT WaitPrerolled(DWORD msTimeout) override;

    // FilterBase
    int PinCount() override { return 1; }
    rt::PinBase* PinAt(int i) override;
    // Sample times already count from the segment start; the segment's rate
    // is kept for scheduling (kovel/renderer.h). A rate the renderers cannot
    // play is refused (E_INVALIDARG) and the segment plays at 1.
    HRESULT OnNewSegment(rt::InputPin*, REFERENCE_TIME, REFERENCE_TIME, double rate) override;

    // S_OK for a type the renderer can present, S_FALSE otherwise.
    virtual HRESULT CheckInputType(const rt::MediaType& mt) = 0;
    // The input pin's connection changed (an empty type: disconnected).
    virtual void SetConnected(const rt::MediaType& mt) = 0;

  protected:
    RendererBase(const CLSID& clsid, KovelRendererKind kind, std::u16string pinName);
    ~RendererBase() override;

    // Holds what Pause waits for (mu_ held).
    virtual bool PrerolledLocked() = 0;
    // Fills what only this kind of renderer reports (mu_ held).
    virtual void MoreRenderStateLocked(KovelRenderState* state) { (void)state; }
    // The first sample presented since a flush, Stop or run from stopped, and
    // when (mu_ held).
    void NoteFirstPresentedLocked(REFERENCE_TIME streamTime) {
        if (firstStreamTime_ < 0) {
            firstStreamTime_ = streamTime;
            firstPresentedAt_ = SteadyNow();
        }
    }
    void ForgetFirstPresentedLocked() { firstStreamTime_ = firstPresentedAt_ = -1; }
    // Streaming or device thread, with no renderer lock held.
    void NotifyComplete() { NotifyEvent(EC_COMPLETE, S_OK, LONG_PTR(static_cast<IBaseFilter*>(this))); }

    // Guarded by mu_ (taken after the state lock, never before it).
    std::mutex mu_;
    std::condition_variable cv_;
    FILTER_STATE streamState_ = State_Stopped;
    bool connected_ = false, flushing_ = false, eos_ = false, completeSent_ = false;
    LONGLONG presented_ = 0, dropped_ = 0;
    REFERENCE_TIME maxOffset_ = 0, firstStreamTime_ = -1, firstPresentedAt_ = -1;
    double playRate_ = 1.0;  // the segment's rate

  private:
    class Pin;
    KovelRendererKind kind_;
    std::unique_ptr<Pin> pin_;
};

}  // namespace kovel::render
