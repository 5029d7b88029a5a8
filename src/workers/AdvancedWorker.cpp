#include "workers/AdvancedWorker.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <vector>

#include "engine/Mismatch.h"
#include "engine/Pattern.h"
#include "engine/StampedScan.h"
#include "platform/DiskSpace.h"
#include "platform/StateDirectory.h"
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
  m_bStamped = g_bStampedPattern;
  m_stampId.qwRunId = g_qwStampRunId;
  m_stampId.dwSlot = static_cast<uint32_t>(m_nSlot);
  return true;
}

bool CAdvancedWorker::CheckTarget(uint64_t qwNeeded) {
  const Target& target = Record().target;
  if (target.IsDevice()) {
    const uint64_t qwSlice = DeviceSlice();
    m_stampId.dwUnitBytes = StampUnitBytes(target.dwLogicalSectorBytes);
    m_extent = DeviceSliceExtent(target, DeviceSliceIndex(), qwSlice, qwNeeded);
    if (qwNeeded > qwSlice) {
      ReportIoError(0, kErrorDiskSpace, nullptr,
                    target.szPath + ": a slice of " + std::to_string(qwSlice) + " bytes holds less than the " +
                        std::to_string(qwNeeded) + " bytes a worker needs");
      return false;
    }
    m_lockRecords.Lock();
    if (!Record().pSurface) {
      Record().pSurface.reset(new (std::nothrow) CSurfaceMap(target.qwSizeBytes, target.dwLogicalSectorBytes));
    }
    m_pSurface = Record().pSurface;
    m_lockRecords.Unlock();
    if (m_pSurface) m_pSurface->Plan(m_extent.qwBytes, Record().settings.dwPasses);
    return true;
  }
  DiskSpaceInfo disk;
  if (!GetDiskFreeSpace(Record().target.szPath, disk)) {
    const int nError = errno;
    ReportIoError(0, kErrorInitialization, nullptr, Record().target.szPath + ": " + FormatSystemMessage(nError));
    return false;
  }
  if (m_dwBufferSize == 0 || m_dwBufferSize % disk.dwBytesPerSector != 0) {
    ReportIoError(0, kErrorInitialization, nullptr,
                  "a buffer of " + std::to_string(m_dwBufferSize) + " bytes is not a whole number of the target's " +
                      std::to_string(disk.dwBytesPerSector) + "-byte sectors");
    return false;
  }
  m_stampId.dwUnitBytes = StampUnitBytes(disk.dwBytesPerSector);
  m_extent = SlotExtentOf(Record().target, m_bWriteSide, m_nSlot, qwNeeded);
  if (qwNeeded > disk.qwFreeBytes) {
    ReportIoError(0, kErrorDiskSpace, nullptr);
    return false;
  }
  return true;
}

uint32_t CAdvancedWorker::DeviceSliceIndex() const {
  const RunSettings& settings = Record().settings;
  if (!m_bWriteSide) return static_cast<uint32_t>(m_nSlot);
  const uint32_t nWriter = static_cast<uint32_t>(m_nSlot - kFirstWriteSlot);
  return settings.dwFunction == FUNCTION_READ_WRITE ? settings.dwThreads + nWriter : nWriter;
}

uint64_t CAdvancedWorker::DeviceSlice() const {
  const RunSettings& settings = Record().settings;
  const uint32_t nSlices = std::max<uint32_t>(1, settings.dwThreads) * (settings.dwFunction == FUNCTION_READ_WRITE ? 2 : 1);
  const Target& target = Record().target;
  return DeviceSliceBytes(target, nSlices, std::max<uint64_t>(target.dwPhysicalSectorBytes, m_dwBufferSize));
}

bool CAdvancedWorker::SeedsTarget() const { return !Record().target.IsDevice() || Record().target.bWritable; }

std::string CAdvancedWorker::DeviceWhere(uint64_t qwOffset) const {
  const Target& target = Record().target;
  if (!target.IsDevice() || target.dwLogicalSectorBytes == 0) return {};
  return "at device offset " + std::to_string(qwOffset) + " (LBA " +
         std::to_string(qwOffset / target.dwLogicalSectorBytes) + ")";
}

