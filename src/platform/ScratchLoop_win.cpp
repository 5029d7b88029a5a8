#include "platform/ScratchLoop.h"

// Windows has no loop devices: every attach fails, saying so.

namespace stratavon {

CScratchLoop::~CScratchLoop() = default;

bool CScratchLoop::Attach(const std::string&, unsigned) {
  m_szFailure = "loop devices are not available on Windows";
  return false;
}

void CScratchLoop::Detach() {}

}  // namespace stratavon
