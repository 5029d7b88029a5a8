#include "platform/SignalWatch.h"

#include <poll.h>
#include <pthread.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

namespace stratavon {

CSignalWatch::CSignalWatch() {
  std::signal(SIGPIPE, SIG_IGN);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  // A run started under nohup keeps the hang-up ignored: a blocked signal
  // is queued even when ignored, so watching it would end the run after all.
  struct sigaction hangUp {};
  if (sigaction(SIGHUP, nullptr, &hangUp) != 0 || hangUp.sa_handler != SIG_IGN) sigaddset(&set, SIGHUP);
  if (pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) return;
  m_hSignals = signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
}

CSignalWatch::~CSignalWatch() {
  if (m_hSignals >= 0) close(m_hSignals);
}

int CSignalWatch::Wait(std::chrono::milliseconds timeout) {
  if (m_hSignals < 0) return 0;
  pollfd pfd{m_hSignals, POLLIN, 0};
  const int nTimeout = timeout.count() < 0 ? 0 : static_cast<int>(timeout.count());
  const int nReady = poll(&pfd, 1, nTimeout);
  if (nReady <= 0) return 0;
  signalfd_siginfo info{};
  ssize_t n;
  do {
    n = read(m_hSignals, &info, sizeof info);
  } while (n < 0 && errno == EINTR);
  return n == static_cast<ssize_t>(sizeof info) ? static_cast<int>(info.ssi_signo) : 0;
}

}  // namespace stratavon
