#include "component_server.h"

#include <dlfcn.h>

#include <cstring>
#include <string>

#include "kovel/com.h"
#include "kovel/guid_text.h"
#include "kovel/registry.h"
#include "wide_text.h"

using namespace kovel::framework;

// Weak, so that a program linking the framework without a table of its own
// (a test, a tool) still links; such a program serves no classes.
extern const ComponentTemplate g_Templates[] __attribute__((weak));
extern const int g_TemplateCount __attribute__((weak));

namespace {

int TemplateCount() {
    return &g_TemplateCount != nullptr && g_Templates != nullptr ? g_TemplateCount : 0;
}

std::atomic<int32_t> g_serverLocks{0};
void* g_hModule = nullptr;

constexpr size_t kMaxKeyName = 260;

HRESULT FromRegistry(LSTATUS status) {
    return HRESULT_FROM_WIN32(uint32_t(status));
}

std::string ClassKeyName(const CLSID& clsid) {
    return "CLSID\\" + kovel::GuidText(clsid);
}

HRESULT SetStringValue(HKEY key, const char* valueName, const std::string& text) {
    const LSTATUS st = RegSetValueExA(key, valueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                                      DWORD(text.size() + 1));
    return st == ERROR_SUCCESS ? S_OK : FromRegistry(st);
}

HRESULT WriteComponentEntries(const ComponentTemplate& row, const std::string& modulePath) {
    if (!row.clsid)
        return E_POINTER;
    HKEY hClass = nullptr;
    LSTATUS st = RegCreateKeyA(HKEY_CLASSES_ROOT, ClassKeyName(*row.clsid).c_str(), &hClass);
    if (st != ERROR_SUCCESS)
        return FromRegistry(st);
    HRESULT hr = SetStringValue(hClass, nullptr, WideToUtf8(row.name));
    HKEY hServer = nullptr;
    if (SUCCEEDED(hr)) {
        st = RegCreateKeyA(hClass, "InprocServer32", &hServer);
        if (st != ERROR_SUCCESS)
            hr = FromRegistry(st);
    }
    if (SUCCEEDED(hr))
        hr = SetStringValue(hServer, nullptr, modulePath);
    if (SUCCEEDED(hr))
        hr = SetStringValue(hServer, "ThreadingModel", "Both");
    if (hServer)
        RegCloseKey(hServer);
    RegCloseKey(hClass);
    return hr;
}

HRESULT DeleteSubkeyRecursive(HKEY parent, const char* name) {
    if (!name || !*name)
        return E_FAIL;
    HKEY key = nullptr;
    if (RegOpenKeyA(parent, name, &key) != ERROR_SUCCESS)
        return S_OK;  // nothing to delete
    HRESULT hr = S_OK;
    char child[kMaxKeyName + 1];
    while (RegEnumKeyA(key, 0, child, sizeof child) == ERROR_SUCCESS) {
        child[kMaxKeyName] = 0;
        hr = DeleteSubkeyRecursive(key, child);
        // A subkey that cannot go would be found first again and again.
        if (FAILED(hr))
            break;
    }
    RegCloseKey(key);
    if (FAILED(hr))
        return hr;
    const LSTATUS st = RegDeleteKeyA(parent, name);
    return st == ERROR_SUCCESS || st == LSTATUS(ERROR_FILE_NOT_FOUND) ? S_OK : FromRegistry(st);
}

}  // namespace

namespace kovel::framework {

bool ModulePath(char* buffer, size_t cb) {
    if (!buffer || cb == 0)
        return false;
    buffer[0] = 0;
    Dl_info info{};
    if (!dladdr(reinterpret_cast<void*>(&ModulePath), &info) || !info.dli_fname)
        return false;
    const size_t n = std::strlen(info.dli_fname);
    if (n + 1 > cb)
        return false;
    std::memcpy(buffer, info.dli_fname, n + 1);
    return true;
}

HRESULT DeleteKeyRecursive(const char* pKeyName) {
    return DeleteSubkeyRecursive(HKEY_CLASSES_ROOT, pKeyName);
}

HRESULT RegisterAllServers(bool bRegister) {
    char path[4096];
    if (!ModulePath(path, sizeof path))
        return HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE);
    const std::string modulePath(path);

    if (bRegister) {
        for (int i = 0; i < TemplateCount(); ++i) {
            const HRESULT hr = WriteComponentEntries(g_Templates[i], modulePath);
            if (FAILED(hr))
                return hr;
        }
    }

