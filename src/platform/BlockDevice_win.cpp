// Device targets are Linux-only for now: a Windows device path
// (\\.\PhysicalDrive1, \\.\E:) is recognised as one, so that the run
// refuses it with a reason instead of treating it as a folder.

#include <cerrno>

#include "platform/BlockDevice.h"

namespace stratavon {
namespace {

constexpr const char* kLinuxOnly =
    "disk and partition targets are not supported on Windows; give a folder on the volume instead";

bool IsDevicePath(const std::string& szPath) {
  return szPath.size() > 4 && (szPath[0] == '\\' || szPath[0] == '/') && (szPath[1] == '\\' || szPath[1] == '/') &&
         (szPath[2] == '.' || szPath[2] == '?') && (szPath[3] == '\\' || szPath[3] == '/');
}

}  // namespace

bool ResolveBlockDevice(const std::string& szPath, std::string* pszNode, dev_t* pnDevice) {
  if (!IsDevicePath(szPath)) return false;
  if (pszNode != nullptr) *pszNode = szPath;
  if (pnDevice != nullptr) *pnDevice = 0;
  return true;
}

bool ProbeBlockDevice(const std::string& szNode, BlockDeviceInfo*, std::string* pszWhy) {
  if (pszWhy != nullptr) *pszWhy = szNode + ": " + kLinuxOnly;
  errno = ENOSYS;
  return false;
}

std::string DeviceInUse(dev_t) { return {}; }

std::string DeviceContents(const std::string&) { return {}; }

bool NamesDevice(const std::string&, dev_t) { return false; }

int ClaimBlockDevice(const std::string& szNode, dev_t, std::string* pszWhy) {
  if (pszWhy != nullptr) *pszWhy = szNode + ": " + kLinuxOnly;
  errno = ENOSYS;
  return -1;
}

std::string DeviceOpener(dev_t) { return {}; }

// Whole drives are not targets here: there are none to list.
std::vector<std::string> ListWholeDisks() { return {}; }

}  // namespace stratavon
