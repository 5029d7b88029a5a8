// The Windows backend: each slot is one OVERLAPPED request with its own
// manual-reset event on the file's handle (opened FILE_FLAG_OVERLAPPED).
// The owner thread issues ReadFile/WriteFile, waits on the events of the
// slots in flight (WaitForMultipleObjects, at most 64 = kMaxDepth), and
// takes each result with GetOverlappedResult, so a completion is seen when
// its owner waits, as with io_uring. Cancelling is CancelIoEx on each
// request, then waiting until the cancellations have completed too: only
// then is the kernel done with the buffers.

#include <windows.h>

#include <io.h>

#include <array>
#include <new>
#include <vector>

#include "platform/IoQueueBackends.h"
#include "platform/WinError_win.h"

namespace stratavon::ioqueue {
namespace {

static_assert(CIoQueue::kMaxDepth <= MAXIMUM_WAIT_OBJECTS);

class COverlappedQueue final : public CIoQueue {
 public:
  explicit COverlappedQueue(unsigned nDepth) : CIoQueue(nDepth) {}
  ~COverlappedQueue() override {
    CancelAll();
    for (SSlot& slot : m_aSlot) {
      if (slot.overlapped.hEvent != nullptr) CloseHandle(slot.overlapped.hEvent);
    }
  }

  // Makes the slots' events; an errno when the system refused one.
  int Start() {
    for (unsigned n = 0; n < Depth(); ++n) {
      m_aSlot[n].overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
      if (m_aSlot[n].overlapped.hEvent == nullptr) return ErrnoFromWin32(GetLastError());
    }
    return 0;
  }

  IoBackend Backend() const override { return IoBackend::kOverlapped; }

  int Issue(unsigned nIndex, int hFile, bool bWrite, void* pData, uint32_t nBytes, uint64_t qwOffset) override {
    if (nIndex >= Depth() || (pData == nullptr && nBytes != 0)) return EINVAL;
    if (hFile < 0) return EBADF;
    SSlot& slot = m_aSlot[nIndex];
    if (slot.bInFlight) return EBUSY;
    m_qwCompleted &= ~(uint64_t(1) << nIndex);
    HANDLE hHandle = reinterpret_cast<HANDLE>(_get_osfhandle(hFile));
    if (hHandle == INVALID_HANDLE_VALUE) {
      Complete(nIndex, -EBADF);
      return 0;
    }
    HANDLE hEvent = slot.overlapped.hEvent;
    slot.overlapped = OVERLAPPED{};
    slot.overlapped.hEvent = hEvent;
    slot.overlapped.Offset = static_cast<DWORD>(qwOffset);
    slot.overlapped.OffsetHigh = static_cast<DWORD>(qwOffset >> 32);
    ResetEvent(hEvent);
    slot.hHandle = hHandle;
    const BOOL bOk = bWrite ? WriteFile(hHandle, pData, nBytes, nullptr, &slot.overlapped)
                            : ReadFile(hHandle, pData, nBytes, nullptr, &slot.overlapped);
    const DWORD dwError = bOk ? ERROR_SUCCESS : GetLastError();
    if (!bOk && dwError != ERROR_IO_PENDING) {
      // Refused by the system at once: the slot completes with that error.
      Complete(nIndex, dwError == ERROR_HANDLE_EOF ? 0 : -ErrnoFromWin32(dwError));
      return 0;
    }
    // Done at once or pending: either way the event tells, and the result
    // is taken when the owner waits.
    slot.bInFlight = true;
    ++m_nInFlight;
    return 0;
  }

  int Submit() override { return 0; }  // each issue is its own system call

  IoWaitResult WaitAll(std::chrono::milliseconds timeout) override { return WaitAtMost(0, timeout); }

  IoWaitResult WaitAtMost(unsigned nMax, std::chrono::milliseconds timeout) override {
    return WaitUntil(DeadlineAfter(timeout), [this, nMax] { return m_nInFlight <= nMax; });
  }

  uint64_t TakeCompleted() override {
    Reap();
    const uint64_t qwCompleted = m_qwCompleted;
    m_qwCompleted = 0;
    return qwCompleted;
  }

  IoWaitResult WaitOne(unsigned nIndex, std::chrono::milliseconds timeout) override {
    if (nIndex >= Depth()) {
      errno = EINVAL;
      return IoWaitResult::kFailed;
    }
    return WaitUntil(DeadlineAfter(timeout), [this, nIndex] { return !m_aSlot[nIndex].bInFlight; });
  }

  int64_t Result(unsigned nIndex) const override { return nIndex < Depth() ? m_aSlot[nIndex].nResult : -EINVAL; }

