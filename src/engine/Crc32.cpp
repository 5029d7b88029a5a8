#include "engine/Crc32.h"

#include <isa-l/crc.h>

namespace stratavon {

uint32_t CCrc32::Compute(const void* pData, size_t nLength) {
  // crc32_ieee inverts the register on the way in and on the way out; with a
  // zero seed the register starts at 0xFFFFFFFF, and one more inversion
  // takes the final one back: CRC-32/MPEG-2.
  return ~crc32_ieee(0, static_cast<const unsigned char*>(pData), nLength);
}

}  // namespace stratavon
