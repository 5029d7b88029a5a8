// A target folder is held by a handle on the folder itself opened with no
// sharing: another run's open of it for listing fails with a sharing
// violation until this process closes the handle or ends.

#include <windows.h>

#include <io.h>

#include "platform/BlockDevice.h"
#include "platform/SystemError.h"
#include "platform/TargetLock.h"
#include "platform/WinError_win.h"

namespace stratavon {

// Windows names no holder of a handle without walking every process.
int FlockHolder(unsigned long long, unsigned long long) { return 0; }

bool CTargetLocks::Hold(const std::string& szRoot, std::string* pszWhy) {
  const auto Fail = [&](const std::string& szWhy) {
    if (pszWhy != nullptr) *pszWhy = szWhy;
    return false;
  };
  // FILE_LIST_DIRECTORY is data access, which the share mode 0 of a run
  // holding the folder already refuses; attribute reads still pass.
  HANDLE hFolder = CreateFileA(szRoot.c_str(), FILE_LIST_DIRECTORY, 0, nullptr, OPEN_EXISTING,
                               FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (hFolder == INVALID_HANDLE_VALUE) {
    const DWORD dwError = GetLastError();
    if (dwError == ERROR_SHARING_VIOLATION) {
      // Held already by this process? The same folder by another path.
      HANDLE hLook = CreateFileA(szRoot.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
      BY_HANDLE_FILE_INFORMATION look{};
      const bool bKnown = hLook != INVALID_HANDLE_VALUE && GetFileInformationByHandle(hLook, &look);
      if (hLook != INVALID_HANDLE_VALUE) CloseHandle(hLook);
      for (const Held& held : m_held) {
        if (bKnown && held.qwDevice == look.dwVolumeSerialNumber &&
            held.qwInode == ((static_cast<unsigned long long>(look.nFileIndexHigh) << 32) | look.nFileIndexLow)) {
          return true;
        }
      }
      return Fail("target " + szRoot + " is in use by another run: another process holds it");
    }
    return Fail(szRoot + ": " + FormatSystemMessage(ErrnoFromWin32(dwError)));
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(hFolder, &info)) {
    const DWORD dwError = GetLastError();
    CloseHandle(hFolder);
    return Fail(szRoot + ": " + FormatSystemMessage(ErrnoFromWin32(dwError)));
  }
  const int hDescriptor = _open_osfhandle(reinterpret_cast<intptr_t>(hFolder), 0);
  if (hDescriptor < 0) {
    CloseHandle(hFolder);
    return Fail(szRoot + ": " + FormatSystemMessage(EMFILE));
  }
  m_held.push_back({info.dwVolumeSerialNumber,
                    (static_cast<unsigned long long>(info.nFileIndexHigh) << 32) | info.nFileIndexLow, hDescriptor});
  return true;
}

bool CTargetLocks::HoldDevice(const std::string& szNode, dev_t nDevice, std::string* pszWhy) {
  return ClaimBlockDevice(szNode, nDevice, pszWhy) >= 0;
}

void CTargetLocks::ReleaseAll() {
  for (const Held& held : m_held) _close(held.hFolder);
  m_held.clear();
}

}  // namespace stratavon
