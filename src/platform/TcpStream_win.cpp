// The flush journal's network exchange is Linux-only for now: on Windows
// every connection and listen fails with that reason, so a run that asks
// for a journal server is refused rather than run without it.

#include <utility>

#include "platform/TcpStream.h"

namespace stratavon {
namespace {

constexpr const char* kLinuxOnly = "the flush journal over TCP is not supported on Windows";

}  // namespace

CTcpStream::~CTcpStream() { Close(); }

CTcpStream::CTcpStream(CTcpStream&& other) noexcept
    : m_fd(std::exchange(other.m_fd, -1)), m_szError(std::move(other.m_szError)) {}

CTcpStream& CTcpStream::operator=(CTcpStream&& other) noexcept {
  if (this != &other) {
    m_fd = std::exchange(other.m_fd, -1);
    m_szError = std::move(other.m_szError);
  }
  return *this;
}

void CTcpStream::Close() { m_fd = -1; }

bool CTcpStream::Fail(const std::string& szWhat, int) {
  m_szError = szWhat + ": " + kLinuxOnly;
  return false;
}

bool CTcpStream::Connect(const std::string& szHost, uint16_t wPort, int) {
  return Fail(szHost + ":" + std::to_string(wPort), ENOSYS);
}

bool CTcpStream::SendAll(const void*, size_t) { return Fail("send", ENOSYS); }

bool CTcpStream::ReceiveAll(void*, size_t, int, bool* pbEnded) {
  if (pbEnded != nullptr) *pbEnded = false;
  return Fail("receive", ENOSYS);
}

CTcpListener::~CTcpListener() = default;

bool CTcpListener::Listen(uint16_t wPort, std::string* pszError) {
  if (pszError != nullptr) *pszError = "port " + std::to_string(wPort) + ": " + kLinuxOnly;
  return false;
}

bool CTcpListener::Accept(CTcpStream*, int, std::string* pszError) {
  if (pszError != nullptr) *pszError = kLinuxOnly;
  return false;
}

}  // namespace stratavon
