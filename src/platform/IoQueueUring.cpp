// The io_uring backend: one ring per queue, bound to the thread that creates
// it (see InitRing), the slot index as each request's user_data.  Issue only fills a submission entry; the batch reaches the
// kernel with the wait that follows, so a batch of D requests costs one
// io_uring_enter to submit and wait for all of them (two when Submit is
// called on its own).  Nothing is allocated or locked per request.

#include <liburing.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <thread>
#include <utility>

#include "platform/IoQueueBackends.h"

namespace stratavon::ioqueue {
namespace {

using Clock = std::chrono::steady_clock;

// Completions of cancel requests carry these instead of a slot index.
// LIBURING_UDATA_TIMEOUT (all ones) is liburing's own on kernels without
// IORING_FEAT_EXT_ARG; any tag outside 0..depth-1 is skipped when reaping.
constexpr uint64_t kCancelAnyTag = uint64_t(1) << 32;
constexpr uint64_t kCancelOneTag = kCancelAnyTag + 1;
// The flush queued after a batch (IssueFlush).
constexpr uint64_t kFlushTag = kCancelAnyTag + 2;

// Enough room for every slot and the flush plus one cancel for each, and
// for the timeout entry liburing adds on kernels without IORING_FEAT_EXT_ARG.
unsigned RingEntries(unsigned nDepth) { return 2 * nDepth + 4; }

// Sets the ring up for its one owner thread. Where the kernel knows how
// (6.1+), completions are left for the owner to collect when it waits
// (DEFER_TASKRUN, which needs SINGLE_ISSUER), so a wait for a batch of D
// wakes the owner once, when the D-th completion is there, instead of once
// per completion. Older kernels get the next best: go on past a failing
// entry (5.18+) and do not interrupt the owner to run its task work
// (COOP_TASKRUN, 5.19+), and before that, nothing special.
// *pbDeferred says whether completions wait for the owner.
int InitRing(unsigned nEntries, io_uring* pRing, bool* pbDeferred) {
  const unsigned anFlags[] = {
#if defined(IORING_SETUP_DEFER_TASKRUN) && defined(IORING_SETUP_SINGLE_ISSUER)
      IORING_SETUP_SUBMIT_ALL | IORING_SETUP_SINGLE_ISSUER | IORING_SETUP_DEFER_TASKRUN,
#endif
      IORING_SETUP_SUBMIT_ALL | IORING_SETUP_COOP_TASKRUN,
      0,
  };
  int nRet = -EINVAL;
  for (unsigned nFlags : anFlags) {
    io_uring_params params;
    std::memset(&params, 0, sizeof(params));
    params.flags = nFlags;
    nRet = io_uring_queue_init_params(nEntries, pRing, &params);
#ifdef IORING_SETUP_DEFER_TASKRUN
    *pbDeferred = nRet == 0 && (nFlags & IORING_SETUP_DEFER_TASKRUN) != 0;
#else
    *pbDeferred = false;
#endif
    if (nRet != -EINVAL) break;
  }
  return nRet;
}

__kernel_timespec Timespec(Clock::duration d) {
  if (d < Clock::duration::zero()) d = Clock::duration::zero();
  auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(d).count();
  __kernel_timespec ts;
  ts.tv_sec = ns / 1000000000;
  ts.tv_nsec = ns % 1000000000;
  return ts;
}

// A ring the process may create, which can round-trip a request, and whose
// kernel knows reads and writes at an offset and cancellation.
int ProbeOnce() {
  io_uring ring;
  int nRet = io_uring_queue_init(4, &ring, 0);
  if (nRet < 0) return -nRet;
  int nError = 0;
  io_uring_probe* pProbe = io_uring_get_probe_ring(&ring);
  if (pProbe == nullptr) {
    nError = ENOSYS;  // before 5.6, which also lacks IORING_OP_READ/WRITE
  } else {
    if (!io_uring_opcode_supported(pProbe, IORING_OP_READ) || !io_uring_opcode_supported(pProbe, IORING_OP_WRITE) ||
        !io_uring_opcode_supported(pProbe, IORING_OP_ASYNC_CANCEL))
      nError = EOPNOTSUPP;
    io_uring_free_probe(pProbe);
  }
  if (nError == 0) {
    // Some sandboxes allow io_uring_setup but not io_uring_enter.
    io_uring_sqe* pSqe = io_uring_get_sqe(&ring);
    io_uring_prep_nop(pSqe);
    io_uring_cqe* pCqe = nullptr;
    nRet = io_uring_submit_and_wait(&ring, 1);
    if (nRet >= 0) nRet = io_uring_peek_cqe(&ring, &pCqe);
    if (nRet < 0)
      nError = -nRet;
    else
      io_uring_cqe_seen(&ring, pCqe);
  }
  io_uring_queue_exit(&ring);
  return nError;
}

// STRATAVON_IO_REGISTER=off keeps buffers and files unregistered, to
// measure what registering them brings.
bool RegistrationOff() {
  const char* pszValue = std::getenv("STRATAVON_IO_REGISTER");
  return pszValue != nullptr && std::strcmp(pszValue, "off") == 0;
}

class CUringQueue final : public CIoQueue {
 public:
  explicit CUringQueue(unsigned nDepth) : CIoQueue(nDepth) {}
  ~CUringQueue() override {
    if (m_bRing) {
      CancelAll();
      io_uring_queue_exit(&m_ring);
    }
  }

