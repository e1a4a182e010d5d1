// How much memory the system could give this process now, and how much of
// it one picture may take.
#pragma once

#include <cstdint>
#include <string>

namespace pixkeep {

// The kernel's estimate of the memory available for new allocations
// without swapping (MemAvailable in /proc/meminfo), else the free physical
// pages; 0 when neither can be read.
uint64_t availableMemory();

// What each part of one picture may take at this moment (its bytes from the
// clipboard, its decoded rows, the decoder's own memory): a quarter of the
// memory available, 1 GiB when that cannot be read. So a picture never
// pushes the desktop into swap.
uint64_t memoryBudget();
// The same for `available` bytes free (0: unknown).
uint64_t memoryBudget(uint64_t available);

// Where the budget learns the memory available (availableMemory by
// default); returns the one it replaces. For tests.
using MemoryProbe = uint64_t (*)();
MemoryProbe setMemoryProbe(MemoryProbe probe);

// The memory available as the budget sees it (the probe's figure).
uint64_t probedMemory();

// "1.5 GB", "96 MB"
std::string bytesText(double bytes);

}  // namespace pixkeep
