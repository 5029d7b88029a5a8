#include <array>
#include <cstring>

#include "platform/CrcKernel.h"

namespace stratavon {
namespace {

// g_tables[k][b]: the register change of byte b followed by k zero bytes,
// so eight bytes are folded with eight look-ups.
using CrcTables = std::array<std::array<uint32_t, 256>, 8>;

constexpr CrcTables MakeTables() {
  CrcTables tables{};
  for (uint32_t b = 0; b < 256; ++b) {
    uint32_t dwValue = b << 24;
    for (int i = 0; i < 8; ++i) dwValue = (dwValue & 0x80000000u) ? (dwValue << 1) ^ 0x04C11DB7u : dwValue << 1;
    tables[0][b] = dwValue;
  }
  for (int k = 1; k < 8; ++k)
    for (uint32_t b = 0; b < 256; ++b)
      tables[k][b] = (tables[k - 1][b] << 8) ^ tables[0][tables[k - 1][b] >> 24];
  return tables;
}

constexpr CrcTables g_tables = MakeTables();

uint32_t BigEndian32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

}  // namespace

uint32_t CrcMpeg2UpdatePortable(uint32_t dwRegister, const uint8_t* pData, size_t nLength) {
  while (nLength >= 8) {
    const uint32_t dwHigh = dwRegister ^ BigEndian32(pData);
    const uint32_t dwLow = BigEndian32(pData + 4);
    dwRegister = g_tables[7][dwHigh >> 24] ^ g_tables[6][(dwHigh >> 16) & 0xFF] ^
                 g_tables[5][(dwHigh >> 8) & 0xFF] ^ g_tables[4][dwHigh & 0xFF] ^
                 g_tables[3][dwLow >> 24] ^ g_tables[2][(dwLow >> 16) & 0xFF] ^
                 g_tables[1][(dwLow >> 8) & 0xFF] ^ g_tables[0][dwLow & 0xFF];
    pData += 8;
    nLength -= 8;
  }
  while (nLength-- > 0) dwRegister = (dwRegister << 8) ^ g_tables[0][(dwRegister >> 24) ^ *pData++];
  return dwRegister;
}

}  // namespace stratavon