  int Init() {
    int nRet = InitRing(RingEntries(Depth()), &m_ring, &m_bDeferred);
    if (nRet < 0) return -nRet;
    m_bRing = true;
    return 0;
  }

  IoBackend Backend() const override { return IoBackend::kIoUring; }

  int Issue(unsigned nIndex, int hFile, bool bWrite, void* pData, uint32_t nBytes, uint64_t qwOffset) override {
    if (nIndex >= Depth() || (pData == nullptr && nBytes != 0)) return EINVAL;
    if (hFile < 0) return EBADF;
    if (m_abInFlight[nIndex]) return EBUSY;
    io_uring_sqe* pSqe = NextSqe();
    if (pSqe == nullptr) return errno;
    const auto* pByte = static_cast<const uint8_t*>(pData);
    if (m_pFixed != nullptr && pByte >= m_pFixed && pByte + nBytes <= m_pFixed + m_nFixedBytes) {
      if (bWrite)
        io_uring_prep_write_fixed(pSqe, hFile, pData, nBytes, qwOffset, 0);
      else
        io_uring_prep_read_fixed(pSqe, hFile, pData, nBytes, qwOffset, 0);
    } else if (bWrite) {
      io_uring_prep_write(pSqe, hFile, pData, nBytes, qwOffset);
    } else {
      io_uring_prep_read(pSqe, hFile, pData, nBytes, qwOffset);
    }
    if (hFile == m_hFixedFile) {
      pSqe->fd = 0;  // the index in the registered table
      io_uring_sqe_set_flags(pSqe, IOSQE_FIXED_FILE);
    }
    io_uring_sqe_set_data64(pSqe, nIndex);
    m_qwCompleted &= ~(uint64_t(1) << nIndex);
    m_abInFlight[nIndex] = true;
    ++m_nInFlight;
    return 0;
  }

  int Submit() override {
    while (io_uring_sq_ready(&m_ring) > 0) {
      int nRet = io_uring_submit(&m_ring);
      if (nRet == -EINTR) continue;
      if (nRet < 0) return -nRet;
      if (nRet == 0) return EAGAIN;  // the kernel took nothing; do not spin
    }
    return 0;
  }

  IoWaitResult WaitAll(std::chrono::milliseconds timeout) override {
    return WaitUntil(DeadlineAfter(timeout), [this] { return Outstanding(); });
  }

  IoWaitResult WaitAtMost(unsigned nMax, std::chrono::milliseconds timeout) override {
    return WaitUntil(DeadlineAfter(timeout), [this, nMax] { return Outstanding() > nMax ? Outstanding() - nMax : 0u; });
  }

