#include "workers/AsyncEngines.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include "workers/BackgroundCheck.h"
#include "engine/Pattern.h"

namespace stratavon {
namespace {

using Clock = std::chrono::steady_clock;
// How long a cancellation may take once a request is already past its time.
constexpr int64_t kCancelGraceMs = 1000;

std::chrono::milliseconds TimeLeft(Clock::time_point tDeadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(tDeadline - Clock::now());
  return left > std::chrono::milliseconds::zero() ? left : std::chrono::milliseconds::zero();
}

}  // namespace

CAsyncEngine::CAsyncEngine(bool bWriteSide, std::chrono::milliseconds timeout)
    : CAdvancedWorker(bWriteSide, true), m_timeout(timeout) {}

bool CAsyncEngine::InitInstance() {
  if (!InitFrame()) return false;

  m_dwQueueDepth = Record().settings.dwQueueDepth;
  if (m_dwQueueDepth == 0 || m_dwQueueDepth > CIoQueue::kMaxDepth) {
    ReportIoError(0, kErrorMaxQueueDepth, nullptr);
    return false;
  }
  const uint64_t qwAreaBytes = static_cast<uint64_t>(m_dwQueueDepth) * m_dwBufferSize;
  // A span is never shorter than the requests' area, so that the regions
  // of one batch are always different ones.
  uint64_t qwSpanBytes = 0;
  if (!ResolveSpan(&qwSpanBytes) || !CheckTarget(std::max(qwSpanBytes, qwAreaBytes))) return false;
  m_qwRegions = m_extent.qwBytes / m_dwBufferSize;

  m_pRequests.reset(new (std::nothrow) AsyncIoRequest[m_dwQueueDepth]);
  if (!m_buffer.Allocate(qwAreaBytes) || !m_pRequests ||
      (Checking() && !m_reference.Allocate(m_dwBufferSize))) {
    ReportIoError(static_cast<uint32_t>(errno), kErrorMemoryAllocation, nullptr);
    CleanUp();
    return false;
  }
  m_pQueue = CIoQueue::Create(m_dwQueueDepth);
  if (!m_pQueue) {
    ReportIoError(0, kErrorInitialization, nullptr);
    CleanUp();
    return false;
  }
  // Every request buffer holds the same pattern: fill the first, copy it on.
  if (!FillPattern(m_buffer.Data(), m_dwBufferSize, &m_byClearFill)) {
    ReportIoError(0, kErrorInitialization, nullptr);
    CleanUp();
    return false;
  }
  for (uint32_t i = 0; i < m_dwQueueDepth; ++i) {
    AsyncIoRequest& request = m_pRequests[i];
    request.pData = m_buffer.Data() + static_cast<size_t>(i) * m_dwBufferSize;
    request.qwRegionOffset = m_extent.At(static_cast<uint64_t>(i) * m_dwBufferSize);
    request.qwOffset = request.qwRegionOffset;
    request.qwNextWalk = i;
    request.dwPiece = 0;
    request.nSlot = i;
    if (i > 0) std::memcpy(request.pData, m_buffer.Data(), m_dwBufferSize);
  }

  if (!CreateWorkFile()) return false;
  KeepPatternChecksum();
  return true;
}

namespace {

// What workers leave behind because the kernel may still complete into it:
// held here, reachable and never freed, until the process ends.
struct AbandonedIo {
  CIoQueue* pQueue;
  AsyncIoRequest* pRequests;
};
std::mutex g_abandonedMutex;
std::vector<AbandonedIo>* g_pAbandoned = nullptr;

void KeepUntilExit(CIoQueue* pQueue, AsyncIoRequest* pRequests) {
  std::lock_guard lock(g_abandonedMutex);
  if (g_pAbandoned == nullptr) g_pAbandoned = new std::vector<AbandonedIo>;
  g_pAbandoned->push_back({pQueue, pRequests});
}

}  // namespace

void CAsyncEngine::CleanUp() {
  // Nothing may still be moving into or out of the buffers when they go.
  // A request the kernel cannot withdraw (a read held by a stalled device)
  // is not waited for forever: the worker ends with an I/O TIMEOUT, and the
  // queue, the buffers and the file stay with the process, untouched, so
  // that a late completion lands in memory nobody else owns. A slow request
  // gets the rest of its time; one already past it, a moment.
  const auto grace = std::max(TimeLeft(m_tWaitStart + m_timeout), std::chrono::milliseconds(kCancelGraceMs));
  if (m_pQueue && !m_pQueue->CancelAllFor(grace)) {
    if (m_bFailed == 0) ReportIoError(0, kErrorIoTimeout, nullptr);
    KeepUntilExit(m_pQueue.release(), m_pRequests.release());
    m_buffer.Abandon();
    m_file.Abandon();
  }
  m_pQueue.reset();
  CAdvancedWorker::CleanUp();
  m_pRequests.reset();
}

void CAsyncEngine::WriteBackBlock(uint8_t*) {
  if (m_pReportRequest == nullptr || !m_pQueue || !m_file.IsOpen()) return;
  AsyncIoRequest& request = *m_pReportRequest;
  request.qwOffset = request.qwRegionOffset + static_cast<uint64_t>(request.dwPiece) * m_dwTransferSize;
  // The result is not looked at: the report goes on whatever the stamp's fate.
  if (m_pQueue->Issue(request.nSlot, m_file.Handle(), true, request.pData, m_dwTransferSize, request.qwOffset) == 0) {
    (void)m_pQueue->WaitOne(request.nSlot, m_timeout);
  }
}

void CAsyncEngine::ReportRequestError(uint32_t dwCode, uint32_t nKind, AsyncIoRequest& request) {
  m_pReportRequest = &request;
  ReportIoError(dwCode, nKind, request.pData);
  m_pReportRequest = nullptr;
}

void CAsyncEngine::NextRegion(AsyncIoRequest& request) {
  // Request i walks the regions i, i + depth, i + 2 x depth, ... counted on
  // past the file's end and taken modulo the regions in it. So every batch
  // covers the depth regions that follow the last batch's (at the end of a
  // pass the file's last regions and the first of the next pass), each pass
  // covers every region once, and a region's pass is how often the walk has
  // gone round before it, plus one. Without a span the file has depth
  // regions: every request keeps its own, and its pass counts its cycles.
  const uint64_t qwWalk = request.qwNextWalk;
  request.qwNextWalk += m_dwQueueDepth;
  request.qwRegionOffset = m_extent.At(qwWalk % m_qwRegions * m_dwBufferSize);
  request.qwOffset = request.qwRegionOffset;
  // The readers' file holds pass 1 for good.
  if (m_bWriteSide) request.dwPass = static_cast<uint32_t>(qwWalk / m_qwRegions + 1);
}

uint64_t CAsyncEngine::PassEnd() const {
  // The walk's steps so far are 0 .. W - 1 with nothing left out, since
  // every batch takes the next depth steps: regions up to step W - 1's hold
  // its pass, the regions after it the pass before.
  if (!m_bWriteSide) return m_qwFillBytes < m_extent.qwBytes ? m_qwFillBytes : 0;
  if (m_bWalkTorn || m_qwWalkWritten == 0 || m_qwRegions == 0) return 0;
  const uint64_t qwEnd = ((m_qwWalkWritten - 1) % m_qwRegions + 1) * m_dwBufferSize;
  return qwEnd < m_extent.qwBytes ? qwEnd : 0;
}

uint32_t CAsyncEngine::VariantExitCode(uint32_t dwFirstCode) const {
  return dwFirstCode + 2 * (m_dwMode - MODE_ASYNC) + (Piecewise() ? 1 : 0);
}

void CAsyncEngine::EndLoop(uint32_t dwExitCode) {
  CleanUp();
  EndThread(dwExitCode);
}

bool CAsyncEngine::PrepareLoop() {
  if (!m_file.IsOpen() || !m_buffer) {
    ReportIoError(0, kErrorMemoryAllocation, nullptr);
    return false;
  }
  if (Piecewise()) {
    m_dwPieces = m_dwTransferSize != 0 ? m_dwBufferSize / m_dwTransferSize : 0;
    if (m_dwBufferSize == 0 || m_dwPieces == 0) {
      ReportIoError(0, kErrorInitialization, nullptr);
      return false;
    }
  }
  return true;
}

CAsyncEngine::BatchOutcome CAsyncEngine::RunBatch(bool bWrite, CrcCheck check, uint32_t* pnCompletedRegions) {
  const bool bVerify = Checking();
  const bool bCount = Counting();
  const bool bPiecewise = Piecewise();
  const uint32_t nApiKind = bWrite ? kErrorWriteApi : kErrorReadApi;
  const uint32_t dwBytes = bPiecewise ? m_dwTransferSize : m_dwBufferSize;
  const int hFile = m_file.Handle();
  // A request's latency runs from here, just before the batch is issued, to
  // when its completion was seen (IoQueue::CompletedAt).
  CLatencyHistogram* const pLatency = Latency();
  const Clock::time_point tIssue = pLatency != nullptr ? Clock::now() : Clock::time_point{};
  const bool bWalk = bWrite && m_bWriteSide;
  // Until the batch is through, the regions it writes are neither old nor new.
  if (bWalk) m_bWalkTorn = true;

  const bool bStampAhead = bWrite && m_bStamped && m_dwBufferSize >= kOverlapCheckBytes;
  // Unchecked, unstamped requests all move through the first request's
  // buffer: every buffer holds the same pattern for writes, and what reads
  // bring is never looked at. The memory the copies touch is then one
  // buffer, not depth of them. Reads share only where the kernel fills the
  // memory; the thread pool's threads never write into the same bytes.
  const bool bShared =
      !bVerify && !m_bStamped && (bWrite || m_pQueue->Backend() == IoBackend::kIoUring);
  for (uint32_t i = 0; i < m_dwQueueDepth; ++i) {
    AsyncIoRequest& request = m_pRequests[i];
    uint8_t* const pRegion = bShared ? m_buffer.Data() : request.pData;
    uint8_t* pData = pRegion + static_cast<size_t>(request.dwPiece) * m_dwTransferSize;
    // A writer's read-back stays on the regions it has just written.
    if (request.dwPiece == 0 && bWrite == m_bWriteSide) NextRegion(request);
    if (m_bStamped && request.dwPiece == 0) {
      // A region's cycle starts: fresh headers to write, or spoiled ones for
      // the read to replace.
      if (bWrite) {
        StampForWrite(request.pData, m_dwBufferSize, request.qwRegionOffset, request.dwPass);
      } else if (!request.bSpoiled) {
        PoisonForRead(request.pData, m_dwBufferSize);
      }
      request.bSpoiled = false;
    }
    int nRefused = m_file.MisalignedError(dwBytes, request.qwOffset);
    if (nRefused == 0) nRefused = m_pQueue->Issue(i, hFile, bWrite, pData, dwBytes, request.qwOffset);
    request.bIssued = nRefused == 0;
    // Stamping a large region takes long enough for the kernel to move the
    // one before: hand each over as soon as it is stamped. (A refused
    // submission surfaces in the wait, as it would there.)
    if (bStampAhead && request.bIssued && i + 1 < m_dwQueueDepth) (void)m_pQueue->Submit();
    if (nRefused != 0 && bVerify) {
      ReportRequestError(static_cast<uint32_t>(nRefused), nApiKind, request);
      return BatchOutcome::kFailed;
    }
    if (nRefused != 0) CountFailedCall(m_nTarget, nApiKind, nRefused);
    if (bPiecewise) {
      request.dwPiece = request.dwPiece + 1 < m_dwPieces ? request.dwPiece + 1 : 0;
      request.qwOffset = request.qwRegionOffset + static_cast<uint64_t>(request.dwPiece) * m_dwTransferSize;
    }
  }
  // Buffers large enough that their checksum costs more than a wake-up are
  // checked in order as each arrives, while the rest of the batch is still
  // moving. Only the verdicts are taken early: everything is reported below,
  // after the whole batch, in the same order as without this.
  // Likewise a verifying writer's stamped regions are spoiled for their
  // read-back as each write arrives, rather than all at once before it.
  uint64_t qwChecked = 0;
  uint64_t qwMatched = 0;
  const bool bLarge = m_dwBufferSize >= kOverlapCheckBytes;
  const bool bEarlyCheck = bVerify && check != CrcCheck::kNone && bLarge;
  const bool bEarlySpoil = bVerify && bWrite && m_bStamped && !bPiecewise && bLarge;
  Clock::time_point tDeadline{};
  EnterCall(bWrite);
  m_tWaitStart = Clock::now();
  if (bEarlyCheck || bEarlySpoil) {
    tDeadline = Clock::now() + m_timeout;
    for (uint32_t i = 0; i < m_dwQueueDepth; ++i) {
      // The first wait pushes the whole batch to the kernel.
      if (m_pQueue->WaitOne(i, TimeLeft(tDeadline)) != IoWaitResult::kAllDone) break;
      AsyncIoRequest& request = m_pRequests[i];
      if (m_pQueue->Result(i) != static_cast<int64_t>(dwBytes)) continue;
      if (bEarlySpoil) {
        PoisonForRead(request.pData, m_dwBufferSize);
        request.bSpoiled = true;
        continue;
      }
      if (check == CrcCheck::kCompletedRegions && bPiecewise && request.dwPiece != 0) continue;
      qwChecked |= uint64_t(1) << i;
      if (RegionGood(request)) qwMatched |= uint64_t(1) << i;
    }
  }
  // The wait pushes the whole batch to the kernel in the same call.
  IoWaitResult result = m_pQueue->WaitAll(bEarlyCheck ? TimeLeft(tDeadline) : m_timeout);
  if (result != IoWaitResult::kAllDone) {
    // A wait that failed cannot be waited on again (it would fail at once,
    // over and over, and nothing would say so): it ends the worker in any mode.
    if (bVerify || result == IoWaitResult::kFailed) {
      LeaveCall();
      if (result == IoWaitResult::kTimeout) {
        ReportIoError(0, kErrorIoTimeout, nullptr);
      } else {
        ReportIoError(static_cast<uint32_t>(errno), nApiKind, nullptr);
      }
      return BatchOutcome::kFailed;
    }
    // A request still in flight is never issued again: wait on, and let a
    // stop end the worker (its clean-up cancels what is left). The load
    // goes on, but the stall is not forgotten.
    if (result == IoWaitResult::kTimeout) CountFailedCall(m_nTarget, kErrorIoTimeout, ETIMEDOUT);
    while (result != IoWaitResult::kAllDone) {
      if (StopRequested()) return BatchOutcome::kStopped;
      result = m_pQueue->WaitAll(m_timeout);
      if (result == IoWaitResult::kFailed) {
        LeaveCall();
        ReportIoError(static_cast<uint32_t>(errno), nApiKind, nullptr);
        return BatchOutcome::kFailed;
      }
    }
  }
  LeaveCall();

  uint64_t qwBytes = 0;
  uint64_t qwIos = 0;
  for (uint32_t i = 0; i < m_dwQueueDepth; ++i) {
    AsyncIoRequest& request = m_pRequests[i];
    if (!request.bIssued) continue;
    const int64_t nMoved = m_pQueue->Result(i);
    if (bVerify) {
      if (nMoved < 0) {
        ReportRequestError(static_cast<uint32_t>(-nMoved), nApiKind, request);
        return BatchOutcome::kFailed;
      }
      if (nMoved != static_cast<int64_t>(dwBytes)) {
        ReportIoError(0, kErrorUnderrunOverrun, nullptr);
        return BatchOutcome::kFailed;
      }
      const bool bRegionDone = !bPiecewise || request.dwPiece == 0;
      if (bRegionDone && pnCompletedRegions != nullptr) ++*pnCompletedRegions;
      const bool bCheck = check == CrcCheck::kEveryRequest || (check == CrcCheck::kCompletedRegions && bRegionDone);
      const uint64_t qwBit = uint64_t(1) << i;
      if (bCheck && ((qwChecked & qwBit) != 0 ? (qwMatched & qwBit) == 0 : !RegionGood(request))) {
        ReportBadRegion(request);
        return BatchOutcome::kFailed;
      }
    } else if (nMoved < 0) {
      CountFailedCall(m_nTarget, nApiKind, static_cast<int>(-nMoved));
      continue;
    }
    if (nMoved > 0) NoteMoved();
    qwBytes += static_cast<uint64_t>(nMoved);
    ++qwIos;
    if (pLatency != nullptr) pLatency->Record(m_pQueue->CompletedAt(i) - tIssue);
  }
  if (bCount) CountIo(qwBytes, qwIos);
  if (bWalk && (!bPiecewise || m_pRequests[0].dwPiece == 0)) {
    // The requests move in step: the last one holds the walk's newest step.
    m_bWalkTorn = false;
    m_qwWalkWritten = m_pRequests[m_dwQueueDepth - 1].qwNextWalk - m_dwQueueDepth + 1;
  }
  return BatchOutcome::kDone;
}

CAsyncEngine::BatchOutcome CWriteAdvancedAsyncClass::RunPhase(bool bWrite) {
  uint32_t nCompleted = 0;
  while (nCompleted < m_dwQueueDepth) {
    const BatchOutcome outcome = RunBatch(bWrite, CrcCheck::kNone, &nCompleted);
    if (outcome != BatchOutcome::kDone) return outcome;
  }
  return BatchOutcome::kDone;
}

void CWriteAdvancedAsyncClass::OnStartIo() {
  if (!KnownMode()) return EndLoop(0);
  const uint32_t dwExitCode = VariantExitCode(53);
  if (!PrepareLoop()) return EndLoop(dwExitCode);
  ShowStatus("RUN");
  BeginIo();

  while (!StopRequested()) {
    BatchOutcome outcome;
    if (!Checking()) {
      // Stamped units: a stop waits for the regions in progress to be
      // written whole, as in the verifying variants, so that every region
      // holds one pass and the record can say which (PassEnd).
      do {
        outcome = RunBatch(true, CrcCheck::kNone);
      } while (m_bStamped && outcome == BatchOutcome::kDone && m_pRequests[0].dwPiece != 0);
    } else if (!Piecewise()) {
      // The read-back lands in the buffers that were just written: a passed
      // check leaves the pattern there for the next cycle.
      outcome = RunBatch(true, CrcCheck::kNone);
      if (outcome == BatchOutcome::kDone) outcome = RunBatch(false, CrcCheck::kEveryRequest);
    } else {
      // Every region moves completely both ways before anything is compared.
      outcome = RunPhase(true);
      if (outcome == BatchOutcome::kDone) outcome = RunPhase(false);
      for (uint32_t i = 0; outcome == BatchOutcome::kDone && i < m_dwQueueDepth; ++i) {
        if (!RegionGood(m_pRequests[i])) {
          ReportBadRegion(m_pRequests[i]);
          outcome = BatchOutcome::kFailed;
        }
      }
    }
    if (outcome != BatchOutcome::kDone) break;
  }
  EndLoop(dwExitCode);
}

bool CReadAdvancedAsyncClass::InitialFill() {
  // The readers' file holds pass 1 for good.
  for (uint32_t i = 0; i < m_dwQueueDepth; ++i) m_pRequests[i].dwPass = 1;
  // A device the run may not write is read as it is.
  if (!SeedsTarget()) return true;
  // One write of every request buffer at once: the whole file, or a span's
  // area after area (a stop is seen between them, as between a span's buffers).
  const uint64_t qwAreaBytes = static_cast<uint64_t>(m_dwQueueDepth) * m_dwBufferSize;
  for (uint64_t qwAt = 0; qwAt < m_extent.qwBytes && (qwAt == 0 || !StopRequested()); qwAt += qwAreaBytes) {
    const uint64_t qwBytes = std::min(qwAreaBytes, m_extent.qwBytes - qwAt);
    m_fill = AsyncIoRequest{};
    m_fill.pData = m_buffer.Data();
    m_fill.qwRegionOffset = m_extent.At(qwAt);
    StampForWrite(m_buffer.Data(), qwBytes, m_fill.qwRegionOffset, 1);
    const int nRefused = m_pQueue->Issue(m_fill.nSlot, m_file.Handle(), true, m_fill.pData,
                                         static_cast<uint32_t>(qwBytes), m_fill.qwRegionOffset);
    if (nRefused != 0) {
      ReportRequestError(static_cast<uint32_t>(nRefused), kErrorWriteApi, m_fill);
      return false;
    }
    // A fill that does not finish in time, or fails, is a start-up failure
    // of its own kind; its byte count is not compared.
    EnterCall(true);
    m_tWaitStart = Clock::now();
    const IoWaitResult result = m_pQueue->WaitOne(m_fill.nSlot, m_timeout);
    LeaveCall();
    if (result != IoWaitResult::kAllDone || m_pQueue->Result(m_fill.nSlot) < 0) {
      ReportIoError(0, kErrorInitialization, nullptr);
      return false;
    }
    m_qwFillBytes = qwAt + qwBytes;
  }
  return true;
}

void CReadAdvancedAsyncClass::OnStartIo() {
  if (!KnownMode()) return EndLoop(0);
  const uint32_t dwExitCode = VariantExitCode(43);
  if (!PrepareLoop() || !InitialFill()) return EndLoop(dwExitCode);
  ShowStatus("RUN");
  BeginIo();

  const CrcCheck check = !Checking() ? CrcCheck::kNone
                         : Piecewise() ? CrcCheck::kCompletedRegions
                                       : CrcCheck::kEveryRequest;
  while (!StopRequested()) {
    if (RunBatch(false, check) != BatchOutcome::kDone) break;
  }
  EndLoop(dwExitCode);
}

}  // namespace stratavon
