#include "platform/ForkedProcess.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <thread>

#include "platform/SystemError.h"

namespace stratavon {
namespace {

void CloseHandle(int& h) {
  if (h >= 0) close(h);
  h = -1;
}

}  // namespace

bool SeparateWorkerProcess() { return true; }

CForkedProcess::~CForkedProcess() {
  CloseOut();
  CloseErr();
  CloseHandle(m_hChannel);
}

bool CForkedProcess::Start(const std::function<int(int hChannel)>& body, std::string* pszWhy) {
  int out[2] = {-1, -1};
  int err[2] = {-1, -1};
  int channel[2] = {-1, -1};
  const auto fail = [&](const char* szWhat) {
    const int nError = errno;
    for (int* pPair : {out, err, channel}) {
      CloseHandle(pPair[0]);
      CloseHandle(pPair[1]);
    }
    if (pszWhy != nullptr) *pszWhy = std::string(szWhat) + ": " + FormatSystemMessage(nError);
    return false;
  };
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return fail("cannot make a pipe");
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, channel) != 0) return fail("cannot make a channel");
  const pid_t nParent = getpid();
  const pid_t nPid = fork();
  if (nPid < 0) return fail("cannot start the worker process");
  if (nPid == 0) {
    close(out[0]);
    close(err[0]);
    close(channel[0]);
    const int hNull = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (hNull >= 0) dup2(hNull, STDIN_FILENO);
    if (dup2(out[1], STDOUT_FILENO) < 0 || dup2(err[1], STDERR_FILENO) < 0) _exit(2);
    (void)setpgid(0, 0);
    (void)prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != nParent) _exit(2);  // the parent went before the request took hold
    const int nExit = body(channel[1]);
    std::fflush(nullptr);
    _exit(nExit);
  }
  close(out[1]);
  close(err[1]);
  close(channel[1]);
  m_nPid = nPid;
  m_hOut = out[0];
  m_hErr = err[0];
  m_hChannel = channel[0];
  // Also from this side, so that a signal sent to the group before the
  // child got to it cannot reach the child.
  (void)setpgid(nPid, nPid);
  return true;
}

void CForkedProcess::CloseOut() { CloseHandle(m_hOut); }
void CForkedProcess::CloseErr() { CloseHandle(m_hErr); }

void CForkedProcess::Signal(int nSignal) const {
  if (m_nPid > 0 && !m_bEnded) kill(m_nPid, nSignal);
}

void CForkedProcess::Kill() const { Signal(SIGKILL); }