  uint64_t TakeCompleted() override { return std::exchange(m_qwCompleted, 0); }

  IoWaitResult WaitOne(unsigned nIndex, std::chrono::milliseconds timeout) override {
    if (nIndex >= Depth()) {
      errno = EINVAL;
      return IoWaitResult::kFailed;
    }
    return WaitUntil(DeadlineAfter(timeout), [this, nIndex] { return m_abInFlight[nIndex] ? 1u : 0u; });
  }

  int64_t Result(unsigned nIndex) const override { return nIndex < Depth() ? m_anResult[nIndex] : -EINVAL; }
  Clock::time_point CompletedAt(unsigned nIndex) const override {
    return nIndex < Depth() ? m_atDone[nIndex] : Clock::time_point{};
  }
  // Completions the kernel has posted count even when nobody waited for them,
  // as they do in the thread pool; taking them changes nothing a caller sees.
  bool InFlight(unsigned nIndex) const override {
    if (nIndex >= Depth()) return false;
    if (m_abInFlight[nIndex]) const_cast<CUringQueue*>(this)->Reap(true);
    return m_abInFlight[nIndex];
  }
  unsigned InFlightCount() const override {
    const_cast<CUringQueue*>(this)->Reap(true);
    return m_nInFlight;
  }

  // The flush is held here and goes to the kernel from the wait in which
  // the last slot completes, so it covers every write issued before it,
  // whatever each one's outcome, while those still run side by side. The
  // kernel's own orderings fall short: a chain of links runs the writes one
  // after another and cancels the flush for one failed write, and a drained
  // entry (IOSQE_IO_DRAIN) was seen on Linux 6.18 to wait behind a batch
  // with a failed write until the next batch's completions came.
  int IssueFlush(int hFile) override {
    if (hFile < 0) return EBADF;
    if (m_bFlushInFlight) return EBUSY;
    m_hHeldFlush = hFile;
    m_bFlushInFlight = true;
    m_nFlushResult = -ECANCELED;  // until the kernel says otherwise
    return 0;
  }
  bool RegisterBuffers(void* pData, size_t nBytes) override {
    if (m_pFixed != nullptr || pData == nullptr || nBytes == 0 || Outstanding() != 0 || RegistrationOff()) return false;
    const iovec area{pData, nBytes};
    // Refused past 1 GiB, over RLIMIT_MEMLOCK without CAP_IPC_LOCK, or before 5.1.
    if (io_uring_register_buffers(&m_ring, &area, 1) != 0) return false;
    m_pFixed = static_cast<const uint8_t*>(pData);
    m_nFixedBytes = nBytes;
    return true;
  }
  bool RegisterFile(int hFile) override {
    if (m_hFixedFile >= 0 || hFile < 0 || Outstanding() != 0 || RegistrationOff()) return false;
    if (io_uring_register_files(&m_ring, &hFile, 1) != 0) return false;
    m_hFixedFile = hFile;
    return true;
  }

  bool FlushInFlight() const override {
    if (m_bFlushInFlight) const_cast<CUringQueue*>(this)->Reap(true);
    return m_bFlushInFlight;
  }
  int FlushResult() const override { return m_nFlushResult; }

  bool CancelAllFor(std::chrono::milliseconds timeout) override {
    Clock::time_point deadline = DeadlineAfter(timeout);
    // Whatever is still only queued in the ring goes first, so that every
    // request we track is one the kernel knows and can cancel.
    Submit();
    Reap(true);
    if (m_hHeldFlush >= 0) {  // never sent: nothing to withdraw
      m_hHeldFlush = -1;
      m_bFlushInFlight = false;
    }
    if (Outstanding() == 0) return true;
    SendCancels();
    for (;;) {
      // A slice at a time: cancels are sent again after each slice, for a
      // request that was between states when the previous one looked.
      Clock::time_point sliceEnd = std::min(deadline, Clock::now() + std::chrono::seconds(1));
      IoWaitResult eWait = WaitUntil(sliceEnd, [this] { return Outstanding(); });
      if (eWait == IoWaitResult::kAllDone) return true;
      if (m_bResendOne) SendCancels();  // the kernel predates IORING_ASYNC_CANCEL_ANY
      if (Clock::now() >= deadline) return Outstanding() == 0;
      if (eWait == IoWaitResult::kTimeout)
        SendCancels();
      else if (eWait == IoWaitResult::kFailed)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));  // no hot loop on a broken ring
    }
  }

