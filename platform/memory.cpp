#include "platform/memory.h"

#include <cstdio>
#include <cstring>
#include <utility>
#include <unistd.h>

namespace pixkeep {

uint64_t availableMemory() {
  if (std::FILE* f = std::fopen("/proc/meminfo", "re")) {
    char line[128];
    unsigned long long kib = 0;
    bool found = false;
    while (!found && std::fgets(line, sizeof line, f))
      found = std::strncmp(line, "MemAvailable:", 13) == 0 && std::sscanf(line + 13, "%llu", &kib) == 1;
    std::fclose(f);
    if (found) return uint64_t(kib) * 1024;
  }
  const long pages = ::sysconf(_SC_AVPHYS_PAGES), pageSize = ::sysconf(_SC_PAGESIZE);
  return pages > 0 && pageSize > 0 ? uint64_t(pages) * uint64_t(pageSize) : 0;
}

namespace {

MemoryProbe memoryProbe = availableMemory;

}  // namespace

MemoryProbe setMemoryProbe(MemoryProbe probe) { return std::exchange(memoryProbe, probe); }

uint64_t probedMemory() { return memoryProbe ? memoryProbe() : 0; }

uint64_t memoryBudget() { return memoryBudget(probedMemory()); }

uint64_t memoryBudget(uint64_t available) { return available > 0 ? available / 4 : uint64_t(1) << 30; }

std::string bytesText(double bytes) {
  char text[32];
  if (bytes >= double(1 << 30))
    std::snprintf(text, sizeof text, "%.1f GB", bytes / double(1 << 30));
  else
    std::snprintf(text, sizeof text, "%.0f MB", bytes / double(1 << 20));
  return text;
}

}  // namespace pixkeep