bool CForkedProcess::WaitEnd(std::chrono::milliseconds timeout, std::string* pszHow, int* pnExit) {
  const auto tLimit = std::chrono::steady_clock::now() + timeout;
  while (!m_bEnded && m_nPid > 0) {
    int nStatus = 0;
    const pid_t n = waitpid(m_nPid, &nStatus, WNOHANG);
    if (n == m_nPid) {
      m_bEnded = true;
      if (WIFSIGNALED(nStatus)) {
        const int nSignal = WTERMSIG(nStatus);
        m_szHow = "signal " + std::to_string(nSignal) + " (" + strsignal(nSignal) + ")";
        m_nExit = -1;
      } else {
        m_nExit = WEXITSTATUS(nStatus);
        m_szHow = "exit status " + std::to_string(m_nExit);
      }
      break;
    }
    if (n < 0 && errno != EINTR) break;
    if (std::chrono::steady_clock::now() >= tLimit) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (m_bEnded && pszHow != nullptr) *pszHow = m_szHow;
  if (m_bEnded && pnExit != nullptr) *pnExit = m_nExit;
  return m_bEnded;
}

namespace {

// The state letter of /proc/.../stat: the field after the command's ")".
char ProcessState(const std::string& szStatPath) {
  std::ifstream stat(szStatPath);
  std::string szLine;
  if (!std::getline(stat, szLine)) return '?';
  const size_t nParen = szLine.rfind(')');
  return nParen != std::string::npos && nParen + 2 < szLine.size() ? szLine[nParen + 2] : '?';
}

}  // namespace

bool StuckInKernel(int nPid) {
  const std::string szProc = "/proc/" + std::to_string(nPid);
  bool bDying = ProcessState(szProc + "/stat") == 'Z';
  if (!bDying) {
    std::ifstream status(szProc + "/status");
    std::string szLine;
    while (std::getline(status, szLine)) {
      unsigned long long qwMask = 0;
      if ((std::sscanf(szLine.c_str(), "ShdPnd: %llx", &qwMask) == 1 ||
           std::sscanf(szLine.c_str(), "SigPnd: %llx", &qwMask) == 1) &&
          (qwMask >> (SIGKILL - 1) & 1) != 0) {
        bDying = true;
      }
    }
  }
  if (!bDying) return false;
  DIR* pTasks = opendir((szProc + "/task").c_str());
  if (pTasks == nullptr) return false;
  bool bAsleep = false;
  while (const dirent* pEntry = readdir(pTasks)) {
    if (pEntry->d_name[0] == '.') continue;
    if (ProcessState(szProc + "/task/" + pEntry->d_name + "/stat") == 'D') bAsleep = true;
  }
  closedir(pTasks);
  return bAsleep;
}

bool SendFrame(int hChannel, char cKind, const std::string& szBody) {
  const uint32_t dwLength = static_cast<uint32_t>(szBody.size());
  std::string szFrame(reinterpret_cast<const char*>(&dwLength), sizeof dwLength);
  szFrame += cKind;
  szFrame += szBody;
  size_t nDone = 0;
  while (nDone < szFrame.size()) {
    const ssize_t n = send(hChannel, szFrame.data() + nDone, szFrame.size() - nDone, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    nDone += static_cast<size_t>(n);
  }
  return true;
}

bool CFrameReader::ReadAvailable(int hChannel) { return stratavon::ReadAvailable(hChannel, m_szPending); }

bool CFrameReader::Next(char* pcKind, std::string* pszBody) {
  constexpr size_t kHead = sizeof(uint32_t) + 1;
  if (m_szPending.size() < kHead) return false;
  uint32_t dwLength = 0;
  std::memcpy(&dwLength, m_szPending.data(), sizeof dwLength);
  if (m_szPending.size() < kHead + dwLength) return false;
  *pcKind = m_szPending[sizeof dwLength];
  pszBody->assign(m_szPending, kHead, dwLength);
  m_szPending.erase(0, kHead + dwLength);
  return true;
}

bool CFrameReader::WaitFrame(int hChannel, std::chrono::milliseconds timeout, char* pcKind, std::string* pszBody) {
  const auto tLimit = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (Next(pcKind, pszBody)) return true;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(tLimit - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    std::vector<bool> ready;
    WaitReadable({hChannel}, left, ready);
    if (ready[0] && !ReadAvailable(hChannel)) return Next(pcKind, pszBody);
  }
}

void WaitReadable(const std::vector<int>& handles, std::chrono::milliseconds timeout, std::vector<bool>& ready) {
  std::vector<pollfd> polls;
  for (int h : handles) polls.push_back({h, POLLIN, 0});
  ready.assign(handles.size(), false);
  const int nTimeout = timeout.count() < 0 ? 0 : static_cast<int>(timeout.count());
  if (poll(polls.data(), polls.size(), nTimeout) <= 0) return;
  for (size_t i = 0; i < polls.size(); ++i) ready[i] = handles[i] >= 0 && polls[i].revents != 0;
}

bool ReadAvailable(int hHandle, std::string& szText) {
  char buffer[65536];
  for (;;) {
    const ssize_t n = recv(hHandle, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n > 0) {
      szText.append(buffer, static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == ENOTSOCK) break;
    if (n == 0) return false;
    if (errno == EINTR) continue;
    return errno == EAGAIN || errno == EWOULDBLOCK;
  }
  // A pipe: non-blocking reads through a flag of the descriptor.
  const int nFlags = fcntl(hHandle, F_GETFL);
  if (nFlags >= 0 && (nFlags & O_NONBLOCK) == 0) (void)fcntl(hHandle, F_SETFL, nFlags | O_NONBLOCK);
  for (;;) {
    const ssize_t n = read(hHandle, buffer, sizeof buffer);
    if (n > 0) {
      szText.append(buffer, static_cast<size_t>(n));
      continue;
    }
    if (n == 0) return false;
    if (errno == EINTR) continue;
    return errno == EAGAIN || errno == EWOULDBLOCK;
  }
}

bool WriteAll(int hHandle, const std::string& szText) {
  size_t nDone = 0;
  while (nDone < szText.size()) {
    const ssize_t n = write(hHandle, szText.data() + nDone, szText.size() - nDone);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    nDone += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace stratavon
