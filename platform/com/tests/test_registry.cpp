// The registry store: keys, values, enumeration, deletion, the store's
// location, and two processes writing at once.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <string>

#include "kovel/registry.h"
#include "test_support.h"

namespace {

bool FileExists(const std::string& p) {
    struct stat st;
    return stat(p.c_str(), &st) == 0;
}

std::set<std::string> SubkeysOf(HKEY h) {
    std::set<std::string> names;
    char name[256];
    for (DWORD i = 0; RegEnumKeyA(h, i, name, sizeof name) == ERROR_SUCCESS; ++i) names.insert(name);
    return names;
}

TEST(RegistryKeys, CreateOpenCaseInsensitiveAndMissing) {
    TempRegistry reg;
    HKEY h = nullptr;
    ASSERT_EQ(RegCreateKeyA(HKEY_CLASSES_ROOT, "CLSID\\{ABC}\\InprocServer32", &h), ERROR_SUCCESS);
    EXPECT_TRUE(FileExists(reg.file())) << "store folders are created when missing";
    RegCloseKey(h);

    HKEY o = nullptr;
    EXPECT_EQ(RegOpenKeyA(HKEY_CLASSES_ROOT, "clsid\\{abc}\\INPROCSERVER32", &o), ERROR_SUCCESS);
    RegCloseKey(o);
    EXPECT_EQ(RegOpenKeyA(HKEY_CLASSES_ROOT, "CLSID\\{ABD}", &o), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(o, nullptr);
    EXPECT_EQ(RegOpenKeyA(HKEY_CLASSES_ROOT, "CLSID\\\\x", &o), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegOpenKeyA(nullptr, "CLSID", &o), ERROR_INVALID_HANDLE);

    // A relative open from an open key.
    HKEY clsid = nullptr;
    ASSERT_EQ(RegOpenKeyA(HKEY_CLASSES_ROOT, "CLSID", &clsid), ERROR_SUCCESS);
    EXPECT_EQ(RegOpenKeyA(clsid, "{Abc}", &o), ERROR_SUCCESS);
    RegCloseKey(o);
    RegCloseKey(clsid);
}

TEST(RegistryValues, DefaultAndNamedValues) {
    TempRegistry reg;
    ASSERT_EQ(SetString("Filter\\{X}", nullptr, "default text"), ERROR_SUCCESS);
    ASSERT_EQ(SetString("Filter\\{X}", "Merit", "00600000"), ERROR_SUCCESS);
    EXPECT_EQ(GetString("Filter\\{X}", nullptr), "default text");
    EXPECT_EQ(GetString("Filter\\{X}", ""), "default text") << "empty name is the default value";
    EXPECT_EQ(GetString("filter\\{x}", "MERIT"), "00600000");
    // Overwriting keeps one value.
    ASSERT_EQ(SetString("Filter\\{X}", "merit", "00200000"), ERROR_SUCCESS);
    EXPECT_EQ(GetString("Filter\\{X}", "Merit"), "00200000");
    // UTF-8 text is kept byte for byte.
    ASSERT_EQ(SetString("Filter\\{X}", "Name", "\xE8\xAF\xBE\xE4\xBB\xB6"), ERROR_SUCCESS);
    EXPECT_EQ(GetString("Filter\\{X}", "Name"), "\xE8\xAF\xBE\xE4\xBB\xB6");
}

TEST(RegistryValues, SizesAndErrors) {
    TempRegistry reg;
    ASSERT_EQ(SetString("K", "v", "hello"), ERROR_SUCCESS);
    HKEY h = nullptr;
    ASSERT_EQ(RegOpenKeyA(HKEY_CLASSES_ROOT, "K", &h), ERROR_SUCCESS);

    DWORD type = 0, size = 0;
    EXPECT_EQ(RegQueryValueExA(h, "v", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(size, 6u) << "size includes the terminator";

    char small[3] = {'x', 'x', 'x'};
    size = sizeof small;
    EXPECT_EQ(RegQueryValueExA(h, "v", nullptr, nullptr, reinterpret_cast<BYTE*>(small), &size),
              ERROR_MORE_DATA);
    EXPECT_EQ(size, 6u);

    char buf[16];
    size = sizeof buf;
    EXPECT_EQ(RegQueryValueExA(h, "missing", nullptr, nullptr, reinterpret_cast<BYTE*>(buf), &size),
              ERROR_FILE_NOT_FOUND);

    // Data without a terminator still reads back terminated.
    ASSERT_EQ(RegSetValueExA(h, "raw", 0, REG_SZ, reinterpret_cast<const BYTE*>("abc"), 3), ERROR_SUCCESS);
    size = sizeof buf;
    ASSERT_EQ(RegQueryValueExA(h, "raw", nullptr, nullptr, reinterpret_cast<BYTE*>(buf), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(size, 4u);
    EXPECT_STREQ(buf, "abc");

    EXPECT_EQ(RegDeleteValueA(h, "V"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueA(h, "v"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(GetString("K", "v"), std::nullopt);
    RegCloseKey(h);
}

TEST(RegistryKeys, EnumerationKeepsNamesAsGiven) {
    TempRegistry reg;
    HKEY h = nullptr;
    for (const char* k : {"Root\\Beta", "Root\\alpha", "Root\\Gamma\\Deep"}) {
        ASSERT_EQ(RegCreateKeyA(HKEY_CLASSES_ROOT, k, &h), ERROR_SUCCESS);
        RegCloseKey(h);
    }
    // Creating an existing key with other case neither duplicates nor renames it.
    ASSERT_EQ(RegCreateKeyA(HKEY_CLASSES_ROOT, "ROOT\\BETA", &h), ERROR_SUCCESS);
    RegCloseKey(h);

    HKEY root = nullptr;
    ASSERT_EQ(RegOpenKeyA(HKEY_CLASSES_ROOT, "Root", &root), ERROR_SUCCESS);
    EXPECT_EQ(SubkeysOf(root), (std::set<std::string>{"alpha", "Beta", "Gamma"}));
    char name[256];
    EXPECT_EQ(RegEnumKeyA(root, 3, name, sizeof name), ERROR_NO_MORE_ITEMS);
    char tiny[2];
    EXPECT_EQ(RegEnumKeyA(root, 0, tiny, sizeof tiny), ERROR_MORE_DATA);
    RegCloseKey(root);
}

TEST(RegistryKeys, DeletionOnlyOfLeafKeys) {
    TempRegistry reg;
    ASSERT_EQ(SetString("A\\B", "x", "1"), ERROR_SUCCESS);
    EXPECT_NE(RegDeleteKeyA(HKEY_CLASSES_ROOT, "A"), ERROR_SUCCESS) << "a key with subkeys stays";
    EXPECT_EQ(RegDeleteKeyA(HKEY_CLASSES_ROOT, "a\\b"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyA(HKEY_CLASSES_ROOT, "A\\B"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteKeyA(HKEY_CLASSES_ROOT, "A"), ERROR_SUCCESS);
    HKEY h = nullptr;
    EXPECT_EQ(RegOpenKeyA(HKEY_CLASSES_ROOT, "A", &h), ERROR_FILE_NOT_FOUND);
    // Values of a deleted key do not come back with a new key of that name.
    ASSERT_EQ(RegCreateKeyA(HKEY_CLASSES_ROOT, "A\\B", &h), ERROR_SUCCESS);
    RegCloseKey(h);
    EXPECT_EQ(GetString("A\\B", "x"), std::nullopt);
}

TEST(RegistryStore, EnvironmentIsReadAtEachOpen) {
    TempRegistry first;
    ASSERT_EQ(SetString("Only\\Here", nullptr, "first"), ERROR_SUCCESS);
    {
        TempRegistry second;
        EXPECT_EQ(GetString("Only\\Here", nullptr), std::nullopt);
    }
    EXPECT_EQ(GetString("Only\\Here", nullptr), "first");

    // Without $KOVEL_REGISTRY the store lives under $XDG_DATA_HOME.
    std::string xdg = first.dir() + "/xdg";
    const char* oldXdg = std::getenv("XDG_DATA_HOME");
    std::string savedXdg = oldXdg ? oldXdg : "";
    std::string savedReg = std::getenv("KOVEL_REGISTRY");
    unsetenv("KOVEL_REGISTRY");
    setenv("XDG_DATA_HOME", xdg.c_str(), 1);
    EXPECT_EQ(SetString("Xdg", nullptr, "v"), ERROR_SUCCESS);
    EXPECT_TRUE(FileExists(xdg + "/kovel/registry.db"));
    if (oldXdg)
        setenv("XDG_DATA_HOME", savedXdg.c_str(), 1);
    else
        unsetenv("XDG_DATA_HOME");
    setenv("KOVEL_REGISTRY", savedReg.c_str(), 1);
}

// Descriptors of this process open on `path`.
int OpenDescriptorsOn(const std::string& path) {
    int n = 0;
    for (int fd = 0; fd < 1024; ++fd) {
        char link[64], target[4096];
        std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
        const ssize_t len = readlink(link, target, sizeof target - 1);
        if (len > 0 && std::string(target, size_t(len)) == path)
            ++n;
    }
    return n;
}

TEST(RegistryStore, AHoldKeepsTheStoresOpenUntilReleasedAndFollowsTheEnvironment) {
    TempRegistry first;
    ASSERT_EQ(SetString("Held", nullptr, "first"), ERROR_SUCCESS);
    EXPECT_EQ(OpenDescriptorsOn(first.file()), 0) << "nothing open between look-ups";
    KovelRegistryHold();
    KovelRegistryHold();
    EXPECT_EQ(GetString("Held", nullptr), "first");
    EXPECT_EQ(OpenDescriptorsOn(first.file()), 1) << "one connection for the whole hold";
    EXPECT_EQ(GetString("Held", nullptr), "first");
    EXPECT_EQ(OpenDescriptorsOn(first.file()), 1);
    {
        // Another store named meanwhile is the one used.
        TempRegistry second;
        EXPECT_EQ(GetString("Held", nullptr), std::nullopt);
        ASSERT_EQ(SetString("Held", nullptr, "second"), ERROR_SUCCESS);
        EXPECT_EQ(GetString("Held", nullptr), "second");
    }
    EXPECT_EQ(GetString("Held", nullptr), "first");
    KovelRegistryRelease();
    EXPECT_EQ(OpenDescriptorsOn(first.file()), 1) << "holds nest";
    KovelRegistryRelease();
    EXPECT_EQ(OpenDescriptorsOn(first.file()), 0);
    // A release without a hold changes nothing.
    KovelRegistryRelease();
    EXPECT_EQ(GetString("Held", nullptr), "first");
}

TEST(RegistryStore, OverlongStorePathIsRefused) {
    TempRegistry reg;
    std::string longPath = reg.dir() + "/" + std::string(5000, 'a') + ".db";
    setenv("KOVEL_REGISTRY", longPath.c_str(), 1);
    HKEY h = nullptr;
    EXPECT_NE(RegCreateKeyA(HKEY_CLASSES_ROOT, "X", &h), ERROR_SUCCESS);
    setenv("KOVEL_REGISTRY", reg.file().c_str(), 1);
}

// The user's store over two system stores, all in a private folder.
class RegistryScopes : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char* var : {"KOVEL_REGISTRY", "XDG_DATA_HOME", "XDG_DATA_DIRS"})
            if (const char* v = std::getenv(var))
                saved_[var] = v;
    }
    void TearDown() override {
        for (const char* var : {"KOVEL_REGISTRY", "XDG_DATA_HOME", "XDG_DATA_DIRS"})
            if (saved_.count(var))
                setenv(var, saved_[var].c_str(), 1);
            else
                unsetenv(var);
        KovelRegistrySetScope(KOVEL_REGISTRY_MERGED);
    }
    // Writes one string into the store of `share` alone.
    void Fill(const std::string& share, const std::string& key, const std::string& value) {
        setenv("KOVEL_REGISTRY", (share + "/kovel/registry.db").c_str(), 1);
        ASSERT_EQ(SetString(key, nullptr, value), ERROR_SUCCESS);
    }
    void UseScopes() {
        unsetenv("KOVEL_REGISTRY");
        setenv("XDG_DATA_HOME", (reg_.dir() + "/user").c_str(), 1);
        setenv("XDG_DATA_DIRS", (reg_.dir() + "/sys1:" + reg_.dir() + "/sys2/").c_str(), 1);
    }
    std::set<std::string> Classes() {
        HKEY h = nullptr;
        if (RegOpenKeyA(HKEY_CLASSES_ROOT, "CLSID", &h) != ERROR_SUCCESS)
            return {};
        std::set<std::string> names = SubkeysOf(h);
        RegCloseKey(h);
        return names;
    }
    TempRegistry reg_;
    std::map<std::string, std::string> saved_;
};

TEST_F(RegistryScopes, UserStoreFirstThenSystemStoresInOrder) {
    Fill(reg_.dir() + "/sys2", "CLSID\\{A}\\InprocServer32", "sys2-a");
    Fill(reg_.dir() + "/sys2", "CLSID\\{B}\\InprocServer32", "sys2-b");
    Fill(reg_.dir() + "/sys1", "CLSID\\{A}\\InprocServer32", "sys1-a");
    UseScopes();
    EXPECT_FALSE(FileExists(reg_.dir() + "/user/kovel/registry.db")) << "reading creates no store";
    EXPECT_EQ(GetString("CLSID\\{A}\\InprocServer32", nullptr), "sys1-a");
    EXPECT_EQ(GetString("CLSID\\{B}\\InprocServer32", nullptr), "sys2-b");

    // Changes go to the user's store, which is read first.
    ASSERT_EQ(SetString("CLSID\\{A}\\InprocServer32", nullptr, "user-a"), ERROR_SUCCESS);
    EXPECT_EQ(GetString("CLSID\\{A}\\InprocServer32", nullptr), "user-a");
    char store[4096];
    ASSERT_GT(KovelRegistryWriteStore(store, sizeof store), 0u);
    EXPECT_EQ(std::string(store), reg_.dir() + "/user/kovel/registry.db");
    // A key made below one only a system store holds leaves the system's values in sight.
    ASSERT_EQ(SetString("CLSID\\{B}\\Extra", nullptr, "user-b"), ERROR_SUCCESS);
    EXPECT_EQ(GetString("CLSID\\{B}\\InprocServer32", nullptr), "sys2-b");
    EXPECT_EQ(Classes(), (std::set<std::string>{"{A}", "{B}"})) << "subkeys of every store, each once";

    // What only a system store holds is not the user's to delete; the user's own copy is.
    HKEY b = nullptr;
    ASSERT_EQ(RegOpenKeyA(HKEY_CLASSES_ROOT, "CLSID\\{B}", &b), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyA(b, "InprocServer32"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteKeyA(b, "Extra"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyA(b, "Nothing"), ERROR_FILE_NOT_FOUND);
    RegCloseKey(b);
    EXPECT_EQ(RegDeleteKeyA(HKEY_CLASSES_ROOT, "CLSID\\{A}\\InprocServer32"), ERROR_SUCCESS);
    EXPECT_EQ(GetString("CLSID\\{A}\\InprocServer32", nullptr), "sys1-a");

    // One store alone: the user's for a registration tool, or the one $KOVEL_REGISTRY names.
    KovelRegistrySetScope(KOVEL_REGISTRY_USER);
    EXPECT_EQ(GetString("CLSID\\{B}\\InprocServer32", nullptr), std::nullopt);
    KovelRegistrySetScope(KOVEL_REGISTRY_MERGED);
    setenv("KOVEL_REGISTRY", (reg_.dir() + "/sys2/kovel/registry.db").c_str(), 1);
    EXPECT_EQ(GetString("CLSID\\{A}\\InprocServer32", nullptr), "sys2-a");
}

TEST(RegistryStore, TwoProcessesWritingAtOnceBothSucceed) {
    TempRegistry reg;
    ASSERT_EQ(SetString("Init", nullptr, "x"), ERROR_SUCCESS);  // the file exists before both start
    constexpr int kKeys = 150;
    auto writeAll = [&](const char* who) {
        for (int i = 0; i < kKeys; ++i) {
            std::string key = std::string("Proc\\") + who + "\\" + std::to_string(i);
            if (SetString(key, "n", std::to_string(i)) != ERROR_SUCCESS)
                return false;
        }
        return true;
    };
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0)
        _exit(writeAll("child") ? 0 : 1);
    bool parentOk = writeAll("parent");
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(parentOk);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    for (const char* who : {"parent", "child"}) {
        HKEY h = nullptr;
        ASSERT_EQ(RegOpenKeyA(HKEY_CLASSES_ROOT, (std::string("Proc\\") + who).c_str(), &h), ERROR_SUCCESS);
        EXPECT_EQ(SubkeysOf(h).size(), size_t(kKeys)) << who;
        RegCloseKey(h);
        EXPECT_EQ(GetString(std::string("Proc\\") + who + "\\77", "n"), "77");
    }
}

}  // namespace
