#pragma once

#include <string>
#include <vector>

namespace stratavon {

// One mounted file system that can serve as a target.
struct MountRoot {
  std::string root;      // mount point, ending in '/'
  std::string fsType;    // as /proc/self/mountinfo names it (ext4, tmpfs, ...)
  std::string typeWord;  // "FIXED DISK", "REMOVABLE", "NETWORK SHARE", "CDROM", "RAM DISK", "UNKNOWN"
};

// The machine's mount roots from /proc/self/mountinfo, pseudo file systems
// (proc, sysfs, cgroup, devpts, ...) left out, each root once, sorted by path.
std::vector<MountRoot> ListMountRoots();
// Same, from the text of a mountinfo file (tests).
std::vector<MountRoot> ParseMountRoots(const std::string& mountinfo);

// The type word of the file system holding path (the nearest mount at or
// above it); "UNKNOWN" when it cannot be told.
std::string TypeWordOfPath(const std::string& path);

// The type word for a file system type and its device ("MAJ:MIN" from mountinfo).
std::string TypeWordOf(const std::string& fsType, const std::string& device);

}  // namespace stratavon
