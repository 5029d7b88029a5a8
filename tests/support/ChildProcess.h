#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

#include "support/TempDir.h"

namespace stratavon::test {

// A program run as a child with the test's environment plus overrides; its
// standard output and error go to files read at any time. Killed and reaped
// if it is still there when the object goes, so a failed test leaves no
// process behind.
class CChildProcess {
 public:
  explicit CChildProcess(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env = {});
  ~CChildProcess();
  CChildProcess(const CChildProcess&) = delete;
  CChildProcess& operator=(const CChildProcess&) = delete;

  bool Started() const { return m_nPid > 0; }
  pid_t Pid() const { return m_nPid; }
  void Signal(int nSignal) const;
  bool Running();
  std::string Out() const { return ReadWholeFile(m_szOut); }
  std::string Err() const { return ReadWholeFile(m_szErr); }
  // The exit code (128 + the signal for one that killed it); -1 when it
  // did not end within the bound.
  int Wait(std::chrono::seconds limit = std::chrono::seconds(60));

 private:
  CTempDir m_dir;
  std::string m_szOut = m_dir.Path("out");
  std::string m_szErr = m_dir.Path("err");
  pid_t m_nPid = -1;
  bool m_bReaped = false;
  int m_nStatus = 0;
};

}  // namespace stratavon::test
