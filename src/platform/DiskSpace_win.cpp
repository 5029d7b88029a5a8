#include <windows.h>
#undef GetDiskFreeSpace
#undef CreateDirectory

#include <io.h>

#include "platform/DiskSpace.h"
#include "platform/WinError_win.h"

namespace stratavon {

bool GetDiskFreeSpace(const std::string& szRoot, DiskSpaceInfo& info) {
  ULARGE_INTEGER qwAvailable{};
  if (!GetDiskFreeSpaceExA(szRoot.c_str(), &qwAvailable, nullptr, nullptr)) return SetErrnoFromLastError();
  info.qwFreeBytes = qwAvailable.QuadPart;
  // The sector size is the volume's: FILE_FLAG_NO_BUFFERING transfers must
  // be whole sectors at sector offsets.
  char szVolume[MAX_PATH + 1] = {};
  DWORD dwSectorsPerCluster = 0;
  DWORD dwBytesPerSector = 0;
  DWORD dwFreeClusters = 0;
  DWORD dwClusters = 0;
  if (GetVolumePathNameA(szRoot.c_str(), szVolume, sizeof szVolume) &&
      GetDiskFreeSpaceA(szVolume, &dwSectorsPerCluster, &dwBytesPerSector, &dwFreeClusters, &dwClusters) &&
      dwBytesPerSector != 0) {
    info.dwBytesPerSector = dwBytesPerSector;
    info.bAlignmentKnown = true;
  } else {
    info.dwBytesPerSector = 512;
    info.bAlignmentKnown = false;
  }
  return true;
}

// Windows refuses an unbuffered transfer it cannot do (ERROR_INVALID_PARAMETER)
// rather than serving it from the cache, so nothing here is silent.
uint32_t DirectIoAlignment(int hFile, bool* pbSilent) {
  if (pbSilent != nullptr) *pbSilent = false;
  HANDLE hHandle = reinterpret_cast<HANDLE>(_get_osfhandle(hFile));
  if (hHandle == INVALID_HANDLE_VALUE) return 0;
  FILE_STORAGE_INFO storage{};
  if (GetFileInformationByHandleEx(hHandle, FileStorageInfo, &storage, sizeof storage)) {
    return static_cast<uint32_t>(storage.LogicalBytesPerSector);
  }
  return 0;
}

bool CreateDirectory(const std::string& szPath) {
  if (CreateDirectoryA(szPath.c_str(), nullptr)) return true;
  return SetErrnoFromLastError();
}

}  // namespace stratavon
