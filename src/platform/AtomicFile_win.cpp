#include <windows.h>

#include <io.h>

#include "platform/AtomicFile.h"
#include "platform/WinError_win.h"

namespace stratavon {

bool ReplaceFileAtomically(const std::string& szPath, const std::string& szText) {
  const std::string szTemp = szPath + ".tmp." + std::to_string(GetCurrentProcessId());
  HANDLE hFile = CreateFileA(szTemp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (hFile == INVALID_HANDLE_VALUE) return SetErrnoFromLastError();
  DWORD dwWritten = 0;
  bool bOk = WriteFile(hFile, szText.data(), static_cast<DWORD>(szText.size()), &dwWritten, nullptr) &&
             dwWritten == szText.size() && FlushFileBuffers(hFile);
  DWORD dwError = bOk ? ERROR_SUCCESS : GetLastError();
  CloseHandle(hFile);
  // MOVEFILE_WRITE_THROUGH: returns once the rename is on disk.
  if (bOk && !MoveFileExA(szTemp.c_str(), szPath.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    bOk = false;
    dwError = GetLastError();
  }
  if (!bOk) {
    DeleteFileA(szTemp.c_str());
    errno = ErrnoFromWin32(dwError);
    return false;
  }
  return true;
}

// Without FILE_WRITE_DATA every write goes to the end of the file, in one
// piece, whatever the file pointer says: C runtime O_APPEND would seek and
// then write, two steps another writer can come between.
int OpenForAppend(const std::string& szPath) {
  constexpr DWORD kShare = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  HANDLE hFile = CreateFileA(szPath.c_str(), FILE_READ_DATA | FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                             kShare, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (hFile == INVALID_HANDLE_VALUE) {
    hFile = CreateFileA(szPath.c_str(), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE, kShare, nullptr,
                        OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  }
  if (hFile == INVALID_HANDLE_VALUE) return SetErrnoFromLastError(), -1;
  const int hDescriptor = _open_osfhandle(reinterpret_cast<intptr_t>(hFile), _O_BINARY);
  if (hDescriptor < 0) {
    CloseHandle(hFile);
    errno = EMFILE;
  }
  return hDescriptor;
}

}  // namespace stratavon
