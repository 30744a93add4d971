// The registry store's key and value operations (platform/com), Win32 style:
// results are Win32 error numbers (ERROR_SUCCESS on success). Keys live
// under HKEY_CLASSES_ROOT in SQLite files, in two scopes like the platform's
// classes root: the user's store ($XDG_DATA_HOME/kovel/registry.db) is read
// first, over the system stores an installation writes (share/kovel/registry.db
// under this installation's prefix, then under each folder of $XDG_DATA_DIRS).
// $KOVEL_REGISTRY, if set, is the only store; so is the build's own registry
// for a program run from the build tree.
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

// What HKEY_CLASSES_ROOT stands for in this process. Merged (the default):
// look-ups read the user's store first, then the system stores (a value from
// the first store holding it, the subkeys of all); changes go to the user's
// store, and what only a system store holds cannot be deleted (access denied).
// User or System: that one store alone, for reading and for changes (System:
// the store of this installation's prefix, written world-readable).
constexpr int32_t KOVEL_REGISTRY_MERGED = 0;
constexpr int32_t KOVEL_REGISTRY_USER = 1;
constexpr int32_t KOVEL_REGISTRY_SYSTEM = 2;
void KovelRegistrySetScope(int32_t scope);

// Writes the path of the file changes go to now, terminated; returns its
// length, or 0 when there is none or it does not fit (never cut).
DWORD KovelRegistryWriteStore(char* path, DWORD size);

// Keeps the stores open from a hold to its release (holds nest and may come
// from any thread), with their prepared statements, for as long as the
// environment names the same stores: a burst of look-ups (a graph being
// built) then opens each store once instead of at every look-up. Without a
// hold no store stays open between look-ups.
void KovelRegistryHold(void);
void KovelRegistryRelease(void);

// A program run straight from its build tree uses the registry the build
// registered its fresh plug-ins into: when the running executable sits in
// `binDir`, `registry` becomes the only store (unless $KOVEL_REGISTRY names
// one). An installed copy sits elsewhere and is not affected.
void KovelRegistryUseBuildTree(const char* binDir, const char* registry);
}
