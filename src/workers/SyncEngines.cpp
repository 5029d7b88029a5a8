#include "workers/SyncEngines.h"

#include "platform/CpuInfo.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>

#include <unistd.h>

namespace stratavon {

uint32_t CSyncEngine::LoopExitCode(uint32_t dwFirstCode) const {
  return dwFirstCode + 2 * m_dwMode + (IsSingleShape() ? 0 : 1);
}

uint32_t CSyncEngine::Chunks() const {
  if (IsSingleShape()) return 1;
  return m_dwTransferSize != 0 ? m_dwBufferSize / m_dwTransferSize : 0;
}

bool CSyncEngine::PrepareLoop() {
  if (!m_file.IsOpen() || !m_buffer) {
    ReportIoError(0, kErrorMemoryAllocation, nullptr);
    return false;
  }
  if (!IsSingleShape() && (m_dwBufferSize == 0 || m_dwTransferSize == 0 || Chunks() == 0)) {
    ReportIoError(0, kErrorInitialization, nullptr);
    return false;
  }
  // Stamped buffers change with every pass and every offset.
  m_bChunksAlike = !m_bStamped && Chunks() > 1;
  const uint8_t* pFirst = m_buffer.Data();
  for (uint32_t i = 1; m_bChunksAlike && i < Chunks(); ++i) {
    m_bChunksAlike = std::memcmp(pFirst, pFirst + size_t{i} * m_dwTransferSize, m_dwTransferSize) == 0;
  }
  return true;
}

bool CSyncEngine::TransferPhase(bool bWrite, uint8_t* pBuffer, PassTally* pTally) {
  const uint32_t nChunks = Chunks();
  const bool bChecking = Checking();
  const bool bCounting = Counting();
  const ssize_t nExpected = static_cast<ssize_t>(m_dwTransferSize);
  // Each call's time is the one its bracket for the stall watch measures:
  // timing it costs nothing more than the record.
  CLatencyHistogram* const pLatency = Latency();
  // Reads nobody checks may all land in the first chunk, as writes of a
  // buffer whose chunks are alike may all come from it.
  const size_t nStep = (bWrite ? m_bChunksAlike : !bChecking && !m_bStamped) ? 0 : m_dwTransferSize;
  uint8_t* pChunk = pBuffer;
  // Flushes count writes by where they landed.
  const bool bTracked = bWrite && m_flush.Active();
  // A device's calls land on its surface map, by where they start.
  CSurfaceMap* const pSurface = Surface();
  for (uint32_t i = 0; i < nChunks; ++i, pChunk += nStep) {
    const uint64_t qwAt =
        bTracked || pSurface != nullptr ? static_cast<uint64_t>(lseek(m_file.Handle(), 0, SEEK_CUR)) : 0;
    EnterCall(bWrite, m_dwTransferSize, m_file.Position());
    const ssize_t nMoved = bWrite ? m_file.Write(pChunk, m_dwTransferSize) : m_file.Read(pChunk, m_dwTransferSize);
    const int nError = errno;
    const std::chrono::nanoseconds callTime = LeaveCall();
    if (bTracked && nMoved < 0) m_flush.Failed(m_dwPass, qwAt, qwAt + m_dwTransferSize, nError);
    if (bTracked && nMoved > 0) {
      int nFlushError = 0;
      std::string szDetail;
      if (!m_flush.Written(m_file.Handle(), m_dwPass, qwAt, qwAt + static_cast<uint64_t>(nMoved), &nFlushError,
                           &szDetail)) {
        if (!SettleBackgroundCheck()) return false;
        ReportIoError(static_cast<uint32_t>(nFlushError), kErrorWriteApi, nullptr, szDetail);
        return false;
      }
    }
    if (pLatency != nullptr && nMoved >= 0) pLatency->Record(static_cast<uint64_t>(callTime.count()));
    if (pSurface != nullptr && nMoved > 0) pSurface->Record(qwAt, static_cast<uint64_t>(nMoved), callTime);
    if (pSurface != nullptr && nMoved < 0) NoteFailedCall(bWrite, pChunk, qwAt, m_dwTransferSize, nError);
    // A stall is judged when the call comes back, as a batch is.
    const bool bTimedOut = callTime > m_ioTimeout;
    const uint32_t nApiKind = bWrite ? kErrorWriteApi : kErrorReadApi;
    if (!bChecking && (nMoved < 0 || bTimedOut)) {
      // The load goes on, but the call is not forgotten. On a device it
      // goes on past the failed chunk, so that a scan reaches every sector.
      CountFailedCall(m_nTarget, nMoved < 0 ? nApiKind : kErrorIoTimeout, nMoved < 0 ? nError : ETIMEDOUT);
      if (nMoved < 0 && Record().target.IsDevice()) (void)lseek(m_file.Handle(), nExpected, SEEK_CUR);
      continue;
    }
    if (nMoved < 0 || bTimedOut || (bChecking && nMoved != nExpected)) {
      // The pass before this one is judged first, and what this one moved
      // so far is counted, as if the passes had run one after the other.
      if (!SettleBackgroundCheck()) return false;
      if (pTally != nullptr && pTally->qwIos != 0) {
        CountIo(pTally->qwBytes, pTally->qwIos);
        *pTally = PassTally{};
      }
      if (nMoved < 0) {
        const off_t qwAt = lseek(m_file.Handle(), 0, SEEK_CUR);
        ReportIoError(static_cast<uint32_t>(nError), nApiKind, pChunk,
                      qwAt >= 0 ? DeviceWhere(static_cast<uint64_t>(qwAt)) : std::string());
      } else if (bTimedOut) {
        ReportIoError(0, kErrorIoTimeout, nullptr);
      } else {
        ReportIoError(0, kErrorUnderrunOverrun, nullptr);
      }
      return false;
    }
    if (nMoved > 0) NoteMoved();
    if (!bCounting) continue;
    if (pTally == nullptr) {
      CountIo(static_cast<uint64_t>(nMoved));
    } else {
      pTally->qwBytes += static_cast<uint64_t>(nMoved);
      ++pTally->qwIos;
    }
  }
  return true;
}

bool CSyncEngine::Verify(uint8_t* pBuffer, uint64_t qwOffset) {
  if (DataGoodThenSpoil(pBuffer, qwOffset, m_dwPass)) return true;
  ReportIoError(0, BadDataKind(pBuffer, qwOffset, m_dwPass), pBuffer);
  return false;
}

bool CSyncEngine::SettleBackgroundCheck() {
  if (!m_check.Pending() || m_check.Take()) return true;
  ReportIoError(0, BadDataKind(m_pChecked, BufferOffset(0), m_dwCheckedPass), m_pChecked);
  return false;
}

bool CSyncEngine::StartBackgroundCheck(bool bSpoil) {
  if (!m_bStamped) return m_check.Start(m_crc);
  return m_check.Start([this, bSpoil](const uint8_t* pData, size_t) {
    // The buffer is this worker's own, lent to the checker until Take.
    uint8_t* pBuffer = const_cast<uint8_t*>(pData);
    const uint64_t qwOffset = BufferOffset(0);
    return bSpoil ? DataGoodThenSpoil(pBuffer, qwOffset, m_dwCheckedPass)
                  : DataGood(pBuffer, qwOffset, m_dwCheckedPass);
  });
}

void CSyncEngine::CleanUp() {
  // The checking thread may still read the spare buffer; it goes first.
  m_check.Stop();
  m_pChecked = nullptr;
  m_spare.Free();
  CAdvancedWorker::CleanUp();
}

void CSyncEngine::EndLoop(uint32_t dwExitCode) {
  CleanUp();
  EndThread(dwExitCode);
}

void CWriteAdvancedClass::OnStartIo() {
  // The console starts these classes only with modes 0..3; anything else
  // ends the worker rather than leaving it waiting for a message that never comes.
  if (m_dwMode > (MODE_ERROR_CHECKING | MODE_PERFORMANCE)) return EndLoop(0);
  const uint32_t dwExitCode = LoopExitCode(33);
  if (!PrepareLoop()) return EndLoop(dwExitCode);
  ShowStatus("RUN");
  BeginIo();

  const size_t nMovedBytes = static_cast<size_t>(Chunks()) * m_dwTransferSize;
  if (PrepareOverlap(nMovedBytes)) {
    OverlappedWriteLoop();
    return EndLoop(dwExitCode);
  }
  const uint64_t qwBuffers = SpanBuffers();
  // Stamped units are read back into a buffer of their own, so what was
  // written stays in m_buffer and a good pass costs one comparison of the
  // two. A read that delivers nothing leaves the last pass there, whose
  // headers differ. Without the memory the read-back goes in place.
  uint8_t* pReadBack = m_buffer.Data();
  if (m_bStamped && Checking() && nMovedBytes == m_dwBufferSize && m_spare.Allocate(m_dwBufferSize)) {
    pReadBack = m_spare.Data();
  }
  const auto verify = [&](uint64_t qwOffset) {
    if (pReadBack != m_buffer.Data() && std::memcmp(pReadBack, m_buffer.Data(), m_dwBufferSize) == 0) return true;
    return Verify(pReadBack, qwOffset);
  };
  while (!StopRequested() && !PassLimitReached(m_dwPass)) {
    ++m_dwPass;
    m_qwPassBytes = 0;
    // A span is written buffer by buffer, then read back the same way; a
    // stop is seen between buffers, so a long span does not hold it up.
    bool bGoOn = true;
    for (uint64_t b = 0; bGoOn && b < qwBuffers && (b == 0 || !StopRequested()); ++b) {
      StampForWrite(m_buffer.Data(), m_dwBufferSize, BufferOffset(b), m_dwPass);
      bGoOn = TransferPhase(true, m_buffer.Data());
      m_qwPassBytes += m_dwBufferSize;
    }
    if (!bGoOn) break;
    Rewind();
    if (!Checking()) continue;
    // The plain pattern's read-back lands in the pattern buffer itself;
    // verification proves it still holds the pattern, which the next pass
    // writes again.
    for (uint64_t b = 0; bGoOn && b < qwBuffers && (b == 0 || !StopRequested()); ++b) {
      if (pReadBack == m_buffer.Data()) {
        PoisonForRead(pReadBack, nMovedBytes);
      } else if (qwBuffers > 1) {
        StampForWrite(m_buffer.Data(), m_dwBufferSize, BufferOffset(b), m_dwPass);
      }
      bGoOn = TransferPhase(false, pReadBack);
      if (bGoOn && qwBuffers > 1) bGoOn = verify(BufferOffset(b));
    }
    if (!bGoOn) break;
    Rewind();
    if (qwBuffers == 1 && !verify(BufferOffset(0))) break;
  }
  EndLoop(dwExitCode);
}

bool CWriteAdvancedClass::PrepareOverlap(size_t nMovedBytes) {
  // Stamped units only: the plain pattern's read-back lands in the pattern
  // buffer itself, which the next pass writes.
  if (!SpoilsWhenGood() || !Checking() || SpanBuffers() > 1 || nMovedBytes != m_dwBufferSize ||
      m_dwBufferSize < kOverlapCheckBytes || !BackgroundCheckPays(RunWorkerCeiling())) {
    return false;
  }
  m_nSpareBuffers = 2;
  if (!m_spare.Allocate(size_t{m_nSpareBuffers} * m_dwBufferSize)) return false;
  if (StartBackgroundCheck(false)) return true;
  m_spare.Free();
  return false;
}

void CWriteAdvancedClass::OverlappedWriteLoop() {
  // Pass N is read back into one spare buffer and checked in the
  // background while pass N + 1 is written and read back into the other.
  // Pass N + 1 is counted, and anything it has to report is reported, only
  // once pass N has passed, as if the passes had run one after the other.
  // A read that delivers nothing leaves pass N - 1 in its buffer, whose
  // headers differ, so the read-back needs no spoiling.
  uint8_t* const apReadBack[2] = {m_spare.Data(), m_spare.Data() + m_dwBufferSize};
  unsigned nNext = 0;
  while (!StopRequested() && !PassLimitReached(m_dwPass)) {
    ++m_dwPass;
    StampForWrite(m_buffer.Data(), m_dwBufferSize, BufferOffset(0), m_dwPass);
    PassTally tally;
    bool bGoOn = TransferPhase(true, m_buffer.Data(), &tally);
    Rewind();
    if (bGoOn) {
      bGoOn = TransferPhase(false, apReadBack[nNext], &tally);
      Rewind();
    }
    if (!bGoOn || !SettleBackgroundCheck()) break;
    if (tally.qwIos != 0) CountIo(tally.qwBytes, tally.qwIos);
    m_pChecked = apReadBack[nNext];
    m_dwCheckedPass = m_dwPass;
    m_check.Post(m_pChecked, m_dwBufferSize);
    nNext ^= 1;
  }
  // The last pass written is judged before the loop ends, as it would be in line.
  (void)SettleBackgroundCheck();
}

void CReadAdvancedClass::OnStartIo() {
  if (m_dwMode > (MODE_ERROR_CHECKING | MODE_PERFORMANCE)) return EndLoop(0);
  const uint32_t dwExitCode = LoopExitCode(3);
  if (!PrepareLoop()) return EndLoop(dwExitCode);

  // Seed the file with one buffer of pattern, in every mode; not counted.
  // A device the run may not write is read as it is.
  m_dwPass = 1;
  for (uint64_t b = 0; SeedsTarget() && b < SpanBuffers() && (b == 0 || !StopRequested()); ++b) {
    StampForWrite(m_buffer.Data(), m_dwBufferSize, BufferOffset(b), m_dwPass);
    if (m_file.Write(m_buffer.Data(), m_dwBufferSize) < 0) {
      ReportIoError(static_cast<uint32_t>(errno), kErrorWriteApi, m_buffer.Data());
      return EndLoop(dwExitCode);
    }
    m_qwPassBytes += m_dwBufferSize;
  }
  Rewind();
  ShowStatus("RUN");
  BeginIo();

  const bool bClearFirst = m_dwMode == (MODE_ERROR_CHECKING | MODE_PERFORMANCE) && !IsSingleShape();
  // Only the range the chunks cover is cleared: the tail beyond the last
  // whole chunk is never read and must keep the pattern for the checksum.
  const size_t nReadBytes = static_cast<size_t>(Chunks()) * m_dwTransferSize;
  if (PrepareOverlap()) {
    OverlappedReadLoop(bClearFirst, nReadBytes);
  } else {
    ReadLoop(bClearFirst, nReadBytes);
  }
  EndLoop(dwExitCode);
}

void CReadAdvancedClass::ReadLoop(bool bClearFirst, size_t nReadBytes) {
  uint8_t* pBuffer = m_buffer.Data();
  const uint64_t qwBuffers = SpanBuffers();
  // A good check spoils the whole buffer; only worth it when the read fills it.
  const bool bCheckSpoils = SpoilsWhenGood() && nReadBytes == m_dwBufferSize;
  bool bSpoiled = false;
  uint32_t dwPasses = 0;
  while (!StopRequested() && !PassLimitReached(dwPasses++)) {
    bool bGoOn = true;
    for (uint64_t b = 0; bGoOn && b < qwBuffers && (b == 0 || !StopRequested()); ++b) {
      if (bClearFirst) std::memset(pBuffer, m_byClearFill, nReadBytes);
      PrepareRead(pBuffer, nReadBytes, &bSpoiled);
      bGoOn = TransferPhase(false, pBuffer);
      if (bGoOn && qwBuffers > 1 && Checking()) {
        bGoOn = Verify(pBuffer, BufferOffset(b));
        bSpoiled = bGoOn && bCheckSpoils;
      }
    }
    if (!bGoOn) break;
    Rewind();
    if (qwBuffers == 1 && Checking()) {
      if (!Verify(pBuffer, BufferOffset(0))) break;
      bSpoiled = bCheckSpoils;
    }
  }
}

bool CReadAdvancedClass::PrepareOverlap() {
  // The checking thread sees one buffer per pass.
  if (SpanBuffers() > 1 || !Checking() || m_dwBufferSize < kOverlapCheckBytes || !BackgroundCheckPays(RunWorkerCeiling())) return false;
  m_nSpareBuffers = m_dwBufferSize <= PerCoreCacheBytes() ? 2 : 1;
  if (!m_spare.Allocate(size_t{m_nSpareBuffers} * m_dwBufferSize)) return false;
  // Every buffer starts out as the pattern: a pass that reads less than the
  // whole buffer leaves the rest to the checksum as it is.
  for (uint32_t i = 0; i < m_nSpareBuffers; ++i) {
    std::memcpy(m_spare.Data() + size_t{i} * m_dwBufferSize, m_buffer.Data(), m_dwBufferSize);
  }
  m_dwCheckedPass = m_dwPass;
  if (StartBackgroundCheck(true)) return true;
  m_spare.Free();
  return false;
}

void CReadAdvancedClass::OverlappedReadLoop(bool bClearFirst, size_t nReadBytes) {
  // The passes take the buffers in turn: while pass N is checked in the
  // background, pass N + 1 is read into the next one. Pass N + 1 is
  // counted, and anything it has to report is reported, only once pass N
  // has passed, so the counters and the reports are those of the passes
  // run one after the other.
  uint8_t* apBuffers[3] = {m_buffer.Data()};
  for (uint32_t i = 0; i < m_nSpareBuffers; ++i) apBuffers[1 + i] = m_spare.Data() + size_t{i} * m_dwBufferSize;
  // A buffer that passed its check comes back spoiled for its next read.
  const bool bCheckSpoils = SpoilsWhenGood() && nReadBytes == m_dwBufferSize;
  bool abSpoiled[3] = {};
  unsigned nNext = 0;
  unsigned nChecked = 0;
  uint32_t dwPasses = 0;
  while (!StopRequested() && !PassLimitReached(dwPasses++)) {
    uint8_t* pBuffer = apBuffers[nNext];
    if (bClearFirst) std::memset(pBuffer, m_byClearFill, nReadBytes);
    PrepareRead(pBuffer, nReadBytes, &abSpoiled[nNext]);
    PassTally tally;
    const bool bRead = TransferPhase(false, pBuffer, &tally);
    Rewind();
    const bool bWasPending = m_check.Pending();
    if (!bRead || !SettleBackgroundCheck()) break;
    if (bWasPending) abSpoiled[nChecked] = bCheckSpoils;
    if (tally.qwIos != 0) CountIo(tally.qwBytes, tally.qwIos);
    m_pChecked = pBuffer;
    nChecked = nNext;
    m_check.Post(pBuffer, m_dwBufferSize);
    nNext = (nNext + 1) % (1 + m_nSpareBuffers);
  }
  // The last pass read is judged before the loop ends, as it would be in line.
  (void)SettleBackgroundCheck();
}

}  // namespace stratavon
