#pragma once

#include <cstddef>
#include <cstdint>

namespace stratavon {

// The register update of CRC-32/MPEG-2 (polynomial 0x04C11DB7, not
// reflected) from dwRegister over the bytes, without initial value or final
// inversion. On Linux ISA-L's folding kernels; on Windows the portable form.
uint32_t CrcMpeg2Update(uint32_t dwRegister, const uint8_t* pData, size_t nLength);

// The same in portable C++ (slicing by 8), on every platform.
uint32_t CrcMpeg2UpdatePortable(uint32_t dwRegister, const uint8_t* pData, size_t nLength);

}  // namespace stratavon
