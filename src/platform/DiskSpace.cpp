#include "platform/DiskSpace.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>

namespace stratavon {
namespace {

constexpr long kBtrfsMagic = 0x9123683E;

// Alignment that direct I/O on a regular file of the directory demands.
// statx reports it only for regular files, so ask an unnamed probe file.
uint32_t ProbeDirectIoAlignment(const std::string& szRoot) {
  int hProbe = open(szRoot.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (hProbe < 0) return 0;
  const uint32_t dwAlign = DirectIoAlignment(hProbe);
  close(hProbe);
  return dwAlign;
}

uint32_t LogicalBlockSizeOfDevice(dev_t dev) {
  if (major(dev) == 0) return 0;  // not backed by a block device (tmpfs, FUSE, NFS)
  std::ifstream file("/sys/dev/block/" + std::to_string(major(dev)) + ":" + std::to_string(minor(dev)) +
                     "/queue/logical_block_size");
  uint32_t dwSize = 0;
  if (!(file >> dwSize)) {
    // A partition keeps its queue in the parent disk's folder.
    std::ifstream parent("/sys/dev/block/" + std::to_string(major(dev)) + ":" + std::to_string(minor(dev)) +
                         "/../queue/logical_block_size");
    if (!(parent >> dwSize)) return 0;
  }
  return dwSize;
}

}  // namespace

uint32_t DirectIoAlignment(int hFile, bool* pbSilent) {
  if (pbSilent != nullptr) *pbSilent = false;
  struct statx stx {};
  if (statx(hFile, "", AT_EMPTY_PATH, STATX_DIOALIGN, &stx) == 0 && (stx.stx_mask & STATX_DIOALIGN) != 0 &&
      stx.stx_dio_offset_align != 0) {
    return stx.stx_dio_offset_align;
  }
  // btrfs (measured on 6.x with a 4 KiB sector size): 512-byte O_DIRECT
  // transfers succeed, at page-cache speed. Its f_bsize is the sector size
  // (/sys/fs/btrfs/<uuid>/sectorsize).
  struct statfs fs {};
  if (fstatfs(hFile, &fs) == 0 && fs.f_type == kBtrfsMagic && fs.f_bsize > 0) {
    if (pbSilent != nullptr) *pbSilent = true;
    return static_cast<uint32_t>(fs.f_bsize);
  }
  return 0;
}

bool GetDiskFreeSpace(const std::string& szRoot, DiskSpaceInfo& info) {
  struct statvfs vfs {};
  if (statvfs(szRoot.c_str(), &vfs) != 0) return false;
  struct stat st {};
  if (stat(szRoot.c_str(), &st) != 0) return false;

  // f_bavail, not f_bfree: blocks reserved for root are not ours to fill.
  info.qwFreeBytes = static_cast<uint64_t>(vfs.f_bavail) * static_cast<uint64_t>(vfs.f_frsize);

  uint32_t dwAlign = ProbeDirectIoAlignment(szRoot);
  if (dwAlign == 0) dwAlign = LogicalBlockSizeOfDevice(st.st_dev);
  info.bAlignmentKnown = dwAlign != 0;
  info.dwBytesPerSector = dwAlign != 0 ? dwAlign : 512;
  return true;
}

bool CreateDirectory(const std::string& szPath) {
  return mkdir(szPath.c_str(), 0755) == 0;
}

}  // namespace stratavon
