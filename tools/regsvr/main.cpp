// kovel-regsvr [-u] LIBRARY: registers (or with -u unregisters) a plug-in
// library's classes in the registry store of $KOVEL_REGISTRY.
#include <dlfcn.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "kovel/builtin.h"
#include "kovel/com.h"

namespace {

const char* Word(HRESULT hr) {
    switch (hr) {
        case S_OK:
            return "S_OK";
        case S_FALSE:
            return "S_FALSE";
        case E_FAIL:
            return "E_FAIL";
        case E_OUTOFMEMORY:
            return "E_OUTOFMEMORY";
        case E_UNEXPECTED:
            return "E_UNEXPECTED";
        case E_ACCESSDENIED:
            return "E_ACCESSDENIED";
        case E_INVALIDARG:
            return "E_INVALIDARG";
        case E_NOTIMPL:
            return "E_NOTIMPL";
        case HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND):
            return "file not found";
        default:
            return SUCCEEDED(hr) ? "success" : "failure";
    }
}

int Usage() {
    std::fprintf(stderr, "usage: kovel-regsvr [-u] LIBRARY\n");
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    bool unregister = false;
    const char* library = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-u") == 0 || std::strcmp(argv[i], "/u") == 0) {
            unregister = true;
        } else if (argv[i][0] == '-' && argv[i][1] != 0) {
            return Usage();
        } else if (library) {
            return Usage();
        } else {
            library = argv[i];
        }
    }
    if (!library)
        return Usage();

    char reason[4096 + 256];
    void* handle = KovelLoadLibrary(library, reason, sizeof reason);
    if (!handle) {
        std::fprintf(stderr, "kovel-regsvr: cannot load %s: %s\n", library, reason);
        return 1;
    }
    const char* entry = unregister ? "DllUnregisterServer" : "DllRegisterServer";
    dlerror();
    auto fn = reinterpret_cast<PFN_DllRegisterServer>(dlsym(handle, entry));
    if (!fn) {
        const char* e = dlerror();
        std::fprintf(stderr, "kovel-regsvr: %s has no entry point %s: %s\n", library, entry,
                     e ? e : "symbol not found");
        return 1;
    }
    HRESULT hr = fn();
    std::printf("%s: 0x%08X (%s)\n", entry, static_cast<unsigned>(hr), Word(hr));
    return FAILED(hr) ? 1 : 0;
}
