#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "component_server.h"
#include "kovel/com.h"
#include "kovel/registry.h"
#include "test_peers.h"

namespace {

// Registration tests write into a registry of their own.
const bool g_privateRegistry = [] {
    static std::string path = "/tmp/framework_component_server_" + std::to_string(getpid()) + ".db";
    std::remove(path.c_str());
    setenv("KOVEL_REGISTRY", path.c_str(), 1);
    return true;
}();

const CLSID CLSID_PlainComponent = kovel::detail::MakeGuid("0A1B2C3D-0000-4000-8000-00000000C0DE");
const CLSID CLSID_FailingComponent = kovel::detail::MakeGuid("0A1B2C3D-0000-4000-8000-00000000FA11");

std::atomic<int> g_created{0};

CRefCountedObject* CreateScript(IUnknown* pOuter, HRESULT* phr) {
    if (pOuter) {
        *phr = CLASS_E_NOAGGREGATION;
        return nullptr;
    }
    ++g_created;
    return new CScriptFilter(1);
}

CRefCountedObject* CreateFailing(IUnknown*, HRESULT* phr) {
    ++g_created;
    *phr = E_ACCESSDENIED;
    return new CScriptFilter(0);
}

const REGPINTYPES kTypes[] = {{&MEDIATYPE_Video, &GUID_NULL}};
const REGFILTERPINS kPins[] = {
    {const_cast<LPWSTR>(u"Output"), FALSE, TRUE, FALSE, FALSE, &CLSID_NULL, nullptr, 1, kTypes}};
const FilterSetupRecord kSetup = {&CLSID_ScriptFilter, u"Script Filter", MERIT_DO_NOT_USE, 1, kPins};

std::string QueryDefault(const std::string& key, const char* value = nullptr) {
    HKEY h = nullptr;
    if (RegOpenKeyA(HKEY_CLASSES_ROOT, key.c_str(), &h) != ERROR_SUCCESS)
        return "<missing>";
    char buf[4096];
    DWORD cb = sizeof buf, type = 0;
    const LSTATUS st = RegQueryValueExA(h, value, nullptr, &type, reinterpret_cast<BYTE*>(buf), &cb);
    RegCloseKey(h);
    return st == ERROR_SUCCESS ? std::string(buf) : "<no value>";
}

bool KeyExists(const std::string& key) {
    HKEY h = nullptr;
    if (RegOpenKeyA(HKEY_CLASSES_ROOT, key.c_str(), &h) != ERROR_SUCCESS)
        return false;
    RegCloseKey(h);
    return true;
}

std::vector<std::string> Subkeys(const std::string& key) {
    std::vector<std::string> names;
    HKEY h = nullptr;
    if (RegOpenKeyA(HKEY_CLASSES_ROOT, key.c_str(), &h) != ERROR_SUCCESS)
        return names;
    char name[300];
    for (DWORD i = 0; RegEnumKeyA(h, i, name, sizeof name) == ERROR_SUCCESS; ++i) names.push_back(name);
    RegCloseKey(h);
    std::sort(names.begin(), names.end());
    return names;
}

IClassFactory* Factory(REFCLSID clsid) {
    IClassFactory* f = nullptr;
    EXPECT_EQ(DllGetClassObject(clsid, IID_IClassFactory, reinterpret_cast<void**>(&f)), S_OK);
    return f;
}

}  // namespace

extern const ComponentTemplate g_Templates[] = {
    {u"Script Filter", &CLSID_ScriptFilter, CreateScript, nullptr, &kSetup},
    {u"Plain Component", &CLSID_PlainComponent, CreateScript, nullptr, nullptr},
    {u"Failing Component", &CLSID_FailingComponent, CreateFailing, nullptr, nullptr},
};
extern const int g_TemplateCount = 3;

