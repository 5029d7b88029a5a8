#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/SizeWords.h"

namespace stratavon {

// What a block device tells of itself: its node, number, size and sector
// sizes from the kernel, and what sysfs says of the hardware where it says
// anything (empty strings and -1 where not).
struct BlockDeviceInfo {
  std::string szNode;  // the resolved node, /dev/...
  dev_t nDevice = 0;
  uint64_t qwSizeBytes = 0;
  uint32_t dwLogicalSectorBytes = 0;
  uint32_t dwPhysicalSectorBytes = 0;
  std::string szModel;
  std::string szSerial;
  int nRotational = -1;
  int nRemovable = -1;
};

// The nodes of the machine's whole disks (/sys/block: disks, loop and
// zram devices and the like, not their partitions), by name.
std::vector<std::string> ListWholeDisks();

// The block device szPath names, following links (/dev/disk/by-id/...):
// its resolved node and number. False when szPath is not a block device.
bool ResolveBlockDevice(const std::string& szPath, std::string* pszNode, dev_t* pnDevice);

// Opens the node read-only (nothing is written), reads its size and sector
// sizes, and sysfs's model, serial, rotational and removable. False with
// *pszWhy naming the node and the system's words.
bool ProbeBlockDevice(const std::string& szNode, BlockDeviceInfo* pInfo, std::string* pszWhy);

// Whether the device or one of its partitions is mounted, a swap area or
// held by another block device (sysfs holders/: md, dm, LVM): the words,
// "/dev/loop3p1 is mounted at /mnt", or empty when it is none of these.
std::string DeviceInUse(dev_t nDevice);

// What libblkid finds on the device: its partition table and the file
// systems or other signatures on it and its partitions, each with type,
// label and size; "no partition table or file system signature found"
// when there is none.
std::string DeviceContents(const std::string& szNode);

// Whether szName (a path, a link to the node, or "MAJOR:MINOR") names the
// device nDevice.
bool NamesDevice(const std::string& szName, dev_t nDevice);

// Claims the device for this process: an exclusive open (O_EXCL), which the
// kernel refuses while the device, its whole disk or one of its partitions
// is mounted or claimed, and which keeps anyone else from claiming it while
// held. The descriptor (>= 0), or -1 with *pszWhy naming the holder where
// one can be found.
int ClaimBlockDevice(const std::string& szNode, dev_t nDevice, std::string* pszWhy);

// The process that has the device, its whole disk or one of its partitions
// open, in words ("process 4242 (stratavon-cli)"), other than this one;
// empty when none is found.
std::string DeviceOpener(dev_t nDevice);

}  // namespace stratavon