 private:
  void SendFlush() {
    io_uring_sqe* pSqe = NextSqe();
    if (pSqe == nullptr) return;  // the next wait tries again
    io_uring_prep_fsync(pSqe, m_hHeldFlush, IORING_FSYNC_DATASYNC);
    io_uring_sqe_set_data64(pSqe, kFlushTag);
    m_hHeldFlush = -1;
  }

  // What a wait for everything waits for: the slots and the flush.
  unsigned Outstanding() const { return m_nInFlight + (m_bFlushInFlight ? 1u : 0u); }

  io_uring_sqe* NextSqe() {
    io_uring_sqe* pSqe = io_uring_get_sqe(&m_ring);
    if (pSqe != nullptr) return pSqe;
    int nError = Submit();  // cannot happen with the ring sized for depth, but costs nothing to handle
    pSqe = io_uring_get_sqe(&m_ring);
    if (pSqe == nullptr) errno = nError != 0 ? nError : EAGAIN;
    return pSqe;
  }

  // Takes every completion the ring holds; returns how many slots completed.
  // bCollect: on a deferred ring, first have the kernel post what has
  // finished (a system call; a wait does that on its own).
  unsigned Reap(bool bCollect = false) {
    if (bCollect && m_bDeferred && Outstanding() > 0) (void)io_uring_get_events(&m_ring);
    unsigned nDone = 0;
    std::array<io_uring_cqe*, 2 * kMaxDepth> apCqe;
    for (;;) {
      unsigned nCount = io_uring_peek_batch_cqe(&m_ring, apCqe.data(), apCqe.size());
      // One reading of the clock for all that arrived together.
      const Clock::time_point tSeen = nCount != 0 ? Clock::now() : Clock::time_point{};
      for (unsigned n = 0; n < nCount; ++n) {
        uint64_t qwTag = io_uring_cqe_get_data64(apCqe[n]);
        if (qwTag < Depth() && m_abInFlight[qwTag]) {
          m_anResult[qwTag] = apCqe[n]->res;
          m_atDone[qwTag] = tSeen;
          m_abInFlight[qwTag] = false;
          m_qwCompleted |= uint64_t(1) << qwTag;
          --m_nInFlight;
          ++nDone;
        } else if (qwTag == kFlushTag && m_bFlushInFlight) {
          m_nFlushResult = apCqe[n]->res;
          m_bFlushInFlight = false;
        } else if (qwTag == kCancelAnyTag && apCqe[n]->res == -EINVAL) {
          m_bCancelAny = false;
          m_bResendOne = true;
        }
      }
      io_uring_cq_advance(&m_ring, nCount);
      if (nCount < apCqe.size()) return nDone;
    }
  }

