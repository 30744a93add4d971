// A fixed pool of media samples used by the file source when neither the
// downstream pin nor the platform offers an allocator. GetBuffer blocks until
// a buffer is free and fails once the pool is decommitted.
#pragma once

#include "kovel/streaming.h"

namespace kovel::graph {
// New allocator with one reference.
IMemAllocator* CreateSamplePool();
}  // namespace kovel::graph
