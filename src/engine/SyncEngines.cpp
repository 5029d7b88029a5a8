#include "engine/SyncEngines.h"

#include <cerrno>
#include <cstring>

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
  return true;
}

bool CSyncEngine::TransferPhase(bool bWrite) {
  const uint32_t nChunks = Chunks();
  const bool bChecking = Checking();
  const bool bCounting = Counting();
  const ssize_t nExpected = static_cast<ssize_t>(m_dwTransferSize);
  uint8_t* pChunk = m_buffer.Data();
  for (uint32_t i = 0; i < nChunks; ++i, pChunk += m_dwTransferSize) {
    const ssize_t nMoved = bWrite ? m_file.Write(pChunk, m_dwTransferSize) : m_file.Read(pChunk, m_dwTransferSize);
    if (nMoved < 0) {
      if (!bChecking) continue;
      ReportIoError(static_cast<uint32_t>(errno), bWrite ? kErrorWriteApi : kErrorReadApi, pChunk);
      return false;
    }
    if (bChecking && nMoved != nExpected) {
      ReportIoError(0, kErrorUnderrunOverrun, nullptr);
      return false;
    }
    if (bCounting) CountIo(static_cast<uint64_t>(nMoved));
  }
  return true;
}

bool CSyncEngine::Verify() {
  if (m_crc.Check(m_buffer.Data(), m_dwBufferSize)) return true;
  ReportIoError(0, kErrorDataComparison, m_buffer.Data());
  return false;
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

  while (!StopRequested()) {
    if (!TransferPhase(true)) break;
    Rewind();
    if (!Checking()) continue;
    // The read-back lands in the pattern buffer itself; verification proves
    // it still holds the pattern, which the next pass writes again.
    if (!TransferPhase(false)) break;
    Rewind();
    if (!Verify()) break;
  }
  EndLoop(dwExitCode);
}

void CReadAdvancedClass::OnStartIo() {
  if (m_dwMode > (MODE_ERROR_CHECKING | MODE_PERFORMANCE)) return EndLoop(0);
  const uint32_t dwExitCode = LoopExitCode(3);
  if (!PrepareLoop()) return EndLoop(dwExitCode);

  // Seed the file with one buffer of pattern, in every mode; not counted.
  if (m_file.Write(m_buffer.Data(), m_dwBufferSize) < 0) {
    ReportIoError(static_cast<uint32_t>(errno), kErrorWriteApi, m_buffer.Data());
    return EndLoop(dwExitCode);
  }
  Rewind();
  ShowStatus("RUN");

  const bool bClearFirst = m_dwMode == (MODE_ERROR_CHECKING | MODE_PERFORMANCE) && !IsSingleShape();
  // Only the range the chunks cover is cleared: the tail beyond the last
  // whole chunk is never read and must keep the pattern for the checksum.
  const size_t nReadBytes = static_cast<size_t>(Chunks()) * m_dwTransferSize;
  while (!StopRequested()) {
    if (bClearFirst) std::memset(m_buffer.Data(), m_byClearFill, nReadBytes);
    if (!TransferPhase(false)) break;
    Rewind();
    if (Checking() && !Verify()) break;
  }
  EndLoop(dwExitCode);
}

}  // namespace stratavon
