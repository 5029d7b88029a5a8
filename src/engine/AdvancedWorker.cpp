#include "engine/AdvancedWorker.h"

#include <cerrno>
#include <cstring>
#include <new>
#include <vector>

#include "engine/Pattern.h"
#include "platform/DiskSpace.h"
#include "platform/SystemError.h"

namespace stratavon {

CAdvancedWorker::CAdvancedWorker(bool bWriteSide, bool bAsync) : m_bWriteSide(bWriteSide), m_bAsync(bAsync) {}

CAdvancedWorker::~CAdvancedWorker() {
  // Whatever a failed start-up left behind goes with the object.
  if (m_hEventSource != nullptr) DeregisterEventSource(m_hEventSource);
}

bool CAdvancedWorker::InitInstance() { return InitFrame() && InitSynchronous(); }

void CAdvancedWorker::OnThreadMessage(const ThreadMessage& msg) {
  if (msg.message == WM_START_IO) OnStartIo();
}

bool CAdvancedWorker::InitFrame() {
  // A slot the console did not prepare: nothing to report to.
  if (m_nTarget < 0 || m_nSlot < 0 || m_nSlot >= kSlotsPerTarget || g_pTargetRecords == nullptr ||
      m_nTarget >= g_nTargetRecords || Record().settings.pDialog == nullptr) {
    return false;
  }
  m_pDialog = Record().settings.pDialog;

  if (!Record().hEndEvent[m_nSlot]) {
    ReportIoError(0, kErrorInitialization, nullptr);
    return false;
  }
  m_hEventSource = RegisterEventSource(kEventSourceName);
  if (m_hEventSource == nullptr) {
    const int nError = errno;
    ReportIoError(0, kErrorInitialization, nullptr, EventLogPath() + ": " + FormatSystemMessage(nError));
    return false;
  }
  ShowStatus("INIT");
  m_dwBufferSize = Record().settings.dwBufferSize;
  m_dwTransferSize = Record().settings.dwTransferSize;
  m_dwMode = Record().settings.dwMode;
  return true;
}

bool CAdvancedWorker::CheckTarget(uint64_t qwNeeded) {
  DiskSpaceInfo disk;
  if (!GetDiskFreeSpace(Record().szRoot, disk)) {
    const int nError = errno;
    ReportIoError(0, kErrorInitialization, nullptr, Record().szRoot + ": " + FormatSystemMessage(nError));
    return false;
  }
  if (m_dwBufferSize == 0 || m_dwBufferSize % disk.dwBytesPerSector != 0) {
    ReportIoError(0, kErrorInitialization, nullptr,
                  "a buffer of " + std::to_string(m_dwBufferSize) + " bytes is not a whole number of the target's " +
                      std::to_string(disk.dwBytesPerSector) + "-byte sectors");
    return false;
  }
  if (qwNeeded > disk.qwFreeBytes) {
    ReportIoError(0, kErrorDiskSpace, nullptr);
    return false;
  }
  return true;
}

bool CAdvancedWorker::CreateWorkFile() {
  m_szFileName = WorkFileName(Record().szRoot, m_bWriteSide, m_nSlot);
  if (!m_file.Create(Record().szRoot, m_szFileName)) {
    ReportIoError(0, kErrorInitialization, nullptr, m_file.Failure());
    CleanUp();
    return false;
  }
  // Timing is part of counting; it is set up once, here, never per I/O.
  if ((m_dwMode & MODE_PERFORMANCE) != 0 && g_bLatencyCapture.load()) {
    m_pLatency = std::shared_ptr<CLatencyHistogram>(new (std::nothrow) CLatencyHistogram);
  }
  m_lockRecords.Lock();
  Entry().pBuffer = m_buffer.Data();
  Entry().hFile = m_file.Handle();
  Entry().pLatency = m_pLatency;
  m_lockRecords.Unlock();
  return true;
}

void CAdvancedWorker::KeepPatternChecksum() {
  if (m_reference) std::memcpy(m_reference.Data(), m_buffer.Data(), m_dwBufferSize);
  m_crc.Store(m_buffer.Data(), m_dwBufferSize);
}

bool CAdvancedWorker::InitSynchronous() {
  if (!CheckTarget(m_dwBufferSize)) return false;

  if (!m_buffer.Allocate(m_dwBufferSize) ||
      ((m_dwMode & MODE_ERROR_CHECKING) != 0 && !m_reference.Allocate(m_dwBufferSize))) {
    ReportIoError(static_cast<uint32_t>(errno), kErrorMemoryAllocation, nullptr);
    CleanUp();
    return false;
  }
  if (!FillPattern(m_buffer.Data(), m_dwBufferSize, &m_byClearFill)) {
    ReportIoError(0, kErrorInitialization, nullptr);
    CleanUp();
    return false;
  }

  if (!CreateWorkFile()) return false;
  KeepPatternChecksum();
  return true;
}

void CAdvancedWorker::CleanUp() {
  // Withdraw the published file and buffer first, so no reader of the slot
  // entry is ever left holding released memory.
  m_lockRecords.Lock();
  Entry().pBuffer = nullptr;
  Entry().hFile = INVALID_HANDLE_VALUE;
  m_lockRecords.Unlock();

  if (m_hEventSource != nullptr) {
    DeregisterEventSource(m_hEventSource);
    m_hEventSource = nullptr;
  }
  m_buffer.Free();
  m_reference.Free();
  m_file.Close();
  if (m_bFailed == 0) ShowStatus("STOP");
}

void CAdvancedWorker::WriteBackBlock(uint8_t* pBlock) {
  // The stamped data always lands at file offset 0; its own failure is
  // passed over, the report goes on.
  if (m_file.IsOpen() && m_file.Seek(0)) (void)m_file.Write(pBlock, m_dwTransferSize);
}

void CAdvancedWorker::ReportIoError(uint32_t dwCode, uint32_t nKind, uint8_t* pBlock) {
  ReportIoError(dwCode, nKind, pBlock, {});
}

void CAdvancedWorker::ReportIoError(uint32_t dwCode, uint32_t nKind, uint8_t* pBlock, const std::string& szDetail) {
  const IoErrorWords words = DescribeIoError(nKind, m_bAsync);
  const std::string szSlot = std::to_string(m_nSlot);

  m_lockRecords.Lock();
  const std::string szRoot = Record().szRoot;
  m_lockRecords.Unlock();

  std::vector<std::string> strings;
  WordMismatch pairs[kMaxListedWords] = {};
  bool bWriteEvent = words.dwEventId != 0;
  bool bWithData = false;

  switch (nKind) {
    case kErrorReadApi:
    case kErrorWriteApi:
      if (pBlock != nullptr) {
        std::memcpy(pBlock, kApiStamp, kStampBytes);
        WriteBackBlock(pBlock);
      }
      strings = {nKind == kErrorReadApi ? "READ" : "WRITE", szRoot, szSlot,
                 FormatSystemMessage(static_cast<int>(dwCode))};
      break;
    case kErrorDataComparison: {
      if (pBlock == nullptr) {
        bWriteEvent = false;
        break;
      }
      unsigned nListed = 0;
      if (m_reference) nListed = ListDifferingWords(m_reference.Data(), pBlock, m_dwBufferSize, pairs);
      std::memcpy(pBlock, kCrcStamp, kStampBytes);
      WriteBackBlock(pBlock);
      strings = {m_szFileName, szRoot, szSlot, std::to_string(nListed)};
      bWithData = true;
      break;
    }
    case kErrorMemoryAllocation:
      strings = {FormatSystemMessage(static_cast<int>(dwCode))};
      break;
    case kErrorIoTimeout:
    case kErrorUnderrunOverrun:
      strings = {m_szFileName};
      break;
    default:
      break;
  }

  if (!szDetail.empty()) strings.push_back(szDetail);

  if (bWriteEvent) {
    std::vector<const char*> pointers;
    pointers.reserve(strings.size());
    for (const std::string& sz : strings) pointers.push_back(sz.c_str());
    ReportWorkerEvent(m_hEventSource, 1, words.dwEventId, nullptr, EVENTLOG_ERROR_TYPE,
                      static_cast<uint16_t>(pointers.size()), bWithData ? kComparisonDataBytes : 0, pointers.data(),
                      bWithData ? pairs : nullptr);
  }

  // The flag goes first: a console that sees the words can count the failure.
  Activity().bFailed.store(1, std::memory_order_release);
  m_pDialog->SetStatusText("FAIL");
  m_pDialog->SetExtendedText(szDetail.empty() ? std::string(words.szLong) : words.szLong + (": " + szDetail));
  m_pDialog->SetTargetText(m_nTarget, kColumnError, words.szShort);
  m_bFailed = 1;
  ShowStatus("FAIL");
}

}  // namespace stratavon
