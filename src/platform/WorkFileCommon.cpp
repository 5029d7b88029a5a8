// The members of CWorkFile that are the same on every platform.

#include <sys/stat.h>

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

const char* FileTypeWords(unsigned nMode) {
  switch (nMode & S_IFMT) {
    case S_IFREG: return "a regular file";
    case S_IFDIR: return "a directory";
#ifdef S_IFLNK
    case S_IFLNK: return "a symbolic link";
#endif
#ifdef S_IFIFO
    case S_IFIFO: return "a FIFO";
#endif
#ifdef S_IFSOCK
    case S_IFSOCK: return "a socket";
#endif
    case S_IFCHR: return "a character device";
#ifdef S_IFBLK
    case S_IFBLK: return "a block device";
#endif
    default: return "an unknown file type";
  }
}

bool CWorkFile::StartCreate(const std::string& szRoot, const std::string& szPath) {
  Close();
  m_szFailure.clear();
  if (szPath.compare(0, szRoot.size(), szRoot) != 0 || szPath.size() == szRoot.size()) {
    return Refuse(szPath, "not below the target " + szRoot, EINVAL);
  }
  return true;
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
