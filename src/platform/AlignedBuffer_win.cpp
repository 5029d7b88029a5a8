#include "platform/AlignedBuffer.h"

#include <windows.h>

#include <utility>

#include "platform/WinError_win.h"

namespace stratavon {

// VirtualAlloc hands out whole pages on 64 KiB boundaries: aligned for
// FILE_FLAG_NO_BUFFERING at any sector size.
bool CAlignedBuffer::Allocate(size_t nSize) {
  Free();
  if (nSize == 0) {
    errno = EINVAL;
    return false;
  }
  void* p = VirtualAlloc(nullptr, nSize, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
  if (p == nullptr) return SetErrnoFromLastError();
  m_pData = static_cast<uint8_t*>(p);
  m_nSize = nSize;
  m_nMapped = nSize;
  return true;
}

void CAlignedBuffer::Free() {
  if (m_pData != nullptr) VirtualFree(m_pData, 0, MEM_RELEASE);
  m_pData = nullptr;
  m_nSize = 0;
  m_nMapped = 0;
}

}  // namespace stratavon
