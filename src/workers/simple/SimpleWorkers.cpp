#include "workers/simple/SimpleWorkers.h"

#include <atomic>
#include <cerrno>
#include <cstring>

#include "engine/Pattern.h"
#include "platform/DiskSpace.h"
#include "platform/MessageBox.h"

namespace stratavon {
namespace {

std::atomic<ISimpleWorkerWatch*> g_pSimpleWatch{nullptr};

}  // namespace

void SetSimpleWorkerWatch(ISimpleWorkerWatch* pWatch) { g_pSimpleWatch.store(pWatch); }

void FillPatternBuffer(uint8_t* pBuffer) {
  // The simple console never imports a data file; a run after an import in
  // the advanced console lays down the typed byte.
  if (g_nPatternKind == kPatternFile) {
    std::memset(pBuffer, g_byPatternByte, kSimpleIoBytes);
    return;
  }
  FillWithUnit(pBuffer, kSimpleIoBytes, PatternUnit(g_nPatternKind));
}

bool CSimpleWorker::InitInstance() {
  // A slot the console did not prepare: there is nothing to tell anyone.
  if (m_nTarget < 0 || m_nSlot < 0 || m_nSlot >= kSlotsPerTarget || g_pTargetRecords == nullptr ||
      m_nTarget >= g_nTargetRecords) {
    return false;
  }
  if (!m_hEndEvent) m_hEndEvent = g_pTargetRecords[m_nTarget].hEndEvent[m_nSlot];

  m_lockRecords.Lock();
  const std::string szRoot = g_pTargetRecords[m_nTarget].szRoot;
  m_lockRecords.Unlock();

  DiskSpaceInfo disk;
  if (!GetDiskFreeSpace(szRoot, disk)) return FailStart(kErrorInitialization, kSimpleMsgInitialization);
  // Direct I/O moves whole sectors only.
  if (disk.dwBytesPerSector == 0 || kSimpleIoBytes % disk.dwBytesPerSector != 0) {
    return FailStart(kErrorInitialization, kSimpleMsgInitialization);
  }
  if (disk.qwFreeBytes < kSimpleIoBytes) return FailStart(kErrorDiskSpace, kSimpleMsgDiskSpace);

  // Whatever was acquired is released before the box goes up: an operator
  // may leave it open for a long time.
  if (!m_buffer.Allocate(kSimpleIoBytes)) {
    ReleaseIo();
    return FailStart(kErrorMemoryAllocation, kSimpleMsgMemory);
  }
  FillPatternBuffer(m_buffer.Data());
  if (!m_file.Create(WorkFileName(szRoot, m_bWriteSide, m_nSlot))) {
    ReleaseIo();
    return FailStart(kErrorInitialization, kSimpleMsgFileCreation);
  }

  m_lockRecords.Lock();
  Entry().pBuffer = m_buffer.Data();
  Entry().hFile = m_file.Handle();
  m_lockRecords.Unlock();
  return true;
}

bool CSimpleWorker::FailStart(IoErrorKind nKind, const char* szMessage) {
  Activity().bFailed.store(1, std::memory_order_release);
  // The watch hears of it first, so a front end knows while the box is open.
  if (ISimpleWorkerWatch* pWatch = g_pSimpleWatch.load()) pWatch->OnStartFailed(m_nTarget, m_nSlot, nKind, szMessage);
  ShowMessageBox(szMessage, "Error", MessageIcon::kError);
  return false;
}

void CSimpleWorker::OnThreadMessage(const ThreadMessage& msg) {
  switch (msg.message) {
    case WM_START_IO:
      OnStartIo();
      break;
    case WM_END_IO:
      OnEndIo();
      break;
    default:
      break;
  }
}

void CSimpleWorker::OnStartIo() { RunIo(); }

void CSimpleWorker::OnEndIo() { EndIo(kSimpleEndIoExitCode); }

void CSimpleWorker::EndIo(uint32_t dwExitCode) {
  ReleaseIo();
  EndThread(dwExitCode);
}

void CSimpleWorker::ReleaseIo() {
  // Withdraw first: no reader of the slot entry may ever hold a buffer or a
  // file that is already gone.
  m_lockRecords.Lock();
  SlotIoEntry& entry = Entry();
  entry.pBuffer = nullptr;
  entry.hFile = INVALID_HANDLE_VALUE;
  m_lockRecords.Unlock();

  m_buffer.Free();
  m_file.Close();
}

void CSimpleWorker::Transfer(bool bWrite) {
  EnterCall(bWrite);
  const ssize_t nMoved =
      bWrite ? m_file.Write(m_buffer.Data(), kSimpleIoBytes) : m_file.Read(m_buffer.Data(), kSimpleIoBytes);
  const int nError = nMoved < 0 ? errno : 0;
  const bool bTimedOut = LeaveCall() > m_ioTimeout;
  (void)m_file.Seek(0);
  if (nMoved > 0) NoteMoved();
  if (nMoved == static_cast<ssize_t>(kSimpleIoBytes) && !bTimedOut) return;

  // Every failed or stalled call is counted; a short one only tells the watch.
  const IoErrorKind nKind = nMoved < 0    ? (bWrite ? kErrorWriteApi : kErrorReadApi)
                            : bTimedOut   ? kErrorIoTimeout
                                          : kErrorUnderrunOverrun;
  if (nKind != kErrorUnderrunOverrun) CountFailedCall(m_nTarget, nKind, nMoved < 0 ? nError : ETIMEDOUT);
  if (m_bTransferFailed) return;
  m_bTransferFailed = true;
  Activity().bFailed.store(1, std::memory_order_release);
  if (ISimpleWorkerWatch* pWatch = g_pSimpleWatch.load()) {
    pWatch->OnTransferFailed(m_nTarget, m_nSlot, nKind, nMoved < 0 ? nError : (bTimedOut ? ETIMEDOUT : 0));
  }
}

void CWriteThreadClass::RunIo() {
  if (!m_file.IsOpen() || !m_buffer) return EndIo(kSimpleWriteExitCode);
  BeginIo();
  // A stop that came before the loop still leaves one whole pass.
  do {
    Transfer(true);
  } while (!StopRequested());
  EndIo(kSimpleWriteExitCode);
}

void CThreadClass::RunIo() {
  if (!m_file.IsOpen() || !m_buffer) return EndIo(kSimpleReadExitCode);
  // The file is new and empty: give the reads a MiB of pattern to find.
  Transfer(true);
  BeginIo();
  while (!StopRequested()) Transfer(false);
  EndIo(kSimpleReadExitCode);
}

}  // namespace stratavon
