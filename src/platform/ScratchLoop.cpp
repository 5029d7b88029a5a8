#include "platform/ScratchLoop.h"

#include <fcntl.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/SystemError.h"

namespace stratavon {

CScratchLoop::~CScratchLoop() { Detach(); }

bool CScratchLoop::Attach(const std::string& szImage, unsigned dwSectorBytes) {
  Detach();
  const auto Fail = [this](const std::string& szWhat) {
    m_szFailure = szWhat + ": " + FormatSystemMessage(errno);
    Detach();
    m_szNode.clear();
    return false;
  };
  const int hControl = open("/dev/loop-control", O_RDWR | O_CLOEXEC);
  if (hControl < 0) return Fail("/dev/loop-control");
  // Another process may take the free device first: ask again then.
  for (int nTry = 0; nTry < 5 && m_hDevice < 0; ++nTry) {
    const int nFree = ioctl(hControl, LOOP_CTL_GET_FREE);
    if (nFree < 0) break;
    m_szNode = "/dev/loop" + std::to_string(nFree);
    const int hDevice = open(m_szNode.c_str(), O_RDWR | O_CLOEXEC);
    if (hDevice < 0) continue;
    const int hImage = open(szImage.c_str(), O_RDWR | O_CLOEXEC);
    if (hImage < 0) {
      close(hDevice);
      close(hControl);
      return Fail(szImage);
    }
    loop_config config;
    std::memset(&config, 0, sizeof config);
    config.fd = static_cast<uint32_t>(hImage);
    config.block_size = dwSectorBytes;
    config.info.lo_flags = LO_FLAGS_AUTOCLEAR;
    const bool bAttached = ioctl(hDevice, LOOP_CONFIGURE, &config) == 0;
    const int nError = errno;
    close(hImage);
    if (bAttached) {
      m_hDevice = hDevice;
    } else {
      close(hDevice);
      errno = nError;
      if (nError != EBUSY) break;
    }
  }
  const int nLastError = errno;
  close(hControl);
  errno = nLastError;
  if (m_hDevice < 0) return Fail("no loop device could be attached to " + szImage);
  return true;
}

void CScratchLoop::Detach() {
  if (m_hDevice < 0) {
    m_szNode.clear();
    return;
  }
  (void)ioctl(m_hDevice, LOOP_CLR_FD, 0);
  close(m_hDevice);
  m_hDevice = -1;
  m_szNode.clear();
}

}  // namespace stratavon
