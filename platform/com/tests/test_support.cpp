#include "test_support.h"

#include <ftw.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>
#include <vector>

#include "kovel/com.h"

TempRegistry::TempRegistry() {
    char tmpl[] = "/tmp/kovel-reg-XXXXXX";
    if (!mkdtemp(tmpl))
        throw std::runtime_error("mkdtemp failed");
    dir_ = tmpl;
    // A folder that does not exist yet: the store must create it.
    file_ = dir_ + "/nested/folder/registry.db";
    if (const char* old = std::getenv("KOVEL_REGISTRY"))
        saved_ = old;
    setenv("KOVEL_REGISTRY", file_.c_str(), 1);
}

TempRegistry::~TempRegistry() {
    if (saved_)
        setenv("KOVEL_REGISTRY", saved_->c_str(), 1);
    else
        unsetenv("KOVEL_REGISTRY");
    nftw(
        dir_.c_str(), [](const char* p, const struct stat*, int, FTW*) { return ::remove(p); }, 16,
        FTW_DEPTH | FTW_PHYS);
}

LSTATUS SetString(const std::string& key, const char* name, const std::string& value) {
    HKEY h = nullptr;
    LSTATUS st = RegCreateKeyA(HKEY_CLASSES_ROOT, key.c_str(), &h);
    if (st != ERROR_SUCCESS)
        return st;
    st = RegSetValueExA(h, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                        DWORD(value.size() + 1));
    RegCloseKey(h);
    return st;
}

std::optional<std::string> GetString(const std::string& key, const char* name) {
    HKEY h = nullptr;
    if (RegOpenKeyA(HKEY_CLASSES_ROOT, key.c_str(), &h) != ERROR_SUCCESS)
        return std::nullopt;
    DWORD size = 0;
    std::optional<std::string> out;
    if (RegQueryValueExA(h, name, nullptr, nullptr, nullptr, &size) == ERROR_SUCCESS && size > 0) {
        std::vector<char> buf(size);
        if (RegQueryValueExA(h, name, nullptr, nullptr, reinterpret_cast<BYTE*>(buf.data()), &size) ==
            ERROR_SUCCESS)
            out = std::string(buf.data());
    }
    RegCloseKey(h);
    return out;
}

std::string ClassKeyOf(const GUID& clsid) {
    OLECHAR wide[39];
    StringFromGUID2(clsid, wide, 39);
    std::string key = "CLSID\\";
    for (int i = 0; i < 38; ++i) key.push_back(char(wide[i]));
    return key;
}
