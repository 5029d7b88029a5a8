#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace stratavon {

// The targets this process holds: an exclusive advisory lock (flock) on a
// read-only descriptor of each target folder itself, so every path to the
// folder (a bind mount, a symbolic link) meets the same lock. The kernel
// drops a lock with its process, so one left by a killed run never blocks
// the next.
class CTargetLocks {
 public:
  CTargetLocks() = default;
  ~CTargetLocks() { ReleaseAll(); }
  CTargetLocks(const CTargetLocks&) = delete;
  CTargetLocks& operator=(const CTargetLocks&) = delete;

  // Holds szRoot (a folder held already stays held). False with *pszWhy
  // naming the folder and the process that holds it, or the system's error.
  bool Hold(const std::string& szRoot, std::string* pszWhy);
  // Holds the block device szNode by an exclusive claim (ClaimBlockDevice),
  // which also keeps a run on its whole disk or its partitions away.
  bool HoldDevice(const std::string& szNode, dev_t nDevice, std::string* pszWhy);
  void ReleaseAll();

 private:
  struct Held {
    unsigned long long qwDevice;
    unsigned long long qwInode;
    int hFolder;
  };
  std::vector<Held> m_held;
};

// The process holding a flock on the file (device, inode), from /proc/locks;
// 0 when none is listed.
int FlockHolder(unsigned long long qwDevice, unsigned long long qwInode);

}  // namespace stratavon
