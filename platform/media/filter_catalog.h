// What the graph builder needs to know about filters it may insert: the
// filter-mapper records in the registry store, and the platform's built-in
// filters (decoders, renderers) which their libraries announce when loaded.
// Library kovel_media; include as "filter_catalog.h" (the target adds this folder
// to the include path).
#pragma once

#include <string>
#include <vector>

#include "kovel/types.h"

struct RegisteredPinType {
    GUID major;
    GUID subtype;  // GUID_NULL: any subtype of `major`
};

struct RegisteredPin {
    std::u16string name;
    bool output = false;
    bool rendered = false;
    bool zero = false;
    bool many = false;
    std::vector<RegisteredPinType> types;
};

struct RegisteredFilter {
    CLSID clsid{};
    std::u16string name;
    DWORD merit = 0;
    std::vector<RegisteredPin> pins;
};

// Every filter recorded through IFilterMapper/IFilterMapper2 in the registry
// store of $KOVEL_REGISTRY (read afresh on each call), highest merit first.
std::vector<RegisteredFilter> ListRegisteredFilters();

// Adds (or replaces, by class id) a built-in filter; call it from a static
// initialiser beside KovelRegisterBuiltinClass. Thread-safe.
void RegisterBuiltinFilter(const RegisteredFilter& info);

// The built-in filters announced so far, highest merit first.
std::vector<RegisteredFilter> ListBuiltinFilters();
