#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>

namespace stratavon {

constexpr uint32_t STILL_ACTIVE = 259;
// What SuspendThread and ResumeThread give when they cannot act (all bits set).
constexpr uint32_t kThreadCallFailed = 0xFFFFFFFFu;

struct ThreadMessage {
  uint32_t message = 0;
  uintptr_t wParam = 0;
  intptr_t lParam = 0;
};

// The shared side of a worker thread: what its launcher keeps after the
// worker object has deleted itself (exit code, suspend count, message queue).
//
// POSIX cannot suspend a thread from outside. What callers of Suspend get
// instead: while the count is above zero the thread does not pass its
// suspension points, which are its start, every stop poll that finds a stop
// request, and its retirement. A suspended thread therefore cannot act on a
// stop byte and cannot delete its object, which is what a stop protocol
// needs; it may still be running I/O, as a real suspension would have
// interrupted it mid-call anyway.
class CThreadHandle {
 public:
  // Previous suspend count, or kThreadCallFailed once the thread has ended.
  uint32_t Suspend();
  uint32_t Resume();
  uint32_t SuspendCount() const;
  // STILL_ACTIVE until the thread has retired, then its exit code.
  uint32_t ExitCode() const;
  bool IsActive() const { return ExitCode() == STILL_ACTIVE; }
  // Queues a message; false (and the message is dropped) once the thread has ended.
  bool PostMessage(const ThreadMessage& msg);

  void WaitWhileSuspended();
  // Blocks until a message arrives.
  ThreadMessage GetMessage();
  // Ends the thread's life as seen from outside: waits out a suspension,
  // publishes the exit code and drops queued messages.
  void Retire(uint32_t dwExitCode);

 private:
  mutable std::mutex m_mutex;
  std::condition_variable m_cvResume;
  std::condition_variable m_cvMessage;
  uint32_t m_dwSuspendCount = 1;  // created suspended
  uint32_t m_dwExitCode = STILL_ACTIVE;
  std::deque<ThreadMessage> m_queue;
};

using HTHREAD = std::shared_ptr<CThreadHandle>;

// A thread with its own message queue. The object is created first; its
// thread is created parked (CreateSuspended) and runs only when the handle
// is resumed. On the new thread InitInstance runs first; when it returns
// true, messages are dispatched to OnThreadMessage until EndThread. When
// the thread ends, the object deletes itself, so objects must come from new.
class CWorkerThread {
 public:
  CWorkerThread();
  virtual ~CWorkerThread();
  CWorkerThread(const CWorkerThread&) = delete;
  CWorkerThread& operator=(const CWorkerThread&) = delete;

  // False when the system refuses another thread; the object then stays
  // with the caller, who deletes it.
  bool CreateSuspended();
  const HTHREAD& Handle() const { return m_hThread; }

 protected:
  virtual bool InitInstance() = 0;
  virtual void OnThreadMessage(const ThreadMessage& msg) = 0;
  // Ends the message loop once the running handler returns; the thread then
  // retires with this exit code and the object is deleted.
  void EndThread(uint32_t dwExitCode);
  void WaitWhileSuspended() { m_hThread->WaitWhileSuspended(); }

 private:
  void ThreadMain();

  HTHREAD m_hThread;
  bool m_bEnding = false;
  uint32_t m_dwExitCode = 0;
};

}  // namespace stratavon
