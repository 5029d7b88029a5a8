#include "platform/SizeWords.h"

#include <cstdio>

namespace stratavon {

std::string SizeWords(uint64_t qwBytes) {
  static const char* const kUnits[] = {"bytes", "KiB", "MiB", "GiB", "TiB"};
  double d = static_cast<double>(qwBytes);
  int n = 0;
  while (d >= 1024.0 && n < 4) {
    d /= 1024.0;
    ++n;
  }
  if (n == 0) return std::to_string(qwBytes) + " bytes";
  char sz[32];
  std::snprintf(sz, sizeof sz, "%.1f %s", d, kUnits[n]);
  return sz;
}

}  // namespace stratavon
