#include "platform/Mounts.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <map>
#include <string_view>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace stratavon {

namespace {

constexpr const char* kMountInfoPath = "/proc/self/mountinfo";

// Kernel and service file systems: nothing a tester would write work files to.
constexpr std::array<std::string_view, 32> kPseudoFileSystems = {
    "proc",       "sysfs",      "devtmpfs",   "devpts",      "cgroup",     "cgroup2",   "securityfs",
    "debugfs",    "tracefs",    "pstore",     "bpf",         "mqueue",     "hugetlbfs", "configfs",
    "fusectl",    "binfmt_misc", "autofs",    "rpc_pipefs",  "nsfs",       "efivarfs",  "selinuxfs",
    "smackfs",    "apparmorfs", "nfsd",       "sockfs",      "pipefs",     "usbfs",     "binder",
    "fuse.lxcfs", "fuse.portal", "fuse.gvfsd-fuse", "rootfs"};

constexpr std::array<std::string_view, 12> kNetworkFileSystems = {
    "nfs",  "nfs4",     "cifs",      "smb3",           "smbfs", "fuse.sshfs",
    "9p",   "ceph",     "glusterfs", "fuse.glusterfs", "afs",   "fuse.ceph-fuse"};

template <size_t N>
bool IsOneOf(std::string_view word, const std::array<std::string_view, N>& words) {
  return std::find(words.begin(), words.end(), word) != words.end();
}

// One line of mountinfo, the fields we use:
//   36 35 98:0 /mnt1 /mnt2 rw,noatime master:1 - ext3 /dev/root rw,errors=continue
//         dev       point                       type source
struct MountEntry {
  std::string szPoint;
  std::string szFsType;
  std::string szDevice;
  std::string szSource;
};

bool IsOctal(char c) { return c >= '0' && c <= '7'; }

// The kernel writes space, tab, newline and backslash in names as \ooo.
std::string DecodeOctalEscapes(std::string_view field) {
  std::string szOut;
  szOut.reserve(field.size());
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size() && IsOctal(field[i + 1]) && field[i + 1] <= '3' &&
        IsOctal(field[i + 2]) && IsOctal(field[i + 3])) {
      szOut += static_cast<char>((field[i + 1] - '0') << 6 | (field[i + 2] - '0') << 3 | (field[i + 3] - '0'));
      i += 3;
    } else {
      szOut += field[i];
    }
  }
  return szOut;
}

std::vector<std::string_view> SplitFields(std::string_view line) {
  std::vector<std::string_view> fields;
  size_t nPos = 0;
  while (nPos < line.size()) {
    const size_t nStart = line.find_first_not_of(" \t\r", nPos);
    if (nStart == std::string_view::npos) break;
    const size_t nEnd = std::min(line.find_first_of(" \t\r", nStart), line.size());
    fields.push_back(line.substr(nStart, nEnd - nStart));
    nPos = nEnd;
  }
  return fields;
}

bool ParseMountInfoLine(std::string_view line, MountEntry& entry) {
  const std::vector<std::string_view> fields = SplitFields(line);
  // Six fixed fields, any number of optional ones, "-", then type and source.
  if (fields.size() < 8) return false;
  size_t nSeparator = 6;
  while (nSeparator < fields.size() && fields[nSeparator] != "-") ++nSeparator;
  if (nSeparator + 1 >= fields.size()) return false;
  entry.szPoint = DecodeOctalEscapes(fields[4]);
  entry.szDevice = std::string(fields[2]);
  entry.szFsType = std::string(fields[nSeparator + 1]);
  entry.szSource = nSeparator + 2 < fields.size() ? DecodeOctalEscapes(fields[nSeparator + 2]) : std::string();
  return !entry.szPoint.empty() && entry.szPoint.front() == '/';
}

// Every mount point once; a later line mounts over an earlier one on the same
// point, so it is the later one that the path shows. The map keeps them
// sorted by path.
std::map<std::string, MountEntry> ParseMountInfo(const std::string& text) {
  std::map<std::string, MountEntry> entries;
  size_t nStart = 0;
  while (nStart < text.size()) {
    size_t nEnd = text.find('\n', nStart);
    if (nEnd == std::string::npos) nEnd = text.size();
    MountEntry entry;
    if (ParseMountInfoLine(std::string_view(text).substr(nStart, nEnd - nStart), entry)) {
      std::string szRoot = entry.szPoint;
      if (szRoot.back() != '/') szRoot += '/';
      entries[szRoot] = std::move(entry);
    }
    nStart = nEnd + 1;
  }
  return entries;
}

bool ReadSmallFile(const std::string& szPath, std::string& szContent) {
  szContent.clear();
  const int fd = open(szPath.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char buffer[8192];
  ssize_t n;
  while ((n = read(fd, buffer, sizeof buffer)) != 0) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    szContent.append(buffer, static_cast<size_t>(n));
  }
  close(fd);
  return n == 0;
}

bool ParseDeviceNumbers(std::string_view device, unsigned& nMajor, unsigned& nMinor) {
  const size_t nColon = device.find(':');
  if (nColon == std::string_view::npos || nColon == 0 || nColon + 1 == device.size()) return false;
  const auto parse = [](std::string_view digits, unsigned& n) {
    if (digits.size() > 9) return false;
    n = 0;
    for (char c : digits) {
      if (c < '0' || c > '9') return false;
      n = n * 10 + static_cast<unsigned>(c - '0');
    }
    return true;
  };
  return parse(device.substr(0, nColon), nMajor) && parse(device.substr(nColon + 1), nMinor);
}