void CAdvancedWorker::NoteFailedCall(bool bWrite, uint8_t* pData, uint64_t qwOffset, uint32_t dwBytes, int nError) {
  CSurfaceMap* const pSurface = m_pSurface.get();
  if (pSurface == nullptr) return;
  const uint32_t dwSector = Record().target.dwLogicalSectorBytes;
  if (bWrite || (m_dwMode & MODE_ERROR_CHECKING) != 0 || dwSector == 0 || dwBytes <= dwSector) {
    pSurface->Fail(qwOffset, dwBytes, nError);
    return;
  }
  for (uint32_t dwAt = 0; dwAt < dwBytes; dwAt += dwSector) {
    // A stop does not wait for a bad stretch to be read out sector by sector.
    if (StopRequested()) {
      pSurface->Fail(qwOffset + dwAt, dwBytes - dwAt, nError);
      return;
    }
    const auto tStart = std::chrono::steady_clock::now();
    const ssize_t nMoved = pread(m_file.Handle(), pData + dwAt, dwSector, static_cast<off_t>(qwOffset + dwAt));
    const int nSectorError = nMoved < 0 ? errno : EIO;
    if (nMoved == static_cast<ssize_t>(dwSector)) {
      pSurface->Record(qwOffset + dwAt, dwSector, std::chrono::steady_clock::now() - tStart);
    } else {
      pSurface->Fail(qwOffset + dwAt, dwSector, nSectorError);
    }
  }
}

