#include "platform/CpuInfo.h"

#include <sched.h>
#include <unistd.h>

namespace stratavon {

unsigned UsableProcessorCount() {
  cpu_set_t cpus;
  CPU_ZERO(&cpus);
  if (sched_getaffinity(0, sizeof cpus, &cpus) != 0) return 0;
  return static_cast<unsigned>(CPU_COUNT(&cpus));
}

size_t PerCoreCacheBytes() {
  const long nBytes = sysconf(_SC_LEVEL2_CACHE_SIZE);
  return nBytes > 0 ? static_cast<size_t>(nBytes) : size_t{1} << 20;
}

}  // namespace stratavon
