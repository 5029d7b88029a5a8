#include "workers/simple/SimpleWorkers.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <iterator>

#include "engine/Pattern.h"
#include "platform/DiskSpace.h"
#include "platform/MessageBox.h"
#include "platform/SystemError.h"

namespace stratavon {
namespace {

std::atomic<ISimpleWorkerWatch*> g_pSimpleWatch{nullptr};

// A start-up message's bit in TargetRunRecord::dwStartBoxesShown.
uint32_t MessageBit(const char* szMessage) {
  const char* const messages[] = {kSimpleMsgInitialization, kSimpleMsgDiskSpace, kSimpleMsgMemory,
                                  kSimpleMsgFileCreation};
  for (uint32_t i = 0; i < std::size(messages); ++i) {
    if (std::strcmp(szMessage, messages[i]) == 0) return 1u << i;
  }
  return 1u << 31;
}

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
  const Target target = g_pTargetRecords[m_nTarget].target;
  m_lockRecords.Unlock();
  const std::string& szRoot = target.szPath;

  DiskSpaceInfo disk;
  if (!GetDiskFreeSpace(szRoot, disk)) {
    return FailStart(kErrorInitialization, kSimpleMsgInitialization, FormatSystemMessage(errno));
  }
  // Direct I/O moves whole sectors only.
  if (disk.dwBytesPerSector == 0 || kSimpleIoBytes % disk.dwBytesPerSector != 0) {
    return FailStart(kErrorInitialization, kSimpleMsgInitialization,
                     "its sector size (" + std::to_string(disk.dwBytesPerSector) + " bytes) does not divide " +
                         std::to_string(kSimpleIoBytes) + " bytes");
  }
  if (disk.qwFreeBytes < kSimpleIoBytes) {
    return FailStart(kErrorDiskSpace, kSimpleMsgDiskSpace,
                     std::to_string(disk.qwFreeBytes) + " bytes free, " + std::to_string(kSimpleIoBytes) + " needed");
  }

  // Whatever was acquired is released before the box goes up: an operator
  // may leave it open for a long time.
  if (!m_buffer.Allocate(kSimpleIoBytes)) {
    const int nError = errno;
    ReleaseIo();
    return FailStart(kErrorMemoryAllocation, kSimpleMsgMemory, FormatSystemMessage(nError));
  }
  FillPatternBuffer(m_buffer.Data());
  m_extent = SlotExtentOf(target, m_bWriteSide, m_nSlot, kSimpleIoBytes);
  if (!m_file.Create(szRoot, m_extent.szPath) || (m_extent.qwBase != 0 && !m_file.Seek(m_extent.qwBase))) {
    ReleaseIo();
    return FailStart(kErrorInitialization, kSimpleMsgFileCreation, m_file.Failure());
  }

  m_lockRecords.Lock();
  Entry().pBuffer = m_buffer.Data();
  Entry().hFile = m_file.Handle();
  m_lockRecords.Unlock();
  return true;
}

bool CSimpleWorker::FailStart(IoErrorKind nKind, const char* szMessage, const std::string& szReason) {
  Activity().bFailed.store(1, std::memory_order_release);
  // The watch hears of it first, so a front end knows while the box is open.
  if (ISimpleWorkerWatch* pWatch = g_pSimpleWatch.load()) pWatch->OnStartFailed(m_nTarget, m_nSlot, nKind, szMessage);
  // Up to fifty workers of a target meet the same failure: the first one
  // shows it, naming the target and the reason, and the rest end quietly.
  const uint32_t dwBit = MessageBit(szMessage);
  m_lockRecords.Lock();
  TargetRunRecord& record = g_pTargetRecords[m_nTarget];
  const bool bShown = (record.dwStartBoxesShown & dwBit) != 0;
  record.dwStartBoxesShown |= dwBit;
  const std::string szRoot = record.target.szPath;
  m_lockRecords.Unlock();
  if (!bShown) ShowMessageBox(std::string(szMessage) + "\n\nTarget: " + szRoot + "\nReason: " + szReason, "Error",
                              MessageIcon::kError);
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
  EnterCall(bWrite, kSimpleIoBytes, m_file.Position());
  const ssize_t nMoved =
      bWrite ? m_file.Write(m_buffer.Data(), kSimpleIoBytes) : m_file.Read(m_buffer.Data(), kSimpleIoBytes);
  const int nError = nMoved < 0 ? errno : 0;
  const bool bTimedOut = LeaveCall() > m_ioTimeout;
  (void)m_file.Seek(m_extent.qwBase);
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
