#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <thread>

#include "engine/Crc32.h"

namespace stratavon {

// From this buffer size on, a checksum takes longer than handing a buffer
// to another thread (or waking up for one request), so checking while the
// next I/O moves pays.
inline constexpr uint32_t kOverlapCheckBytes = 256 * 1024;

// Checking aside needs a core of its own for each worker that does it: with
// as many busy threads as cores, a second thread per worker only adds
// wake-ups and cache traffic. True when every one of nWorkers (the run's
// workers, an upper bound) and its checker can have a core this process
// may run on.
bool BackgroundCheckPays(unsigned nWorkers);

// Compares one buffer at a time against a stored checksum on a thread of
// its own, so that a worker can move its next pass while the last one is
// being checked. The owner posts a buffer, goes on with its I/O, and takes
// the verdict before it touches that buffer again or reports anything.
class CBackgroundCheck {
 public:
  using Clock = std::chrono::steady_clock;

  CBackgroundCheck() = default;
  ~CBackgroundCheck() { Stop(); }
  CBackgroundCheck(const CBackgroundCheck&) = delete;
  CBackgroundCheck& operator=(const CBackgroundCheck&) = delete;

  // Starts the checking thread; false if the system refuses one. A buffer
  // passes when it matches the checksum, or when pfnCheck says it does.
  bool Start(const CCrc32& crc);
  bool Start(std::function<bool(const uint8_t*, size_t)> pfnCheck);
  // Ends the thread after the buffer it may be checking. Idempotent.
  void Stop();
  bool Running() const { return m_thread.joinable(); }

  // Hands over a buffer; nothing may be pending and the thread must run.
  // The buffer must stay untouched until Take returns.
  void Post(const uint8_t* pData, size_t nLength);
  bool Pending() const { return m_bPending; }
  // Waits for the posted buffer's verdict: true if it matched the checksum.
  bool Take();

 private:
  enum State : uint32_t { kIdle, kPosted, kDone, kQuit };

  void ThreadMain();

  std::thread m_thread;
  std::atomic<uint32_t> m_state{kIdle};
  std::function<bool(const uint8_t*, size_t)> m_pfnCheck;
  // Written by the owner before kPosted, read by the thread after it.
  const uint8_t* m_pData = nullptr;
  size_t m_nLength = 0;
  Clock::time_point m_tPosted;
  // Written by the thread before kDone, read by the owner after it.
  bool m_bMatched = false;
  Clock::time_point m_tChecked;
  // The owner's own bookkeeping.
  bool m_bPending = false;
  // How long each side last waited for the other: a side that waited long
  // last time sleeps at once rather than spinning.
  Clock::duration m_ownerWait{};
  Clock::duration m_checkerWait{};  // the thread's own
};

}  // namespace stratavon
