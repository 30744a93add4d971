// Classes built into the platform's own libraries, and the module path a
// plug-in registers itself under (platform/com, library kovel_com).
#pragma once

#include "kovel/unknown.h"

extern "C" {
// Creates an instance of a built-in class. `outer` is the controlling unknown
// when the caller aggregates; a class that cannot be aggregated answers
// CLASS_E_NOAGGREGATION for a non-null `outer`.
using KovelCreateFunction = HRESULT (*)(IUnknown* outer, REFIID riid, void** ppv);

// Adds a class to the built-in table. Platform libraries call it from a static
// initialiser when they are loaded; CoCreateInstance and CoGetClassObject ask
// this table before the registry. Registering a class id again replaces the
// earlier entry.
void KovelRegisterBuiltinClass(const CLSID* clsid, KovelCreateFunction create);

// Writes the full path of a loaded module, with its terminator, to `buf`.
// `hModule` is any one of:
//   - the handle the runtime passed to the module's DllMain (its dlopen handle),
//     or any other dlopen handle of that module;
//   - the address of any function or object inside the module;
//   - null: the running program itself.
// Returns the path's length without the terminator, or 0 when the module is
// unknown, or when the path does not fit in `size` bytes (the path is never cut).
DWORD KovelGetModuleFileName(void* hModule, char* buf, DWORD size);

// Loads a plug-in library the way the runtime does (dlopen with RTLD_NOW,
// then DllMain process attach). Returns its handle, or null with the loader's
// reason in `reason` (cut to `reasonSize`, always terminated). A library the
// runtime already holds is handed out again, not loaded twice.
void* KovelLoadLibrary(const char* path, char* reason, DWORD reasonSize);
}
