// The filter mappers (CLSID_FilterMapper, CLSID_FilterMapper2) and the filter
// catalog. Records live in the registry store:
//
//   Filter\{clsid}                      default value: filter name (the list of mapper records)
//   CLSID\{clsid}                       default value: filter name
//                                       "Merit": 8 hexadecimal digits, e.g. "00600000"
//   CLSID\{clsid}\Pins\<pin name>       "Direction" "in" | "out", "IsRendered", "AllowedZero",
//                                       "AllowedMany" ("0" | "1"), "ConnectsToFilter" ({guid}),
//                                       "ConnectsToPin" (text)
//   CLSID\{clsid}\Pins\<pin>\Types\<n>  "MajorType", "SubType" ({guid}); n counts from 0
//
// The component's own server entry (CLSID\{clsid}\InprocServer32) is never
// touched here, so unregistering the mapper record and unregistering the
// component are independent of each other.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "filter_catalog.h"
#include "kovel/builtin.h"
#include "kovel/com.h"
#include "kovel/guid_text.h"
#include "kovel/ref_counted.h"
#include "kovel/registry.h"
#include "kovel/streaming.h"

using kovel::GuidText;

namespace {

constexpr HRESULT kNotFound = HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
// Bounds on what one registration may carry.
constexpr ULONG kMaxPins = 256;
constexpr UINT kMaxTypes = 1024;
constexpr size_t kMaxName = 1024;

std::string Utf8(LPCWSTR s) {
    std::string out;
    if (!s)
        return out;
    for (size_t i = 0; s[i] && i < kMaxName; ++i) {
        uint32_t c = s[i];
        if (c >= 0xD800 && c <= 0xDBFF && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (uint32_t(s[i + 1]) - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        if (c < 0x80) {
            out.push_back(char(c));
        } else if (c < 0x800) {
            out.push_back(char(0xC0 | (c >> 6)));
            out.push_back(char(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.push_back(char(0xE0 | (c >> 12)));
            out.push_back(char(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(char(0x80 | (c & 0x3F)));
        } else {
            out.push_back(char(0xF0 | (c >> 18)));
            out.push_back(char(0x80 | ((c >> 12) & 0x3F)));
            out.push_back(char(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(char(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

std::u16string Utf16(const std::string& s) {
    std::u16string out;
    for (size_t i = 0; i < s.size();) {
        unsigned char b = s[i];
        uint32_t c;
        size_t n;
        if (b < 0x80) {
            c = b, n = 1;
        } else if ((b & 0xE0) == 0xC0) {
            c = b & 0x1F, n = 2;
        } else if ((b & 0xF0) == 0xE0) {
            c = b & 0x0F, n = 3;
        } else if ((b & 0xF8) == 0xF0) {
            c = b & 0x07, n = 4;
        } else {
            out.push_back(0xFFFD);
            ++i;
            continue;
        }
        if (i + n > s.size()) {
            out.push_back(0xFFFD);
            break;
        }
        bool ok = true;
        for (size_t k = 1; k < n; ++k) {
            unsigned char cb = s[i + k];
            if ((cb & 0xC0) != 0x80)
                ok = false;
            c = (c << 6) | (cb & 0x3F);
        }
        i += ok ? n : 1;
        if (!ok || c > 0x10FFFF) {
            out.push_back(0xFFFD);
        } else if (c >= 0x10000) {
            c -= 0x10000;
            out.push_back(char16_t(0xD800 + (c >> 10)));
            out.push_back(char16_t(0xDC00 + (c & 0x3FF)));
        } else {
            out.push_back(char16_t(c));
        }
    }
    return out;
}

std::optional<GUID> ParseGuid(const std::string& s) {
    if (s.size() != 38)
        return std::nullopt;
    std::u16string w(s.begin(), s.end());
    GUID g;
    if (CLSIDFromString(w.c_str(), &g) != S_OK)
        return std::nullopt;
    return g;
}

// A key handle that closes itself.
class Key {
  public:
    Key() = default;
    ~Key() {
        if (h_)
            RegCloseKey(h_);
    }
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    LSTATUS Open(HKEY parent, const std::string& sub) { return RegOpenKeyA(parent, sub.c_str(), &h_); }
    LSTATUS Create(HKEY parent, const std::string& sub) { return RegCreateKeyA(parent, sub.c_str(), &h_); }
    HKEY get() const { return h_; }
    LSTATUS Set(const char* name, const std::string& v) {
        return RegSetValueExA(h_, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(v.c_str()),
                              DWORD(v.size() + 1));
    }
    std::optional<std::string> Get(const char* name) const {
        DWORD size = 0;
        if (RegQueryValueExA(h_, name, nullptr, nullptr, nullptr, &size) != ERROR_SUCCESS || size == 0)
            return std::nullopt;
        std::vector<char> buf(size);
        if (RegQueryValueExA(h_, name, nullptr, nullptr, reinterpret_cast<BYTE*>(buf.data()), &size) !=
            ERROR_SUCCESS)
            return std::nullopt;
        return std::string(buf.data());
    }
    std::vector<std::string> Subkeys() const {
        std::vector<std::string> names;
        std::vector<char> name(kMaxName * 4 + 1);
        for (DWORD i = 0; RegEnumKeyA(h_, i, name.data(), DWORD(name.size())) == ERROR_SUCCESS; ++i)
            names.emplace_back(name.data());
        return names;
    }

  private:
    HKEY h_ = nullptr;
};

HRESULT FromWin32(LSTATUS st) {
    return st == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(DWORD(st));
}

// Deletes `sub` below `parent` with everything beneath it; a missing key is fine.
LSTATUS DeleteTree(HKEY parent, const std::string& sub) {
    {
        Key k;
        LSTATUS st = k.Open(parent, sub);
        if (st == ERROR_FILE_NOT_FOUND)
            return ERROR_SUCCESS;
        if (st != ERROR_SUCCESS)
            return st;
        for (const std::string& child : k.Subkeys()) {
            st = DeleteTree(k.get(), child);
            if (st != ERROR_SUCCESS)
                return st;
        }
    }
    LSTATUS st = RegDeleteKeyA(parent, sub.c_str());
    return st == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : st;
}

std::string ClassKey(const CLSID& c) {
    return "CLSID\\" + GuidText(c);
}
std::string ListKey(const CLSID& c) {
    return "Filter\\" + GuidText(c);
}

// Pin names become one key name each: no separators, not empty, bounded.
bool ValidPinName(const std::string& n) {
    return !n.empty() && n.size() <= kMaxName && n.find('\\') == std::string::npos;
}

HRESULT WriteFilter(const CLSID& clsid, const std::string& name, DWORD merit) {
    Key list, cls;
    HRESULT hr = FromWin32(list.Create(HKEY_CLASSES_ROOT, ListKey(clsid)));
    if (SUCCEEDED(hr))
        hr = FromWin32(list.Set(nullptr, name));
    if (SUCCEEDED(hr))
        hr = FromWin32(cls.Create(HKEY_CLASSES_ROOT, ClassKey(clsid)));
    if (SUCCEEDED(hr))
        hr = FromWin32(cls.Set(nullptr, name));
    char meritText[9];
    std::snprintf(meritText, sizeof meritText, "%08X", unsigned(merit));
    if (SUCCEEDED(hr))
        hr = FromWin32(cls.Set("Merit", meritText));
    return hr;
}

HRESULT WritePin(const CLSID& filter, const std::string& pin, bool rendered, bool output, bool zero,
                 bool many, const CLSID& connectsToFilter, const std::string& connectsToPin) {
    if (!ValidPinName(pin))
        return E_INVALIDARG;
    Key k;
    HRESULT hr = FromWin32(k.Create(HKEY_CLASSES_ROOT, ClassKey(filter) + "\\Pins\\" + pin));
    auto set = [&](const char* n, const std::string& v) {
        if (SUCCEEDED(hr))
            hr = FromWin32(k.Set(n, v));
    };
    set("Direction", output ? "out" : "in");
    set("IsRendered", rendered ? "1" : "0");
    set("AllowedZero", zero ? "1" : "0");
    set("AllowedMany", many ? "1" : "0");
    set("ConnectsToFilter", GuidText(connectsToFilter));
    set("ConnectsToPin", connectsToPin);
    return hr;
}

HRESULT WritePinType(const CLSID& filter, const std::string& pin, const GUID& major, const GUID& sub) {
    if (!ValidPinName(pin))
        return E_INVALIDARG;
    Key pinKey;
    if (pinKey.Open(HKEY_CLASSES_ROOT, ClassKey(filter) + "\\Pins\\" + pin) != ERROR_SUCCESS)
        return kNotFound;
    Key types;
    HRESULT hr = FromWin32(types.Create(pinKey.get(), "Types"));
    if (FAILED(hr))
        return hr;
    std::string majorText = GuidText(major), subText = GuidText(sub);
    // The same pair registered again stays one entry; otherwise the next free number.
    auto existing = types.Subkeys();
    for (const auto& n : existing) {
        Key t;
        if (t.Open(types.get(), n) == ERROR_SUCCESS && t.Get("MajorType") == majorText &&
            t.Get("SubType") == subText)
            return S_OK;
    }
    if (existing.size() >= kMaxTypes)
        return E_OUTOFMEMORY;
    size_t index = existing.size();
    while (std::find(existing.begin(), existing.end(), std::to_string(index)) != existing.end()) ++index;
    Key t;
    hr = FromWin32(t.Create(types.get(), std::to_string(index)));
    if (SUCCEEDED(hr))
        hr = FromWin32(t.Set("MajorType", majorText));
    if (SUCCEEDED(hr))
        hr = FromWin32(t.Set("SubType", subText));
    return hr;
}

HRESULT RemoveFilter(const CLSID& clsid) {
    Key list, cls;
    bool listed = list.Open(HKEY_CLASSES_ROOT, ListKey(clsid)) == ERROR_SUCCESS;
    bool hasMerit =
        cls.Open(HKEY_CLASSES_ROOT, ClassKey(clsid)) == ERROR_SUCCESS && cls.Get("Merit").has_value();
    if (!listed && !hasMerit)
        return kNotFound;
    HRESULT hr = S_OK;
    if (cls.get()) {
        hr = FromWin32(DeleteTree(cls.get(), "Pins"));
        LSTATUS st = RegDeleteValueA(cls.get(), "Merit");
        if (SUCCEEDED(hr) && st != ERROR_SUCCESS && st != ERROR_FILE_NOT_FOUND)
            hr = FromWin32(st);
    }
    if (listed) {
        LSTATUS st = DeleteTree(HKEY_CLASSES_ROOT, ListKey(clsid));
        if (SUCCEEDED(hr))
            hr = FromWin32(st);
    }
    return hr;
}

template <typename Iface>
class MapperBase : public kovel::RefCounted<Iface> {
  public:
    virtual ~MapperBase() = default;
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == Iid()) {
            *ppv = static_cast<Iface*>(this);
            this->AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }

  private:
    static const IID& Iid();
};

template <>
const IID& MapperBase<IFilterMapper>::Iid() {
    return IID_IFilterMapper;
}
template <>
const IID& MapperBase<IFilterMapper2>::Iid() {
    return IID_IFilterMapper2;
}

class FilterMapper final : public MapperBase<IFilterMapper> {
  public:
    HRESULT RegisterFilter(CLSID clsid, LPCWSTR name, DWORD merit) override {
        if (!name)
            return E_POINTER;
        return WriteFilter(clsid, Utf8(name), merit);
    }
    HRESULT RegisterFilterInstance(CLSID, LPCWSTR, CLSID* mrid) override {
        if (mrid)
            *mrid = GUID_NULL;
        return E_NOTIMPL;
    }
    HRESULT RegisterPin(CLSID filter, LPCWSTR name, BOOL rendered, BOOL output, BOOL zero, BOOL many,
                        CLSID connectsToFilter, LPCWSTR connectsToPin) override {
        if (!name)
            return E_POINTER;
        return WritePin(filter, Utf8(name), rendered, output, zero, many, connectsToFilter,
                        Utf8(connectsToPin));
    }
    HRESULT RegisterPinType(CLSID filter, LPCWSTR pin, CLSID major, CLSID sub) override {
        if (!pin)
            return E_POINTER;
        return WritePinType(filter, Utf8(pin), major, sub);
    }
    HRESULT UnregisterFilter(CLSID filter) override { return RemoveFilter(filter); }
    HRESULT UnregisterFilterInstance(CLSID) override { return E_NOTIMPL; }
    HRESULT UnregisterPin(CLSID filter, LPCWSTR name) override {
        if (!name)
            return E_POINTER;
        std::string pin = Utf8(name);
        if (!ValidPinName(pin))
            return E_INVALIDARG;
        Key k;
        if (k.Open(HKEY_CLASSES_ROOT, ClassKey(filter) + "\\Pins\\" + pin) != ERROR_SUCCESS)
            return kNotFound;
        return FromWin32(DeleteTree(HKEY_CLASSES_ROOT, ClassKey(filter) + "\\Pins\\" + pin));
    }
    HRESULT EnumMatchingFilters(IEnumRegFilters** pp, DWORD, BOOL, CLSID, CLSID, BOOL, BOOL, CLSID,
                                CLSID) override {
        if (pp)
            *pp = nullptr;
        return E_NOTIMPL;
    }
};

class FilterMapper2 final : public MapperBase<IFilterMapper2> {
  public:
    HRESULT CreateCategory(REFCLSID, DWORD, LPCWSTR) override { return E_NOTIMPL; }
    HRESULT UnregisterFilter(const CLSID*, LPCOLESTR, REFCLSID filter) override {
        return RemoveFilter(filter);
    }
    HRESULT RegisterFilter(REFCLSID clsid, LPCWSTR name, IMoniker** moniker, const CLSID*, LPCOLESTR,
                           const REGFILTER2* rf) override {
        if (moniker)
            *moniker = nullptr;
        if (!name || !rf)
            return E_POINTER;
        if (rf->dwVersion != 1 && rf->dwVersion != 2)
            return E_INVALIDARG;
        ULONG count = rf->dwVersion == 1 ? rf->cPins : rf->cPins2;
        if (count > kMaxPins)
            return E_INVALIDARG;
        if (count && (rf->dwVersion == 1 ? rf->rgPins == nullptr : rf->rgPins2 == nullptr))
            return E_POINTER;
        // Check every pin before anything is written.
        for (ULONG i = 0; i < count; ++i) {
            UINT n = rf->dwVersion == 1 ? rf->rgPins[i].nMediaTypes : rf->rgPins2[i].nMediaTypes;
            const REGPINTYPES* t =
                rf->dwVersion == 1 ? rf->rgPins[i].lpMediaType : rf->rgPins2[i].lpMediaType;
            if (n > kMaxTypes)
                return E_INVALIDARG;
            if (n && !t)
                return E_POINTER;
            for (UINT k = 0; k < n; ++k)
                if (!t[k].clsMajorType)
                    return E_POINTER;
            if (rf->dwVersion == 1 && !ValidPinName(Utf8(rf->rgPins[i].strName)))
                return E_INVALIDARG;
        }
        // Registering again replaces the earlier pins.
        RemoveFilter(clsid);
        HRESULT hr = WriteFilter(clsid, Utf8(name), rf->dwMerit);
        for (ULONG i = 0; SUCCEEDED(hr) && i < count; ++i) {
            std::string pin;
            bool rendered, output, zero, many;
            CLSID toFilter = GUID_NULL;
            std::string toPin;
            UINT n;
            const REGPINTYPES* t;
            if (rf->dwVersion == 1) {
                const REGFILTERPINS& p = rf->rgPins[i];
                pin = Utf8(p.strName);
                rendered = p.bRendered, output = p.bOutput, zero = p.bZero, many = p.bMany;
                if (p.clsConnectsToFilter)
                    toFilter = *p.clsConnectsToFilter;
                toPin = Utf8(p.strConnectsToPin);
                n = p.nMediaTypes, t = p.lpMediaType;
            } else {
                const REGFILTERPINS2& p = rf->rgPins2[i];
                // These records carry no names: the pins are numbered.
                pin = std::to_string(i);
                rendered = p.dwFlags & REG_PINFLAG_B_RENDERER;
                output = p.dwFlags & REG_PINFLAG_B_OUTPUT;
                zero = p.dwFlags & REG_PINFLAG_B_ZERO;
                many = p.dwFlags & REG_PINFLAG_B_MANY;
                n = p.nMediaTypes, t = p.lpMediaType;
            }
            hr = WritePin(clsid, pin, rendered, output, zero, many, toFilter, toPin);
            for (UINT k = 0; SUCCEEDED(hr) && k < n; ++k)
                hr = WritePinType(clsid, pin, *t[k].clsMajorType,
                                  t[k].clsMinorType ? *t[k].clsMinorType : GUID_NULL);
        }
        return hr;
    }
    HRESULT EnumMatchingFilters(IEnumMoniker** pp, DWORD, BOOL, DWORD, BOOL, DWORD, const GUID*,
                                const REGPINMEDIUM*, const CLSID*, BOOL, BOOL, DWORD, const GUID*,
                                const REGPINMEDIUM*, const CLSID*) override {
        if (pp)
            *pp = nullptr;
        return E_NOTIMPL;
    }
};

template <typename T>
HRESULT Create(IUnknown* outer, REFIID riid, void** ppv) {
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (outer)
        return CLASS_E_NOAGGREGATION;
    auto* m = new (std::nothrow) T;
    if (!m)
        return E_OUTOFMEMORY;
    HRESULT hr = m->QueryInterface(riid, ppv);
    m->Release();
    return hr;
}

struct Registrar {
    Registrar() {
        KovelRegisterBuiltinClass(&CLSID_FilterMapper, &Create<FilterMapper>);
        KovelRegisterBuiltinClass(&CLSID_FilterMapper2, &Create<FilterMapper2>);
    }
} g_registrar;

struct BuiltinCatalog {
    std::mutex lock;
    std::vector<RegisteredFilter> filters;
};

BuiltinCatalog& Builtins() {
    static BuiltinCatalog* c = new BuiltinCatalog;
    return *c;
}

void SortByMerit(std::vector<RegisteredFilter>& v) {
    std::stable_sort(v.begin(), v.end(),
                     [](const RegisteredFilter& a, const RegisteredFilter& b) { return a.merit > b.merit; });
}

RegisteredPin ReadPin(HKEY pins, const std::string& name) {
    RegisteredPin pin;
    pin.name = Utf16(name);
    Key k;
    if (k.Open(pins, name) != ERROR_SUCCESS)
        return pin;
    pin.output = k.Get("Direction") == "out";
    pin.rendered = k.Get("IsRendered") == "1";
    pin.zero = k.Get("AllowedZero") == "1";
    pin.many = k.Get("AllowedMany") == "1";
    Key types;
    if (types.Open(k.get(), "Types") != ERROR_SUCCESS)
        return pin;
    auto names = types.Subkeys();
    // Numeric order, as they were registered.
    std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
        return a.size() != b.size() ? a.size() < b.size() : a < b;
    });
    for (const auto& n : names) {
        Key t;
        if (t.Open(types.get(), n) != ERROR_SUCCESS)
            continue;
        auto major = ParseGuid(t.Get("MajorType").value_or(""));
        auto sub = ParseGuid(t.Get("SubType").value_or(""));
        if (major)
            pin.types.push_back({*major, sub.value_or(GUID_NULL)});
    }
    return pin;
}

}  // namespace

std::vector<RegisteredFilter> ListRegisteredFilters() {
    std::vector<RegisteredFilter> out;
    Key list;
    if (list.Open(HKEY_CLASSES_ROOT, "Filter") != ERROR_SUCCESS)
        return out;
    for (const std::string& id : list.Subkeys()) {
        auto clsid = ParseGuid(id);
        if (!clsid)
            continue;
        Key cls;
        if (cls.Open(HKEY_CLASSES_ROOT, ClassKey(*clsid)) != ERROR_SUCCESS)
            continue;
        auto merit = cls.Get("Merit");
        if (!merit)
            continue;
        RegisteredFilter f;
        f.clsid = *clsid;
        f.name = Utf16(cls.Get(nullptr).value_or(""));
        char* end = nullptr;
        unsigned long m = std::strtoul(merit->c_str(), &end, 16);
        if (merit->empty() || *end != 0 || m > 0xFFFFFFFFul)
            continue;
        f.merit = DWORD(m);
        Key pins;
        if (pins.Open(cls.get(), "Pins") == ERROR_SUCCESS)
            for (const std::string& p : pins.Subkeys()) f.pins.push_back(ReadPin(pins.get(), p));
        out.push_back(std::move(f));
    }
    SortByMerit(out);
    return out;
}

void RegisterBuiltinFilter(const RegisteredFilter& info) {
    BuiltinCatalog& c = Builtins();
    std::lock_guard<std::mutex> g(c.lock);
    for (auto& f : c.filters)
        if (f.clsid == info.clsid) {
            f = info;
            return;
        }
    c.filters.push_back(info);
}

std::vector<RegisteredFilter> ListBuiltinFilters() {
    BuiltinCatalog& c = Builtins();
    std::vector<RegisteredFilter> out;
    {
        std::lock_guard<std::mutex> g(c.lock);
        out = c.filters;
    }
    SortByMerit(out);
    return out;
}
