#pragma once

#include <cstdint>
#include <string>

namespace stratavon {

struct DiskSpaceInfo {
  // The direct-I/O offset alignment of files in the target: what buffer
  // sizes and transfer sizes must be multiples of.
  uint32_t dwBytesPerSector = 512;
  // False when neither the file system nor a block device under it told the
  // alignment: 512 is then a guess, and direct I/O there may be served from
  // the page cache (FUSE, network file systems).
  bool bAlignmentKnown = false;
  // Bytes the caller may still allocate (reserved blocks excluded).
  uint64_t qwFreeBytes = 0;
};

// Free space and alignment of the file system holding szRoot. False (errno
// set) when the root cannot be examined.
bool GetDiskFreeSpace(const std::string& szRoot, DiskSpaceInfo& info);

// The direct-I/O offset alignment of an open regular file as its file
// system reports it (statx); for btrfs, which reports none and serves
// misaligned direct I/O from the page cache without a word, its sector size,
// with *pbSilent set: the kernel will not refuse what it cannot do directly,
// so the caller must. 0 when neither is known.
uint32_t DirectIoAlignment(int hFile, bool* pbSilent = nullptr);

// Makes one directory. False with errno set on failure; ENOENT means a
// parent of the path does not exist, EEXIST that it is there already.
bool CreateDirectory(const std::string& szPath);

}  // namespace stratavon
