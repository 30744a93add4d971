// Announces the graph manager and the file source as built-in classes when
// the library is loaded.
#include "ffmpeg_source.h"
#include "filter_catalog.h"
#include "filter_graph.h"
#include "kovel/builtin.h"

namespace {
struct Registration {
    Registration() {
        KovelRegisterBuiltinClass(&CLSID_FilterGraph, &kovel::graph::CreateFilterGraph);
        KovelRegisterBuiltinClass(&CLSID_KovelFileSource, &kovel::graph::CreateFileSource);
    }
} g_registration;
}  // namespace