TEST(ComponentServer, ClassObjectLookup) {
    void* p = reinterpret_cast<void*>(1);
    EXPECT_EQ(DllGetClassObject(CLSID_ScriptFilter, IID_IPin, &p), E_NOINTERFACE);
    EXPECT_EQ(p, reinterpret_cast<void*>(1));  // untouched
    // The interface is checked before the class.
    EXPECT_EQ(DllGetClassObject(CLSID_NULL, IID_IPin, &p), E_NOINTERFACE);
    EXPECT_EQ(DllGetClassObject(CLSID_NULL, IID_IClassFactory, &p), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(p, nullptr);
    IUnknown* unk = nullptr;
    ASSERT_EQ(DllGetClassObject(CLSID_ScriptFilter, IID_IUnknown, reinterpret_cast<void**>(&unk)), S_OK);
    EXPECT_EQ(DllCanUnloadNow(), S_FALSE);  // the factory is alive
    unk->Release();
    EXPECT_EQ(DllCanUnloadNow(), S_OK);
}

TEST(ComponentServer, CreateInstance) {
    IClassFactory* f = Factory(CLSID_ScriptFilter);
    ASSERT_NE(f, nullptr);
    IBaseFilter* filter = nullptr;
    ASSERT_EQ(f->CreateInstance(nullptr, IID_IBaseFilter, reinterpret_cast<void**>(&filter)), S_OK);
    CLSID clsid{};
    filter->GetClassID(&clsid);
    EXPECT_EQ(clsid, CLSID_ScriptFilter);
    EXPECT_EQ(DllCanUnloadNow(), S_FALSE);
    filter->Release();

    const int before = g_created.load();
    void* p = reinterpret_cast<void*>(1);
    CTestInputPin outer;
    EXPECT_EQ(f->CreateInstance(static_cast<IPin*>(&outer), IID_IBaseFilter, &p), E_NOINTERFACE);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(g_created.load(), before);

    // An object whose query fails is destroyed again.
    EXPECT_EQ(f->CreateInstance(nullptr, IID_IMemAllocator, &p), E_NOINTERFACE);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(f->CreateInstance(nullptr, IID_IBaseFilter, nullptr), E_POINTER);
    f->Release();

    IClassFactory* failing = Factory(CLSID_FailingComponent);
    EXPECT_EQ(failing->CreateInstance(nullptr, IID_IUnknown, &p), E_ACCESSDENIED);
    EXPECT_EQ(p, nullptr);
    failing->Release();
    EXPECT_EQ(DllCanUnloadNow(), S_OK);
}

TEST(ComponentServer, LockServerHoldsTheModule) {
    IClassFactory* f = Factory(CLSID_PlainComponent);
    ASSERT_EQ(f->LockServer(TRUE), S_OK);
    f->Release();
    EXPECT_EQ(DllCanUnloadNow(), S_FALSE);
    f = Factory(CLSID_PlainComponent);
    f->LockServer(FALSE);
    f->Release();
    EXPECT_EQ(DllCanUnloadNow(), S_OK);
}

TEST(ComponentServer, UnregisterNeverRegisteredSucceeds) {
    EXPECT_EQ(DllUnregisterServer(), S_OK);
    EXPECT_EQ(kovel::framework::DeleteKeyRecursive("CLSID\\{00000000-1111-2222-3333-444444444444}"), S_OK);
    EXPECT_EQ(kovel::framework::DeleteKeyRecursive(""), E_FAIL);
}

TEST(ComponentServer, RegisterWritesEntriesTwiceIsOneSetAndUnregisterRemovesThem) {
    char self[4096];
    ASSERT_TRUE(kovel::framework::ModulePath(self, sizeof self));
    const std::string key = "CLSID\\{6E1B2C3D-4A5F-4E6B-9C7D-8E9FA0B1C2D3}";
    ASSERT_EQ(DllRegisterServer(), S_OK);
    ASSERT_EQ(DllRegisterServer(), S_OK);
    EXPECT_EQ(QueryDefault(key), "Script Filter");
    EXPECT_EQ(QueryDefault(key + "\\InprocServer32"), std::string(self));
    EXPECT_EQ(QueryDefault(key + "\\InprocServer32", "ThreadingModel"), "Both");
    EXPECT_EQ(QueryDefault("CLSID\\{0A1B2C3D-0000-4000-8000-00000000C0DE}"), "Plain Component");
    // Registering twice leaves one set: the class key holds the server key and the mapper's pin record.
    EXPECT_EQ(Subkeys(key), (std::vector<std::string>{"InprocServer32", "Pins"}));
    EXPECT_EQ(Subkeys(key + "\\Pins"), (std::vector<std::string>{"Output"}));

    // The per-filter setup interface registers with the mapper too.
    IClassFactory* f = Factory(CLSID_ScriptFilter);
    IAMovieSetup* setup = nullptr;
    ASSERT_EQ(f->CreateInstance(nullptr, IID_IAMovieSetup, reinterpret_cast<void**>(&setup)), S_OK);
    f->Release();
    EXPECT_EQ(setup->Register(), S_FALSE);  // the script filter has no setup record of its own
    setup->Release();

    ASSERT_EQ(DllUnregisterServer(), S_OK);
    EXPECT_FALSE(KeyExists(key));
    EXPECT_FALSE(KeyExists(key + "\\InprocServer32"));
    EXPECT_FALSE(KeyExists("CLSID\\{0A1B2C3D-0000-4000-8000-00000000C0DE}"));
}
