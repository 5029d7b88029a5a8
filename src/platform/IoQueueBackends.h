#pragma once

// The backends behind CIoQueue::Create; nothing outside the I/O queue uses these.

#include <algorithm>
#include <chrono>
#include <memory>

#include "platform/IoQueue.h"

namespace stratavon::ioqueue {

// Null with errno set when the ring cannot be set up or lacks an operation we need.
std::unique_ptr<CIoQueue> CreateUring(unsigned nDepth);
// Null with errno set when the threads cannot be started.
std::unique_ptr<CIoQueue> CreateThreadPool(unsigned nDepth);
// Null with errno set when the events cannot be made; ENOSYS off Windows.
std::unique_ptr<CIoQueue> CreateOverlapped(unsigned nDepth);
// 0 when a ring with the operations we need can be created here, else the errno.
int ProbeUring();
// The backend taken where io_uring is not: the thread pool on Linux,
// overlapped I/O on Windows.
IoBackend FallbackBackend();

// The moment a wait of the given length ends: a negative length is no wait,
// and a huge one (milliseconds::max() meaning "forever") cannot overflow.
inline std::chrono::steady_clock::time_point DeadlineAfter(std::chrono::milliseconds timeout) {
  constexpr std::chrono::milliseconds kLongest = std::chrono::hours(24 * 365);
  timeout = std::clamp(timeout, std::chrono::milliseconds::zero(), kLongest);
  return std::chrono::steady_clock::now() + timeout;
}

}  // namespace stratavon::ioqueue
