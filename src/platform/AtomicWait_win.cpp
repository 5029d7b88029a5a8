#include <windows.h>

#include "platform/AtomicWait.h"

namespace stratavon {

static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t) && std::atomic<uint32_t>::is_always_lock_free);

void SleepWhileEqual(const std::atomic<uint32_t>& value, uint32_t uOld) {
  WaitOnAddress(const_cast<std::atomic<uint32_t>*>(&value), &uOld, sizeof uOld, INFINITE);
}

void WakeAllSleepers(std::atomic<uint32_t>& value) { WakeByAddressAll(&value); }

}  // namespace stratavon
