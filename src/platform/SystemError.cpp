#include "platform/SystemError.h"

#include <string.h>

namespace stratavon {

std::string FormatSystemMessage(int nCode) {
  if (nCode == 0) return {};
  char buffer[256] = {};
  // (GNU strerror_r may return a static string instead of filling the buffer)
  const char* psz = strerror_r(nCode, buffer, sizeof buffer);
  return psz != nullptr ? std::string(psz) : std::string();
}

}  // namespace stratavon
