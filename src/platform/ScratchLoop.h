#pragma once

#include <string>

namespace stratavon {

// A loop device over a file of the caller's (a scratch image), for as long
// as the object lives. It is set to clear itself (LO_FLAGS_AUTOCLEAR) and
// the object holds it open, so the device goes away with its last opener:
// when the object goes, and with the process however it ends. Needs root
// and /dev/loop-control.
class CScratchLoop {
 public:
  CScratchLoop() = default;
  ~CScratchLoop();
  CScratchLoop(const CScratchLoop&) = delete;
  CScratchLoop& operator=(const CScratchLoop&) = delete;

  // Attaches a free loop device to szImage with dwSectorBytes logical
  // sectors. False with Failure() saying why.
  bool Attach(const std::string& szImage, unsigned dwSectorBytes);
  void Detach();
  const std::string& Node() const { return m_szNode; }
  const std::string& Failure() const { return m_szFailure; }

 private:
  int m_hDevice = -1;
  std::string m_szNode;
  std::string m_szFailure;
};

}  // namespace stratavon