    const HRESULT hrInit = CoInitialize(nullptr);
    IFilterMapper2* pMapper2 = nullptr;
    IFilterMapper* pMapper1 = nullptr;
    HRESULT hr = CoCreateInstance(CLSID_FilterMapper2, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterMapper2,
                                  reinterpret_cast<void**>(&pMapper2));
    if (FAILED(hr) || !pMapper2) {
        pMapper2 = nullptr;
        hr = CoCreateInstance(CLSID_FilterMapper, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterMapper,
                              reinterpret_cast<void**>(&pMapper1));
        if (SUCCEEDED(hr) && !pMapper1)
            hr = E_NOINTERFACE;
    }
    if (pMapper2 || pMapper1) {
        for (int i = 0; i < TemplateCount() && SUCCEEDED(hr); ++i) {
            const FilterSetupRecord* pSetup = g_Templates[i].setup;
            if (!pSetup)
                continue;
            hr = pMapper2 ? RegisterWithMapper2(pMapper2, pSetup, bRegister)
                          : RegisterWithMapper1(pMapper1, pSetup, bRegister);
        }
        if (pMapper2)
            pMapper2->Release();
        if (pMapper1)
            pMapper1->Release();
    }
    CoFreeUnusedLibraries();
    if (SUCCEEDED(hrInit))
        CoUninitialize();
    if (FAILED(hr))
        return hr;

    if (!bRegister) {
        for (int i = 0; i < TemplateCount(); ++i) {
            if (!g_Templates[i].clsid)
                continue;
            const HRESULT hrDel = DeleteKeyRecursive(ClassKeyName(*g_Templates[i].clsid).c_str());
            if (FAILED(hrDel))
                return hrDel;
        }
        return S_OK;
    }
    return hr;
}

}  // namespace kovel::framework

CComponentFactory::CComponentFactory(const ComponentTemplate* pTemplate) : m_pTemplate(pTemplate) {
    CRefCountedObject::IncrementLiveObjects();
}

CComponentFactory::~CComponentFactory() {
    CRefCountedObject::DecrementLiveObjects();
}

int32_t CComponentFactory::ServerLockCount() {
    return g_serverLocks.load();
}

HRESULT CComponentFactory::QueryInterface(REFIID riid, void** ppv) {
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

// Atomic: a factory may be shared between threads.
ULONG CComponentFactory::AddRef() {
    return ULONG(m_cRef.fetch_add(1) + 1);
}

ULONG CComponentFactory::Release() {
    const int32_t n = m_cRef.fetch_sub(1) - 1;
    if (n == 0) {
        delete this;
        return 0;
    }
    return ULONG(n < 0 ? 0 : n);
}

HRESULT CComponentFactory::CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppv) {
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    // An aggregating caller must ask for the inner unknown.
    if (pUnkOuter && riid != IID_IUnknown)
        return E_NOINTERFACE;
    if (!m_pTemplate || !m_pTemplate->create)
        return E_UNEXPECTED;
    HRESULT hr = S_OK;
    CRefCountedObject* pObject = m_pTemplate->create(pUnkOuter, &hr);
    if (!pObject)
        return FAILED(hr) ? hr : E_OUTOFMEMORY;
    if (FAILED(hr)) {
        delete pObject;
        return hr;
    }
    pObject->NonDelegatingAddRef();
    hr = pObject->NonDelegatingQueryInterface(riid, ppv);
    pObject->NonDelegatingRelease();
    return hr;
}

HRESULT CComponentFactory::LockServer(BOOL fLock) {
    if (fLock)
        g_serverLocks.fetch_add(1);
    else
        g_serverLocks.fetch_sub(1);
    return S_OK;
}

extern "C" {

BOOL DllMain(void* hModule, DWORD reason, void*) {
    if (reason == DLL_PROCESS_ATTACH) {
        g_hModule = hModule;
        for (int i = 0; i < TemplateCount(); ++i)
            if (g_Templates[i].init)
                g_Templates[i].init(TRUE, g_Templates[i].clsid);
    } else if (reason == DLL_PROCESS_DETACH) {
        for (int i = 0; i < TemplateCount(); ++i)
            if (g_Templates[i].init)
                g_Templates[i].init(FALSE, g_Templates[i].clsid);
    }
    return TRUE;
}

HRESULT DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) {
    if (riid != IID_IClassFactory && riid != IID_IUnknown)
        return E_NOINTERFACE;
    if (!ppv)
        return E_POINTER;
    for (int i = 0; i < TemplateCount(); ++i) {
        if (!g_Templates[i].clsid || *g_Templates[i].clsid != rclsid)
            continue;
        auto* pFactory = new (std::nothrow) CComponentFactory(&g_Templates[i]);
        if (!pFactory) {
            *ppv = nullptr;
            return E_OUTOFMEMORY;
        }
        pFactory->AddRef();
        *ppv = static_cast<IClassFactory*>(pFactory);
        return S_OK;
    }
    *ppv = nullptr;
    return CLASS_E_CLASSNOTAVAILABLE;
}

HRESULT DllCanUnloadNow() {
    return g_serverLocks.load() > 0 || CRefCountedObject::LiveObjectCount() != 0 ? S_FALSE : S_OK;
}

HRESULT DllRegisterServer() {
    return RegisterAllServers(true);
}

HRESULT DllUnregisterServer() {
    return RegisterAllServers(false);
}

}  // extern "C"
