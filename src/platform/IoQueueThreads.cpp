// The thread-pool backend, for machines that refuse io_uring: each queue owns
// min(depth, kMaxThreads) threads doing pread/pwrite, fed from a FIFO of slot
// indices.  Four threads keep a device's queue busy enough for a fallback
// without letting 50 workers per target turn into thousands of threads; deeper
// queues still batch, their requests just wait their turn in the FIFO.
// Slot state lives under one mutex with two condition variables: one wakes
// the threads for work, the other wakes the owner when requests complete.

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "platform/IoQueueBackends.h"

namespace stratavon::ioqueue {
namespace {

constexpr unsigned kMaxThreads = 4;

class CThreadPoolQueue final : public CIoQueue {
 public:
  explicit CThreadPoolQueue(unsigned nDepth) : CIoQueue(nDepth) {}
  ~CThreadPoolQueue() override {
    CancelAll();
    Stop();
  }

  // Starts the threads; an errno when the system refused one.
  int Start() {
    unsigned nThreads = Depth() < kMaxThreads ? Depth() : kMaxThreads;
    m_aThreads.reserve(nThreads);
    for (unsigned n = 0; n < nThreads; ++n) {
      try {
        m_aThreads.emplace_back([this] { Run(); });
      } catch (const std::system_error& e) {
        return e.code().value() != 0 ? e.code().value() : EAGAIN;
      }
    }
    return 0;
  }

  IoBackend Backend() const override { return IoBackend::kThreadPool; }

  int Issue(unsigned nIndex, int hFile, bool bWrite, void* pData, uint32_t nBytes, uint64_t qwOffset) override {
    if (nIndex >= Depth() || (pData == nullptr && nBytes != 0)) return EINVAL;
    if (hFile < 0) return EBADF;
    {
      std::lock_guard lock(m_mutex);
      SSlot& slot = m_aSlot[nIndex];
      if (slot.eState != EState::kIdle) return EBUSY;
      slot.hFile = hFile;
      slot.bWrite = bWrite;
      slot.pData = pData;
      slot.nBytes = nBytes;
      slot.qwOffset = qwOffset;
      slot.eState = EState::kQueued;
      m_qwCompleted &= ~(uint64_t(1) << nIndex);
      m_abyFifo[(m_nHead + m_nQueued) % kMaxDepth] = static_cast<uint8_t>(nIndex);
      ++m_nQueued;
      ++m_nInFlight;
    }
    m_cvWork.notify_one();
    return 0;
  }

  int Submit() override { return 0; }  // the threads pick requests up as they are issued

  IoWaitResult WaitAll(std::chrono::milliseconds timeout) override {
    std::unique_lock lock(m_mutex);
    bool bDone = m_cvDone.wait_until(lock, DeadlineAfter(timeout), [this] { return m_nInFlight == 0; });
    return bDone ? IoWaitResult::kAllDone : IoWaitResult::kTimeout;
  }

  IoWaitResult WaitAtMost(unsigned nMax, std::chrono::milliseconds timeout) override {
    std::unique_lock lock(m_mutex);
    bool bDone = m_cvDone.wait_until(lock, DeadlineAfter(timeout), [this, nMax] { return m_nInFlight <= nMax; });
    return bDone ? IoWaitResult::kAllDone : IoWaitResult::kTimeout;
  }

  uint64_t TakeCompleted() override {
    std::lock_guard lock(m_mutex);
    return std::exchange(m_qwCompleted, 0);
  }

  IoWaitResult WaitOne(unsigned nIndex, std::chrono::milliseconds timeout) override {
    if (nIndex >= Depth()) {
      errno = EINVAL;
      return IoWaitResult::kFailed;
    }
    std::unique_lock lock(m_mutex);
    bool bDone = m_cvDone.wait_until(lock, DeadlineAfter(timeout),
                                     [this, nIndex] { return m_aSlot[nIndex].eState == EState::kIdle; });
    return bDone ? IoWaitResult::kAllDone : IoWaitResult::kTimeout;
  }

  int64_t Result(unsigned nIndex) const override {
    if (nIndex >= Depth()) return -EINVAL;
    std::lock_guard lock(m_mutex);
    return m_aSlot[nIndex].nResult;
  }

  std::chrono::steady_clock::time_point CompletedAt(unsigned nIndex) const override {
    if (nIndex >= Depth()) return {};
    std::lock_guard lock(m_mutex);
    return m_aSlot[nIndex].tDone;
  }

