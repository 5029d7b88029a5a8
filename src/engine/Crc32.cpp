#include "engine/Crc32.h"

#include "platform/CrcKernel.h"

namespace stratavon {

uint32_t CCrc32::Compute(const void* pData, size_t nLength) {
  return CrcMpeg2Update(0xFFFFFFFFu, static_cast<const uint8_t*>(pData), nLength);
}

}  // namespace stratavon
