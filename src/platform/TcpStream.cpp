#include "platform/TcpStream.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "platform/SystemError.h"

namespace stratavon {
namespace {

// Waits for the events on fd; 1 ready, 0 timed out, -1 failed (errno).
int WaitFor(int fd, short nEvents, int nTimeoutMs) {
  pollfd pfd = {fd, nEvents, 0};
  for (;;) {
    const int n = poll(&pfd, 1, nTimeoutMs);
    if (n < 0 && errno == EINTR) continue;
    return n;
  }
}

}  // namespace

CTcpStream::~CTcpStream() { Close(); }

CTcpStream::CTcpStream(CTcpStream&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}

CTcpStream& CTcpStream::operator=(CTcpStream&& other) noexcept {
  if (this != &other) {
    Close();
    m_fd = std::exchange(other.m_fd, -1);
  }
  return *this;
}

void CTcpStream::Close() {
  if (m_fd >= 0) close(m_fd);
  m_fd = -1;
}

bool CTcpStream::Fail(const std::string& szWhat, int nError) {
  m_szError = szWhat + (nError ? ": " + FormatSystemMessage(nError) : std::string());
  return false;
}

bool CTcpStream::Connect(const std::string& szHost, uint16_t wPort, int nTimeoutMs) {
  Close();
  addrinfo hints = {};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* pList = nullptr;
  const std::string szPort = std::to_string(wPort);
  if (const int nGai = getaddrinfo(szHost.c_str(), szPort.c_str(), &hints, &pList); nGai != 0) {
    m_szError = szHost + ": " + gai_strerror(nGai);
    return false;
  }
  int nError = ECONNREFUSED;
  for (addrinfo* p = pList; p && m_fd < 0; p = p->ai_next) {
    const int fd = socket(p->ai_family, p->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, p->ai_protocol);
    if (fd < 0) {
      nError = errno;
      continue;
    }
    int nRet = connect(fd, p->ai_addr, p->ai_addrlen);
    if (nRet != 0 && errno == EINPROGRESS) {
      nRet = WaitFor(fd, POLLOUT, nTimeoutMs) == 1 ? 0 : -1;
      int nSoError = ETIMEDOUT;
      socklen_t nLen = sizeof nSoError;
      if (nRet == 0 && (getsockopt(fd, SOL_SOCKET, SO_ERROR, &nSoError, &nLen) != 0 || nSoError != 0)) nRet = -1;
      errno = nSoError;
    }
    if (nRet != 0) {
      nError = errno;
      close(fd);
      continue;
    }
    const int nOne = 1;  // records are small and each waits for its answer
    (void)setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &nOne, sizeof nOne);
    m_fd = fd;
  }
  freeaddrinfo(pList);
  return m_fd >= 0 || Fail("connect to " + szHost + ":" + szPort, nError);
}

bool CTcpStream::SendAll(const void* pData, size_t nBytes) {
  const char* p = static_cast<const char*>(pData);
  while (nBytes > 0) {
    const ssize_t n = send(m_fd, p, nBytes, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) {
      if (WaitFor(m_fd, POLLOUT, -1) < 0) return Fail("send", errno);
      continue;
    }
    if (n < 0) return Fail("send", errno);
    p += n;
    nBytes -= static_cast<size_t>(n);
  }
  return true;
}

bool CTcpStream::ReceiveAll(void* pData, size_t nBytes, int nTimeoutMs, bool* pbEnded) {
  if (pbEnded) *pbEnded = false;
  char* p = static_cast<char*>(pData);
  while (nBytes > 0) {
    const int nReady = WaitFor(m_fd, POLLIN, nTimeoutMs);
    if (nReady <= 0) return Fail("receive", nReady == 0 ? ETIMEDOUT : errno);
    const ssize_t n = recv(m_fd, p, nBytes, MSG_DONTWAIT);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n < 0) return Fail("receive", errno);
    if (n == 0) {
      if (pbEnded) *pbEnded = true;
      return Fail("the peer closed the connection", 0);
    }
    p += n;
    nBytes -= static_cast<size_t>(n);
  }
  return true;
}

CTcpListener::~CTcpListener() {
  if (m_fd >= 0) close(m_fd);
}

bool CTcpListener::Listen(uint16_t wPort, std::string* pszError) {
  // One IPv6 socket that takes IPv4 peers too, where the system has IPv6.
  int fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_storage addr = {};
  socklen_t nLen = 0;
  if (fd >= 0) {
    const int nZero = 0;
    (void)setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &nZero, sizeof nZero);
    auto* p6 = reinterpret_cast<sockaddr_in6*>(&addr);
    p6->sin6_family = AF_INET6;
    p6->sin6_addr = in6addr_any;
    p6->sin6_port = htons(wPort);
    nLen = sizeof *p6;
  } else {
    fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    auto* p4 = reinterpret_cast<sockaddr_in*>(&addr);
    p4->sin_family = AF_INET;
    p4->sin_addr.s_addr = htonl(INADDR_ANY);
    p4->sin_port = htons(wPort);
    nLen = sizeof *p4;
  }
  const int nOne = 1;
  if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &nOne, sizeof nOne) != 0 ||
      bind(fd, reinterpret_cast<sockaddr*>(&addr), nLen) != 0 || listen(fd, 16) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &nLen) != 0) {
    *pszError = "listen on port " + std::to_string(wPort) + ": " + FormatSystemMessage(errno);
    if (fd >= 0) close(fd);
    return false;
  }
  m_fd = fd;
  m_wPort = ntohs(addr.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port
                                             : reinterpret_cast<sockaddr_in*>(&addr)->sin_port);
  return true;
}

bool CTcpListener::Accept(CTcpStream* pStream, int nTimeoutMs, std::string* pszError) {
  pszError->clear();
  const int nReady = WaitFor(m_fd, POLLIN, nTimeoutMs);
  if (nReady <= 0) {
    if (nReady < 0) *pszError = "accept: " + FormatSystemMessage(errno);
    return false;
  }
  const int fd = accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) {
    *pszError = "accept: " + FormatSystemMessage(errno);
    return false;
  }
  *pStream = CTcpStream(fd);
  return true;
}

}  // namespace stratavon
