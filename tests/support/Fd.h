#pragma once

#include <unistd.h>

namespace stratavon::test {

// A file descriptor closed when the object goes.
class CFd {
 public:
  explicit CFd(int fd) : m_hFd(fd) {}
  ~CFd() {
    if (m_hFd >= 0) close(m_hFd);
  }
  CFd(const CFd&) = delete;
  CFd& operator=(const CFd&) = delete;
  int Get() const { return m_hFd; }

 private:
  int m_hFd;
};

}  // namespace stratavon::test
