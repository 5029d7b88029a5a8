#include <windows.h>

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

}  // namespace stratavon
