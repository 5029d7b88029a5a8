#pragma once

#include <string>

namespace stratavon {

// The system's text for an error code; empty for code 0.
std::string FormatSystemMessage(int nCode);

}  // namespace stratavon
