#include "platform/Event.h"

namespace stratavon {

void CManualResetEvent::Set() {
  {
    std::lock_guard lock(m_mutex);
    m_bSignalled = true;
  }
  m_cv.notify_all();
}

void CManualResetEvent::Reset() {
  std::lock_guard lock(m_mutex);
  m_bSignalled = false;
}

bool CManualResetEvent::IsSet() const {
  std::lock_guard lock(m_mutex);
  return m_bSignalled;
}

bool CManualResetEvent::Wait(std::chrono::milliseconds timeout) const {
  std::unique_lock lock(m_mutex);
  return m_cv.wait_for(lock, timeout, [this] { return m_bSignalled; });
}

void CManualResetEvent::Wait() const {
  std::unique_lock lock(m_mutex);
  m_cv.wait(lock, [this] { return m_bSignalled; });
}

WaitResult WaitForAllEvents(std::span<const HEVENT> events, std::chrono::milliseconds timeout) {
  for (const HEVENT& hEvent : events) {
    if (!hEvent) return WaitResult::kFailed;
  }
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    // Manual-reset events can be reset again by their owner, so the set is
    // complete only when one sweep finds every event signalled.
    bool bAll = true;
    for (const HEVENT& hEvent : events) {
      const auto now = std::chrono::steady_clock::now();
      const auto left = deadline > now ? std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now)
                                       : std::chrono::milliseconds(0);
      if (!hEvent->Wait(left)) {
        bAll = false;
        break;
      }
    }
    if (bAll) {
      bool bStill = true;
      for (const HEVENT& hEvent : events) bStill = bStill && hEvent->IsSet();
      if (bStill) return WaitResult::kAllSignalled;
    }
    if (std::chrono::steady_clock::now() >= deadline) return WaitResult::kTimeout;
  }
}

}  // namespace stratavon