// btrfs and a few others report an anonymous device (major 0) in mountinfo
// although they sit on a disk; the source names the real one.
std::string DeviceOfEntry(const MountEntry& entry) {
  unsigned nMajor = 0, nMinor = 0;
  if (ParseDeviceNumbers(entry.szDevice, nMajor, nMinor) && nMajor == 0 && entry.szSource.starts_with("/dev/")) {
    struct stat st {};
    if (stat(entry.szSource.c_str(), &st) == 0 && S_ISBLK(st.st_mode)) {
      return std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev));
    }
  }
  return entry.szDevice;
}

MountRoot RootOf(const std::string& szRoot, const MountEntry& entry) {
  return MountRoot{szRoot, entry.szFsType, TypeWordOf(entry.szFsType, DeviceOfEntry(entry))};
}

// Bind mounts of single files (containers get /etc/hosts that way) are no
// place for work folders. The cached attributes are enough, and asking a
// network share's server could hang the listing.
bool IsDirectory(const std::string& szPath) {
  struct statx stx {};
  if (statx(AT_FDCWD, szPath.c_str(), AT_NO_AUTOMOUNT | AT_STATX_DONT_SYNC, STATX_TYPE, &stx) != 0) {
    return true;  // cannot tell: keep it rather than hide a target
  }
  return S_ISDIR(stx.stx_mode);
}

std::string NormalisedPath(const std::string& szPath) {
  std::string szAbsolute = szPath;
  if (szAbsolute.empty() || szAbsolute.front() != '/') {
    char szCwd[PATH_MAX];
    if (getcwd(szCwd, sizeof szCwd) == nullptr) return {};
    szAbsolute = std::string(szCwd) + "/" + szAbsolute;
  }
  // Symbolic links lead to other mounts, so resolve them where the path exists.
  if (char* szReal = realpath(szAbsolute.c_str(), nullptr)) {
    std::string szResolved = szReal;
    free(szReal);
    return szResolved;
  }
  std::vector<std::string_view> parts;
  std::string_view rest(szAbsolute);
  while (!rest.empty()) {
    const size_t nSlash = rest.find('/');
    const std::string_view part = rest.substr(0, nSlash);
    rest = nSlash == std::string_view::npos ? std::string_view() : rest.substr(nSlash + 1);
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
      continue;
    }
    parts.push_back(part);
  }
  std::string szOut;
  for (std::string_view part : parts) {
    szOut += '/';
    szOut += part;
  }
  return szOut.empty() ? "/" : szOut;
}

}  // namespace

// Whatever is mounted inside the kernel's own trees (the cgroup tmpfs under
// /sys, binfmt under /proc) belongs to the system, whatever its type.
bool IsInKernelTree(const std::string& szRoot) {
  return szRoot.starts_with("/proc/") || szRoot.starts_with("/sys/");
}

std::vector<MountRoot> ParseMountRoots(const std::string& mountinfo) {
  std::vector<MountRoot> roots;
  for (const auto& [szRoot, entry] : ParseMountInfo(mountinfo)) {
    if (!IsOneOf(entry.szFsType, kPseudoFileSystems) && !IsInKernelTree(szRoot)) {
      roots.push_back(RootOf(szRoot, entry));
    }
  }
  return roots;
}

std::vector<MountRoot> ListMountRoots() {
  std::string szText;
  if (!ReadSmallFile(kMountInfoPath, szText)) return {};
  std::vector<MountRoot> roots = ParseMountRoots(szText);
  std::erase_if(roots, [](const MountRoot& root) { return !IsDirectory(root.root); });
  return roots;
}

std::string TypeWordOf(const std::string& fsType, const std::string& device) {
  if (IsOneOf(fsType, kNetworkFileSystems)) return "NETWORK SHARE";
  if (fsType == "iso9660" || fsType == "udf") return "CDROM";
  if (fsType == "tmpfs" || fsType == "ramfs") return "RAM DISK";

  unsigned nMajor = 0, nMinor = 0;
  if (!ParseDeviceNumbers(device, nMajor, nMinor)) return "UNKNOWN";
  const std::string szSysDir = "/sys/dev/block/" + std::to_string(nMajor) + ":" + std::to_string(nMinor);
  if (nMajor == 0 && access(szSysDir.c_str(), F_OK) != 0) return "UNKNOWN";

  // A partition has no "removable" of its own; its disk, one level up, has.
  std::string szRemovable;
  if (ReadSmallFile(szSysDir + "/removable", szRemovable) || ReadSmallFile(szSysDir + "/../removable", szRemovable)) {
    if (!szRemovable.empty() && szRemovable.front() == '1') return "REMOVABLE";
  }
  return "FIXED DISK";
}

std::string TypeWordOfPath(const std::string& path) {
  const std::string szPath = NormalisedPath(path);
  std::string szText;
  if (szPath.empty() || !ReadSmallFile(kMountInfoPath, szText)) return "UNKNOWN";
  const std::string szWithSlash = szPath.back() == '/' ? szPath : szPath + "/";

  // Pseudo file systems count here too: a path in /proc is not on the disk of "/".
  const std::map<std::string, MountEntry> entries = ParseMountInfo(szText);
  const MountEntry* pBest = nullptr;
  size_t nBestLength = 0;
  for (const auto& [szRoot, entry] : entries) {
    if (szWithSlash.starts_with(szRoot) && szRoot.size() >= nBestLength) {
      pBest = &entry;
      nBestLength = szRoot.size();
    }
  }
  return pBest != nullptr ? TypeWordOf(pBest->szFsType, DeviceOfEntry(*pBest)) : "UNKNOWN";
}

}  // namespace stratavon