  bool InFlight(unsigned nIndex) const override {
    if (nIndex >= Depth()) return false;
    std::lock_guard lock(m_mutex);
    return m_aSlot[nIndex].eState != EState::kIdle;
  }

  unsigned InFlightCount() const override {
    std::lock_guard lock(m_mutex);
    return m_nInFlight;
  }

  // Requests still in the FIFO never reach the kernel and end as cancelled;
  // those a thread already runs cannot be withdrawn and are awaited.
  bool CancelAllFor(std::chrono::milliseconds timeout) override {
    std::unique_lock lock(m_mutex);
    for (; m_nQueued > 0; --m_nQueued) {
      SSlot& slot = m_aSlot[m_abyFifo[m_nHead]];
      m_nHead = (m_nHead + 1) % kMaxDepth;
      slot.nResult = -ECANCELED;
      slot.eState = EState::kIdle;
      m_qwCompleted |= uint64_t(1) << (&slot - m_aSlot.data());
      --m_nInFlight;
    }
    return m_cvDone.wait_until(lock, DeadlineAfter(timeout), [this] { return m_nInFlight == 0; });
  }

 private:
  enum class EState : uint8_t { kIdle, kQueued, kRunning };
  struct SSlot {
    int hFile = -1;
    bool bWrite = false;
    void* pData = nullptr;
    uint32_t nBytes = 0;
    uint64_t qwOffset = 0;
    int64_t nResult = 0;
    std::chrono::steady_clock::time_point tDone{};
    EState eState = EState::kIdle;
  };

  static int64_t Transfer(const SSlot& slot) {
    for (;;) {
      ssize_t nDone = slot.bWrite ? pwrite(slot.hFile, slot.pData, slot.nBytes, static_cast<off_t>(slot.qwOffset))
                                  : pread(slot.hFile, slot.pData, slot.nBytes, static_cast<off_t>(slot.qwOffset));
      if (nDone >= 0) return nDone;
      if (errno != EINTR) return -errno;
    }
  }

  void Run() {
    // Signals belong to the program's own threads, never to a pool thread
    // that happens to be in a system call.
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);

    std::unique_lock lock(m_mutex);
    for (;;) {
      m_cvWork.wait(lock, [this] { return m_bStop || m_nQueued > 0; });
      if (m_bStop) return;
      unsigned nIndex = m_abyFifo[m_nHead];
      m_nHead = (m_nHead + 1) % kMaxDepth;
      --m_nQueued;
      SSlot& slot = m_aSlot[nIndex];
      slot.eState = EState::kRunning;
      SSlot request = slot;
      lock.unlock();
      int64_t nResult = Transfer(request);
      const auto tDone = std::chrono::steady_clock::now();
      lock.lock();
      slot.nResult = nResult;
      slot.tDone = tDone;
      slot.eState = EState::kIdle;
      m_qwCompleted |= uint64_t(1) << nIndex;
      --m_nInFlight;
      m_cvDone.notify_all();
    }
  }

  void Stop() {
    {
      std::lock_guard lock(m_mutex);
      m_bStop = true;
    }
    m_cvWork.notify_all();
    for (std::thread& thread : m_aThreads) thread.join();
    m_aThreads.clear();
  }

  mutable std::mutex m_mutex;
  std::condition_variable m_cvWork;
  std::condition_variable m_cvDone;
  std::array<SSlot, kMaxDepth> m_aSlot{};
  std::array<uint8_t, kMaxDepth> m_abyFifo{};  // slot indices in issue order, a ring
  unsigned m_nHead = 0;
  unsigned m_nQueued = 0;
  unsigned m_nInFlight = 0;
  uint64_t m_qwCompleted = 0;  // completions not yet taken (TakeCompleted)
  bool m_bStop = false;
  std::vector<std::thread> m_aThreads;
};

}  // namespace

IoBackend FallbackBackend() { return IoBackend::kThreadPool; }

std::unique_ptr<CIoQueue> CreateOverlapped(unsigned) {
  errno = ENOSYS;  // Windows only
  return nullptr;
}

std::unique_ptr<CIoQueue> CreateThreadPool(unsigned nDepth) {
  std::unique_ptr<CThreadPoolQueue> pQueue(new (std::nothrow) CThreadPoolQueue(nDepth));
  if (!pQueue) {
    errno = ENOMEM;
    return nullptr;
  }
  if (int nError = pQueue->Start(); nError != 0) {
    pQueue.reset();  // joins the threads that did start
    errno = nError;
    return nullptr;
  }
  return pQueue;
}

}  // namespace stratavon::ioqueue
