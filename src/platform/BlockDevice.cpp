#include "platform/BlockDevice.h"

#include <blkid/blkid.h>
#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <vector>

#include "platform/SystemError.h"

namespace stratavon {
namespace {

std::string DeviceNumberText(dev_t nDevice) {
  return std::to_string(major(nDevice)) + ":" + std::to_string(minor(nDevice));
}

std::string RealPath(const std::string& szPath) {
  std::unique_ptr<char, decltype(&std::free)> pReal(realpath(szPath.c_str(), nullptr), &std::free);
  return pReal ? std::string(pReal.get()) : std::string();
}

std::string FirstLine(const std::string& szFile) {
  std::ifstream in(szFile);
  std::string szLine;
  std::getline(in, szLine);
  while (!szLine.empty() && (szLine.back() == ' ' || szLine.back() == '\n')) szLine.pop_back();
  return szLine;
}

bool Exists(const std::string& szPath) { return access(szPath.c_str(), F_OK) == 0; }

// The device's folder in sysfs (/sys/devices/.../block/loop3[/loop3p1]).
std::string SysfsFolder(dev_t nDevice) { return RealPath("/sys/dev/block/" + DeviceNumberText(nDevice)); }

dev_t ParseDeviceNumber(const std::string& szText) {
  unsigned nMajor = 0, nMinor = 0;
  char c = 0;
  std::istringstream in(szText);
  if (!(in >> nMajor >> c >> nMinor) || c != ':') return 0;
  return makedev(nMajor, nMinor);
}

struct Related {
  dev_t nDevice;
  std::string szName;  // the kernel's name, as under /dev
};

// The device itself, then its partitions (a whole disk) or its whole disk
// (a partition).
std::vector<Related> RelatedDevices(dev_t nDevice, bool bWithWhole) {
  std::vector<Related> related;
  const std::string szFolder = SysfsFolder(nDevice);
  if (szFolder.empty()) return {{nDevice, DeviceNumberText(nDevice)}};
  related.push_back({nDevice, szFolder.substr(szFolder.rfind('/') + 1)});
  std::string szWhole = szFolder;
  if (Exists(szFolder + "/partition")) {
    szWhole = szFolder.substr(0, szFolder.rfind('/'));
    if (bWithWhole) {
      related.push_back({ParseDeviceNumber(FirstLine(szWhole + "/dev")), szWhole.substr(szWhole.rfind('/') + 1)});
    }
    return related;
  }
  if (DIR* pDir = opendir(szWhole.c_str())) {
    while (const dirent* pEntry = readdir(pDir)) {
      const std::string szName = pEntry->d_name;
      if (szName[0] == '.' || !Exists(szWhole + "/" + szName + "/partition")) continue;
      related.push_back({ParseDeviceNumber(FirstLine(szWhole + "/" + szName + "/dev")), szName});
    }
    closedir(pDir);
  }
  return related;
}

std::string ProcessWords(int nPid) {
  std::string sz = "process " + std::to_string(nPid);
  const std::string szName = FirstLine("/proc/" + std::to_string(nPid) + "/comm");
  return szName.empty() ? sz : sz + " (" + szName + ")";
}

std::string ProbeValue(blkid_probe pProbe, const char* szName) {
  const char* pData = nullptr;
  size_t nLength = 0;
  if (blkid_probe_lookup_value(pProbe, szName, &pData, &nLength) != 0 || pData == nullptr) return {};
  return std::string(pData);
}

// The file system or other signature the probe finds: "ext4 labelled
// \"LABEL\", 64.0 MiB", or empty.
std::string SignatureOf(blkid_probe pProbe) {
  blkid_probe_enable_superblocks(pProbe, 1);
  blkid_probe_set_superblocks_flags(pProbe, BLKID_SUBLKS_TYPE | BLKID_SUBLKS_LABEL);
  if (blkid_do_fullprobe(pProbe) != 0) return {};
  const std::string szType = ProbeValue(pProbe, "TYPE");
  if (szType.empty()) return {};
  std::string szFound = szType;
  const std::string szLabel = ProbeValue(pProbe, "LABEL");
  if (!szLabel.empty()) szFound += " labelled \"" + szLabel + "\"";
  const std::string szSize = ProbeValue(pProbe, "FSSIZE");
  const uint64_t qwSize = szSize.empty() ? static_cast<uint64_t>(blkid_probe_get_size(pProbe))
                                         : std::strtoull(szSize.c_str(), nullptr, 10);
  return szFound + ", " + SizeWords(qwSize);
}

}  // namespace

std::vector<std::string> ListWholeDisks() {
  std::vector<std::string> nodes;
  if (DIR* pDir = opendir("/sys/block")) {
    while (const dirent* pEntry = readdir(pDir)) {
      if (pEntry->d_name[0] == '.') continue;
      const std::string szNode = "/dev/" + std::string(pEntry->d_name);
      if (ResolveBlockDevice(szNode, nullptr, nullptr)) nodes.push_back(szNode);
    }
    closedir(pDir);
  }
  std::sort(nodes.begin(), nodes.end());
  return nodes;
}

bool ResolveBlockDevice(const std::string& szPath, std::string* pszNode, dev_t* pnDevice) {
  std::string szTrimmed = szPath;
  while (szTrimmed.size() > 1 && szTrimmed.back() == '/') szTrimmed.pop_back();
  struct stat st {};
  if (stat(szTrimmed.c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) return false;
  const std::string szReal = RealPath(szTrimmed);
  if (szReal.empty()) return false;
  if (pszNode != nullptr) *pszNode = szReal;
  if (pnDevice != nullptr) *pnDevice = st.st_rdev;
  return true;
}

bool ProbeBlockDevice(const std::string& szNode, BlockDeviceInfo* pInfo, std::string* pszWhy) {
  const auto Fail = [&](const std::string& szWords) {
    if (pszWhy != nullptr) *pszWhy = szNode + ": " + szWords;
    return false;
  };
  BlockDeviceInfo info;
  info.szNode = szNode;
  const int hDevice = open(szNode.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (hDevice < 0) {
    const int nError = errno;
    if ((nError == EACCES || nError == EPERM) && geteuid() != 0) {
      return Fail(FormatSystemMessage(nError) + " (run as root or as a member of the group that owns the node)");
    }
    return Fail(FormatSystemMessage(nError));
  }
  struct stat st {};
  int nLogical = 0;
  unsigned nPhysical = 0;
  uint64_t qwSize = 0;
  const bool bRead = fstat(hDevice, &st) == 0 && S_ISBLK(st.st_mode) && ioctl(hDevice, BLKGETSIZE64, &qwSize) == 0 &&
                     ioctl(hDevice, BLKSSZGET, &nLogical) == 0 && ioctl(hDevice, BLKPBSZGET, &nPhysical) == 0;
  const int nError = errno;
  close(hDevice);
  if (!bRead) return Fail("not a block device whose size can be read: " + FormatSystemMessage(nError));
  info.nDevice = st.st_rdev;
  info.qwSizeBytes = qwSize;
  info.dwLogicalSectorBytes = static_cast<uint32_t>(nLogical);
  info.dwPhysicalSectorBytes = nPhysical != 0 ? nPhysical : static_cast<uint32_t>(nLogical);
  // A partition's hardware is its whole disk's.
  std::string szFolder = SysfsFolder(st.st_rdev);
  if (Exists(szFolder + "/partition")) szFolder = szFolder.substr(0, szFolder.rfind('/'));
  info.szModel = FirstLine(szFolder + "/device/model");
  info.szSerial = FirstLine(szFolder + "/device/serial");
  if (info.szSerial.empty()) info.szSerial = FirstLine(szFolder + "/serial");
  const std::string szRotational = FirstLine(szFolder + "/queue/rotational");
  const std::string szRemovable = FirstLine(szFolder + "/removable");
  if (!szRotational.empty()) info.nRotational = szRotational == "1" ? 1 : 0;
  if (!szRemovable.empty()) info.nRemovable = szRemovable == "1" ? 1 : 0;
  *pInfo = info;
  return true;
}

std::string DeviceInUse(dev_t nDevice) {
  const std::vector<Related> related = RelatedDevices(nDevice, false);
  std::vector<std::string> uses;
  // mountinfo: "36 35 7:3 / /mnt rw,... - ext4 /dev/loop3 rw"
  std::ifstream mounts("/proc/self/mountinfo");
  for (std::string szLine; std::getline(mounts, szLine);) {
    std::istringstream fields(szLine);
    std::string szId, szParent, szNumber, szRoot, szMountPoint;
    if (!(fields >> szId >> szParent >> szNumber >> szRoot >> szMountPoint)) continue;
    const dev_t nMounted = ParseDeviceNumber(szNumber);
    for (const Related& r : related) {
      if (r.nDevice == nMounted) uses.push_back("/dev/" + r.szName + " is mounted at " + szMountPoint);
    }
  }
  std::ifstream swaps("/proc/swaps");
  std::string szLine;
  std::getline(swaps, szLine);  // the heading
  while (std::getline(swaps, szLine)) {
    const std::string szSwap = szLine.substr(0, szLine.find_first_of(" \t"));
    struct stat st {};
    if (stat(szSwap.c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) continue;
    for (const Related& r : related) {
      if (r.nDevice == st.st_rdev) uses.push_back("/dev/" + r.szName + " is in use as swap");
    }
  }
  for (const Related& r : related) {
    const std::string szHolders = SysfsFolder(r.nDevice) + "/holders";
    if (DIR* pDir = opendir(szHolders.c_str())) {
      while (const dirent* pEntry = readdir(pDir)) {
        if (pEntry->d_name[0] != '.') uses.push_back("/dev/" + r.szName + " is held by " + pEntry->d_name);
      }
      closedir(pDir);
    }
  }
  std::string szWords;
  for (const std::string& sz : uses) szWords += (szWords.empty() ? "" : "; ") + sz;
  return szWords;
}

std::string DeviceContents(const std::string& szNode) {
  std::vector<std::string> found;
  // The partitions are probed through the whole device at their offsets,
  // so that no partition needs a node of its own.
  const int hDevice = open(szNode.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (hDevice < 0) return "its contents cannot be read: " + FormatSystemMessage(errno);
  if (blkid_probe pProbe = blkid_new_probe()) {
    if (blkid_probe_set_device(pProbe, hDevice, 0, 0) == 0) {
      blkid_probe_enable_partitions(pProbe, 1);
      blkid_probe_set_partitions_flags(pProbe, BLKID_PARTS_ENTRY_DETAILS);
      const std::string szWhole = SignatureOf(pProbe);
      const std::string szTable = ProbeValue(pProbe, "PTTYPE");
      if (!szTable.empty()) found.push_back(szTable + " partition table");
      if (!szWhole.empty()) found.push_back(szWhole);
      blkid_partlist pList = blkid_probe_get_partitions(pProbe);
      const int nParts = pList != nullptr ? blkid_partlist_numof_partitions(pList) : 0;
      for (int i = 0; i < nParts; ++i) {
        const blkid_partition pPart = blkid_partlist_get_partition(pList, i);
        const uint64_t qwStart = static_cast<uint64_t>(blkid_partition_get_start(pPart)) * 512;
        const uint64_t qwSize = static_cast<uint64_t>(blkid_partition_get_size(pPart)) * 512;
        std::string szOn;
        if (blkid_probe pPartProbe = blkid_new_probe()) {
          if (blkid_probe_set_device(pPartProbe, hDevice, static_cast<blkid_loff_t>(qwStart),
                                     static_cast<blkid_loff_t>(qwSize)) == 0) {
            szOn = SignatureOf(pPartProbe);
          }
          blkid_free_probe(pPartProbe);
        }
        found.push_back("partition " + std::to_string(blkid_partition_get_partno(pPart)) + " (" + SizeWords(qwSize) +
                        "): " + (szOn.empty() ? "no file system signature" : szOn));
      }
    }
    blkid_free_probe(pProbe);
  }
  close(hDevice);
  if (found.empty()) return "no partition table or file system signature found";
  std::string szWords;
  for (const std::string& sz : found) szWords += (szWords.empty() ? "" : "; ") + sz;
  return szWords;
}

bool NamesDevice(const std::string& szName, dev_t nDevice) {
  if (szName.find(':') != std::string::npos && szName.find('/') == std::string::npos) {
    return ParseDeviceNumber(szName) == nDevice;
  }
  dev_t nNamed = 0;
  return ResolveBlockDevice(szName, nullptr, &nNamed) && nNamed == nDevice;
}

std::string DeviceOpener(dev_t nDevice) {
  const std::vector<Related> related = RelatedDevices(nDevice, true);
  const int nSelf = getpid();
  DIR* pProc = opendir("/proc");
  if (pProc == nullptr) return {};
  std::string szFound;
  while (const dirent* pEntry = readdir(pProc)) {
    const int nPid = std::atoi(pEntry->d_name);
    if (nPid <= 0 || nPid == nSelf) continue;
    const std::string szFds = "/proc/" + std::to_string(nPid) + "/fd";
    DIR* pFds = opendir(szFds.c_str());
    if (pFds == nullptr) continue;
    while (const dirent* pFd = readdir(pFds)) {
      struct stat st {};
      if (pFd->d_name[0] == '.' || stat((szFds + "/" + pFd->d_name).c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) continue;
      for (const Related& r : related) {
        if (r.nDevice == st.st_rdev) szFound = ProcessWords(nPid) + " has /dev/" + r.szName + " open";
      }
      if (!szFound.empty()) break;
    }
    closedir(pFds);
    if (!szFound.empty()) break;
  }
  closedir(pProc);
  return szFound;
}

int ClaimBlockDevice(const std::string& szNode, dev_t nDevice, std::string* pszWhy) {
  int hDevice;
  do {
    hDevice = open(szNode.c_str(), O_RDONLY | O_EXCL | O_CLOEXEC);
  } while (hDevice < 0 && errno == EINTR);
  if (hDevice >= 0) return hDevice;
  const int nError = errno;
  if (pszWhy != nullptr) {
    *pszWhy = "target " + szNode + " cannot be claimed: " + FormatSystemMessage(nError);
    if (nError == EBUSY) {
      const std::string szUse = DeviceInUse(nDevice);
      const std::string szOpener = DeviceOpener(nDevice);
      *pszWhy = "target " + szNode + " is in use: " +
                (!szUse.empty() ? szUse : !szOpener.empty() ? szOpener : "the kernel reports it claimed");
    }
  }
  return -1;
}

}  // namespace stratavon
