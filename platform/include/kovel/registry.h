// The registry store's key and value operations (platform/com), Win32 style:
// results are Win32 error numbers (ERROR_SUCCESS on success). Keys live
// under HKEY_CLASSES_ROOT in an SQLite file: $KOVEL_REGISTRY if set, else
// $XDG_DATA_HOME/kovel/registry.db.
#pragma once

#include "kovel/hresult.h"
#include "kovel/types.h"

struct KovelRegistryKey;
using HKEY = KovelRegistryKey*;
using LSTATUS = LONG;

extern "C" {
extern const HKEY HKEY_CLASSES_ROOT;

constexpr DWORD REG_SZ = 1;

// Names and data are UTF-8 here; the text is the same as the platform's ANSI form for ASCII names.
LSTATUS RegCreateKeyA(HKEY hKey, const char* subKey, HKEY* phkResult);
LSTATUS RegOpenKeyA(HKEY hKey, const char* subKey, HKEY* phkResult);
LSTATUS RegCloseKey(HKEY hKey);
// Sets the named value (null or empty name: the default value) to a string.
LSTATUS RegSetValueExA(HKEY hKey, const char* valueName, DWORD reserved, DWORD type, const BYTE* data,
                       DWORD cbData);
// Reads a string value; *cbData is the buffer size in, the bytes written (terminator included) out.
LSTATUS RegQueryValueExA(HKEY hKey, const char* valueName, DWORD* reserved, DWORD* type, BYTE* data,
                         DWORD* cbData);
// Enumerates direct subkeys by index; ERROR_NO_MORE_ITEMS past the last one.
LSTATUS RegEnumKeyA(HKEY hKey, DWORD index, char* name, DWORD cchName);
// Deletes a subkey that has no subkeys of its own.
LSTATUS RegDeleteKeyA(HKEY hKey, const char* subKey);
LSTATUS RegDeleteValueA(HKEY hKey, const char* valueName);
}
