#include "platform/AlignedBuffer.h"

#include <sys/mman.h>

#include <cerrno>
#include <utility>

namespace stratavon {
namespace {
constexpr size_t kHugePageBytes = size_t{2} << 20;
}  // namespace

CAlignedBuffer::CAlignedBuffer(CAlignedBuffer&& other) noexcept
    : m_pData(std::exchange(other.m_pData, nullptr)), m_nSize(std::exchange(other.m_nSize, 0)) {}

CAlignedBuffer& CAlignedBuffer::operator=(CAlignedBuffer&& other) noexcept {
  if (this != &other) {
    Free();
    m_pData = std::exchange(other.m_pData, nullptr);
    m_nSize = std::exchange(other.m_nSize, 0);
  }
  return *this;
}

bool CAlignedBuffer::Allocate(size_t nSize) {
  Free();
  if (nSize == 0) {
    errno = EINVAL;
    return false;
  }
  void* p = mmap(nullptr, nSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return false;
  // A request area of whole huge pages: direct I/O then pins a few huge
  // pages instead of hundreds of small ones. Only a hint; without it (or
  // with THP off) the memory works the same.
  if (nSize >= kHugePageBytes) (void)madvise(p, nSize, MADV_HUGEPAGE);
  m_pData = static_cast<uint8_t*>(p);
  m_nSize = nSize;
  return true;
}

void CAlignedBuffer::Free() {
  if (m_pData != nullptr) {
    munmap(m_pData, m_nSize);
    m_pData = nullptr;
    m_nSize = 0;
  }
}

}  // namespace stratavon
