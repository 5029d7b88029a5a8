#include "platform/AlignedBuffer.h"

#include <sys/mman.h>

#include <cerrno>
#include <cstdint>
#include <utility>

namespace stratavon {
namespace {
constexpr size_t kHugePageBytes = size_t{2} << 20;
constexpr size_t kHugeFromBytes = size_t{1} << 20;
}  // namespace

bool CAlignedBuffer::Allocate(size_t nSize) {
  Free();
  if (nSize == 0) {
    errno = EINVAL;
    return false;
  }
  // Buffers from 1 MiB on lie in whole, aligned huge pages: direct I/O then
  // pins a few huge pages instead of hundreds of small ones, and the copies
  // into them (a virtual disk's, the kernel's) miss the TLB far less. A
  // buffer under 2 MiB costs twice its size for that. Only a hint: without
  // it (or with THP off) the memory works the same.
  const bool bHuge = nSize >= kHugeFromBytes;
  const size_t nMapped = bHuge ? (nSize + kHugePageBytes - 1) / kHugePageBytes * kHugePageBytes : nSize;
  const size_t nReserve = bHuge ? nMapped + kHugePageBytes : nMapped;
  void* p = mmap(nullptr, nReserve, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return false;
  uint8_t* pAt = static_cast<uint8_t*>(p);
  if (bHuge) {
    const uintptr_t uAt = (reinterpret_cast<uintptr_t>(p) + kHugePageBytes - 1) & ~(uintptr_t{kHugePageBytes} - 1);
    uint8_t* pAligned = reinterpret_cast<uint8_t*>(uAt);
    if (pAligned > pAt) munmap(pAt, static_cast<size_t>(pAligned - pAt));
    const size_t nTail = nReserve - static_cast<size_t>(pAligned - pAt) - nMapped;
    if (nTail > 0) munmap(pAligned + nMapped, nTail);
    pAt = pAligned;
    (void)madvise(pAt, nMapped, MADV_HUGEPAGE);
  }
  m_pData = pAt;
  m_nSize = nSize;
  m_nMapped = nMapped;
  return true;
}

void CAlignedBuffer::Free() {
  if (m_pData != nullptr) {
    munmap(m_pData, m_nMapped);
    m_pData = nullptr;
    m_nSize = 0;
    m_nMapped = 0;
  }
}

}  // namespace stratavon
