// The component runtime: apartments, the task allocator, GUID text, the
// built-in class table and the plug-in library table.
#include <dlfcn.h>
#include <limits.h>
#include <link.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "kovel/builtin.h"
#include "kovel/com.h"
#include "kovel/guid_text.h"
#include "kovel/ref_counted.h"
#include "kovel/registry.h"

namespace {

// ---- apartments -----------------------------------------------------------

struct Apartment {
    int count = 0;
    DWORD model = 0;
};
thread_local Apartment t_apartment;

// ---- built-in classes -----------------------------------------------------

struct GuidLess {
    bool operator()(const GUID& a, const GUID& b) const { return std::memcmp(&a, &b, sizeof(GUID)) < 0; }
};

struct BuiltinTable {
    std::mutex lock;
    std::map<GUID, KovelCreateFunction, GuidLess> classes;
};

// Constructed on first use: other libraries register from their static
// initialisers, possibly before this library's own have run.
BuiltinTable& Builtins() {
    static BuiltinTable* table = new BuiltinTable;
    return *table;
}

KovelCreateFunction FindBuiltin(REFCLSID clsid) {
    BuiltinTable& t = Builtins();
    std::lock_guard<std::mutex> g(t.lock);
    auto it = t.classes.find(clsid);
    return it == t.classes.end() ? nullptr : it->second;
}

// A class factory over a built-in class's create function.
class BuiltinFactory final : public kovel::SingleInterface<IClassFactory, IID_IClassFactory> {
  public:
    explicit BuiltinFactory(KovelCreateFunction create) : create_(create) {}
    HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
        if (!ppv)
            return E_POINTER;
        *ppv = nullptr;
        // An aggregating caller must ask for the inner unknown.
        if (outer && riid != IID_IUnknown)
            return CLASS_E_NOAGGREGATION;
        return create_(outer, riid, ppv);
    }
    HRESULT LockServer(BOOL) override { return S_OK; }

  private:
    KovelCreateFunction create_;
};

// ---- plug-in libraries ----------------------------------------------------

struct Library {
    void* handle = nullptr;
    PFN_DllGetClassObject getClassObject = nullptr;
    PFN_DllCanUnloadNow canUnloadNow = nullptr;
    PFN_DllMain dllMain = nullptr;
};

struct LibraryTable {
    // Recursive: a plug-in's DllMain or factory may itself create objects.
    std::recursive_mutex lock;
    std::map<std::string, Library> byPath;
};

LibraryTable& Libraries() {
    static LibraryTable* table = new LibraryTable;
    return *table;
}

void CopyReason(const char* text, char* reason, DWORD size) {
    if (!reason || size == 0)
        return;
    std::snprintf(reason, size, "%s", text ? text : "");
}

// Loads `path` once and keeps it; null with the loader's reason on failure.
Library* LoadLocked(const std::string& path, std::string* reason) {
    LibraryTable& t = Libraries();
    auto it = t.byPath.find(path);
    if (it != t.byPath.end())
        return &it->second;
    if (path.size() >= PATH_MAX) {
        *reason = "library path longer than PATH_MAX";
        return nullptr;
    }
    void* h = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!h) {
        const char* e = dlerror();
        *reason = e ? e : "unknown loader error";
        return nullptr;
    }
    Library lib;
    lib.handle = h;
    lib.getClassObject = reinterpret_cast<PFN_DllGetClassObject>(dlsym(h, "DllGetClassObject"));
    lib.canUnloadNow = reinterpret_cast<PFN_DllCanUnloadNow>(dlsym(h, "DllCanUnloadNow"));
    lib.dllMain = reinterpret_cast<PFN_DllMain>(dlsym(h, "DllMain"));
    Library& stored = t.byPath.emplace(path, lib).first->second;
    if (stored.dllMain && !stored.dllMain(h, DLL_PROCESS_ATTACH, nullptr)) {
        *reason = "DllMain refused process attach";
        t.byPath.erase(path);
        dlclose(h);
        return nullptr;
    }
    return &stored;
}

// The InprocServer32 path registered for a class.
HRESULT RegisteredServer(REFCLSID clsid, std::string* path) {
    OLECHAR wide[39];
    StringFromGUID2(clsid, wide, 39);
    std::string key = "CLSID\\";
    for (int i = 0; i < 38; ++i) key.push_back(char(wide[i]));
    key += "\\InprocServer32";
    HKEY h = nullptr;
    if (RegOpenKeyA(HKEY_CLASSES_ROOT, key.c_str(), &h) != ERROR_SUCCESS)
        return REGDB_E_CLASSNOTREG;
    std::vector<char> buf(PATH_MAX + 1);
    DWORD size = DWORD(buf.size());
    DWORD type = 0;
    LSTATUS st = RegQueryValueExA(h, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(buf.data()), &size);
    RegCloseKey(h);
    if (st == ERROR_MORE_DATA) {
        std::fprintf(stderr, "kovel_com: server path of %s is longer than PATH_MAX\n", key.c_str());
        return REGDB_E_READREGDB;
    }
    if (st != ERROR_SUCCESS || type != REG_SZ || size <= 1)
        return REGDB_E_CLASSNOTREG;
    path->assign(buf.data());
    return S_OK;
}

