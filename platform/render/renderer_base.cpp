#include "renderer_base.h"

#include <cstring>

namespace kovel::render {

class RendererBase::Pin final : public rt::InputPin {
  public:
    Pin(RendererBase* f, std::u16string name) : InputPin(f, std::move(name)), owner_(f) {}
    HRESULT CheckMediaType(const rt::MediaType& mt) override { return owner_->CheckInputType(mt); }
    HRESULT ReceiveConnection(IPin* connector, const AM_MEDIA_TYPE* pmt) override {
        HRESULT hr = InputPin::ReceiveConnection(connector, pmt);
        if (SUCCEEDED(hr))
            owner_->SetConnected(Type());
        return hr;
    }
    HRESULT Disconnect() override {
        HRESULT hr = InputPin::Disconnect();
        if (hr == S_OK)
            owner_->SetConnected(rt::MediaType());
        return hr;
    }

  private:
    RendererBase* owner_;
};

RendererBase::RendererBase(const CLSID& clsid, KovelRendererKind kind, std::u16string pinName)
    : FilterBase(clsid), kind_(kind), pin_(std::make_unique<Pin>(this, std::move(pinName))) {}

RendererBase::~RendererBase() = default;

rt::PinBase* RendererBase::PinAt(int i) {
    return i == 0 ? pin_.get() : nullptr;
}

HRESULT RendererBase::GetState(DWORD ms, FILTER_STATE* state) {
    if (!state)
        return E_POINTER;
    *state = State();
    if (*state != State_Paused)
        return S_OK;
    return WaitPrerolled(ms);
}

HRESULT RendererBase::WaitPrerolled(DWORD ms) {
    std::unique_lock<std::mutex> l(mu_);
    auto done = [&] { return streamState_ != State_Paused || PrerolledLocked(); };
    if (ms == INFINITE)
        cv_.wait(l, done);
    else
        cv_.wait_for(l, std::chrono::milliseconds(ms), done);
    return done() ? S_OK : VFW_S_STATE_INTERMEDIATE;
}

HRESULT RendererBase::OnNewSegment(rt::InputPin*, REFERENCE_TIME, REFERENCE_TIME, double rate) {
    const bool playable = PlayableRate(rate);
    std::lock_guard<std::mutex> l(mu_);
    playRate_ = playable ? rate : 1.0;
    return playable ? S_OK : E_INVALIDARG;
}

HRESULT RendererBase::GetRenderState(KovelRenderState* s) {
    if (!s)
        return E_POINTER;
    FILTER_STATE fs = State();
    std::lock_guard<std::mutex> l(mu_);
    std::memset(s, 0, sizeof(*s));
    s->kind = kind_;
    s->state = fs;
    s->prerolled = PrerolledLocked();
    s->endOfStream = eos_;
    s->completeSent = completeSent_;
    s->presented = presented_;
    s->dropped = dropped_;
    s->firstStreamTime = firstStreamTime_;
    s->maxOffset = maxOffset_;
    s->firstPresentedAt = firstPresentedAt_;
    MoreRenderStateLocked(s);
    return S_OK;
}

}  // namespace kovel::render
