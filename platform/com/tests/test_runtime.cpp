// The component runtime: apartments, GUID text, the task allocator, class
// creation from the built-in table and from a registered plug-in.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "kovel/builtin.h"
#include "kovel/com.h"
#include "test_plugin_ids.h"
#include "test_support.h"

namespace {

std::u16string Wide(const char* s) {
    std::u16string w;
    while (*s) w.push_back(char16_t(*s++));
    return w;
}

TEST(Apartment, NestingAndModeClash) {
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_FALSE);
    EXPECT_EQ(CoInitialize(nullptr), RPC_E_CHANGED_MODE);
    CoUninitialize();
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), RPC_E_CHANGED_MODE)
        << "still initialised once: the refused call did not count";
    CoUninitialize();
    EXPECT_EQ(CoInitialize(nullptr), S_OK) << "fully uninitialised: a new model is accepted";
    CoUninitialize();
    CoUninitialize();  // one too many is harmless
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED | COINIT_DISABLE_OLE1DDE), S_OK);
    CoUninitialize();
}

TEST(GuidText, RoundTrip) {
    const GUID ids[] = {IID_IUnknown, CLSID_TestWidget, MEDIATYPE_Video, GUID_NULL,
                        GUID{0xFFFFFFFF, 0xFFFF, 0xFFFF, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}}};
    for (const GUID& g : ids) {
        OLECHAR text[39];
        ASSERT_EQ(StringFromGUID2(g, text, 39), 39);
        EXPECT_EQ(text[38], 0);
        GUID back{};
        ASSERT_EQ(CLSIDFromString(text, &back), S_OK);
        EXPECT_EQ(back, g);
    }
    OLECHAR text[39];
    StringFromGUID2(MEDIATYPE_Video, text, 39);
    EXPECT_EQ(std::u16string(text), u"{73646976-0000-0010-8000-00AA00389B71}");
    EXPECT_EQ(StringFromGUID2(MEDIATYPE_Video, text, 38), 0) << "no room for the terminator";
    GUID lower{};
    EXPECT_EQ(CLSIDFromString(u"{73646976-0000-0010-8000-00aa00389b71}", &lower), S_OK);
    EXPECT_EQ(lower, MEDIATYPE_Video);
}

TEST(GuidText, MalformedTextIsRefused) {
    const char* bad[] = {
        "73646976-0000-0010-8000-00AA00389B71",     // no braces
        "{73646976-0000-0010-8000-00AA00389B7}",    // short
        "{73646976-0000-0010-8000-00AA00389B711}",  // long
        "{73646976-0000-0010-8000-00AA00389B71}x",  // trailing text
        "{7364697G-0000-0010-8000-00AA00389B71}",   // not hexadecimal
        "{73646976+0000-0010-8000-00AA00389B71}",   // wrong separator
        "{73646976-0000-0010-800000AA-00389B71}",   // separator misplaced
        "",
    };
    for (const char* s : bad) {
        GUID g = IID_IUnknown;
        EXPECT_EQ(CLSIDFromString(Wide(s).c_str(), &g), CO_E_CLASSSTRING) << s;
        EXPECT_EQ(g, IID_IUnknown) << "output untouched on failure: " << s;
    }
    GUID g;
    EXPECT_EQ(CLSIDFromString(nullptr, &g), E_INVALIDARG);
}

TEST(TaskAllocator, AllocReallocFree) {
    auto* p = static_cast<char*>(CoTaskMemAlloc(16));
    ASSERT_NE(p, nullptr);
    std::memcpy(p, "0123456789abcdef", 16);
    p = static_cast<char*>(CoTaskMemRealloc(p, 1 << 20));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(std::memcmp(p, "0123456789abcdef", 16), 0);
    CoTaskMemFree(p);
    void* zero = CoTaskMemAlloc(0);
    EXPECT_NE(zero, nullptr);
    CoTaskMemFree(zero);
    CoTaskMemFree(nullptr);
    void* fresh = CoTaskMemRealloc(nullptr, 8);
    EXPECT_NE(fresh, nullptr);
    CoTaskMemFree(fresh);
}

// ---- built-in classes -----------------------------------------------------

KOVEL_GUID(CLSID_Nobody, "11111111-2222-3333-4444-555555555555");
KOVEL_GUID(CLSID_Broken, "22222222-3333-4444-5555-666666666666");
KOVEL_GUID(CLSID_TestBuiltin, "0F9A3C6E-1B2D-4E5F-8A7B-6C5D4E3F2A10");
std::atomic<int> g_builtinLive{0};

class BuiltinThing final : public IPersist {
  public:
    BuiltinThing() { ++g_builtinLive; }
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
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
        if (!r) {
            --g_builtinLive;
            delete this;
        }
        return r;
    }
    HRESULT GetClassID(CLSID* id) override {
        *id = CLSID_TestBuiltin;
        return S_OK;
    }

  private:
    std::atomic<ULONG> refs_{1};
};

