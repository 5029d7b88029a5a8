#pragma once

#include <atomic>
#include <cstdint>

namespace stratavon {

// Sleeps while the value still equals uOld (it may return early: check
// again), and wakes every thread sleeping on it. The system's own wait on
// an address: a futex on Linux (std::atomic's wait), WaitOnAddress on
// Windows, where the C++ library's stand-in can miss a wake-up.
void SleepWhileEqual(const std::atomic<uint32_t>& value, uint32_t uOld);
void WakeAllSleepers(std::atomic<uint32_t>& value);

}  // namespace stratavon
