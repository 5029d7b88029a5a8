#pragma once

#include <cstdint>
#include <string>

namespace stratavon {

// A size in words: "512 bytes", "64.0 MiB".
std::string SizeWords(uint64_t qwBytes);

}  // namespace stratavon
