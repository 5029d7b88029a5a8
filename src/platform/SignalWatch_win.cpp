#include "platform/SignalWatch.h"

#include <windows.h>

#include <condition_variable>
#include <csignal>
#include <deque>
#include <mutex>

namespace stratavon {
namespace {

// The console's control events, turned into the signal numbers the run
// reports: Ctrl+C SIGINT, Ctrl+Break and a shutdown SIGTERM, a closed
// console window SIGHUP. The handler runs on a thread of its own.
std::mutex g_mutex;
std::condition_variable g_arrived;
std::deque<int> g_pending;

BOOL WINAPI OnConsoleControl(DWORD dwEvent) {
  int nSignal = SIGTERM;
  if (dwEvent == CTRL_C_EVENT) nSignal = SIGINT;
  if (dwEvent == CTRL_CLOSE_EVENT) nSignal = SIGHUP;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_pending.push_back(nSignal);
  }
  g_arrived.notify_all();
  return TRUE;  // handled: the process is not ended, the run stops itself
}

}  // namespace

CSignalWatch::CSignalWatch() {
  if (SetConsoleCtrlHandler(OnConsoleControl, TRUE)) m_hSignals = 0;
}

CSignalWatch::~CSignalWatch() {
  if (m_hSignals >= 0) SetConsoleCtrlHandler(OnConsoleControl, FALSE);
}

int CSignalWatch::Wait(std::chrono::milliseconds timeout) {
  if (m_hSignals < 0) return 0;
  std::unique_lock<std::mutex> lock(g_mutex);
  if (timeout.count() > 0) g_arrived.wait_for(lock, timeout, [] { return !g_pending.empty(); });
  if (g_pending.empty()) return 0;
  const int nSignal = g_pending.front();
  g_pending.pop_front();
  return nSignal;
}

}  // namespace stratavon