  std::chrono::steady_clock::time_point CompletedAt(unsigned nIndex) const override {
    return nIndex < Depth() ? m_aSlot[nIndex].tDone : std::chrono::steady_clock::time_point{};
  }

  bool InFlight(unsigned nIndex) const override { return nIndex < Depth() && m_aSlot[nIndex].bInFlight; }

  unsigned InFlightCount() const override { return m_nInFlight; }

  // A request the system has not started yet ends as cancelled; one it
  // cannot withdraw is awaited, as long as the time-out allows.
  bool CancelAllFor(std::chrono::milliseconds timeout) override {
    for (SSlot& slot : m_aSlot) {
      if (slot.bInFlight && !slot.bCancelled) {
        CancelIoEx(slot.hHandle, &slot.overlapped);
        slot.bCancelled = true;
      }
    }
    return WaitUntil(DeadlineAfter(timeout), [this] { return m_nInFlight == 0; }) == IoWaitResult::kAllDone;
  }

 private:
  struct SSlot {
    OVERLAPPED overlapped{};
    HANDLE hHandle = INVALID_HANDLE_VALUE;
    int64_t nResult = 0;
    std::chrono::steady_clock::time_point tDone{};
    bool bInFlight = false;
    bool bCancelled = false;
  };

  void Complete(unsigned nIndex, int64_t nResult) {
    SSlot& slot = m_aSlot[nIndex];
    slot.nResult = nResult;
    slot.tDone = std::chrono::steady_clock::now();
    slot.bCancelled = false;
    m_qwCompleted |= uint64_t(1) << nIndex;
    if (slot.bInFlight) {
      slot.bInFlight = false;
      --m_nInFlight;
    }
  }

  // Takes the result of every slot whose request has completed.
  void Reap() {
    for (unsigned n = 0; n < Depth(); ++n) {
      SSlot& slot = m_aSlot[n];
      if (!slot.bInFlight) continue;
      DWORD dwDone = 0;
      if (GetOverlappedResult(slot.hHandle, &slot.overlapped, &dwDone, FALSE)) {
        Complete(n, static_cast<int64_t>(dwDone));
        continue;
      }
      const DWORD dwError = GetLastError();
      if (dwError == ERROR_IO_INCOMPLETE) continue;
      Complete(n, dwError == ERROR_HANDLE_EOF ? 0 : dwError == ERROR_OPERATION_ABORTED ? -ECANCELED
                                                                                       : -ErrnoFromWin32(dwError));
    }
  }

  template <typename Done>
  IoWaitResult WaitUntil(std::chrono::steady_clock::time_point tDeadline, Done bDone) {
    for (;;) {
      Reap();
      if (bDone()) return IoWaitResult::kAllDone;
      std::array<HANDLE, kMaxDepth> aEvents{};
      DWORD dwCount = 0;
      for (unsigned n = 0; n < Depth(); ++n) {
        if (m_aSlot[n].bInFlight) aEvents[dwCount++] = m_aSlot[n].overlapped.hEvent;
      }
      const auto tNow = std::chrono::steady_clock::now();
      if (tNow >= tDeadline) return IoWaitResult::kTimeout;
      const auto nLeft = std::chrono::ceil<std::chrono::milliseconds>(tDeadline - tNow).count();
      const DWORD dwWait = nLeft >= static_cast<long long>(INFINITE) ? INFINITE - 1 : static_cast<DWORD>(nLeft);
      const DWORD dwResult = WaitForMultipleObjects(dwCount, aEvents.data(), FALSE, dwWait);
      if (dwResult == WAIT_FAILED) {
        SetErrnoFromLastError();
        return IoWaitResult::kFailed;
      }
    }
  }

  std::array<SSlot, kMaxDepth> m_aSlot{};
  unsigned m_nInFlight = 0;
  uint64_t m_qwCompleted = 0;  // completions not yet taken (TakeCompleted)
};

}  // namespace

IoBackend FallbackBackend() { return IoBackend::kOverlapped; }

int ProbeUring() { return ENOSYS; }

std::unique_ptr<CIoQueue> CreateUring(unsigned) {
  errno = ENOSYS;  // Linux only
  return nullptr;
}

std::unique_ptr<CIoQueue> CreateThreadPool(unsigned) {
  errno = ENOSYS;  // Linux only: overlapped I/O needs no threads
  return nullptr;
}

std::unique_ptr<CIoQueue> CreateOverlapped(unsigned nDepth) {
  std::unique_ptr<COverlappedQueue> pQueue(new (std::nothrow) COverlappedQueue(nDepth));
  if (!pQueue) {
    errno = ENOMEM;
    return nullptr;
  }
  if (int nError = pQueue->Start(); nError != 0) {
    pQueue.reset();
    errno = nError;
    return nullptr;
  }
  return pQueue;
}

}  // namespace stratavon::ioqueue
