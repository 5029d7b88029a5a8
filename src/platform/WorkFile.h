#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace stratavon {

constexpr int INVALID_HANDLE_VALUE = -1;

// A work file opened for direct I/O: created or truncated, read and written
// at the file position, closed when the object goes. Calls return what the
// system returns (-1 with errno on failure), so a caller can classify.
class CWorkFile {
 public:
  CWorkFile() = default;
  ~CWorkFile() { Close(); }
  CWorkFile(CWorkFile&& other) noexcept;
  CWorkFile& operator=(CWorkFile&& other) noexcept;
  CWorkFile(const CWorkFile&) = delete;
  CWorkFile& operator=(const CWorkFile&) = delete;

  // O_RDWR | O_CREAT | O_TRUNC | O_DIRECT, and sequential read-ahead advice.
  // False with errno set on failure.
  bool Create(const std::string& szPath);
  void Close();
  // Lets go of the descriptor without closing it, so that its number cannot
  // be handed to another file while a request may still use it.
  void Abandon() { m_hFile = INVALID_HANDLE_VALUE; }

  int Handle() const { return m_hFile; }
  bool IsOpen() const { return m_hFile != INVALID_HANDLE_VALUE; }

  ssize_t Read(void* pData, size_t nBytes) const;
  ssize_t Write(const void* pData, size_t nBytes) const;
  // Moves the file position; false with errno set on failure.
  bool Seek(uint64_t qwOffset) const;

 private:
  int m_hFile = INVALID_HANDLE_VALUE;
};

}  // namespace stratavon
