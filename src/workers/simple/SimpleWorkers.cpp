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
  if (!m_file.Create(szRoot, WorkFileName(szRoot, m_bWriteSide, m_nSlot))) {
    ReleaseIo();
    return FailStart(kErrorInitialization, kSimpleMsgFileCreation + ("\n" + m_file.Failure()));
  }

  m_lockRecords.Lock();
  Entry().pBuffer = m_buffer.Data();
  Entry().hFile = m_file.Handle();
  m_lockRecords.Unlock();
  return true;
}

bool CSimpleWorker::FailStart(IoErrorKind nKind, const std::string& szMessage) {
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
  const ssize_t nMoved =
      bWrite ? m_file.Write(m_buffer.Data(), kSimpleIoBytes) : m_file.Read(m_buffer.Data(), kSimpleIoBytes);
  const int nError = nMoved < 0 ? errno : 0;
  (void)m_file.Seek(0);
  if (nMoved == static_cast<ssize_t>(kSimpleIoBytes) || m_bTransferFailed) return;

  m_bTransferFailed = true;
  if (ISimpleWorkerWatch* pWatch = g_pSimpleWatch.load()) {
    const IoErrorKind nKind = nMoved >= 0 ? kErrorUnderrunOverrun : (bWrite ? kErrorWriteApi : kErrorReadApi);
    pWatch->OnTransferFailed(m_nTarget, m_nSlot, nKind, nError);
  }
}

void CWriteThreadClass::RunIo() {
  if (!m_file.IsOpen() || !m_buffer) return EndIo(kSimpleWriteExitCode);
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
  while (!StopRequested()) Transfer(false);
  EndIo(kSimpleReadExitCode);
}

}  // namespace stratavon
