#include "platform/AtomicWait.h"

namespace stratavon {

void SleepWhileEqual(const std::atomic<uint32_t>& value, uint32_t uOld) { value.wait(uOld, std::memory_order_acquire); }

void WakeAllSleepers(std::atomic<uint32_t>& value) { value.notify_all(); }

}  // namespace stratavon
