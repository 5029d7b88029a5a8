#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <string>
#include <thread>
#include <vector>

#include "support/TempDir.h"

extern char** environ;

namespace stratavon::test {

// A program run as a child process with this process's environment; its
// output goes to files that can be read at any time. Killed and reaped
// when the object goes.
class CChildProcess {
 public:
  explicit CChildProcess(std::vector<std::string> argv) {
    std::vector<char*> pointers;
    for (std::string& sz : argv) pointers.push_back(sz.data());
    pointers.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, m_szOut.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, m_szErr.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (posix_spawnp(&m_nPid, pointers[0], &actions, nullptr, pointers.data(), environ) != 0) m_nPid = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~CChildProcess() {
    if (m_nPid > 0 && !m_bReaped) {
      kill(m_nPid, SIGKILL);
      waitpid(m_nPid, nullptr, 0);
    }
  }
  CChildProcess(const CChildProcess&) = delete;
  CChildProcess& operator=(const CChildProcess&) = delete;

  bool Started() const { return m_nPid > 0; }
  pid_t Pid() const { return m_nPid; }
  std::string Out() const { return ReadWholeFile(m_szOut); }
  std::string Err() const { return ReadWholeFile(m_szErr); }

  // The exit code (128 + the signal when one ended it); -1 when the process
  // did not end within the limit.
  int Wait(std::chrono::seconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int nStatus = 0;
    while (waitpid(m_nPid, &nStatus, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) return -1;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    m_bReaped = true;
    return WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : 128 + WTERMSIG(nStatus);
  }

 private:
  CTempDir m_dir;
  std::string m_szOut = m_dir.Path("out");
  std::string m_szErr = m_dir.Path("err");
  pid_t m_nPid = -1;
  bool m_bReaped = false;
};

}  // namespace stratavon::test
