#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

#include "engine/RunRecord.h"
#include "platform/Event.h"
#include "platform/WorkerThread.h"

namespace stratavon {

// What every worker in a slot shares, whatever its kind: the target and
// slot the console writes before the thread runs, the stop byte the console
// sets, the slot's end event, signalled when the object goes, and the
// extent its start-up finds it.
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
  // Where the worker's data lives: on a folder, its work file from offset 0
  // for as many bytes as the worker moves through it.
  SlotExtent m_extent;

  SlotActivity& Activity() const { return g_pTargetRecords[m_nTarget].activity[m_nSlot]; }
  // Brackets one blocking call, so that a console can see a stall while it
  // lasts; LeaveCall tells how long the call took. The request's bytes and
  // offset are for the stall's description only.
  void EnterCall(bool bWrite, uint32_t dwBytes, uint64_t qwOffset) {
    SlotActivity& activity = Activity();
    activity.dwCallBytes.store(dwBytes, std::memory_order_relaxed);
    activity.qwCallOffset.store(qwOffset, std::memory_order_relaxed);
    activity.nsCallStart.store(std::chrono::steady_clock::now().time_since_epoch().count(), std::memory_order_relaxed);
    activity.byCall.store(bWrite ? kCallWrite : kCallRead, std::memory_order_release);
  }
  std::chrono::nanoseconds LeaveCall() {
    SlotActivity& activity = Activity();
    activity.byCall.store(kCallNone, std::memory_order_relaxed);
    return std::chrono::nanoseconds(std::chrono::steady_clock::now().time_since_epoch().count() -
                                    activity.nsCallStart.load(std::memory_order_relaxed));
  }
  // The start-up is over: from here on the run's time counts.
  void BeginIo() { Activity().bIoBegun.store(1, std::memory_order_release); }
  // A call of the loop moved data.
  void NoteMoved() {
    if (!m_bMovedNoted) {
      m_bMovedNoted = true;
      Activity().bMoved.store(1, std::memory_order_release);
    }
  }

  // The stop poll of the loops. A worker that finds the stop byte set waits
  // until the console has set every worker's byte (see CThreadHandle).
  bool StopRequested() {
    if (m_bStop.load(std::memory_order_acquire) == 0) return false;
    WaitWhileSuspended();
    return true;
  }

 private:
  bool m_bMovedNoted = false;
};

}  // namespace stratavon
