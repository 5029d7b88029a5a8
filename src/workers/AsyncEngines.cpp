#include "workers/AsyncEngines.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "workers/BackgroundCheck.h"
#include "engine/Pattern.h"

namespace stratavon {
namespace {

using Clock = std::chrono::steady_clock;
// How long a cancellation may take once a request is already past its time.
constexpr int64_t kCancelGraceMs = 1000;
constexpr uint64_t kHugeAreaBytes = uint64_t{2} << 20;
// Below this a transfer keeps its own buffer even where it could share:
// a virtio disk took a third to two fifths longer over a batch of 4 KiB
// requests that all named one buffer than over as many buffers (the block
// layer merged both alike), and small buffers gain little from sharing.
constexpr uint32_t kSharedBytes = 64 * 1024;

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
  if (Record().settings.dwPasses != 0) m_qwWalkLimit = m_qwRegions * Record().settings.dwPasses;

  m_pQueue = CIoQueue::Create(m_dwQueueDepth);
  if (!m_pQueue) {
    ReportIoError(0, kErrorInitialization, nullptr);
    CleanUp();
    return false;
  }
  // For io_uring the requests' area is mapped at least one huge page
  // large, so that it lies in huge pages however small it is: the kernel
  // then moves each I/O through one contiguous piece of memory (one segment
  // of the registered area) instead of a list of small pages.
  const uint64_t qwMapBytes =
      m_pQueue->Backend() == IoBackend::kIoUring ? std::max(qwAreaBytes, kHugeAreaBytes) : qwAreaBytes;
  m_pRequests.reset(new (std::nothrow) AsyncIoRequest[m_dwQueueDepth]);
  if (!m_buffer.Allocate(qwMapBytes) || !m_pRequests || (Checking() && !m_reference.Allocate(m_dwBufferSize))) {
    ReportIoError(static_cast<uint32_t>(errno), kErrorMemoryAllocation, nullptr);
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
  // Where the kernel takes them, the buffers and the file are registered
  // once instead of looked up on every request; elsewhere nothing changes.
  (void)m_pQueue->RegisterBuffers(m_buffer.Data(), m_buffer.Size());
  (void)m_pQueue->RegisterFile(m_file.Handle());
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
  if (m_pQueue->Issue(request.nSlot, m_file.Handle(), true, request.pData, m_dwTransferSize, request.qwOffset) == 0 &&
      m_pQueue->WaitOne(request.nSlot, m_timeout) == IoWaitResult::kAllDone && m_pQueue->Result(request.nSlot) > 0) {
    m_file.NoteWritten(request.qwOffset + static_cast<uint64_t>(m_pQueue->Result(request.nSlot)));
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

CAsyncEngine::BatchPlan CAsyncEngine::PlanBatch(bool bWrite, CrcCheck check) const {
  BatchPlan plan;
  plan.bWrite = bWrite;
  plan.check = check;
  plan.nApiKind = bWrite ? kErrorWriteApi : kErrorReadApi;
  plan.dwBytes = Piecewise() ? m_dwTransferSize : m_dwBufferSize;
  // Unchecked, unstamped requests of kSharedBytes or more all move through
  // the first request's buffer: every buffer holds the same pattern for
  // writes, and what reads bring is never looked at. The memory the copies
  // touch is then one buffer, not depth of them. Reads share only where the
  // kernel fills the memory; the thread pool's threads never write into the
  // same bytes.
  plan.bShared = !Checking() && !m_bStamped && plan.dwBytes >= kSharedBytes &&
                 (bWrite || m_pQueue->Backend() == IoBackend::kIoUring);
  plan.bStampAhead = bWrite && m_bStamped && m_dwBufferSize >= kOverlapCheckBytes;
  // Buffers large enough that their checksum costs more than a wake-up are
  // checked in order as each arrives, while the rest of the batch is still
  // moving. Only the verdicts are taken early: everything is reported after
  // the whole batch, in the same order as without this.
  // Likewise a verifying writer's stamped regions are spoiled for their
  // read-back as each write arrives, rather than all at once before it.
  const bool bLarge = m_dwBufferSize >= kOverlapCheckBytes;
  plan.bEarlyCheck = Checking() && check != CrcCheck::kNone && bLarge;
  plan.bEarlySpoil = Checking() && bWrite && m_bStamped && !Piecewise() && bLarge;
  return plan;
}

int CAsyncEngine::IssueRequest(const BatchPlan& plan, uint32_t i) {
  AsyncIoRequest& request = m_pRequests[i];
  // A region's cycle would begin past the last pass: the request is done,
  // in either direction.
  const bool bBegins = request.dwPiece == 0 && plan.bWrite == m_bWriteSide;
  if (request.bWalkOver || (bBegins && request.qwNextWalk >= m_qwWalkLimit)) {
    request.bWalkOver = true;
    request.bIssued = false;
    return 0;
  }
  uint8_t* const pRegion = plan.bShared ? m_buffer.Data() : request.pData;
  uint8_t* pData = pRegion + static_cast<size_t>(request.dwPiece) * m_dwTransferSize;
  // A writer's read-back stays on the regions it has just written.
  if (request.dwPiece == 0 && plan.bWrite == m_bWriteSide) NextRegion(request);
  if (m_bStamped && request.dwPiece == 0) {
    // A region's cycle starts: fresh headers to write, or spoiled ones for
    // the read to replace.
    if (plan.bWrite) {
      StampForWrite(request.pData, m_dwBufferSize, request.qwRegionOffset, request.dwPass);
    } else if (!request.bSpoiled) {
      PoisonForRead(request.pData, m_dwBufferSize);
    }
    request.bSpoiled = false;
  }
  int nRefused = m_file.MisalignedError(plan.dwBytes, request.qwOffset);
  if (nRefused == 0) nRefused = m_pQueue->Issue(i, m_file.Handle(), plan.bWrite, pData, plan.dwBytes, request.qwOffset);
  request.bIssued = nRefused == 0;
  request.qwIoEnd = request.qwOffset + plan.dwBytes;
  return nRefused;
}

void CAsyncEngine::NextPiece(AsyncIoRequest& request) const {
  if (!Piecewise()) return;
  request.dwPiece = request.dwPiece + 1 < m_dwPieces ? request.dwPiece + 1 : 0;
  request.qwOffset = request.qwRegionOffset + static_cast<uint64_t>(request.dwPiece) * m_dwTransferSize;
}

bool CAsyncEngine::IssueBatch(const BatchPlan& plan) {
  for (uint32_t i = 0; i < m_dwQueueDepth; ++i) {
    AsyncIoRequest& request = m_pRequests[i];
    const int nRefused = IssueRequest(plan, i);
    if (request.bWalkOver) continue;
    // Stamping a large region takes long enough for the kernel to move the
    // one before: hand each over as soon as it is stamped. (A refused
    // submission surfaces in the wait, as it would there.)
    if (plan.bStampAhead && request.bIssued && i + 1 < m_dwQueueDepth) (void)m_pQueue->Submit();
    if (nRefused != 0 && Checking()) {
      ReportRequestError(static_cast<uint32_t>(nRefused), plan.nApiKind, request);
      return false;
    }
    if (nRefused != 0) CountFailedCall(m_nTarget, plan.nApiKind, nRefused);
    NextPiece(request);
  }
  return true;
}

void CAsyncEngine::TakeEarlyVerdicts(const BatchPlan& plan, Clock::time_point tDeadline, EarlyVerdicts* pVerdicts) {
  for (uint32_t i = 0; i < m_dwQueueDepth; ++i) {
    // The first wait pushes the whole batch to the kernel.
    if (m_pQueue->WaitOne(i, TimeLeft(tDeadline)) != IoWaitResult::kAllDone) break;
    AsyncIoRequest& request = m_pRequests[i];
    if (m_pQueue->Result(i) != static_cast<int64_t>(plan.dwBytes)) continue;
    if (plan.bEarlySpoil) {
      PoisonForRead(request.pData, m_dwBufferSize);
      request.bSpoiled = true;
      continue;
    }
    if (plan.check == CrcCheck::kCompletedRegions && Piecewise() && request.dwPiece != 0) continue;
    pVerdicts->qwChecked |= uint64_t(1) << i;
    if (RegionGood(request)) pVerdicts->qwMatched |= uint64_t(1) << i;
  }
}

CAsyncEngine::BatchOutcome CAsyncEngine::WaitBatch(const BatchPlan& plan, std::chrono::milliseconds timeout,
                                                   unsigned nMaxInFlight) {
  // The wait pushes the whole batch to the kernel in the same call.
  IoWaitResult result = m_pQueue->WaitAtMost(nMaxInFlight, timeout);
  if (result == IoWaitResult::kAllDone) return BatchOutcome::kDone;
  // A wait that failed cannot be waited on again (it would fail at once,
  // over and over, and nothing would say so): it ends the worker in any mode.
  if (Checking() || result == IoWaitResult::kFailed) {
    LeaveCall();
    if (result == IoWaitResult::kTimeout) {
      ReportIoError(0, kErrorIoTimeout, nullptr);
    } else {
      ReportIoError(static_cast<uint32_t>(errno), plan.nApiKind, nullptr);
    }
    return BatchOutcome::kFailed;
  }
  // A request still in flight is never issued again: wait on, and let a
  // stop end the worker (its clean-up cancels what is left). The load
  // goes on, but the stall is not forgotten.
  if (result == IoWaitResult::kTimeout) CountFailedCall(m_nTarget, kErrorIoTimeout, ETIMEDOUT);
  while (result != IoWaitResult::kAllDone) {
    if (StopRequested()) return BatchOutcome::kStopped;
    result = m_pQueue->WaitAtMost(nMaxInFlight, m_timeout);
    if (result == IoWaitResult::kFailed) {
      LeaveCall();
      ReportIoError(static_cast<uint32_t>(errno), plan.nApiKind, nullptr);
      return BatchOutcome::kFailed;
    }
  }
  return BatchOutcome::kDone;
}

bool CAsyncEngine::CompleteRequest(const BatchPlan& plan, uint32_t i, const EarlyVerdicts& verdicts,
                                   uint32_t* pnCompletedRegions, BatchTally* pTally) {
  AsyncIoRequest& request = m_pRequests[i];
  const int64_t nMoved = m_pQueue->Result(i);
  if (Checking()) {
    if (nMoved < 0) {
      ReportRequestError(static_cast<uint32_t>(-nMoved), plan.nApiKind, request);
      return false;
    }
    if (nMoved != static_cast<int64_t>(plan.dwBytes)) {
      ReportIoError(0, kErrorUnderrunOverrun, nullptr);
      return false;
    }
    const bool bRegionDone = !Piecewise() || request.dwPiece == 0;
    if (bRegionDone && pnCompletedRegions != nullptr) ++*pnCompletedRegions;
    const bool bCheck =
        plan.check == CrcCheck::kEveryRequest || (plan.check == CrcCheck::kCompletedRegions && bRegionDone);
    const uint64_t qwBit = uint64_t(1) << i;
    if (bCheck &&
        ((verdicts.qwChecked & qwBit) != 0 ? (verdicts.qwMatched & qwBit) == 0 : !RegionGood(request))) {
      ReportBadRegion(request);
      return false;
    }
  } else if (nMoved < 0) {
    CountFailedCall(m_nTarget, plan.nApiKind, static_cast<int>(-nMoved));
    return true;
  }
  if (nMoved > 0) NoteMoved();
  if (nMoved > 0 && plan.bWrite) m_file.NoteWritten(request.qwIoEnd - plan.dwBytes + static_cast<uint64_t>(nMoved));
  pTally->qwBytes += static_cast<uint64_t>(nMoved);
  ++pTally->qwIos;
  return true;
}

void CAsyncEngine::NoteForFlush(const BatchPlan& plan, const AsyncIoRequest& request, int64_t nMoved) {
  // The offset the request was issued at: a piecewise one has moved on since.
  const uint32_t dwIssued = Piecewise() ? (request.dwPiece + m_dwPieces - 1) % m_dwPieces : 0;
  const uint64_t qwAt = request.qwRegionOffset + uint64_t{dwIssued} * m_dwTransferSize;
  if (nMoved < 0) m_flush.Failed(request.dwPass, qwAt, qwAt + plan.dwBytes, static_cast<int>(-nMoved));
  if (nMoved > 0) m_flush.Note(request.dwPass, qwAt, qwAt + static_cast<uint64_t>(nMoved));
}

void CAsyncEngine::NoteOnSurface(const BatchPlan& plan, uint32_t i, Clock::duration latency) {
  CSurfaceMap* const pSurface = Surface();
  AsyncIoRequest& request = m_pRequests[i];
  const int64_t nMoved = m_pQueue->Result(i);
  const uint64_t qwAt = request.qwIoEnd - plan.dwBytes;
  if (nMoved > 0) {
    pSurface->Record(qwAt, static_cast<uint64_t>(nMoved), std::chrono::duration_cast<std::chrono::nanoseconds>(latency));
  } else if (nMoved < 0) {
    // Where the request moved data: a piecewise one has moved on since.
    const uint32_t dwIssued = Piecewise() ? (request.dwPiece + m_dwPieces - 1) % m_dwPieces : 0;
    uint8_t* pData = (plan.bShared ? m_buffer.Data() : request.pData) + size_t{dwIssued} * m_dwTransferSize;
    NoteFailedCall(plan.bWrite, pData, qwAt, plan.dwBytes, static_cast<int>(-nMoved));
  }
}

CAsyncEngine::BatchOutcome CAsyncEngine::RunBatch(bool bWrite, CrcCheck check, uint32_t* pnCompletedRegions) {
  const BatchPlan plan = PlanBatch(bWrite, check);
  // A request's latency runs from here, just before the batch is issued, to
  // when its completion was seen (IoQueue::CompletedAt).
  CLatencyHistogram* const pLatency = Latency();
  const bool bSurface = Surface() != nullptr;
  const Clock::time_point tIssue = pLatency != nullptr || bSurface ? Clock::now() : Clock::time_point{};
  const bool bWalk = bWrite && m_bWriteSide;
  // Until the batch is through, the regions it writes are neither old nor new.
  if (bWalk) m_bWalkTorn = true;

  // Issue. With --flush-every, a batch that brings the next flush due
  // queues it behind its writes where the queue can order it (io_uring):
  // the batch and its flush then cost one wait.
  const bool bTracked = bWrite && m_flush.Active();
  if (!IssueBatch(plan)) return BatchOutcome::kFailed;
  if (WalkOver()) return BatchOutcome::kDone;  // --passes: nothing was left to issue
  bool bQueuedFlush = false;
  if (bTracked) {
    uint64_t qwIssued = 0;
    for (uint32_t i = 0; i < m_dwQueueDepth; ++i) qwIssued += m_pRequests[i].bIssued ? plan.dwBytes : 0;
    bQueuedFlush = qwIssued != 0 && m_flush.DueAfter(qwIssued) && m_pQueue->IssueFlush(m_file.Handle()) == 0;
  }

  // Early checks, then the wait for the rest.
  EarlyVerdicts verdicts;
  EnterCall(bWrite, plan.dwBytes, m_pRequests[0].qwOffset);
  m_tWaitStart = Clock::now();
  std::chrono::milliseconds waitFor = m_timeout;
  if (plan.bEarlyCheck || plan.bEarlySpoil) {
    const Clock::time_point tDeadline = Clock::now() + m_timeout;
    TakeEarlyVerdicts(plan, tDeadline, &verdicts);
    if (plan.bEarlyCheck) waitFor = TimeLeft(tDeadline);
  }
  const BatchOutcome waited = WaitBatch(plan, waitFor);
  if (waited != BatchOutcome::kDone) return waited;
  LeaveCall();

  // Complete, in order. With --flush-every the batch has drained: what it
  // wrote is noted (a failed request journaled as failed), then settled by
  // the flush queued behind it, or flushed now when due (the thread pool).
  BatchTally tally;
  for (uint32_t i = 0; i < m_dwQueueDepth; ++i) {
    if (!m_pRequests[i].bIssued) continue;
    if (bTracked) NoteForFlush(plan, m_pRequests[i], m_pQueue->Result(i));
    if (bSurface) NoteOnSurface(plan, i, m_pQueue->CompletedAt(i) - tIssue);
    if (!CompleteRequest(plan, i, verdicts, pnCompletedRegions, &tally)) return BatchOutcome::kFailed;
    if (pLatency != nullptr && m_pQueue->Result(i) >= 0) pLatency->Record(m_pQueue->CompletedAt(i) - tIssue);
  }
  if (Counting()) CountIo(tally.qwBytes, tally.qwIos);
  if (int nError = 0; bTracked) {
    std::string szDetail;
    const bool bFlushed = bQueuedFlush ? m_flush.Flushed(-m_pQueue->FlushResult(), &nError, &szDetail)
                                       : m_flush.FlushIfDue(m_file.Handle(), &nError, &szDetail);
    if (!bFlushed) {
      ReportIoError(static_cast<uint32_t>(nError), kErrorWriteApi, nullptr, szDetail);
      return BatchOutcome::kFailed;
    }
  }
  if (bWalk && (!Piecewise() || m_pRequests[0].dwPiece == 0)) {
    // The requests move in step: the last one holds the walk's newest step.
    m_bWalkTorn = false;
    // A batch that reached the end of the last pass has written every step before it.
    bool bEnded = false;
    for (uint32_t i = 0; i < m_dwQueueDepth; ++i) bEnded = bEnded || m_pRequests[i].bWalkOver;
    m_qwWalkWritten = bEnded ? m_qwWalkLimit : m_pRequests[m_dwQueueDepth - 1].qwNextWalk - m_dwQueueDepth + 1;
  }
  return BatchOutcome::kDone;
}

bool CAsyncEngine::MayBeginCycle(uint32_t i, bool bStopping) const {
  const uint64_t qwNext = CyclesBegun(m_pRequests[i], i);
  uint64_t qwFewest = UINT64_MAX;
  uint64_t qwMost = 0;
  for (uint32_t j = 0; j < m_dwQueueDepth; ++j) {
    const uint64_t qwBegun = CyclesBegun(m_pRequests[j], j);
    qwFewest = std::min(qwFewest, qwBegun - (m_pRequests[j].bMidCycle ? 1 : 0));
    qwMost = std::max(qwMost, qwBegun);
  }
  // A stop ends nothing half way: the requests behind catch up.
  if (bStopping) return m_bWriteSide && (m_bStamped || Checking()) && qwNext < qwMost;
  // Readers never change a region; unstamped writers that each keep their
  // own region write nothing another request reads.
  if (!m_bWriteSide || (!m_bStamped && m_qwRegions == m_dwQueueDepth)) return true;
  // The regions in flight then lie within one window of the walk no longer
  // than the file: two requests never share one.
  const uint64_t qwDrift = m_qwRegions == m_dwQueueDepth || m_qwRegions >= 2ull * m_dwQueueDepth ? 1 : 0;
  return qwNext <= qwFewest + qwDrift;
}

CAsyncEngine::BatchOutcome CAsyncEngine::RunKeepingDepth() {
  const CrcCheck readCheck = !Checking() ? CrcCheck::kNone
                             : Piecewise() ? CrcCheck::kCompletedRegions
                                           : CrcCheck::kEveryRequest;
  const BatchPlan writePlan = PlanBatch(true, CrcCheck::kNone);
  const BatchPlan readPlan = PlanBatch(false, readCheck);
  const BatchPlan& walkPlan = m_bWriteSide ? writePlan : readPlan;
  CLatencyHistogram* const pLatency = Latency();
  const EarlyVerdicts none;
  if (m_bWriteSide) m_bWalkTorn = true;
  uint64_t qwInFlight = 0;  // bit i: request i is in the queue
  bool bStopping = false;
  BatchOutcome outcome = BatchOutcome::kDone;
  for (;;) {
    // Issue every request that is free and has an I/O to do. Unchecked,
    // unstamped loads stop at once: what is in flight is drained, and a
    // writer's region still in its first pass is written to its end, so that
    // no request the others outran leaves the file short of it.
    const bool bDrainOnly = bStopping && !m_bStamped && !Checking();
    for (uint32_t i = 0; i < m_dwQueueDepth; ++i) {
      AsyncIoRequest& request = m_pRequests[i];
      if ((qwInFlight >> i & 1) != 0 || request.bWalkOver) continue;
      if (bDrainOnly && !(m_bWriteSide && request.bMidCycle && request.dwPass == 1)) continue;
      if (!request.bMidCycle) {
        if (!MayBeginCycle(i, bStopping)) continue;
        request.bMidCycle = true;
      }
      const BatchPlan& plan = request.bReadBack ? readPlan : walkPlan;
      request.tIssued = Clock::now();
      request.bOverdue = false;
      const int nRefused = IssueRequest(plan, i);
      if (request.bWalkOver) {
        request.bMidCycle = false;
        continue;
      }
      if (nRefused != 0 && Checking()) {
        ReportRequestError(static_cast<uint32_t>(nRefused), plan.nApiKind, request);
        return BatchOutcome::kFailed;
      }
      if (nRefused != 0) CountFailedCall(m_nTarget, plan.nApiKind, nRefused);
      NextPiece(request);
      if (request.bIssued) {
        qwInFlight |= uint64_t(1) << i;
      } else if (request.dwPiece == 0) {
        request.bMidCycle = false;  // a refusal passed over ends its cycle as a failed write would
      }
    }
    const unsigned nInFlight = static_cast<unsigned>(__builtin_popcountll(qwInFlight));
    if (nInFlight == 0) {
      if (bStopping || StopRequested() || WalkOver()) break;
      continue;  // only refusals passed over: try again
    }

    // Wait for the first completion of those in flight, at most until the
    // oldest of them (not yet found overdue) has had its time.
    bool bDue = false;
    Clock::time_point tOldest{};
    uint64_t qwOldestOffset = 0;
    for (uint32_t i = 0; i < m_dwQueueDepth; ++i) {
      const AsyncIoRequest& request = m_pRequests[i];
      if ((qwInFlight >> i & 1) == 0 || request.bOverdue || (bDue && request.tIssued >= tOldest)) continue;
      tOldest = request.tIssued;
      qwOldestOffset = request.qwOffset;
      bDue = true;
    }
    EnterCall(m_bWriteSide, walkPlan.dwBytes, qwOldestOffset);
    m_tWaitStart = bDue ? tOldest : Clock::now();
    outcome = WaitBatch(walkPlan, TimeLeft(m_tWaitStart + m_timeout), nInFlight - 1);
    if (outcome != BatchOutcome::kDone) return outcome;
    LeaveCall();
    // A stall counted once (unchecked loads go on) is not counted again.
    const Clock::time_point tNow = Clock::now();
    for (uint32_t i = 0; i < m_dwQueueDepth; ++i) {
      if ((qwInFlight >> i & 1) != 0 && tNow - m_pRequests[i].tIssued >= m_timeout) m_pRequests[i].bOverdue = true;
    }

    // Judge, count and free each one that arrived.
    BatchTally tally;
    for (uint64_t qwDone = m_pQueue->TakeCompleted() & qwInFlight; qwDone != 0; qwDone &= qwDone - 1) {
      const uint32_t i = static_cast<uint32_t>(__builtin_ctzll(qwDone));
      AsyncIoRequest& request = m_pRequests[i];
      qwInFlight &= ~(uint64_t(1) << i);
      const BatchPlan& plan = request.bReadBack ? readPlan : walkPlan;
      const uint64_t qwIos = tally.qwIos;
      if (Surface() != nullptr) NoteOnSurface(plan, i, m_pQueue->CompletedAt(i) - request.tIssued);
      if (!CompleteRequest(plan, i, none, nullptr, &tally)) return BatchOutcome::kFailed;
      if (pLatency != nullptr && tally.qwIos != qwIos) pLatency->Record(m_pQueue->CompletedAt(i) - request.tIssued);
      if (request.dwPiece != 0) continue;  // more pieces of this region this way
      // The region has moved whole this way: a verifying writer reads it
      // back; otherwise (and after the read-back) its cycle is over.
      if (m_bWriteSide && Checking() && !request.bReadBack) {
        request.bReadBack = true;
      } else {
        request.bReadBack = false;
        request.bMidCycle = false;
      }
    }
    if (Counting() && tally.qwIos != 0) CountIo(tally.qwBytes, tally.qwIos);
    if (!bStopping && StopRequested()) bStopping = true;
  }
  if (m_bWriteSide) {
    // Level and whole (see MayBeginCycle): the walk has written its first
    // depth x cycles steps, as after a batch.
    bool bLevel = true;
    for (uint32_t i = 0; i < m_dwQueueDepth; ++i) {
      bLevel = bLevel && !m_pRequests[i].bMidCycle && m_pRequests[i].dwPiece == 0 &&
               CyclesBegun(m_pRequests[i], i) == CyclesBegun(m_pRequests[0], 0);
    }
    m_bWalkTorn = !bLevel;
    if (bLevel) m_qwWalkWritten = CyclesBegun(m_pRequests[0], 0) * m_dwQueueDepth;
    // --passes: every step before the end of the last pass is written.
    if (WalkOver()) {
      m_bWalkTorn = false;
      m_qwWalkWritten = m_qwWalkLimit;
    }
  }
  return BatchOutcome::kStopped;
}

CAsyncEngine::BatchOutcome CWriteAdvancedAsyncClass::RunPhase(bool bWrite) {
  uint32_t nCompleted = 0;
  const auto Walking = [this] {
    uint32_t n = 0;
    for (uint32_t i = 0; i < m_dwQueueDepth; ++i) n += m_pRequests[i].bWalkOver ? 0 : 1;
    return n;
  };
  while (nCompleted < Walking()) {
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

  if (KeepDepth()) {
    (void)RunKeepingDepth();
    return EndLoop(dwExitCode);
  }
  while (!StopRequested() && !WalkOver()) {
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
        if (!m_pRequests[i].bWalkOver && !RegionGood(m_pRequests[i])) {
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
    EnterCall(true, static_cast<uint32_t>(qwBytes), m_fill.qwRegionOffset);
    m_tWaitStart = Clock::now();
    const IoWaitResult result = m_pQueue->WaitOne(m_fill.nSlot, m_timeout);
    LeaveCall();
    if (result != IoWaitResult::kAllDone || m_pQueue->Result(m_fill.nSlot) < 0) {
      ReportIoError(0, kErrorInitialization, nullptr);
      return false;
    }
    m_qwFillBytes = qwAt + qwBytes;
    m_file.NoteWritten(m_qwFillBytes);
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
  if (KeepDepth()) {
    (void)RunKeepingDepth();
    return EndLoop(dwExitCode);
  }
  while (!StopRequested() && !WalkOver()) {
    if (RunBatch(false, check) != BatchOutcome::kDone) break;
  }
  EndLoop(dwExitCode);
}

}  // namespace stratavon
