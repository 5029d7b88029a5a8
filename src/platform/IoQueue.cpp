// Choosing an I/O queue backend; the backends live in IoQueueUring.cpp,
// IoQueueThreads.cpp and (Windows) IoQueueOverlapped_win.cpp.

#include "platform/IoQueue.h"

#include <strings.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/IoQueueBackends.h"

namespace stratavon {
namespace {

enum class EChoice { kAuto, kUring, kThreads, kInvalid };

// STRATAVON_IO_BACKEND: unset, empty or "auto" lets the machine decide.
EChoice ChoiceFromEnvironment() {
  const char* pszValue = std::getenv("STRATAVON_IO_BACKEND");
  if (pszValue == nullptr || *pszValue == '\0' || strcasecmp(pszValue, "auto") == 0) return EChoice::kAuto;
  if (strcasecmp(pszValue, "uring") == 0 || strcasecmp(pszValue, "io_uring") == 0) return EChoice::kUring;
  if (strcasecmp(pszValue, "threads") == 0 || strcasecmp(pszValue, "thread") == 0) return EChoice::kThreads;
  return EChoice::kInvalid;
}

}  // namespace

const char* IoBackendName(IoBackend eBackend) {
  switch (eBackend) {
    case IoBackend::kIoUring:
      return "io_uring";
    case IoBackend::kThreadPool:
      return "thread pool";
    case IoBackend::kOverlapped:
      return "overlapped";
  }
  return "unknown";
}

CIoQueue::~CIoQueue() = default;

int CIoQueue::IssueFlush(int) { return EOPNOTSUPP; }
bool CIoQueue::RegisterBuffers(void*, size_t) { return false; }
bool CIoQueue::RegisterFile(int) { return false; }

void CIoQueue::CancelAll() {
  // Long slices: each one only returns to check again, nothing is given up.
  while (!CancelAllFor(std::chrono::minutes(1))) {
  }
}

bool CIoQueue::UringUsable(int* pnError) {
  int nError = ioqueue::ProbeUring();
  if (pnError != nullptr) *pnError = nError;
  return nError == 0;
}

std::string CIoQueue::BackendChoiceProblem() {
  switch (ChoiceFromEnvironment()) {
    case EChoice::kInvalid:
      return "STRATAVON_IO_BACKEND=" + std::string(std::getenv("STRATAVON_IO_BACKEND")) +
             " names no I/O backend; use uring, threads or auto";
    case EChoice::kUring: {
      int nError = 0;
      if (UringUsable(&nError)) return "";
      return "STRATAVON_IO_BACKEND asks for io_uring, which this system refuses: " + std::string(strerror(nError));
    }
    case EChoice::kThreads:
      if (ioqueue::FallbackBackend() == IoBackend::kThreadPool) return "";
      return "STRATAVON_IO_BACKEND asks for the thread pool, which this build does not have; use auto";
    default:
      return "";
  }
}

IoBackend CIoQueue::DefaultBackend() {
  switch (ChoiceFromEnvironment()) {
    case EChoice::kUring:
      return IoBackend::kIoUring;
    case EChoice::kThreads:
      return IoBackend::kThreadPool;
    case EChoice::kAuto:
    case EChoice::kInvalid:
      break;
  }
  return UringUsable() ? IoBackend::kIoUring : ioqueue::FallbackBackend();
}

std::unique_ptr<CIoQueue> CIoQueue::Create(unsigned nDepth) {
  if (nDepth == 0 || nDepth > kMaxDepth) {
    errno = EINVAL;
    return nullptr;
  }
  switch (ChoiceFromEnvironment()) {
    case EChoice::kUring:
      return Create(nDepth, IoBackend::kIoUring);
    case EChoice::kThreads:
      return Create(nDepth, IoBackend::kThreadPool);
    case EChoice::kInvalid:
      errno = EINVAL;
      return nullptr;
    case EChoice::kAuto:
      break;
  }
  if (UringUsable()) {
    // A ring may still be refused one at a time (memlock limits before 5.12).
    if (std::unique_ptr<CIoQueue> pQueue = Create(nDepth, IoBackend::kIoUring)) return pQueue;
  }
  return Create(nDepth, ioqueue::FallbackBackend());
}

std::unique_ptr<CIoQueue> CIoQueue::Create(unsigned nDepth, IoBackend eBackend) {
  if (nDepth == 0 || nDepth > kMaxDepth) {
    errno = EINVAL;
    return nullptr;
  }
  switch (eBackend) {
    case IoBackend::kIoUring:
      return ioqueue::CreateUring(nDepth);
    case IoBackend::kThreadPool:
      return ioqueue::CreateThreadPool(nDepth);
    case IoBackend::kOverlapped:
      return ioqueue::CreateOverlapped(nDepth);
  }
  errno = EINVAL;
  return nullptr;
}

}  // namespace stratavon
