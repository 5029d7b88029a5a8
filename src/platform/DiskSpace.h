#pragma once

#include <cstdint>
#include <string>

namespace stratavon {

struct DiskSpaceInfo {
  // The direct-I/O offset alignment of files in the target: what buffer
  // sizes and transfer sizes must be multiples of.
  uint32_t dwBytesPerSector = 512;
  // Bytes the caller may still allocate (reserved blocks excluded).
  uint64_t qwFreeBytes = 0;
};

// Free space and alignment of the file system holding szRoot. False (errno
// set) when the root cannot be examined.
bool GetDiskFreeSpace(const std::string& szRoot, DiskSpaceInfo& info);

// Makes one directory. False with errno set on failure; ENOENT means a
// parent of the path does not exist, EEXIST that it is there already.
bool CreateDirectory(const std::string& szPath);

}  // namespace stratavon
