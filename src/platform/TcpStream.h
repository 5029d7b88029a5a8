#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace stratavon {

// A connected TCP stream: whole-buffer sends and receives with a time
// limit, for the small framed exchanges of the flush journal. Failures are
// values: false, with LastError() saying why.
class CTcpStream {
 public:
  CTcpStream() = default;
  explicit CTcpStream(int fd) : m_fd(fd) {}
  ~CTcpStream();
  CTcpStream(CTcpStream&& other) noexcept;
  CTcpStream& operator=(CTcpStream&& other) noexcept;
  CTcpStream(const CTcpStream&) = delete;
  CTcpStream& operator=(const CTcpStream&) = delete;

  // Connects to HOST:PORT (a name or a numeric address), within nTimeoutMs.
  bool Connect(const std::string& szHost, uint16_t wPort, int nTimeoutMs);
  bool SendAll(const void* pData, size_t nBytes);
  // Fills the buffer, waiting at most nTimeoutMs for each piece; false on a
  // time-out, an error or the peer's end (*pbEnded then, when given).
  bool ReceiveAll(void* pData, size_t nBytes, int nTimeoutMs, bool* pbEnded = nullptr);
  void Close();
  bool IsOpen() const { return m_fd >= 0; }
  const std::string& LastError() const { return m_szError; }

 private:
  bool Fail(const std::string& szWhat, int nError);
  int m_fd = -1;
  std::string m_szError;
};

// A listening TCP socket on every address of this machine.
class CTcpListener {
 public:
  ~CTcpListener();
  // Port 0 takes a free port; Port() then names it.
  bool Listen(uint16_t wPort, std::string* pszError);
  uint16_t Port() const { return m_wPort; }
  // Waits at most nTimeoutMs for a peer (-1: for ever); false on a
  // time-out (pszError left empty) or an error.
  bool Accept(CTcpStream* pStream, int nTimeoutMs, std::string* pszError);

 private:
  int m_fd = -1;
  uint16_t m_wPort = 0;
};

}  // namespace stratavon
