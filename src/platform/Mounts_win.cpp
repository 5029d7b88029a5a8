// The drives of the machine as targets: GetLogicalDriveStrings names them,
// GetDriveType tells their kind, GetVolumeInformation their file system.

#include <windows.h>

#include <cctype>

#include "platform/Mounts.h"

namespace stratavon {
namespace {

const char* TypeWordOfDrive(UINT nType) {
  switch (nType) {
    case DRIVE_FIXED: return "FIXED DISK";
    case DRIVE_REMOVABLE: return "REMOVABLE";
    case DRIVE_REMOTE: return "NETWORK SHARE";
    case DRIVE_CDROM: return "CDROM";
    case DRIVE_RAMDISK: return "RAM DISK";
    default: return "UNKNOWN";
  }
}

std::string FileSystemOf(const std::string& szRoot) {
  char szName[MAX_PATH + 1] = {};
  // A drive with no medium (an empty card reader) says nothing, at once.
  const UINT nOldMode = SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  const BOOL bOk = GetVolumeInformationA(szRoot.c_str(), nullptr, 0, nullptr, nullptr, nullptr, szName, sizeof szName);
  SetErrorMode(nOldMode);
  return bOk ? std::string(szName) : std::string();
}

}  // namespace

std::vector<MountRoot> ListMountRoots() {
  std::vector<MountRoot> roots;
  char szDrives[26 * 4 + 2] = {};
  const DWORD dwLength = GetLogicalDriveStringsA(sizeof szDrives, szDrives);
  if (dwLength == 0 || dwLength > sizeof szDrives) return roots;
  for (const char* psz = szDrives; *psz != '\0'; psz += std::char_traits<char>::length(psz) + 1) {
    const UINT nType = GetDriveTypeA(psz);
    if (nType == DRIVE_NO_ROOT_DIR) continue;
    roots.push_back({psz, FileSystemOf(psz), TypeWordOfDrive(nType)});
  }
  return roots;
}

// mountinfo is Linux's; Windows has no text to parse.
std::vector<MountRoot> ParseMountRoots(const std::string&) { return {}; }

std::string TypeWordOfPath(const std::string& path) {
  char szVolume[MAX_PATH + 1] = {};
  if (!GetVolumePathNameA(path.c_str(), szVolume, sizeof szVolume)) return "UNKNOWN";
  return TypeWordOfDrive(GetDriveTypeA(szVolume));
}

std::string TypeWordOf(const std::string&, const std::string&) { return "UNKNOWN"; }

}  // namespace stratavon
