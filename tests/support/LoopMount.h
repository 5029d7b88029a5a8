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
  const std::string& Device() const { return m_szDevice; }

 private:
  std::string m_szDir;
  std::string m_szImage;
  std::string m_szDevice;
  std::string m_szRoot;
  std::string m_szError;
  bool m_bMounted = false;
};

// A bare loop device over an image file in a temporary folder (or szImage,
// created nSizeBytes long, when given), detached when the object goes. With
// nPartitions it carries a DOS table of that many equal partitions, whose
// nodes are made in the folder (nothing else creates them here).
class CLoopDevice {
 public:
  CLoopDevice(size_t nSizeBytes, unsigned nSectorSize, int nPartitions = 0, const std::string& szImage = {});
  ~CLoopDevice();
  CLoopDevice(const CLoopDevice&) = delete;
  CLoopDevice& operator=(const CLoopDevice&) = delete;

  bool Ok() const { return !m_szDevice.empty() && m_szError.empty(); }
  const std::string& Error() const { return m_szError; }
  const std::string& Device() const { return m_szDevice; }
  // Partition n's node (from 1).
  std::string Partition(int n) const { return m_szDir + "/part" + std::to_string(n); }
  const std::string& Folder() const { return m_szDir; }
  // The device's SHA-256 as sha256sum prints it.
  std::string Digest() const;

 private:
  std::string m_szDir;
  std::string m_szImage;
  std::string m_szDevice;
  std::string m_szError;
};

// A zram device of nSizeBytes that this object adds (zram-control's
// hot_add) and resets and removes again when it goes; no other zram
// device is ever touched. Needs root and the zram module.
class CZramDevice {
 public:
  // Why zram devices cannot be made here; empty when they can.
  static std::string Unavailable();

  explicit CZramDevice(size_t nSizeBytes);
  ~CZramDevice();
  CZramDevice(const CZramDevice&) = delete;
  CZramDevice& operator=(const CZramDevice&) = delete;

  bool Ok() const { return m_nId >= 0 && m_szError.empty(); }
  const std::string& Error() const { return m_szError; }
  const std::string& Device() const { return m_szDevice; }

 private:
  int m_nId = -1;
  std::string m_szDevice;
  std::string m_szError;
};

}  // namespace stratavon::test
