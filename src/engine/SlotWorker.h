#pragma once

#include <atomic>
#include <cstdint>

#include "platform/Event.h"
#include "platform/WorkerThread.h"

namespace stratavon {

// What every worker in a slot shares, whatever its kind: the target and
// slot the console writes before the thread runs, the stop byte the console
// sets, and the slot's end event, signalled when the object goes.
class CSlotWorker : public CWorkerThread {
 public:
  ~CSlotWorker() override;

  int m_nTarget = -1;
  int m_nSlot = -1;
  // The slot's end event, handed over at launch so that the worker's end is
  // signalled however early its start-up fails.
  HEVENT m_hEndEvent;
  std::atomic<uint8_t> m_bStop{0};

 protected:
  // The stop poll of the loops. A worker that finds the stop byte set waits
  // until the console has set every worker's byte (see CThreadHandle).
  bool StopRequested() {
    if (m_bStop.load(std::memory_order_acquire) == 0) return false;
    WaitWhileSuspended();
    return true;
  }
};

}  // namespace stratavon
