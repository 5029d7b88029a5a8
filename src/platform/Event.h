#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>

namespace stratavon {

// A manual-reset event: stays signalled until reset, wakes every waiter.
class CManualResetEvent {
 public:
  explicit CManualResetEvent(bool bInitiallySignalled = false) : m_bSignalled(bInitiallySignalled) {}
  CManualResetEvent(const CManualResetEvent&) = delete;
  CManualResetEvent& operator=(const CManualResetEvent&) = delete;

  void Set();
  void Reset();
  bool IsSet() const;
  // True when the event was (or became) signalled within the time-out.
  bool Wait(std::chrono::milliseconds timeout) const;
  void Wait() const;

 private:
  mutable std::mutex m_mutex;
  mutable std::condition_variable m_cv;
  bool m_bSignalled;
};

using HEVENT = std::shared_ptr<CManualResetEvent>;

enum class WaitResult { kAllSignalled, kTimeout, kFailed };

// Waits until every event is signalled at the same moment or the time-out
// passes. Null entries make the wait fail, as an invalid handle would.
WaitResult WaitForAllEvents(std::span<const HEVENT> events, std::chrono::milliseconds timeout);

}  // namespace stratavon
