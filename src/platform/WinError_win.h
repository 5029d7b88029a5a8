#pragma once

// For the Windows twins of the platform layer only: the errno a Windows
// error code stands for, so that callers classify failures as on Linux.

#include <windows.h>

#include <cerrno>

namespace stratavon {

inline int ErrnoFromWin32(DWORD dwError) {
  switch (dwError) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT:
      return EACCES;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_BUSY:
      return EBUSY;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return EEXIST;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ENOSPC;
    case ERROR_INVALID_HANDLE:
      return EBADF;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return ENOMEM;
    case ERROR_OPERATION_ABORTED:
      return ECANCELED;
    case ERROR_DIRECTORY:
      return ENOTDIR;
    case ERROR_NOT_SUPPORTED:
    case ERROR_CALL_NOT_IMPLEMENTED:
      return ENOSYS;
    case ERROR_INVALID_PARAMETER:
    case ERROR_INVALID_NAME:
    case ERROR_NEGATIVE_SEEK:
      return EINVAL;
    default:
      return EIO;
  }
}

// Sets errno from GetLastError(); false, for `return Fail...;` chains.
inline bool SetErrnoFromLastError() {
  errno = ErrnoFromWin32(GetLastError());
  return false;
}

}  // namespace stratavon
