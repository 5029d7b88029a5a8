#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace stratavon::fuzz {

// A file in memory that the code under test opens by path like any other
// (/proc/self/fd/N): no disk traffic per input, nothing left behind.
class CMemoryFile {
 public:
  explicit CMemoryFile(const char* szName) {
    m_hFile = memfd_create(szName, MFD_CLOEXEC);
    if (m_hFile >= 0) m_szPath = "/proc/self/fd/" + std::to_string(m_hFile);
  }
  ~CMemoryFile() {
    if (m_hFile >= 0) close(m_hFile);
  }
  CMemoryFile(const CMemoryFile&) = delete;
  CMemoryFile& operator=(const CMemoryFile&) = delete;

  const std::string& Path() const { return m_szPath; }

  // Makes the file hold exactly these bytes; false when it cannot.
  bool Replace(const uint8_t* pData, size_t nSize) {
    if (m_hFile < 0 || ftruncate(m_hFile, 0) != 0) return false;
    size_t nDone = 0;
    while (nDone < nSize) {
      const ssize_t n = pwrite(m_hFile, pData + nDone, nSize - nDone, static_cast<off_t>(nDone));
      if (n <= 0) return false;
      nDone += static_cast<size_t>(n);
    }
    return true;
  }

 private:
  int m_hFile = -1;
  std::string m_szPath;
};

// A broken promise of the code under test: says which and stops the run, so
// libFuzzer keeps the input as a crash.
inline void Require(bool bHolds, const char* szWhat) {
  if (bHolds) return;
  std::fprintf(stderr, "fuzz check failed: %s\n", szWhat);
  std::abort();
}

}  // namespace stratavon::fuzz
