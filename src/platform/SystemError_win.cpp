#include "platform/SystemError.h"

#include <string.h>

namespace stratavon {

std::string FormatSystemMessage(int nCode) {
  if (nCode == 0) return {};
  char buffer[256] = {};
  if (strerror_s(buffer, sizeof buffer, nCode) != 0) return {};
  return buffer;
}

}  // namespace stratavon
