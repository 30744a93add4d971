// Programs call KovelUseBuildTreeRegistry() first thing: run straight from
// the build tree, they use the registry the build registered its plug-ins
// into, with no variable to set. The build names both places (kovel_program).
#pragma once

#include "kovel/registry.h"

inline void KovelUseBuildTreeRegistry() {
#if defined(KOVEL_BUILD_BIN_DIR) && defined(KOVEL_BUILD_REGISTRY_FILE)
    KovelRegistryUseBuildTree(KOVEL_BUILD_BIN_DIR, KOVEL_BUILD_REGISTRY_FILE);
#endif
}
