#include "platform/WorkFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace stratavon {

CWorkFile::CWorkFile(CWorkFile&& other) noexcept
    : m_hFile(std::exchange(other.m_hFile, INVALID_HANDLE_VALUE)) {}

CWorkFile& CWorkFile::operator=(CWorkFile&& other) noexcept {
  if (this != &other) {
    Close();
    m_hFile = std::exchange(other.m_hFile, INVALID_HANDLE_VALUE);
  }
  return *this;
}

bool CWorkFile::Create(const std::string& szPath) {
  Close();
  int hFile = open(szPath.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_DIRECT | O_CLOEXEC, 0644);
  if (hFile < 0) return false;
  // Advice only; a file system that ignores it loses nothing.
  (void)posix_fadvise(hFile, 0, 0, POSIX_FADV_SEQUENTIAL);
  m_hFile = hFile;
  return true;
}

void CWorkFile::Close() {
  if (m_hFile != INVALID_HANDLE_VALUE) {
    close(m_hFile);
    m_hFile = INVALID_HANDLE_VALUE;
  }
}

ssize_t CWorkFile::Read(void* pData, size_t nBytes) const {
  ssize_t n;
  do {
    n = read(m_hFile, pData, nBytes);
  } while (n < 0 && errno == EINTR);
  return n;
}

ssize_t CWorkFile::Write(const void* pData, size_t nBytes) const {
  ssize_t n;
  do {
    n = write(m_hFile, pData, nBytes);
  } while (n < 0 && errno == EINTR);
  return n;
}

bool CWorkFile::Seek(uint64_t qwOffset) const {
  return lseek(m_hFile, static_cast<off_t>(qwOffset), SEEK_SET) >= 0;
}

}  // namespace stratavon