HRESULT CreateBuiltinThing(IUnknown* outer, REFIID riid, void** ppv) {
    if (outer)
        return CLASS_E_NOAGGREGATION;
    auto* t = new BuiltinThing;
    HRESULT hr = t->QueryInterface(riid, ppv);
    t->Release();
    return hr;
}

struct RegisterAtLoad {
    RegisterAtLoad() { KovelRegisterBuiltinClass(&CLSID_TestBuiltin, &CreateBuiltinThing); }
} g_registerAtLoad;

TEST(Classes, BuiltinCreatedWithoutTheRegistry) {
    TempRegistry reg;  // empty: the class must come from the built-in table
    IPersist* p = nullptr;
    ASSERT_EQ(CoCreateInstance(CLSID_TestBuiltin, nullptr, CLSCTX_INPROC_SERVER, IID_IPersist,
                               reinterpret_cast<void**>(&p)),
              S_OK);
    CLSID id{};
    p->GetClassID(&id);
    EXPECT_EQ(id, CLSID_TestBuiltin);
    EXPECT_EQ(g_builtinLive, 1);
    p->Release();
    EXPECT_EQ(g_builtinLive, 0);

    void* none = reinterpret_cast<void*>(1);
    EXPECT_EQ(CoCreateInstance(CLSID_TestBuiltin, nullptr, CLSCTX_ALL, IID_IClassFactory, &none),
              E_NOINTERFACE);
    EXPECT_EQ(none, nullptr);

    struct Outer final : IUnknown {
        HRESULT QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
        ULONG AddRef() override { return 1; }
        ULONG Release() override { return 1; }
    } outer;
    void* agg = nullptr;
    EXPECT_EQ(CoCreateInstance(CLSID_TestBuiltin, &outer, CLSCTX_ALL, IID_IPersist, &agg),
              CLASS_E_NOAGGREGATION);
    EXPECT_EQ(CoCreateInstance(CLSID_TestBuiltin, &outer, CLSCTX_ALL, IID_IUnknown, &agg),
              CLASS_E_NOAGGREGATION);
    EXPECT_EQ(agg, nullptr);
    EXPECT_EQ(g_builtinLive, 0);
}

TEST(Classes, BuiltinClassObject) {
    IClassFactory* f = nullptr;
    ASSERT_EQ(CoGetClassObject(CLSID_TestBuiltin, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                               reinterpret_cast<void**>(&f)),
              S_OK);
    IUnknown* u = nullptr;
    ASSERT_EQ(f->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&u)), S_OK);
    EXPECT_EQ(g_builtinLive, 1);
    u->Release();
    f->Release();
    EXPECT_EQ(g_builtinLive, 0);
}

TEST(Classes, UnknownClassIsNotRegistered) {
    TempRegistry reg;
    void* p = reinterpret_cast<void*>(1);
    EXPECT_EQ(CoCreateInstance(CLSID_Nobody, nullptr, CLSCTX_ALL, IID_IUnknown, &p), REGDB_E_CLASSNOTREG);
    EXPECT_EQ(p, nullptr);
    // A class key without a server path is not registered either.
    ASSERT_EQ(SetString(ClassKeyOf(CLSID_Nobody), nullptr, "a name only"), ERROR_SUCCESS);
    EXPECT_EQ(CoCreateInstance(CLSID_Nobody, nullptr, CLSCTX_ALL, IID_IUnknown, &p), REGDB_E_CLASSNOTREG);
}

TEST(Classes, LibraryThatWillNotLoad) {
    TempRegistry reg;
    std::string notALibrary = reg.dir() + "/not-a-library.so";
    std::ofstream(notALibrary) << "plain text\n";
    ASSERT_EQ(SetString(ClassKeyOf(CLSID_Broken) + "\\InprocServer32", nullptr, notALibrary), ERROR_SUCCESS);
    void* p = nullptr;
    EXPECT_EQ(CoCreateInstance(CLSID_Broken, nullptr, CLSCTX_ALL, IID_IUnknown, &p), CO_E_DLLNOTFOUND);
    ASSERT_EQ(SetString(ClassKeyOf(CLSID_Broken) + "\\InprocServer32", nullptr, reg.dir() + "/missing.so"),
              ERROR_SUCCESS);
    EXPECT_EQ(CoCreateInstance(CLSID_Broken, nullptr, CLSCTX_ALL, IID_IUnknown, &p), CO_E_DLLNOTFOUND);
    EXPECT_EQ(p, nullptr);
}

// ---- a registered plug-in -------------------------------------------------

