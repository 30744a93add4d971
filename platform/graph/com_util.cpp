#include "com_util.h"

namespace kovel::graph {

std::vector<ComPtr<IPin>> ListPins(IBaseFilter* filter) {
    std::vector<ComPtr<IPin>> pins;
    ComPtr<IEnumPins> e;
    if (!filter || FAILED(filter->EnumPins(e.Out())) || !e)
        return pins;
    for (;;) {
        IPin* p = nullptr;
        ULONG got = 0;
        if (e->Next(1, &p, &got) != S_OK || got != 1 || !p)
            break;
        pins.push_back(ComPtr<IPin>::Adopt(p));
    }
    return pins;
}

PIN_DIRECTION PinDirection(IPin* pin) {
    PIN_DIRECTION d = PINDIR_INPUT;
    if (pin)
        pin->QueryDirection(&d);
    return d;
}

std::u16string PinName(IPin* pin) {
    PIN_INFO info{};
    if (!pin || FAILED(pin->QueryPinInfo(&info)))
        return {};
    if (info.pFilter)
        info.pFilter->Release();
    info.achName[MAX_PIN_NAME - 1] = 0;
    return info.achName;
}

std::u16string FilterName(IBaseFilter* filter) {
    FILTER_INFO info{};
    if (!filter || FAILED(filter->QueryFilterInfo(&info)))
        return {};
    if (info.pGraph)
        info.pGraph->Release();
    info.achName[MAX_FILTER_NAME - 1] = 0;
    return info.achName;
}

ComPtr<IPin> ConnectedPeer(IPin* pin) {
    ComPtr<IPin> peer;
    if (pin && FAILED(pin->ConnectedTo(peer.Out())))
        peer.Reset();
    return peer;
}

ComPtr<IBaseFilter> PinOwner(IPin* pin) {
    PIN_INFO info{};
    if (!pin || FAILED(pin->QueryPinInfo(&info)))
        return {};
    return ComPtr<IBaseFilter>::Adopt(info.pFilter);
}

}  // namespace kovel::graph
