// The plug-in's component server: template table, class factory, the five
// exported entry points and registration.
//
// A plug-in supplies its table by defining, at namespace scope:
//     extern const ComponentTemplate g_Templates[] = {...};
//     extern const int g_TemplateCount = N;
// and links kovel_framework whole (kovel_framework_link_plugin(target) in
// CMake), so that the entry points are exported from the plug-in.
#pragma once

#include <atomic>

#include "kovel/streaming.h"
#include "ref_counted_object.h"

// Registration data of one filter; the pin records go to the mapper unchanged.
struct FilterSetupRecord {
    const CLSID* clsid;
    LPCWSTR name;
    DWORD merit;
    UINT pinCount;
    const REGFILTERPINS* pins;
};

using ComponentCreateFunction = CRefCountedObject* (*)(IUnknown* pOuter, HRESULT* phr);
using ComponentInitFunction = void (*)(BOOL bLoading, const CLSID* clsid);

// One row of the template table.
struct ComponentTemplate {
    LPCWSTR name;
    const CLSID* clsid;
    ComponentCreateFunction create;
    ComponentInitFunction init;      // optional
    const FilterSetupRecord* setup;  // optional: without one, a component only
};

extern const ComponentTemplate g_Templates[];
extern const int g_TemplateCount;

class CComponentFactory : public IClassFactory {
  public:
    explicit CComponentFactory(const ComponentTemplate* pTemplate);
    virtual ~CComponentFactory();

    HRESULT QueryInterface(REFIID riid, void** ppv) override;
    ULONG AddRef() override;
    ULONG Release() override;
    HRESULT CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppv) override;
    HRESULT LockServer(BOOL fLock) override;

    static int32_t ServerLockCount();

  private:
    std::atomic<int32_t> m_cRef{0};
    const ComponentTemplate* m_pTemplate;
};

// Registration steps, shared by the entry points and the per-filter IAMovieSetup.
namespace kovel::framework {
// The file path of the module containing this code; false when unknown or longer than cb-1.
bool ModulePath(char* buffer, size_t cb);
// Registers (bRegister) or unregisters the whole table of this module.
HRESULT RegisterAllServers(bool bRegister);
// Mapper step with the version 1 interface for one setup record.
HRESULT RegisterWithMapper1(IFilterMapper* pMapper, const FilterSetupRecord* pSetup, bool bRegister);
// Mapper step with the version 2 interface for one setup record.
HRESULT RegisterWithMapper2(IFilterMapper2* pMapper, const FilterSetupRecord* pSetup, bool bRegister);
// Deletes a key with all its subkeys under HKEY_CLASSES_ROOT; a missing key is success.
HRESULT DeleteKeyRecursive(const char* pKeyName);
}  // namespace kovel::framework

// The exported entry points (C linkage).
extern "C" {
__attribute__((visibility("default"))) BOOL DllMain(void* hModule, DWORD reason, void* reserved);
__attribute__((visibility("default"))) HRESULT DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv);
__attribute__((visibility("default"))) HRESULT DllCanUnloadNow();
__attribute__((visibility("default"))) HRESULT DllRegisterServer();
__attribute__((visibility("default"))) HRESULT DllUnregisterServer();
}
