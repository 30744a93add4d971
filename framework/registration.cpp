#include "component_server.h"

namespace {
constexpr HRESULT kNotRegistered = HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
}

namespace kovel::framework {

HRESULT RegisterWithMapper2(IFilterMapper2* pMapper, const FilterSetupRecord* pSetup, bool bRegister) {
    if (!pMapper || !pSetup || !pSetup->clsid)
        return E_POINTER;
    HRESULT hr = pMapper->UnregisterFilter(nullptr, nullptr, *pSetup->clsid);
    if (!bRegister)
        return hr == kNotRegistered ? S_OK : hr;
    REGFILTER2 rf2{};
    rf2.dwVersion = 1;
    rf2.dwMerit = pSetup->merit;
    rf2.cPins = pSetup->pinCount;
    rf2.rgPins = pSetup->pins;
    hr = pMapper->RegisterFilter(*pSetup->clsid, pSetup->name, nullptr, nullptr, nullptr, &rf2);
    return hr == kNotRegistered ? S_OK : hr;
}

HRESULT RegisterWithMapper1(IFilterMapper* pMapper, const FilterSetupRecord* pSetup, bool bRegister) {
    if (!pMapper || !pSetup || !pSetup->clsid)
        return E_POINTER;
    const CLSID clsid = *pSetup->clsid;
    HRESULT hr = pMapper->UnregisterFilter(clsid);
    if (hr == kNotRegistered)
        hr = S_OK;
    if (FAILED(hr) || !bRegister)
        return hr;
    hr = pMapper->RegisterFilter(clsid, pSetup->name, pSetup->merit);
    for (UINT p = 0; SUCCEEDED(hr) && p < pSetup->pinCount && pSetup->pins; ++p) {
        const REGFILTERPINS& pin = pSetup->pins[p];
        hr = pMapper->RegisterPin(clsid, pin.strName, pin.bRendered, pin.bOutput, pin.bZero, pin.bMany,
                                  pin.clsConnectsToFilter ? *pin.clsConnectsToFilter : CLSID_NULL,
                                  pin.strConnectsToPin);
        for (UINT t = 0; SUCCEEDED(hr) && t < pin.nMediaTypes && pin.lpMediaType; ++t) {
            const REGPINTYPES& type = pin.lpMediaType[t];
            hr = pMapper->RegisterPinType(clsid, pin.strName,
                                          type.clsMajorType ? *type.clsMajorType : GUID_NULL,
                                          type.clsMinorType ? *type.clsMinorType : GUID_NULL);
        }
    }
    return hr == kNotRegistered ? S_OK : hr;
}

}  // namespace kovel::framework
