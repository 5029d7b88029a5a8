// The POSIX calls PosixCalls_win.h declares, over the descriptors' handles.

#include <windows.h>

#include <climits>
#include <cstdlib>
#include <string>

#include "platform/WinError_win.h"

namespace {

// One positioned transfer; works on handles opened for overlapped I/O too.
ssize_t Transfer(int fd, void* pData, size_t nBytes, off_t qwOffset, bool bWrite) {
  HANDLE hFile = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
  if (hFile == INVALID_HANDLE_VALUE) {
    errno = EBADF;
    return -1;
  }
  if (qwOffset < 0) {
    errno = EINVAL;
    return -1;
  }
  OVERLAPPED overlapped{};
  overlapped.Offset = static_cast<DWORD>(static_cast<uint64_t>(qwOffset));
  overlapped.OffsetHigh = static_cast<DWORD>(static_cast<uint64_t>(qwOffset) >> 32);
  overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (overlapped.hEvent == nullptr) {
    stratavon::SetErrnoFromLastError();
    return -1;
  }
  const DWORD dwWant = nBytes > 0x40000000u ? 0x40000000u : static_cast<DWORD>(nBytes);
  DWORD dwDone = 0;
  BOOL bOk = bWrite ? WriteFile(hFile, pData, dwWant, nullptr, &overlapped)
                    : ReadFile(hFile, pData, dwWant, nullptr, &overlapped);
  if (bOk || GetLastError() == ERROR_IO_PENDING) bOk = GetOverlappedResult(hFile, &overlapped, &dwDone, TRUE);
  const DWORD dwError = bOk ? ERROR_SUCCESS : GetLastError();
  CloseHandle(overlapped.hEvent);
  if (!bOk) {
    if (dwError == ERROR_HANDLE_EOF) return 0;
    errno = stratavon::ErrnoFromWin32(dwError);
    return -1;
  }
  return static_cast<ssize_t>(dwDone);
}

}  // namespace

ssize_t pread(int fd, void* pData, size_t nBytes, off_t qwOffset) { return Transfer(fd, pData, nBytes, qwOffset, false); }

ssize_t pwrite(int fd, const void* pData, size_t nBytes, off_t qwOffset) {
  return Transfer(fd, const_cast<void*>(pData), nBytes, qwOffset, true);
}

int fsync(int fd) {
  HANDLE hFile = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
  if (hFile == INVALID_HANDLE_VALUE) {
    errno = EBADF;
    return -1;
  }
  if (!FlushFileBuffers(hFile)) {
    stratavon::SetErrnoFromLastError();
    return -1;
  }
  return 0;
}

int fdatasync(int fd) { return fsync(fd); }

int StratavonStat(const char* pszPath, struct StratavonStat* pStat) {
  std::string szPath(pszPath);
  while (szPath.size() > 1 && (szPath.back() == '/' || szPath.back() == '\\') && szPath[szPath.size() - 2] != ':') {
    szPath.pop_back();
  }
  return _stat64(szPath.c_str(), pStat);
}

char* realpath(const char* pszPath, char* pszResolved) {
  const DWORD dwAttributes = GetFileAttributesA(pszPath);
  if (dwAttributes == INVALID_FILE_ATTRIBUTES) {
    stratavon::SetErrnoFromLastError();
    return nullptr;
  }
  char* pszFull = _fullpath(pszResolved, pszPath, pszResolved ? PATH_MAX : 0);
  if (pszFull == nullptr) errno = ENAMETOOLONG;
  return pszFull;
}

int setenv(const char* pszName, const char* pszValue, int nOverwrite) {
  if (!nOverwrite && std::getenv(pszName) != nullptr) return 0;
  return _putenv_s(pszName, pszValue) == 0 ? 0 : -1;
}

int unsetenv(const char* pszName) { return _putenv_s(pszName, "") == 0 ? 0 : -1; }

char* mkdtemp(char* pszTemplate) {
  const size_t nLength = std::char_traits<char>::length(pszTemplate);
  if (nLength < 6 || std::string(pszTemplate + nLength - 6) != "XXXXXX") {
    errno = EINVAL;
    return nullptr;
  }
  static const char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  unsigned long long qwSeed = GetTickCount64() ^ (static_cast<unsigned long long>(GetCurrentProcessId()) << 32);
  for (int nTry = 0; nTry < 100; ++nTry) {
    for (size_t i = nLength - 6; i < nLength; ++i) {
      qwSeed = qwSeed * 6364136223846793005ull + 1442695040888963407ull;
      pszTemplate[i] = kLetters[(qwSeed >> 33) % (sizeof kLetters - 1)];
    }
    if (CreateDirectoryA(pszTemplate, nullptr)) return pszTemplate;
    if (GetLastError() != ERROR_ALREADY_EXISTS) {
      stratavon::SetErrnoFromLastError();
      return nullptr;
    }
  }
  errno = EEXIST;
  return nullptr;
}
