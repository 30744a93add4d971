// The renderers join the platform's built-in classes when this library loads,
// with the pin types the graph builder matches them by.
#include "audio_renderer.h"
#include "filter_catalog.h"
#include "kovel/builtin.h"
#include "kovel/runtime_classes.h"
#include "video_renderer.h"

namespace kovel::render {
namespace {

HRESULT CreateAudio(IUnknown* outer, REFIID riid, void** ppv) {
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (outer)
        return CLASS_E_NOAGGREGATION;
    return CreateAudioRenderer(AudioOutput::Automatic, riid, ppv);
}

RegisteredFilter Renderer(const CLSID& clsid, std::u16string name, std::u16string pin, const GUID& major,
                          const GUID& subtype) {
    RegisteredFilter f;
    f.clsid = clsid;
    f.name = std::move(name);
    f.merit = kKovelRendererMerit;
    RegisteredPin p;
    p.name = std::move(pin);
    p.output = false;
    p.rendered = true;
    p.types.push_back({major, subtype});
    f.pins.push_back(std::move(p));
    return f;
}

struct Registrar {
    Registrar() {
        KovelRegisterBuiltinClass(&CLSID_KovelAudioRenderer, &CreateAudio);
        KovelRegisterBuiltinClass(&CLSID_KovelVideoRenderer, &rt::CreateInstance<VideoRenderer>);
        RegisterBuiltinFilter(Renderer(CLSID_KovelAudioRenderer, u"Audio Renderer", u"Audio Input",
                                       MEDIATYPE_Audio, MEDIASUBTYPE_PCM));
        RegisterBuiltinFilter(Renderer(CLSID_KovelVideoRenderer, u"Video Renderer", u"Input", MEDIATYPE_Video,
                                       MEDIASUBTYPE_RGB32));
    }
} g_registrar;

}  // namespace
}  // namespace kovel::render
