#include "support/ChildProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include "support/Wait.h"

extern char** environ;

namespace stratavon::test {

CChildProcess::CChildProcess(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env) {
  std::map<std::string, std::string> merged;
  for (char** pp = environ; *pp != nullptr; ++pp) {
    const std::string sz = *pp;
    const size_t nEq = sz.find('=');
    if (nEq != std::string::npos) merged[sz.substr(0, nEq)] = sz.substr(nEq + 1);
  }
  for (const auto& [k, v] : env) merged[k] = v;
  std::vector<std::string> envStrings, args = argv;
  for (const auto& [k, v] : merged) envStrings.push_back(k + "=" + v);
  std::vector<char*> envp, argp;
  for (std::string& sz : envStrings) envp.push_back(sz.data());
  for (std::string& sz : args) argp.push_back(sz.data());
  envp.push_back(nullptr);
  argp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, m_szOut.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, m_szErr.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (posix_spawnp(&m_nPid, argp[0], &actions, nullptr, argp.data(), envp.data()) != 0) m_nPid = -1;
  posix_spawn_file_actions_destroy(&actions);
}

CChildProcess::~CChildProcess() {
  if (m_nPid > 0 && !m_bReaped) {
    kill(m_nPid, SIGKILL);
    waitpid(m_nPid, nullptr, 0);
  }
}

void CChildProcess::Signal(int nSignal) const {
  if (m_nPid > 0) kill(m_nPid, nSignal);
}

bool CChildProcess::Running() {
  if (m_bReaped || m_nPid <= 0) return false;
  if (waitpid(m_nPid, &m_nStatus, WNOHANG) != m_nPid) return true;
  m_bReaped = true;
  return false;
}

int CChildProcess::Wait(std::chrono::seconds limit) {
  if (m_nPid <= 0 || !Eventually([this] { return !Running(); }, limit)) return -1;
  return WIFEXITED(m_nStatus) ? WEXITSTATUS(m_nStatus) : 128 + WTERMSIG(m_nStatus);
}

}  // namespace stratavon::test
