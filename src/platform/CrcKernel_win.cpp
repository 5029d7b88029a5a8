#include "platform/CrcKernel.h"

namespace stratavon {

uint32_t CrcMpeg2Update(uint32_t dwRegister, const uint8_t* pData, size_t nLength) {
  return CrcMpeg2UpdatePortable(dwRegister, pData, nLength);
}

}  // namespace stratavon
