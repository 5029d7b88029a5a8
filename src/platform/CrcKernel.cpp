#include "platform/CrcKernel.h"

#include <isa-l/crc.h>

namespace stratavon {

uint32_t CrcMpeg2Update(uint32_t dwRegister, const uint8_t* pData, size_t nLength) {
  // crc32_ieee inverts the register on the way in and on the way out; the
  // two inversions here undo them.
  return ~crc32_ieee(~dwRegister, pData, nLength);
}

}  // namespace stratavon
