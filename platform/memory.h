// How much memory the system could give this process now.
#pragma once

#include <cstdint>

namespace pixkeep {

// The kernel's estimate of the memory available for new allocations
// without swapping (MemAvailable in /proc/meminfo), else the free physical
// pages; 0 when neither can be read.
uint64_t availableMemory();

}  // namespace pixkeep
