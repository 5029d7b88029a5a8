#pragma once

#include <string>

namespace stratavon::test {

// A tiny file system (ext4, or btrfs with 4 KiB sectors) on a loop device, mounted in a temporary folder
// for the life of the object. Needs root and /dev/loop-control.
class CLoopMount {
 public:
  // Why loop mounts cannot be made here; empty when they can.
  static std::string Unavailable(const std::string& szType = "ext4");

  // nSizeBytes of image, nSectorSize the loop device's logical sector size.
  CLoopMount(size_t nSizeBytes, unsigned nSectorSize, const std::string& szType = "ext4");
  ~CLoopMount();
  CLoopMount(const CLoopMount&) = delete;
  CLoopMount& operator=(const CLoopMount&) = delete;

  bool Ok() const { return m_bMounted; }
  const std::string& Error() const { return m_szError; }
  // The mount point, ending in '/'.
  const std::string& Root() const { return m_szRoot; }

 private:
  std::string m_szDir;
  std::string m_szImage;
  std::string m_szDevice;
  std::string m_szRoot;
  std::string m_szError;
  bool m_bMounted = false;
};

}  // namespace stratavon::test
