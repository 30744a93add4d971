// kovel-regsvr [-u] [--system] [--destdir DIR] LIBRARY: registers (or with -u
// unregisters) a plug-in library's classes in the user's registry store, or
// in the system store of this installation.
#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "kovel/build_tree.h"
#include "kovel/builtin.h"
#include "kovel/com.h"
#include "kovel/registry.h"
#include "kovel/version.h"

namespace {

constexpr const char* kUsage =
    "usage: kovel-regsvr [-u] [--system] [--destdir DIR] LIBRARY\n"
    "Registers the classes of a plug-in library so that programs create them by class id.\n"
    "  -u, --unregister  remove the library's registration instead\n"
    "  --system          work on the system store of this installation (share/kovel/registry.db\n"
    "                    under its prefix), which every user reads, instead of your own\n"
    "  --destdir DIR     LIBRARY is staged under DIR for packaging: load it from there, register it\n"
    "                    under the path it will have once installed\n"
    "  --help            show this help and exit\n"
    "  --version         show the version and exit\n"
    "$KOVEL_REGISTRY, when set, names the only store used.\n";

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

int Usage(const char* problem) {
    std::fprintf(stderr, "kovel-regsvr: %s\n%s", problem, kUsage);
    return 2;
}

// A library staged under `root` was registered under its staged path; every
// server entry of the store that points below `root` loses that part.
bool RelocateServers(const std::string& root) {
    HKEY classes = nullptr;
    if (RegOpenKeyA(HKEY_CLASSES_ROOT, "CLSID", &classes) != ERROR_SUCCESS)
        return true;
    std::vector<std::string> names;
    char name[260];
    for (DWORD i = 0; RegEnumKeyA(classes, i, name, sizeof name) == ERROR_SUCCESS; ++i) names.push_back(name);
    bool ok = true;
    for (const std::string& cls : names) {
        HKEY server = nullptr;
        if (RegOpenKeyA(classes, (cls + "\\InprocServer32").c_str(), &server) != ERROR_SUCCESS)
            continue;
        std::vector<char> path(PATH_MAX + 1);
        DWORD size = DWORD(path.size());
        if (RegQueryValueExA(server, nullptr, nullptr, nullptr, reinterpret_cast<BYTE*>(path.data()),
                             &size) == ERROR_SUCCESS &&
            std::strncmp(path.data(), root.c_str(), root.size()) == 0 && path[root.size()] == '/') {
            const char* installed = path.data() + root.size();
            ok = RegSetValueExA(server, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(installed),
                                DWORD(std::strlen(installed) + 1)) == ERROR_SUCCESS &&
                 ok;
        }
        RegCloseKey(server);
    }
    RegCloseKey(classes);
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    KovelUseBuildTreeRegistry();
    bool unregister = false, system = false;
    std::string destdir;
    const char* library = nullptr;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (a == "--version") {
            std::printf("kovel-regsvr %s\n", KOVEL_VERSION);
            return 0;
        }
        if (a == "-u" || a == "/u" || a == "--unregister") {
            unregister = true;
        } else if (a == "--system") {
            system = true;
        } else if (a == "--destdir") {
            if (i + 1 >= argc || !*argv[i + 1])
                return Usage("--destdir needs a folder");
            destdir = argv[++i];
        } else if (a == "--") {
            if (i + 2 != argc || library)
                return Usage("one library, please");
            library = argv[++i];
        } else if (a.size() > 1 && a[0] == '-') {
            return Usage(("unknown option " + a).c_str());
        } else if (library) {
            return Usage("one library, please");
        } else {
            library = argv[i];
        }
    }
    if (!library || !*library)
        return Usage("no library named");

    // The loader is handed an absolute path, which is what gets registered.
    std::string staged = library;
    std::string root;
    if (!destdir.empty()) {
        char real[PATH_MAX];
        if (!realpath(destdir.c_str(), real)) {
            std::fprintf(stderr, "kovel-regsvr: %s: %s\n", destdir.c_str(), std::strerror(errno));
            return 1;
        }
        root = real;
        if (library[0] != '/')
            return Usage("with --destdir, LIBRARY is the absolute path it will have once installed");
        staged = root + library;
    }
    char absolute[PATH_MAX];
    if (realpath(staged.c_str(), absolute))
        staged = absolute;

    KovelRegistrySetScope(system ? KOVEL_REGISTRY_SYSTEM : KOVEL_REGISTRY_USER);
    char store[PATH_MAX];
    if (!KovelRegistryWriteStore(store, sizeof store)) {
        std::fprintf(stderr, "kovel-regsvr: no registry store to write to\n");
        return 1;
    }

    char reason[4096 + 256];
    void* handle = KovelLoadLibrary(staged.c_str(), reason, sizeof reason);
    if (!handle) {
        std::fprintf(stderr, "kovel-regsvr: cannot load %s: %s\n", staged.c_str(), reason);
        return 1;
    }
    const char* entry = unregister ? "DllUnregisterServer" : "DllRegisterServer";
    dlerror();
    auto fn = reinterpret_cast<PFN_DllRegisterServer>(dlsym(handle, entry));
    if (!fn) {
        const char* e = dlerror();
        std::fprintf(stderr, "kovel-regsvr: %s has no entry point %s: %s\n", staged.c_str(), entry,
                     e ? e : "symbol not found");
        return 1;
    }
    HRESULT hr = fn();
    if (SUCCEEDED(hr) && !unregister && !root.empty() && !RelocateServers(root)) {
        std::fprintf(stderr, "kovel-regsvr: cannot record the installed path of %s\n", library);
        hr = E_FAIL;
    }
    std::printf("%s: 0x%08X (%s)\n", entry, static_cast<unsigned>(hr), Word(hr));
    std::printf("store: %s\n", store);
    return FAILED(hr) ? 1 : 0;
}
