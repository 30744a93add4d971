#include "sound_messages.h"

#include <dlfcn.h>

#include <cstdio>
#include <mutex>

namespace kovel::render {
namespace {

// ALSA's error handler type: file, line, function, error, then a printf format.
using AlsaErrorHandler = void (*)(const char*, int, const char*, int, const char*, ...);
using SetAlsaErrorHandler = int (*)(AlsaErrorHandler);

void Silent(const char*, int, const char*, int, const char*, ...) {}

}  // namespace

void QuietenSoundLibraries() {
    static std::once_flag once;
    std::call_once(once, [] {
        // SDL loads ALSA itself, by the same name, and gets this copy. It is
        // kept loaded for good, so the handler outlives SDL's own unloading.
        void* alsa = dlopen("libasound.so.2", RTLD_NOW | RTLD_LOCAL);
        if (!alsa)
            return;
        if (auto set = reinterpret_cast<SetAlsaErrorHandler>(dlsym(alsa, "snd_lib_error_set_handler")))
            set(&Silent);
    });
}

void ReportNullOutput(const char* reason) {
    static std::once_flag once;
    std::call_once(once, [reason] {
        std::fprintf(stderr, "kovel: no sound device (%s); sound plays on the null output\n",
                     reason && *reason ? reason : "none opened");
    });
}

}  // namespace kovel::render
