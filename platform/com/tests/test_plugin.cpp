// A tiny plug-in for the runtime's tests: one class ("widget") answering
// IUnknown and IPersist, the five entry points, and counters the tests read.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "kovel/builtin.h"
#include "kovel/com.h"
#include "kovel/registry.h"

#include "test_plugin_ids.h"

namespace {
std::atomic<long> g_objects{0};
std::atomic<long> g_locks{0};

class Widget final : public IPersist {
  public:
    Widget() { ++g_objects; }
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IPersist) {
            *ppv = static_cast<IPersist*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return ++refs_; }
    ULONG Release() override {
        ULONG r = --refs_;
        if (r == 0) {
            delete this;
            --g_objects;
        }
        return r;
    }
    HRESULT GetClassID(CLSID* id) override {
        *id = CLSID_TestWidget;
        return S_OK;
    }

  private:
    std::atomic<ULONG> refs_{1};
};

class Factory final : public IClassFactory {
  public:
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IClassFactory) {
            *ppv = static_cast<IClassFactory*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return 2; }
    ULONG Release() override { return 1; }
    HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
        if (!ppv)
            return E_POINTER;
        *ppv = nullptr;
        if (outer)
            return CLASS_E_NOAGGREGATION;
        auto* w = new Widget;
        HRESULT hr = w->QueryInterface(riid, ppv);
        w->Release();
        return hr;
    }
    HRESULT LockServer(BOOL lock) override {
        lock ? ++g_locks : --g_locks;
        return S_OK;
    }
};
Factory g_factory;

std::string ClassKey() {
    OLECHAR wide[39];
    StringFromGUID2(CLSID_TestWidget, wide, 39);
    std::string key = "CLSID\\";
    for (int i = 0; i < 38; ++i) key.push_back(char(wide[i]));
    return key;
}
}  // namespace

extern "C" {
__attribute__((visibility("default"))) int TestPluginAttachCount = 0;

__attribute__((visibility("default"))) BOOL DllMain(void*, DWORD reason, void*) {
    if (reason == DLL_PROCESS_ATTACH)
        ++TestPluginAttachCount;
    if (reason == DLL_PROCESS_DETACH) {
        // The library is about to go away: leave a mark the test can read afterwards.
        if (const char* mark = std::getenv("TEST_PLUGIN_DETACH_MARK")) {
            if (FILE* f = std::fopen(mark, "a")) {
                std::fputs("detach\n", f);
                std::fclose(f);
            }
        }
    }
    return TRUE;
}

__attribute__((visibility("default"))) HRESULT DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (clsid != CLSID_TestWidget)
        return CLASS_E_CLASSNOTAVAILABLE;
    return g_factory.QueryInterface(riid, ppv);
}

__attribute__((visibility("default"))) HRESULT DllCanUnloadNow() {
    return g_objects == 0 && g_locks == 0 ? S_OK : S_FALSE;
}

__attribute__((visibility("default"))) HRESULT DllRegisterServer() {
    char path[4096];
    if (!KovelGetModuleFileName(reinterpret_cast<void*>(&DllRegisterServer), path, sizeof path))
        return E_FAIL;
    HKEY key = nullptr;
    std::string name = ClassKey() + "\\InprocServer32";
    if (RegCreateKeyA(HKEY_CLASSES_ROOT, name.c_str(), &key) != ERROR_SUCCESS)
        return E_FAIL;
    LSTATUS a = RegSetValueExA(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(path),
                               DWORD(std::strlen(path) + 1));
    LSTATUS b = RegSetValueExA(key, "ThreadingModel", 0, REG_SZ, reinterpret_cast<const BYTE*>("Both"), 5);
    RegCloseKey(key);
    return a == ERROR_SUCCESS && b == ERROR_SUCCESS ? S_OK : E_FAIL;
}

__attribute__((visibility("default"))) HRESULT DllUnregisterServer() {
    std::string cls = ClassKey();
    LSTATUS a = RegDeleteKeyA(HKEY_CLASSES_ROOT, (cls + "\\InprocServer32").c_str());
    LSTATUS b = RegDeleteKeyA(HKEY_CLASSES_ROOT, cls.c_str());
    return a == ERROR_SUCCESS && b == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
}
}
