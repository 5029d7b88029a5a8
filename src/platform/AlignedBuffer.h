#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

namespace stratavon {

// Page-aligned anonymous memory, readable and writable, never executable.
// Direct I/O accepts it at any device alignment up to the page size.
class CAlignedBuffer {
 public:
  CAlignedBuffer() = default;
  ~CAlignedBuffer() { Free(); }
  CAlignedBuffer(CAlignedBuffer&& other) noexcept
      : m_pData(std::exchange(other.m_pData, nullptr)),
        m_nSize(std::exchange(other.m_nSize, 0)),
        m_nMapped(std::exchange(other.m_nMapped, 0)) {}
  CAlignedBuffer& operator=(CAlignedBuffer&& other) noexcept {
    if (this != &other) {
      Free();
      m_pData = std::exchange(other.m_pData, nullptr);
      m_nSize = std::exchange(other.m_nSize, 0);
      m_nMapped = std::exchange(other.m_nMapped, 0);
    }
    return *this;
  }
  CAlignedBuffer(const CAlignedBuffer&) = delete;
  CAlignedBuffer& operator=(const CAlignedBuffer&) = delete;

  // Releases what is held and maps dwSize bytes. False (errno set) on failure.
  bool Allocate(size_t nSize);
  void Free();
  // Lets go of the memory without unmapping it: it stays with the process
  // for anyone (the kernel finishing a request) who may still write into it.
  void Abandon() {
    m_pData = nullptr;
    m_nSize = 0;
    m_nMapped = 0;
  }

  uint8_t* Data() const { return m_pData; }
  size_t Size() const { return m_nSize; }
  explicit operator bool() const { return m_pData != nullptr; }

 private:
  uint8_t* m_pData = nullptr;
  size_t m_nSize = 0;
  size_t m_nMapped = 0;  // whole huge pages for large buffers
};

}  // namespace stratavon
