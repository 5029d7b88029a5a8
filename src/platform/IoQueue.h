#pragma once

// Overlapped I/O for the asynchronous workers: a fixed set of request slots,
// each issuing one read or write at a time, awaited as a batch with a
// time-out, and cancelled as a whole when a worker ends early.
//
// Three backends share the interface.  On Linux io_uring is preferred;
// containers often refuse it (seccomp, io_uring_disabled), so a small pool of
// threads doing pread/pwrite takes over, chosen at run time.  On Windows the
// requests are overlapped I/O on the file's handle.
//
// A queue belongs to the thread that creates it (the worker that owns it):
// that thread issues, waits, cancels and destroys it.  The io_uring backend
// lets the kernel keep completions until their owner waits, so another
// thread would never see them.

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace stratavon {

enum class IoBackend { kIoUring, kThreadPool, kOverlapped };
const char* IoBackendName(IoBackend eBackend);  // "io_uring" / "thread pool" / "overlapped"

enum class IoWaitResult { kAllDone, kTimeout, kFailed };

// A fixed set of request slots 0..depth-1 on which single I/Os are issued and awaited.
class CIoQueue {
 public:
  static constexpr unsigned kMaxDepth = 64;
  // Creates a queue with nDepth slots (1..kMaxDepth; 0 or more -> null, errno EINVAL).
  // Backend: io_uring when the kernel allows it, else the thread pool; the environment
  // variable STRATAVON_IO_BACKEND=uring|threads forces one (uring forced but refused -> null
  // with the kernel's errno; any other non-empty value except "auto" -> null, EINVAL).
  static std::unique_ptr<CIoQueue> Create(unsigned nDepth);
  static std::unique_ptr<CIoQueue> Create(unsigned nDepth, IoBackend eBackend);  // exactly that backend or null
  // Which backend Create(nDepth) would choose on this machine (probes once, cached;
  // STRATAVON_IO_BACKEND is read on every call).
  static IoBackend DefaultBackend();
  // Why STRATAVON_IO_BACKEND cannot be honoured ("" when it can): a value
  // that names no backend, or io_uring forced where the kernel refuses it.
  static std::string BackendChoiceProblem();
  // Whether the kernel lets this process use io_uring with the operations the
  // queue needs (probed once, cached); pnError receives the refusal's errno.
  static bool UringUsable(int* pnError = nullptr);

  // Each backend's destructor cancels and awaits whatever is still in flight
  // (CancelAll) before releasing anything.
  virtual ~CIoQueue();
  CIoQueue(const CIoQueue&) = delete;
  CIoQueue& operator=(const CIoQueue&) = delete;

  virtual IoBackend Backend() const = 0;
  unsigned Depth() const { return m_nDepth; }

  // Starts one read or write of nBytes at qwOffset on hFile from/into pData for slot nIndex.
  // Returns 0 when the request was accepted (it will complete later, possibly with an error),
  // or an errno when it was refused at once: EINVAL for a slot out of range or a null buffer,
  // EBUSY for a slot still in flight, EBADF for a negative handle.  Any other bad handle is
  // accepted and completes with -EBADF, in both backends.
  // The io_uring backend defers the actual submission until the next Wait*/Submit call,
  // so that a batch of issues becomes one system call.
  virtual int Issue(unsigned nIndex, int hFile, bool bWrite, void* pData, uint32_t nBytes, uint64_t qwOffset) = 0;
  // Pushes deferred submissions to the kernel now. Returns 0 or an errno.
  virtual int Submit() = 0;
  // Waits until every slot issued since its last completion has completed, or the time-out passes.
  // kFailed only when waiting itself failed (errno set). After kAllDone every issued slot has a result.
  virtual IoWaitResult WaitAll(std::chrono::milliseconds timeout) = 0;
  // Waits until at most nMax slots are in flight (WaitAll waits for none),
  // pushing what is issued on the way: a queue kept full waits for nMax =
  // its requests in flight less one, then takes what completed.
  virtual IoWaitResult WaitAtMost(unsigned nMax, std::chrono::milliseconds timeout) = 0;
  // The slots whose completion arrived since the last call (bit i for slot
  // i), taken: each completed issue is handed out once.
  virtual uint64_t TakeCompleted() = 0;
  // Waits for one slot only (kAllDone at once when it is not in flight).
  virtual IoWaitResult WaitOne(unsigned nIndex, std::chrono::milliseconds timeout) = 0;
  // The outcome of the slot's last completed I/O: bytes moved (>= 0), or -errno
  // (-ECANCELED or -EINTR when CancelAll stopped it). Only meaningful when
  // !InFlight(nIndex) and the slot was issued at least once.
  virtual int64_t Result(unsigned nIndex) const = 0;
  virtual bool InFlight(unsigned nIndex) const = 0;
  // When the slot's last completion was seen: by a pool thread as its call
  // returned, or by the owner as it took the completion from the ring (so a
  // wait for a whole batch sees the batch's completions together). Only
  // meaningful where Result is.
  virtual std::chrono::steady_clock::time_point CompletedAt(unsigned nIndex) const = 0;
  // How many slots are in flight.
  virtual unsigned InFlightCount() const = 0;
  // Lets the kernel know, once, the memory the buffers lie in and the file
  // the I/O goes to (io_uring: registered buffers and files), so that each
  // request on them skips pinning its pages and looking its file up. False
  // where the backend or the kernel will not (the queue works as before);
  // buffers outside the area and other handles always go the ordinary way.
  // Called with nothing in flight; the file stays referenced until the
  // queue goes, so it must not be closed before. STRATAVON_IO_REGISTER=off
  // declines both, to measure what they bring.
  virtual bool RegisterBuffers(void* pData, size_t nBytes);
  virtual bool RegisterFile(int hFile);
  // Queues an fdatasync of hFile that starts only once every I/O issued
  // before it has completed, and reaches the kernel with them: a batch and
  // its flush cost one wait. 0 when queued; EOPNOTSUPP where the backend
  // cannot order one after the others (the thread pool: drain the batch,
  // then fdatasync), EBUSY while the last one is still in flight, EBADF for
  // a negative handle. The waits count it as one more in flight (WaitAll
  // waits for it too); CancelAll cancels it.
  virtual int IssueFlush(int hFile);
  virtual bool FlushInFlight() const { return false; }
  // The last flush's outcome once it is no longer in flight: 0 when the
  // kernel reported the data durable, else -errno (-ECANCELED when it was
  // cancelled or never ran, -ENODATA before the first).
  virtual int FlushResult() const { return -ENODATA; }
  // Cancels every I/O in flight and returns only when none is in flight any more
  // (completed or cancelled), so the buffers may be released.  A request already
  // blocked in the kernel cannot be withdrawn; it is awaited for as long as it takes.
  virtual void CancelAll();
  // The same, but gives up after the time-out: true when nothing is in flight
  // any more, false when something still is (it stays tracked, its buffer must
  // stay; call again to keep waiting).  Lets a caller report a stuck device
  // while it waits.
  virtual bool CancelAllFor(std::chrono::milliseconds timeout) = 0;

 protected:
  explicit CIoQueue(unsigned nDepth) : m_nDepth(nDepth) {}

 private:
  unsigned m_nDepth;
};

}  // namespace stratavon