bool CAdvancedWorker::CreateWorkFile() {
  // The loops move from the file position on: it starts at the extent's.
  const Target& target = Record().target;
  const bool bOpened = target.IsDevice() ? m_file.OpenDevice(m_extent.szPath, target.bWritable)
                                         : m_file.Create(target.szPath, m_extent.szPath, m_extent.qwBytes);
  if (!bOpened ||
      (m_extent.qwBase != 0 && !m_file.Seek(m_extent.qwBase))) {
    if (errno == ENOSPC) {
      ReportIoError(0, kErrorDiskSpace, nullptr);
    } else {
      ReportIoError(0, kErrorInitialization, nullptr, m_file.Failure());
    }
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
  RecordStampedFile(0);
  if (m_bWriteSide) m_flush.Begin(m_extent, m_stampId, m_bStamped);
  return true;
}

void CAdvancedWorker::RecordStampedFile(uint32_t dwPass, uint64_t qwPassEnd) const {
  if (!m_bStamped) return;
  AppendStampRecord(StampRecord{m_stampId.qwRunId, dwPass, m_extent.qwBytes, m_stampId.dwSlot,
                                m_stampId.dwUnitBytes, m_extent.szPath, qwPassEnd, m_extent.qwBase});
}

void CAdvancedWorker::KeepPatternChecksum() {
  if (m_reference) std::memcpy(m_reference.Data(), m_buffer.Data(), m_dwBufferSize);
  m_crc.Store(m_buffer.Data(), m_dwBufferSize);
  // Stamped units' bodies are the pattern as it lies now. Without the
  // tables (no memory) every stamp computes its checksum in full.
  if (m_bStamped) (void)m_stamper.Prepare(m_buffer.Data(), m_dwBufferSize, m_stampId);
}

bool CAdvancedWorker::ResolveSpan(uint64_t* pqwBytes) {
  *pqwBytes = m_dwBufferSize;
  const RunSettings& settings = Record().settings;
  if ((settings.qwSpanBytes == 0 && !Record().target.IsDevice()) || m_dwBufferSize == 0) return true;
  uint64_t qwSpan = settings.qwSpanBytes;
  if (Record().target.IsDevice()) {
    // A device's slice is the whole work area unless -s asks for less.
    const uint64_t qwSlice = DeviceSlice();
    qwSpan = qwSpan == 0 || qwSpan == kSpanFill ? qwSlice : std::min(qwSpan, qwSlice);
  } else if (qwSpan == kSpanFill) {
    // Every worker of the target asks before any has written much: each
    // takes its share of what is free now, a tenth of it left over.
    DiskSpaceInfo disk;
    if (!GetDiskFreeSpace(Record().target.szPath, disk)) {
      ReportIoError(0, kErrorInitialization, nullptr);
      return false;
    }
    const uint64_t qwWorkers =
        std::max<uint64_t>(1, uint64_t{settings.dwThreads} * (settings.dwFunction == FUNCTION_READ_WRITE ? 2 : 1));
    qwSpan = disk.qwFreeBytes / 10 * 9 / qwWorkers;
  }
  *pqwBytes = std::max<uint64_t>(qwSpan / m_dwBufferSize, 1) * m_dwBufferSize;
  return true;
}

bool CAdvancedWorker::InitSynchronous() {
  uint64_t qwFileBytes = 0;
  if (!ResolveSpan(&qwFileBytes) || !CheckTarget(qwFileBytes)) return false;

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
  // Every engine comes here once its own I/O is over (the asynchronous ones
  // after the queue has cancelled and drained): nothing moves the position
  // the record takes.
  if (m_file.IsOpen()) RecordStampedFile(PassReached(), PassEnd());
  if (m_bFailed == 0) m_flush.Ended(PassReached());
  m_buffer.Free();
  m_reference.Free();
  m_file.Close();
  if (m_bFailed == 0) ShowStatus("STOP");
}

void CAdvancedWorker::WriteBackBlock(uint8_t* pBlock) {
  // The stamped data always lands at the extent's start (file offset 0 of a
  // work file); its own failure is passed over, the report goes on.
  if (m_file.IsOpen() && m_file.Seek(m_extent.qwBase)) (void)m_file.Write(pBlock, m_dwTransferSize);
}

uint32_t CAdvancedWorker::BadDataKind(const uint8_t* pBuffer, uint64_t qwFileOffset, uint32_t dwPass) {
  m_qwReportOffset = qwFileOffset;
  m_dwReportPass = dwPass;
  if (!m_bStamped) return kErrorDataComparison;
  switch (JudgeUnits(pBuffer, m_dwBufferSize, qwFileOffset, dwPass, m_stampId).first.state) {
    case UnitState::kMisdirected:
      return kErrorMisdirected;
    case UnitState::kStale:
      return kErrorStale;
    case UnitState::kForeign:
      return kErrorForeign;
    default:
      return kErrorCorruptUnit;
  }
}

void CAdvancedWorker::RecordDataFailure(uint32_t nKind, const uint8_t* pBlock, std::vector<std::string>* pStrings) {
  IntegrityReport report;
  report.nTarget = m_nTarget;
  report.nSlot = m_nSlot;
  report.bWriteSide = m_bWriteSide;
  report.nKind = nKind;
  report.bStamped = m_bStamped;
  report.dwExpectedPass = m_dwReportPass;
  if (m_reference) {
    // What the buffer should hold: the pattern, with this pass's headers
    // over it when the units are stamped. Only the reference copy knows it.
    std::vector<uint8_t> expected(m_reference.Data(), m_reference.Data() + m_dwBufferSize);
    if (m_bStamped) StampUnits(expected.data(), expected.size(), m_qwReportOffset, m_dwReportPass, m_stampId);
    report.mismatch = AnalyseMismatch(expected.data(), pBlock, m_dwBufferSize, m_qwReportOffset);
  }
  pStrings->push_back(DescribeMismatch(report.mismatch));
  if (m_bStamped) {
    report.stamps = JudgeUnits(pBlock, m_dwBufferSize, m_qwReportOffset, m_dwReportPass, m_stampId);
    const UnitFinding& first = report.stamps.first;
    const uint64_t* pUnits = report.stamps.aqwUnits;
    pStrings->push_back("first bad unit at " + std::to_string(report.stamps.qwFirstBadOffset) + " is " +
                        UnitStateWord(first.state) + ", carrying offset " + std::to_string(first.qwFoundOffset) +
                        " pass " + std::to_string(first.dwFoundPass) + " (expected " +
                        std::to_string(m_dwReportPass) + ") slot " + std::to_string(first.dwFoundSlot) +
                        "; units good " + std::to_string(pUnits[0]) + ", corrupt " + std::to_string(pUnits[1]) +
                        ", misdirected " + std::to_string(pUnits[2]) + ", stale " + std::to_string(pUnits[3]) +
                        ", foreign " + std::to_string(pUnits[4]));
  }
  // The buffer as it was read, for a look at the damage after the run; the
  // work file itself gets the stamp over it.
  // A device's is kept in the state directory, never next to its node.
  std::string szBad = m_extent.szPath + ".bad";
  if (Record().target.IsDevice() && EnsureStateDirectory()) {
    const std::string& szNode = m_extent.szPath;
    szBad = StateDirectory() + "/" + szNode.substr(szNode.rfind('/') + 1) + "-slot" + std::to_string(m_nSlot) + "-at" +
            std::to_string(m_qwReportOffset) + ".bad";
  } else if (Record().target.IsDevice()) {
    szBad.clear();
  }
  const int hBad = szBad.empty() ? -1 : open(szBad.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (hBad >= 0) {
    size_t nDone = 0;
    while (nDone < m_dwBufferSize) {
      const ssize_t n = write(hBad, pBlock + nDone, m_dwBufferSize - nDone);
      if (n <= 0) break;
      nDone += static_cast<size_t>(n);
    }
    if (close(hBad) == 0 && nDone == m_dwBufferSize) report.szBadFile = szBad;
  }
  PublishIntegrityReport(report);
}

void CAdvancedWorker::ReportIoError(uint32_t dwCode, uint32_t nKind, uint8_t* pBlock) {
  ReportIoError(dwCode, nKind, pBlock, {});
}

void CAdvancedWorker::ReportIoError(uint32_t dwCode, uint32_t nKind, uint8_t* pBlock, const std::string& szDetail) {
  const IoErrorWords words = DescribeIoError(nKind, m_bAsync);
  const std::string szSlot = std::to_string(m_nSlot);

  m_lockRecords.Lock();
  const std::string szRoot = Record().target.szPath;
  const bool bDevice = Record().target.IsDevice();
  m_lockRecords.Unlock();

  std::vector<std::string> strings;
  WordMismatch pairs[kMaxListedWords] = {};
  bool bWriteEvent = words.dwEventId != 0;
  bool bWithData = false;

  switch (nKind) {
    case kErrorReadApi:
    case kErrorWriteApi:
      if (pBlock != nullptr && !bDevice) {
        std::memcpy(pBlock, kApiStamp, kStampBytes);
        WriteBackBlock(pBlock);
      }
      strings = {nKind == kErrorReadApi ? "READ" : "WRITE", szRoot, szSlot,
                 FormatSystemMessage(static_cast<int>(dwCode))};
      break;
    case kErrorDataComparison:
    case kErrorCorruptUnit:
    case kErrorMisdirected:
    case kErrorStale:
    case kErrorForeign: {
      if (pBlock == nullptr) {
        bWriteEvent = false;
        break;
      }
      std::vector<std::string> where;
      RecordDataFailure(nKind, pBlock, &where);
      unsigned nListed = 0;
      if (m_reference) nListed = ListDifferingWords(m_reference.Data(), pBlock, m_dwBufferSize, pairs);
      // A device is never written by a failure's account: the buffer as
      // read is in the state directory (RecordDataFailure).
      if (!bDevice) {
        std::memcpy(pBlock, kCrcStamp, kStampBytes);
        WriteBackBlock(pBlock);
      }
      strings = {m_extent.szPath, szRoot, szSlot, std::to_string(nListed)};
      if (bDevice) strings.push_back(DeviceWhere(m_qwReportOffset));
      strings.insert(strings.end(), where.begin(), where.end());
      bWithData = true;
      break;
    }
    case kErrorMemoryAllocation:
      strings = {FormatSystemMessage(static_cast<int>(dwCode))};
      break;
    case kErrorIoTimeout:
    case kErrorUnderrunOverrun:
      strings = {m_extent.szPath};
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
