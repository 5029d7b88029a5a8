#pragma once

#include <cstddef>
#include <cstdint>

namespace stratavon {

// The block checksum of the workers: CRC-32/MPEG-2, the non-reflected CRC
// with polynomial 0x04C11DB7, initial register 0xFFFFFFFF and no final
// inversion ("123456789" gives 0x0376E6E7; an empty range 0xFFFFFFFF).
// Computed by the platform's kernel (ISA-L's folding kernels on Linux, which
// run at memory speed; slicing by 8 on Windows); the byte-table form of the
// same CRC serves the tests as their reference.
class CCrc32 {
 public:
  static constexpr uint32_t kPolynomial = 0x04C11DB7;

  static uint32_t Compute(const void* pData, size_t nLength);

  // Computes and keeps the checksum of the bytes.
  uint32_t Store(const void* pData, size_t nLength) {
    m_dwStored = Compute(pData, nLength);
    return m_dwStored;
  }
  bool Check(const void* pData, size_t nLength) const { return Compute(pData, nLength) == m_dwStored; }
  uint32_t Stored() const { return m_dwStored; }

 private:
  uint32_t m_dwStored = 0;
};

}  // namespace stratavon
