// The members of CWorkFile that are the same on every platform.

#include <cerrno>
#include <utility>

#include "platform/SystemError.h"
#include "platform/WorkFile.h"

namespace stratavon {

CWorkFile::CWorkFile(CWorkFile&& other) noexcept { *this = std::move(other); }

CWorkFile& CWorkFile::operator=(CWorkFile&& other) noexcept {
  if (this != &other) {
    Close();
    m_hFile = std::exchange(other.m_hFile, INVALID_HANDLE_VALUE);
    m_qwPosition = other.m_qwPosition;
    m_qwWrittenEnd = other.m_qwWrittenEnd;
    m_qwLaidOut = std::exchange(other.m_qwLaidOut, 0);
    m_dwSilentAlign = other.m_dwSilentAlign;
  }
  return *this;
}

bool CWorkFile::Refuse(const std::string& szPath, const std::string& szWhy, int nError) {
  m_szFailure = szPath + ": " + szWhy;
  errno = nError;
  return false;
}

bool CWorkFile::RefuseErrno(const std::string& szPath) {
  const int nError = errno;
  return Refuse(szPath, FormatSystemMessage(nError), nError);
}

int CWorkFile::MisalignedError(size_t nBytes, uint64_t qwOffset) const {
  if (m_dwSilentAlign == 0) return 0;
  return nBytes % m_dwSilentAlign != 0 || qwOffset % m_dwSilentAlign != 0 ? EINVAL : 0;
}

}  // namespace stratavon