HRESULT PluginClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
    std::string path;
    HRESULT hr = RegisteredServer(clsid, &path);
    if (FAILED(hr))
        return hr;
    LibraryTable& t = Libraries();
    std::lock_guard<std::recursive_mutex> g(t.lock);
    std::string reason;
    Library* lib = LoadLocked(path, &reason);
    if (!lib) {
        std::fprintf(stderr, "kovel_com: cannot load %s: %s\n", path.c_str(), reason.c_str());
        return CO_E_DLLNOTFOUND;
    }
    if (!lib->getClassObject) {
        std::fprintf(stderr, "kovel_com: %s has no DllGetClassObject\n", path.c_str());
        return CO_E_ERRORINDLL;
    }
    return lib->getClassObject(clsid, riid, ppv);
}

int HexDigit(OLECHAR c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool ParseHex(LPCOLESTR s, int digits, uint32_t* out) {
    uint32_t v = 0;
    for (int i = 0; i < digits; ++i) {
        int d = HexDigit(s[i]);
        if (d < 0)
            return false;
        v = (v << 4) | uint32_t(d);
    }
    *out = v;
    return true;
}

// Finds the loaded module whose dlopen handle is `handle`. Comparing handles
// (rather than reading through the pointer) keeps a stray pointer harmless.
bool PathOfHandle(void* handle, std::string* path) {
    std::vector<std::string> names;
    dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void* data) -> int {
            if (info->dlpi_name && *info->dlpi_name)
                static_cast<std::vector<std::string>*>(data)->push_back(info->dlpi_name);
            return 0;
        },
        &names);
    // Asked outside the iteration: the loader's lock is not held twice.
    for (const auto& name : names) {
        void* h = dlopen(name.c_str(), RTLD_LAZY | RTLD_NOLOAD);
        if (!h)
            continue;
        bool same = h == handle;
        dlclose(h);
        if (same) {
            *path = name;
            return true;
        }
    }
    return false;
}

}  // namespace

