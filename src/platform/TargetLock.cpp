#include "platform/TargetLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "platform/BlockDevice.h"
#include "platform/ForkedProcess.h"
#include "platform/SystemError.h"

namespace stratavon {

int FlockHolder(unsigned long long qwDevice, unsigned long long qwInode) {
  // "1: FLOCK  ADVISORY  WRITE 4242 08:01:1234 0 EOF"; blocked waiters are
  // listed with "->" and hold nothing.
  std::ifstream locks("/proc/locks");
  char szWhere[64];
  std::snprintf(szWhere, sizeof szWhere, "%02x:%02x:%llu", major(qwDevice), minor(qwDevice), qwInode);
  for (std::string szLine; std::getline(locks, szLine);) {
    std::istringstream fields(szLine);
    std::string szIndex, szKind, szMode, szAccess, szFile;
    int nPid = 0;
    if (!(fields >> szIndex >> szKind) || szKind == "->" || szKind != "FLOCK") continue;
    if (!(fields >> szMode >> szAccess >> nPid >> szFile)) continue;
    if (szFile == szWhere) return nPid;
  }
  return 0;
}

bool CTargetLocks::Hold(const std::string& szRoot, std::string* pszWhy) {
  const auto Fail = [&](const std::string& szWhy) {
    if (pszWhy != nullptr) *pszWhy = szWhy;
    return false;
  };
  int hFolder;
  do {
    hFolder = open(szRoot.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  } while (hFolder < 0 && errno == EINTR);
  if (hFolder < 0) return Fail(szRoot + ": " + FormatSystemMessage(errno));
  struct stat st {};
  if (fstat(hFolder, &st) != 0) {
    const int nError = errno;
    close(hFolder);
    return Fail(szRoot + ": " + FormatSystemMessage(nError));
  }
  for (const Held& held : m_held) {
    if (held.qwDevice == st.st_dev && held.qwInode == st.st_ino) {
      close(hFolder);
      return true;
    }
  }
  int nResult;
  do {
    nResult = flock(hFolder, LOCK_EX | LOCK_NB);
  } while (nResult != 0 && errno == EINTR);
  if (nResult != 0) {
    const int nError = errno;
    close(hFolder);
    if (nError != EWOULDBLOCK) return Fail(szRoot + ": cannot be locked: " + FormatSystemMessage(nError));
    const int nPid = FlockHolder(st.st_dev, st.st_ino);
    std::string szName;
    if (nPid > 0) {
      std::ifstream comm("/proc/" + std::to_string(nPid) + "/comm");
      if (!std::getline(comm, szName)) szName.clear();
    }
    const std::string szNamed = szName.empty() ? "" : " (" + szName + ")";
    if (nPid > 0 && StuckInKernel(nPid)) {
      return Fail("target " + szRoot + " is in use by another run: held by pid " + std::to_string(nPid) + szNamed +
                  ", stuck in the kernel");
    }
    const std::string szHolder = nPid > 0 ? "process " + std::to_string(nPid) + szNamed : "another process";
    return Fail("target " + szRoot + " is in use by another run: " + szHolder + " holds it");
  }
  m_held.push_back({st.st_dev, st.st_ino, hFolder});
  return true;
}

bool CTargetLocks::HoldDevice(const std::string& szNode, dev_t nDevice, std::string* pszWhy) {
  for (const Held& held : m_held) {
    if (held.qwDevice == 0 && held.qwInode == nDevice) return true;
  }
  const int hDevice = ClaimBlockDevice(szNode, nDevice, pszWhy);
  if (hDevice < 0) return false;
  // A claim is told from a folder's lock by its device 0: its number is
  // the device's own.
  m_held.push_back({0, nDevice, hDevice});
  return true;
}

void CTargetLocks::ReleaseAll() {
  for (const Held& held : m_held) close(held.hFolder);
  m_held.clear();
}

}  // namespace stratavon
