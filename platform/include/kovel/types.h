// Fixed-width stand-ins for the platform's scalar types, GUIDs and result
// codes. Widths follow the platform's 32/64-bit ABI, never `long`.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

using HRESULT = int32_t;
using ULONG = uint32_t;
using DWORD = uint32_t;
using LONG = int32_t;
using BOOL = int32_t;
using UINT = uint32_t;
using WORD = uint16_t;
using BYTE = uint8_t;
using LONGLONG = int64_t;
using ULONGLONG = uint64_t;
using REFERENCE_TIME = int64_t;
using LONG_PTR = intptr_t;
using DWORD_PTR = uintptr_t;
using REFTIME = double;
using OLECHAR = char16_t;
using WCHAR = char16_t;
using LPWSTR = WCHAR*;
using LPCWSTR = const WCHAR*;
using LPOLESTR = OLECHAR*;
using LPCOLESTR = const OLECHAR*;
using BSTR = OLECHAR*;
using HEVENT = DWORD_PTR;
using HSEMAPHORE = DWORD_PTR;
using OAHWND = LONG_PTR;
using OAEVENT = LONG_PTR;
using OAFilterState = LONG;
using LCID = DWORD;
using DISPID = LONG;

constexpr BOOL TRUE = 1;
constexpr BOOL FALSE = 0;
constexpr LONG OATRUE = -1;
constexpr LONG OAFALSE = 0;
constexpr DWORD INFINITE = 0xFFFFFFFF;

// Largest reference time: "no stop".
constexpr REFERENCE_TIME MAX_TIME = 0x3FFFFFFFFFFFFFFFLL;
// 100-nanosecond units per second.
constexpr REFERENCE_TIME UNITS = 10000000;

struct GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
};
static_assert(sizeof(GUID) == 16);

using IID = GUID;
using CLSID = GUID;
using REFGUID = const GUID&;
using REFIID = const IID&;
using REFCLSID = const CLSID&;

inline bool operator==(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }
inline bool operator!=(const GUID& a, const GUID& b) { return !(a == b); }
inline bool IsEqualGUID(REFGUID a, REFGUID b) { return a == b; }

constexpr GUID GUID_NULL = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
constexpr CLSID CLSID_NULL = GUID_NULL;

struct RECT {
    LONG left;
    LONG top;
    LONG right;
    LONG bottom;
};

constexpr bool SUCCEEDED(HRESULT hr) { return hr >= 0; }
constexpr bool FAILED(HRESULT hr) { return hr < 0; }