  // Waits until pending() (the number of completions still wanted) is 0 or
  // the deadline passes, submitting whatever is queued on the way.
  template <typename FPending>
  IoWaitResult WaitUntil(Clock::time_point deadline, FPending pending) {
    for (;;) {
      Reap();
      if (m_nInFlight == 0 && m_hHeldFlush >= 0) SendFlush();
      unsigned nWanted = pending();
      if (nWanted == 0) {
        int nError = Submit();  // a wait on one slot still pushes the others
        if (nError != 0 && nError != EAGAIN) {
          errno = nError;
          return IoWaitResult::kFailed;
        }
        return IoWaitResult::kAllDone;
      }
      Clock::time_point now = Clock::now();
      if (now >= deadline) {
        Submit();
        return IoWaitResult::kTimeout;
      }
      // A flush still held back is not the kernel's to complete yet.
      nWanted = std::min(nWanted, m_nInFlight + (m_bFlushInFlight && m_hHeldFlush < 0 ? 1u : 0u));
      __kernel_timespec ts = Timespec(deadline - now);
      io_uring_cqe* pCqe = nullptr;
      // Submits what is queued and sleeps until nWanted completions are there
      // (a slot's own or others'; the loop re-checks), in one system call.
      int nRet = io_uring_submit_and_wait_timeout(&m_ring, &pCqe, nWanted, &ts, nullptr);
      if (nRet < 0 && nRet != -ETIME && nRet != -EINTR && nRet != -EAGAIN && nRet != -EBUSY) {
        errno = -nRet;
        return IoWaitResult::kFailed;
      }
    }
  }

  // Asks the kernel to cancel everything we have in flight: one request where
  // the kernel knows IORING_ASYNC_CANCEL_ANY (5.19+), else one per slot.
  void SendCancels() {
    m_bResendOne = false;
#ifdef IORING_ASYNC_CANCEL_ANY
    if (m_bCancelAny) {
      if (io_uring_sqe* pSqe = NextSqe()) {
        io_uring_prep_cancel64(pSqe, 0, IORING_ASYNC_CANCEL_ANY | IORING_ASYNC_CANCEL_ALL);
        io_uring_sqe_set_data64(pSqe, kCancelAnyTag);
      }
      Submit();
      return;
    }
#endif
    for (unsigned n = 0; n < Depth(); ++n) {
      if (!m_abInFlight[n]) continue;
      io_uring_sqe* pSqe = NextSqe();
      if (pSqe == nullptr) break;  // the next round sends the rest
      io_uring_prep_cancel64(pSqe, n, 0);
      io_uring_sqe_set_data64(pSqe, kCancelOneTag);
    }
    if (m_bFlushInFlight) {
      if (io_uring_sqe* pSqe = NextSqe()) {
        io_uring_prep_cancel64(pSqe, kFlushTag, 0);
        io_uring_sqe_set_data64(pSqe, kCancelOneTag);
      }
    }
    Submit();
  }

  io_uring m_ring{};
  bool m_bRing = false;
  bool m_bDeferred = false;
#ifdef IORING_ASYNC_CANCEL_ANY
  bool m_bCancelAny = true;
#else
  bool m_bCancelAny = false;
#endif
  bool m_bResendOne = false;
  unsigned m_nInFlight = 0;
  bool m_bFlushInFlight = false;  // queued by IssueFlush, held or sent, not yet completed
  int m_hHeldFlush = -1;          // a flush waiting for the slots in flight to complete
  int m_nFlushResult = -ENODATA;
  // Registered with the kernel: the buffer area (index 0) and the file (index 0).
  const uint8_t* m_pFixed = nullptr;
  size_t m_nFixedBytes = 0;
  int m_hFixedFile = -1;
  uint64_t m_qwCompleted = 0;  // completions not yet taken (TakeCompleted)
  std::array<bool, kMaxDepth> m_abInFlight{};
  std::array<int64_t, kMaxDepth> m_anResult{};
  std::array<Clock::time_point, kMaxDepth> m_atDone{};
};

}  // namespace

int ProbeUring() {
  static const int s_nError = ProbeOnce();
  return s_nError;
}

std::unique_ptr<CIoQueue> CreateUring(unsigned nDepth) {
  if (int nError = ProbeUring(); nError != 0) {
    errno = nError;
    return nullptr;
  }
  std::unique_ptr<CUringQueue> pQueue(new (std::nothrow) CUringQueue(nDepth));
  if (!pQueue) {
    errno = ENOMEM;
    return nullptr;
  }
  if (int nError = pQueue->Init(); nError != 0) {
    errno = nError;
    return nullptr;
  }
  return pQueue;
}

}  // namespace stratavon::ioqueue
