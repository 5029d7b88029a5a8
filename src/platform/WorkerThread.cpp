#include "platform/WorkerThread.h"

#include <system_error>
#include <thread>

namespace stratavon {

uint32_t CThreadHandle::Suspend() {
  std::lock_guard lock(m_mutex);
  if (m_dwExitCode != STILL_ACTIVE) return kThreadCallFailed;
  return m_dwSuspendCount++;
}

uint32_t CThreadHandle::Resume() {
  uint32_t dwPrevious;
  {
    std::lock_guard lock(m_mutex);
    if (m_dwExitCode != STILL_ACTIVE) return kThreadCallFailed;
    dwPrevious = m_dwSuspendCount;
    if (m_dwSuspendCount > 0) --m_dwSuspendCount;
    if (m_dwSuspendCount > 0) return dwPrevious;
  }
  m_cvResume.notify_all();
  return dwPrevious;
}

uint32_t CThreadHandle::SuspendCount() const {
  std::lock_guard lock(m_mutex);
  return m_dwSuspendCount;
}

uint32_t CThreadHandle::ExitCode() const {
  std::lock_guard lock(m_mutex);
  return m_dwExitCode;
}

bool CThreadHandle::PostMessage(const ThreadMessage& msg) {
  {
    std::lock_guard lock(m_mutex);
    if (m_dwExitCode != STILL_ACTIVE) return false;
    m_queue.push_back(msg);
  }
  m_cvMessage.notify_one();
  return true;
}

void CThreadHandle::WaitWhileSuspended() {
  std::unique_lock lock(m_mutex);
  m_cvResume.wait(lock, [this] { return m_dwSuspendCount == 0; });
}

ThreadMessage CThreadHandle::GetMessage() {
  std::unique_lock lock(m_mutex);
  m_cvMessage.wait(lock, [this] { return !m_queue.empty(); });
  ThreadMessage msg = m_queue.front();
  m_queue.pop_front();
  return msg;
}

void CThreadHandle::Retire(uint32_t dwExitCode) {
  std::unique_lock lock(m_mutex);
  m_cvResume.wait(lock, [this] { return m_dwSuspendCount == 0; });
  m_dwExitCode = dwExitCode == STILL_ACTIVE ? 0 : dwExitCode;
  m_queue.clear();
}

CWorkerThread::CWorkerThread() : m_hThread(std::make_shared<CThreadHandle>()) {}

CWorkerThread::~CWorkerThread() = default;

bool CWorkerThread::CreateSuspended() {
  try {
    std::thread(&CWorkerThread::ThreadMain, this).detach();
  } catch (const std::system_error&) {
    // (std::thread reports EAGAIN as an exception; to our callers it is a null thread)
    return false;
  }
  return true;
}

void CWorkerThread::EndThread(uint32_t dwExitCode) {
  m_bEnding = true;
  m_dwExitCode = dwExitCode;
}

void CWorkerThread::ThreadMain() {
  // Keep the handle alive past the object's own deletion.
  HTHREAD hThread = m_hThread;
  hThread->WaitWhileSuspended();
  if (InitInstance()) {
    while (!m_bEnding) OnThreadMessage(hThread->GetMessage());
  }
  hThread->Retire(m_dwExitCode);
  delete this;
}

}  // namespace stratavon
