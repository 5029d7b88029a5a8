#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/Crc32.h"

namespace stratavon::test {

// The byte-at-a-time CRC-32/MPEG-2, exactly as its table rule states it:
// the reference the accelerated checksum is held against.
inline uint32_t ReferenceCrc(const uint8_t* pData, size_t nLength) {
  static const std::vector<uint32_t> table = [] {
    std::vector<uint32_t> t(256);
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t dw = i << 24;
      for (int k = 0; k < 8; ++k) dw = (dw & 0x80000000u) ? (dw << 1) ^ CCrc32::kPolynomial : dw << 1;
      t[i] = dw;
    }
    return t;
  }();
  uint32_t dwRegister = 0xFFFFFFFFu;
  for (size_t i = 0; i < nLength; ++i) dwRegister = (dwRegister << 8) ^ table[(dwRegister >> 24) ^ pData[i]];
  return dwRegister;
}

}  // namespace stratavon::test
