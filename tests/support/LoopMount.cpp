#include "support/LoopMount.h"

#include <stdlib.h>
#include <sys/mount.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <vector>

namespace stratavon::test {
namespace {

// Runs a shell command; returns its exit status and what it printed.
int Run(const std::string& szCommand, std::string* pszOutput = nullptr) {
  FILE* pipe = popen((szCommand + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return -1;
  std::array<char, 256> chunk{};
  std::string szOutput;
  while (fgets(chunk.data(), chunk.size(), pipe) != nullptr) szOutput += chunk.data();
  int nStatus = pclose(pipe);
  if (pszOutput != nullptr) *pszOutput = szOutput;
  return WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1;
}

// A fresh folder under the temporary directory; empty when none can be made.
std::string MakeTempFolder(const std::string& szPrefix) {
  const std::string szTemplate = std::filesystem::temp_directory_path().string() + "/" + szPrefix + "XXXXXX";
  std::vector<char> name(szTemplate.begin(), szTemplate.end());
  name.push_back('\0');
  return mkdtemp(name.data()) != nullptr ? std::string(name.data()) : std::string();
}

}  // namespace

std::string CLoopMount::Unavailable(const std::string& szType) {
  if (geteuid() != 0) return "loop mounts need root";
  if (access("/dev/loop-control", F_OK) != 0) return "this machine has no /dev/loop-control";
  if (Run("command -v losetup && command -v mkfs." + szType) != 0) return "losetup or mkfs." + szType + " is missing";
  return {};
}

CLoopMount::CLoopMount(size_t nSizeBytes, unsigned nSectorSize, const std::string& szType) {
  m_szDir = MakeTempFolder("stratavon-loop-");
  if (m_szDir.empty()) {
    m_szError = "mkdtemp failed";
    return;
  }
  m_szImage = m_szDir + "/image";
  const std::string szMount = m_szDir + "/mnt";
  std::filesystem::create_directory(szMount);

  std::string szOutput;
  if (Run("truncate -s " + std::to_string(nSizeBytes) + " " + m_szImage, &szOutput) != 0 ||
      Run((szType == "btrfs" ? "mkfs.btrfs -q -f -s 4096 " : "mkfs.ext4 -q -F -b 4096 -m 0 ") + m_szImage,
          &szOutput) != 0 ||
      Run("losetup -f --show --sector-size " + std::to_string(nSectorSize) + " " + m_szImage, &szOutput) != 0) {
    m_szError = szOutput;
    return;
  }
  m_szDevice = szOutput.substr(0, szOutput.find('\n'));
  if (mount(m_szDevice.c_str(), szMount.c_str(), szType.c_str(), 0, nullptr) != 0) {
    m_szError = "mount of " + m_szDevice + " failed";
    return;
  }
  m_szRoot = szMount + "/";
  m_bMounted = true;
}

CLoopMount::~CLoopMount() {
  if (m_bMounted) umount2((m_szDir + "/mnt").c_str(), MNT_DETACH);
  if (!m_szDevice.empty()) Run("losetup -d " + m_szDevice);
  if (!m_szDir.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(m_szDir, ec);
  }
}

CLoopDevice::CLoopDevice(size_t nSizeBytes, unsigned nSectorSize, int nPartitions, const std::string& szImage) {
  m_szDir = MakeTempFolder("stratavon-dev-");
  if (m_szDir.empty()) {
    m_szError = "mkdtemp failed";
    return;
  }
  m_szImage = szImage.empty() ? m_szDir + "/image" : szImage;
  std::string szOutput;
  if (Run("truncate -s " + std::to_string(nSizeBytes) + " " + m_szImage, &szOutput) != 0) {
    m_szError = szOutput;
    return;
  }
  if (nPartitions > 0) {
    // A DOS table in sectors of the device's size, partitions of equal length.
    std::FILE* pImage = std::fopen(m_szImage.c_str(), "r+b");
    unsigned char mbr[512] = {};
    const uint32_t dwSectors = static_cast<uint32_t>(nSizeBytes / nSectorSize);
    const uint32_t dwFirst = (1u << 20) / nSectorSize;
    const uint32_t dwEach = (dwSectors - dwFirst) / static_cast<uint32_t>(nPartitions);
    for (int i = 0; i < nPartitions && i < 4; ++i) {
      unsigned char* pEntry = mbr + 446 + 16 * i;
      pEntry[4] = 0x83;
      const uint32_t adwValues[2] = {dwFirst + dwEach * static_cast<uint32_t>(i), dwEach};
      for (int v = 0; v < 2; ++v) {
        for (int b = 0; b < 4; ++b) pEntry[8 + 4 * v + b] = static_cast<unsigned char>(adwValues[v] >> (8 * b));
      }
    }
    mbr[510] = 0x55;
    mbr[511] = 0xAA;
    const bool bWritten = pImage != nullptr && std::fwrite(mbr, 1, sizeof mbr, pImage) == sizeof mbr;
    if (pImage != nullptr) std::fclose(pImage);
    if (!bWritten) {
      m_szError = "the partition table could not be written";
      return;
    }
  }
  if (Run("losetup -f --show " + std::string(nPartitions > 0 ? "-P " : "") + "--sector-size " +
              std::to_string(nSectorSize) + " " + m_szImage,
          &szOutput) != 0) {
    m_szError = szOutput;
    return;
  }
  m_szDevice = szOutput.substr(0, szOutput.find('\n'));
  if (nPartitions > 0) {
    const std::string szName = m_szDevice.substr(m_szDevice.rfind('/') + 1);
    Run("partx -a " + m_szDevice);  // where the kernel's own scan found none
    for (int n = 1; n <= nPartitions && m_szError.empty(); ++n) {
      std::string szNumbers;
      Run("cat /sys/block/" + szName + "/" + szName + "p" + std::to_string(n) + "/dev", &szNumbers);
      const size_t nColon = szNumbers.find(':');
      if (nColon == std::string::npos ||
          Run("mknod " + Partition(n) + " b " + szNumbers.substr(0, nColon) + " " + szNumbers.substr(nColon + 1),
              &szOutput) != 0) {
        m_szError = "partition " + std::to_string(n) + " of " + m_szDevice + " has no node: " + szOutput;
      }
    }
  }
}

CLoopDevice::~CLoopDevice() {
  if (!m_szDevice.empty()) Run("losetup -d " + m_szDevice);
  if (!m_szDir.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(m_szDir, ec);
  }
}

std::string CLoopDevice::Digest() const {
  std::string szOutput;
  Run("sha256sum " + m_szDevice, &szOutput);
  return szOutput.substr(0, szOutput.find(' '));
}

}  // namespace stratavon::test

namespace stratavon::test {
namespace {

constexpr const char* kZramControl = "/sys/class/zram-control";

bool WriteSysfs(const std::string& szFile, const std::string& szValue) {
  std::ofstream out(szFile);
  out << szValue << std::flush;
  return static_cast<bool>(out);
}

}  // namespace

std::string CZramDevice::Unavailable() {
  if (geteuid() != 0) return "zram devices need root";
  if (access(kZramControl, F_OK) != 0) Run("modprobe zram");
  if (access(kZramControl, F_OK) != 0) return "the kernel has no zram (modprobe zram found none)";
  return {};
}

CZramDevice::CZramDevice(size_t nSizeBytes) {
  std::ifstream added(std::string(kZramControl) + "/hot_add");
  if (!(added >> m_nId)) {
    m_nId = -1;
    m_szError = "zram-control/hot_add gave no device";
    return;
  }
  const std::string szName = "zram" + std::to_string(m_nId);
  m_szDevice = "/dev/" + szName;
  if (!WriteSysfs("/sys/block/" + szName + "/disksize", std::to_string(nSizeBytes))) {
    m_szError = "the size of " + szName + " cannot be set";
  } else if (access(m_szDevice.c_str(), F_OK) != 0) {
    m_szError = m_szDevice + " did not appear";
  }
}

CZramDevice::~CZramDevice() {
  if (m_nId < 0) return;
  const std::string szName = "zram" + std::to_string(m_nId);
  WriteSysfs("/sys/block/" + szName + "/reset", "1");
  WriteSysfs(std::string(kZramControl) + "/hot_remove", std::to_string(m_nId));
}

}  // namespace stratavon::test