extern "C" {

// ---- apartments -----------------------------------------------------------

HRESULT CoInitializeEx(void*, DWORD dwCoInit) {
    DWORD model = dwCoInit & COINIT_APARTMENTTHREADED;
    Apartment& a = t_apartment;
    if (a.count > 0 && a.model != model)
        return RPC_E_CHANGED_MODE;
    a.model = model;
    return ++a.count == 1 ? S_OK : S_FALSE;
}

HRESULT CoInitialize(void* pvReserved) {
    return CoInitializeEx(pvReserved, COINIT_APARTMENTTHREADED);
}

void CoUninitialize() {
    if (t_apartment.count > 0)
        --t_apartment.count;
}

// ---- task allocator -------------------------------------------------------

void* CoTaskMemAlloc(size_t cb) {
    return std::malloc(cb ? cb : 1);
}
void* CoTaskMemRealloc(void* pv, size_t cb) {
    return std::realloc(pv, cb ? cb : 1);
}
void CoTaskMemFree(void* pv) {
    std::free(pv);
}

// ---- GUID text ------------------------------------------------------------

int StringFromGUID2(REFGUID g, LPOLESTR lpsz, int cchMax) {
    if (!lpsz || cchMax < 39)
        return 0;
    const std::string text = kovel::GuidText(g);
    for (int i = 0; i < 39; ++i) lpsz[i] = OLECHAR(text.c_str()[i]);
    return 39;
}

HRESULT CLSIDFromString(LPCOLESTR s, CLSID* pclsid) {
    if (!s || !pclsid)
        return E_INVALIDARG;
    // "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" and nothing after it.
    for (int i = 0; i < 38; ++i)
        if (s[i] == 0)
            return CO_E_CLASSSTRING;
    if (s[38] != 0 || s[0] != '{' || s[37] != '}' || s[9] != '-' || s[14] != '-' || s[19] != '-' ||
        s[24] != '-')
        return CO_E_CLASSSTRING;
    GUID g{};
    uint32_t v;
    if (!ParseHex(s + 1, 8, &v))
        return CO_E_CLASSSTRING;
    g.Data1 = v;
    if (!ParseHex(s + 10, 4, &v))
        return CO_E_CLASSSTRING;
    g.Data2 = uint16_t(v);
    if (!ParseHex(s + 15, 4, &v))
        return CO_E_CLASSSTRING;
    g.Data3 = uint16_t(v);
    for (int i = 0; i < 2; ++i) {
        if (!ParseHex(s + 20 + 2 * i, 2, &v))
            return CO_E_CLASSSTRING;
        g.Data4[i] = uint8_t(v);
    }
    for (int i = 0; i < 6; ++i) {
        if (!ParseHex(s + 25 + 2 * i, 2, &v))
            return CO_E_CLASSSTRING;
        g.Data4[2 + i] = uint8_t(v);
    }
    *pclsid = g;
    return S_OK;
}

// ---- classes --------------------------------------------------------------

void KovelRegisterBuiltinClass(const CLSID* clsid, KovelCreateFunction create) {
    if (!clsid || !create)
        return;
    BuiltinTable& t = Builtins();
    std::lock_guard<std::mutex> g(t.lock);
    t.classes[*clsid] = create;
}

HRESULT CoGetClassObject(REFCLSID rclsid, DWORD, void*, REFIID riid, void** ppv) {
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (KovelCreateFunction create = FindBuiltin(rclsid)) {
        auto* f = new BuiltinFactory(create);
        HRESULT hr = f->QueryInterface(riid, ppv);
        f->Release();
        return hr;
    }
    return PluginClassObject(rclsid, riid, ppv);
}

HRESULT CoCreateInstance(REFCLSID rclsid, IUnknown* pUnkOuter, DWORD, REFIID riid, void** ppv) {
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (pUnkOuter && riid != IID_IUnknown)
        return CLASS_E_NOAGGREGATION;
    if (KovelCreateFunction create = FindBuiltin(rclsid))
        return create(pUnkOuter, riid, ppv);
    // Held until the instance exists, so CoFreeUnusedLibraries on another
    // thread cannot unload the library between factory and instance.
    std::lock_guard<std::recursive_mutex> g(Libraries().lock);
    IClassFactory* factory = nullptr;
    HRESULT hr = PluginClassObject(rclsid, IID_IClassFactory, reinterpret_cast<void**>(&factory));
    if (FAILED(hr))
        return hr;
    if (!factory)
        return E_UNEXPECTED;
    hr = factory->CreateInstance(pUnkOuter, riid, ppv);
    factory->Release();
    return hr;
}

void CoFreeUnusedLibraries() {
    LibraryTable& t = Libraries();
    std::lock_guard<std::recursive_mutex> g(t.lock);
    for (auto it = t.byPath.begin(); it != t.byPath.end();) {
        Library lib = it->second;
        if (lib.canUnloadNow && lib.canUnloadNow() == S_OK) {
            it = t.byPath.erase(it);
            if (lib.dllMain)
                lib.dllMain(lib.handle, DLL_PROCESS_DETACH, nullptr);
            dlclose(lib.handle);
        } else {
            ++it;
        }
    }
}

void* KovelLoadLibrary(const char* path, char* reason, DWORD reasonSize) {
    CopyReason("", reason, reasonSize);
    if (!path || !*path) {
        CopyReason("no library named", reason, reasonSize);
        return nullptr;
    }
    LibraryTable& t = Libraries();
    std::lock_guard<std::recursive_mutex> g(t.lock);
    std::string why;
    Library* lib = LoadLocked(path, &why);
    if (!lib) {
        CopyReason(why.c_str(), reason, reasonSize);
        return nullptr;
    }
    return lib->handle;
}

DWORD KovelGetModuleFileName(void* hModule, char* buf, DWORD size) {
    if (!buf || size == 0)
        return 0;
    std::string path;
    if (!hModule) {
        std::vector<char> self(PATH_MAX + 1);
        ssize_t n = readlink("/proc/self/exe", self.data(), PATH_MAX);
        if (n <= 0 || n >= PATH_MAX)
            return 0;
        path.assign(self.data(), size_t(n));
    } else if (!PathOfHandle(hModule, &path)) {
        Dl_info info{};
        if (!dladdr(hModule, &info) || !info.dli_fname || !*info.dli_fname)
            return 0;
        path = info.dli_fname;
    }
    // A name the loader was handed relative becomes absolute, so it can be registered.
    char resolved[PATH_MAX];
    if (realpath(path.c_str(), resolved))
        path = resolved;
    if (path.size() >= PATH_MAX || path.size() + 1 > size)
        return 0;
    std::memcpy(buf, path.c_str(), path.size() + 1);
    return DWORD(path.size());
}

}  // extern "C"
