#include "platform/CpuInfo.h"

#include <windows.h>

#include <bit>
#include <vector>

namespace stratavon {

unsigned UsableProcessorCount() {
  DWORD_PTR qwProcess = 0;
  DWORD_PTR qwSystem = 0;
  if (!GetProcessAffinityMask(GetCurrentProcess(), &qwProcess, &qwSystem)) return 0;
  return static_cast<unsigned>(std::popcount(static_cast<unsigned long long>(qwProcess)));
}

size_t PerCoreCacheBytes() {
  DWORD dwBytes = 0;
  GetLogicalProcessorInformation(nullptr, &dwBytes);
  std::vector<SYSTEM_LOGICAL_PROCESSOR_INFORMATION> entries(dwBytes / sizeof(SYSTEM_LOGICAL_PROCESSOR_INFORMATION) + 1);
  dwBytes = static_cast<DWORD>(entries.size() * sizeof entries[0]);
  if (GetLogicalProcessorInformation(entries.data(), &dwBytes)) {
    for (size_t i = 0; i < dwBytes / sizeof entries[0]; ++i) {
      if (entries[i].Relationship == RelationCache && entries[i].Cache.Level == 2 && entries[i].Cache.Size > 0) {
        return entries[i].Cache.Size;
      }
    }
  }
  return size_t{1} << 20;
}

}  // namespace stratavon
