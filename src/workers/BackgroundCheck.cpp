#include "workers/BackgroundCheck.h"

#include "platform/AtomicWait.h"
#include "platform/CpuInfo.h"

#include <algorithm>
#include <chrono>
#include <system_error>
#include <utility>

namespace stratavon {
namespace {

// A pass of a buffer worth checking aside takes from tens of microseconds
// (memory-speed storage) to milliseconds (a disk). When the other side
// answers within about this long, sleeping on the futex would cost a
// wake-up through the scheduler every pass, and the scheduler then likes
// to wake the checker on the reader's own core: spin instead, yielding, so
// a checker that does land on the reader's core hands it straight back.
// When it answered later than this last time, sleep at once: spinning
// through a disk's latency burns a core that the system (in a VM, the
// device's emulation itself) may need.
constexpr std::chrono::nanoseconds kSpinBeforeSleep = std::chrono::microseconds(200);

using Clock = CBackgroundCheck::Clock;

// Returns the state once bDone(state) holds. Spins first if the other
// side's last answer came quickly (lastWait), else sleeps at once. tChanged
// is when the other side made the change waited for: the time it took is
// measured up to then, not up to this side's wake-up, so a slow wake-up
// once does not make every later wait a sleep.
template <typename Done>
uint32_t AwaitState(const std::atomic<uint32_t>& state, Done bDone, const Clock::time_point& tChanged,
                    Clock::duration& lastWait) {
  uint32_t uNow = state.load(std::memory_order_acquire);
  if (bDone(uNow)) {
    lastWait = Clock::duration::zero();
    return uNow;
  }
  const Clock::time_point tStart = Clock::now();
  bool bSleep = lastWait >= kSpinBeforeSleep;
  while (!bDone(uNow)) {
    if (bSleep) {
      SleepWhileEqual(state, uNow);
    } else {
      sched_yield();
      bSleep = Clock::now() - tStart >= kSpinBeforeSleep;
    }
    uNow = state.load(std::memory_order_acquire);
  }
  lastWait = std::max(tChanged - tStart, Clock::duration::zero());
  return uNow;
}

}  // namespace

bool BackgroundCheckPays(unsigned nWorkers) {
  return 2 * static_cast<unsigned long>(nWorkers) <= static_cast<unsigned long>(UsableProcessorCount());
}

bool CBackgroundCheck::Start(const CCrc32& crc) {
  return Start([crc](const uint8_t* pData, size_t nLength) { return crc.Check(pData, nLength); });
}

bool CBackgroundCheck::Start(std::function<bool(const uint8_t*, size_t)> pfnCheck) {
  if (Running()) return true;
  m_pfnCheck = std::move(pfnCheck);
  m_state.store(kIdle, std::memory_order_relaxed);
  m_bPending = false;
  try {
    m_thread = std::thread(&CBackgroundCheck::ThreadMain, this);
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

void CBackgroundCheck::Stop() {
  if (!Running()) return;
  // A buffer being checked is finished first: its owner may free it only
  // after the thread is gone.
  m_state.store(kQuit, std::memory_order_release);
  WakeAllSleepers(m_state);
  m_thread.join();
  m_bPending = false;
}

void CBackgroundCheck::Post(const uint8_t* pData, size_t nLength) {
  m_pData = pData;
  m_nLength = nLength;
  m_bPending = true;
  m_tPosted = Clock::now();
  m_state.store(kPosted, std::memory_order_release);
  WakeAllSleepers(m_state);
}

bool CBackgroundCheck::Take() {
  if (!m_bPending) return true;
  (void)AwaitState(m_state, [](uint32_t u) { return u != kPosted; }, m_tChecked, m_ownerWait);
  m_bPending = false;
  const bool bMatched = m_bMatched;
  m_state.store(kIdle, std::memory_order_relaxed);
  return bMatched;
}

void CBackgroundCheck::ThreadMain() {
  for (;;) {
    const uint32_t state =
        AwaitState(m_state, [](uint32_t u) { return u == kPosted || u == kQuit; }, m_tPosted, m_checkerWait);
    if (state == kQuit) return;
    m_bMatched = m_pfnCheck(m_pData, m_nLength);
    m_tChecked = Clock::now();
    // The owner may have asked to quit meanwhile; that request stands.
    uint32_t expected = kPosted;
    if (m_state.compare_exchange_strong(expected, kDone, std::memory_order_acq_rel)) WakeAllSleepers(m_state);
  }
}

}  // namespace stratavon
