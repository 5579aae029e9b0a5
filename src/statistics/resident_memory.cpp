// The operating system's view of the process: its resident memory.
#include <unistd.h>

#include <cstdint>
#include <cstdio>

#include "memmgr"

extern "C" int64_t GTMC_GetOSUsedMemory(void) {
  // Opened and read afresh at every call: the figure is the kernel's, never cached.
  std::FILE* const statm = std::fopen("/proc/self/statm", "r");
  if (statm == nullptr) return 0;
  long residentPages = 0;
  int const converted = std::fscanf(statm, "%*s%ld", &residentPages);
  std::fclose(statm);
  if (converted != 1) return 0;
  return static_cast<int64_t>(residentPages) * static_cast<int64_t>(sysconf(_SC_PAGESIZE));
}
