#include "platform/AtomicFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace stratavon {
namespace {

bool WriteAll(int fd, const std::string& szText) {
  size_t nDone = 0;
  while (nDone < szText.size()) {
    const ssize_t n = write(fd, szText.data() + nDone, szText.size() - nDone);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    nDone += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

bool ReplaceFileAtomically(const std::string& szPath, const std::string& szText) {
  std::string szTemp = szPath + ".tmp.XXXXXX";
  const int fd = mkostemp(szTemp.data(), O_CLOEXEC);
  if (fd < 0) return false;
  bool bOk = fchmod(fd, 0644) == 0 && WriteAll(fd, szText) && fsync(fd) == 0;
  bOk = (close(fd) == 0) && bOk;
  if (!bOk || rename(szTemp.c_str(), szPath.c_str()) != 0) {
    const int nSaved = errno;
    unlink(szTemp.c_str());
    errno = nSaved;
    return false;
  }
  // The rename itself only lasts once the directory is on disk too.
  const size_t nSlash = szPath.rfind('/');
  const std::string szDir = nSlash == std::string::npos ? "." : nSlash == 0 ? "/" : szPath.substr(0, nSlash);
  const int fdDir = open(szDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fdDir >= 0) {
    fsync(fdDir);
    close(fdDir);
  }
  return true;
}

int OpenForAppend(const std::string& szPath) {
  int hFile;
  do {
    hFile = open(szPath.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (hFile < 0 && errno == EACCES) hFile = open(szPath.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  } while (hFile < 0 && errno == EINTR);
  return hFile;
}

}  // namespace stratavon