// The plug-in's attach counter, or -1 when the library is not loaded.
int PluginAttachCount() {
    void* h = dlopen(TEST_PLUGIN_PATH, RTLD_LAZY | RTLD_NOLOAD);
    if (!h)
        return -1;
    int n = *static_cast<int*>(dlsym(h, "TestPluginAttachCount"));
    dlclose(h);
    return n;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

TEST(Classes, RegisteredPluginLoadedOnceAndFreedWhenUnused) {
    TempRegistry reg;
    std::string mark = reg.dir() + "/detach.txt";
    setenv("TEST_PLUGIN_DETACH_MARK", mark.c_str(), 1);
    ASSERT_EQ(SetString(ClassKeyOf(CLSID_TestWidget) + "\\InprocServer32", nullptr, TEST_PLUGIN_PATH),
              ERROR_SUCCESS);
    ASSERT_EQ(PluginAttachCount(), -1);

    IPersist* a = nullptr;
    IPersist* b = nullptr;
    ASSERT_EQ(CoCreateInstance(CLSID_TestWidget, nullptr, CLSCTX_INPROC_SERVER, IID_IPersist,
                               reinterpret_cast<void**>(&a)),
              S_OK);
    ASSERT_EQ(CoCreateInstance(CLSID_TestWidget, nullptr, CLSCTX_INPROC_SERVER, IID_IPersist,
                               reinterpret_cast<void**>(&b)),
              S_OK);
    CLSID id{};
    a->GetClassID(&id);
    EXPECT_EQ(id, CLSID_TestWidget);
    EXPECT_EQ(PluginAttachCount(), 1) << "loaded once, attached once";

    // Objects alive: the library stays.
    a->Release();
    CoFreeUnusedLibraries();
    EXPECT_EQ(PluginAttachCount(), 1);
    EXPECT_EQ(ReadFile(mark), "");

    b->Release();
    CoFreeUnusedLibraries();
    EXPECT_EQ(PluginAttachCount(), -1) << "unloaded once nothing is in use";
    EXPECT_EQ(ReadFile(mark), "detach\n");

    // Loaded again on demand.
    IUnknown* c = nullptr;
    ASSERT_EQ(
        CoCreateInstance(CLSID_TestWidget, nullptr, CLSCTX_ALL, IID_IUnknown, reinterpret_cast<void**>(&c)),
        S_OK);
    EXPECT_EQ(PluginAttachCount(), 1);
    c->Release();

    // A server lock keeps it loaded too.
    IClassFactory* f = nullptr;
    ASSERT_EQ(CoGetClassObject(CLSID_TestWidget, CLSCTX_ALL, nullptr, IID_IClassFactory,
                               reinterpret_cast<void**>(&f)),
              S_OK);
    f->LockServer(TRUE);
    f->Release();
    CoFreeUnusedLibraries();
    EXPECT_EQ(PluginAttachCount(), 1);
    ASSERT_EQ(CoGetClassObject(CLSID_TestWidget, CLSCTX_ALL, nullptr, IID_IClassFactory,
                               reinterpret_cast<void**>(&f)),
              S_OK);
    f->LockServer(FALSE);
    f->Release();
    CoFreeUnusedLibraries();
    EXPECT_EQ(PluginAttachCount(), -1);
    unsetenv("TEST_PLUGIN_DETACH_MARK");
}

// ---- module paths ---------------------------------------------------------

TEST(ModulePath, FromAddressHandleAndProgram) {
    char buf[4096];
    DWORD n = KovelGetModuleFileName(reinterpret_cast<void*>(&CoTaskMemAlloc), buf, sizeof buf);
    ASSERT_GT(n, 0u);
    EXPECT_EQ(n, std::strlen(buf));
    EXPECT_EQ(buf[0], '/');
    EXPECT_TRUE(std::string(buf).ends_with("/libkovel_com.so")) << buf;

    char reason[256];
    void* h = KovelLoadLibrary(TEST_PLUGIN_PATH, reason, sizeof reason);
    ASSERT_NE(h, nullptr) << reason;
    char real[4096];
    ASSERT_NE(realpath(TEST_PLUGIN_PATH, real), nullptr);
    ASSERT_GT(KovelGetModuleFileName(h, buf, sizeof buf), 0u);
    EXPECT_STREQ(buf, real);
    EXPECT_EQ(KovelLoadLibrary(TEST_PLUGIN_PATH, reason, sizeof reason), h) << "not loaded twice";
    EXPECT_EQ(PluginAttachCount(), 1);
    CoFreeUnusedLibraries();

    ASSERT_GT(KovelGetModuleFileName(nullptr, buf, sizeof buf), 0u);
    EXPECT_TRUE(std::string(buf).ends_with("/com_tests")) << buf;

    EXPECT_EQ(KovelLoadLibrary("/nonexistent/lib.so", reason, sizeof reason), nullptr);
    EXPECT_NE(std::strstr(reason, "/nonexistent/lib.so"), nullptr) << reason;
}

TEST(ModulePath, TooSmallBufferIsNeverCut) {
    char buf[8];
    std::memset(buf, '#', sizeof buf);
    EXPECT_EQ(KovelGetModuleFileName(reinterpret_cast<void*>(&CoTaskMemAlloc), buf, sizeof buf), 0u);
    int stack = 0;
    char big[4096];
    EXPECT_EQ(KovelGetModuleFileName(&stack, big, sizeof big), 0u) << "not inside any module";
}

}  // namespace
