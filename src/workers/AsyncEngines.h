#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>

#include "workers/AdvancedWorker.h"
#include "platform/IoQueue.h"

namespace stratavon {

// One request of an asynchronous worker: a fixed buffer and a region of the
// work file, moved whole or piece by piece. Before every issue the offset is
// the region's start plus the current piece times the transfer. Without a
// span the region is fixed; with one, each cycle takes the next region of
// the request's walk (CAsyncEngine::NextRegion).
struct AsyncIoRequest {
  uint64_t qwOffset = 0;
  uint64_t qwRegionOffset = 0;  // in the file: the extent's base included
  uint64_t qwNextWalk = 0;  // the walk's next step: a region number counted on past the file's end
  uint64_t qwIoEnd = 0;  // where the I/O in flight (or the last one) ends in the file
  uint32_t dwPiece = 0;
  uint8_t* pData = nullptr;
  uint32_t nSlot = 0;     // the queue slot that carries it
  uint32_t dwPass = 0;    // stamped units: the pass the region holds
  std::chrono::steady_clock::time_point tIssued{};  // kept-full queue: when its I/O was issued
  bool bOverdue = false;  // kept-full queue: its I/O in flight has outlasted the time-out (counted once)
  bool bIssued = false;   // accepted by the queue in the current batch
  bool bReadBack = false; // kept-full queue, verifying writer: its region is being read back
  bool bMidCycle = false; // kept-full queue: its region's cycle has begun and not ended
  bool bSpoiled = false;  // stamped units: the region needs no spoiling before its next read
  bool bWalkOver = false; // --passes: its next region would be past the last pass
};

// What both asynchronous engines share: the start-up of the request queue,
// the batch (issue on every request, wait for all, complete in order), the
// counters, the stamping of a failed request's region, and the clean-up
// that cancels whatever is still in flight before the buffers go.
class CAsyncEngine : public CAdvancedWorker {
 public:
 protected:
  CAsyncEngine(bool bWriteSide, std::chrono::milliseconds timeout);

  bool InitInstance() override;
  void CleanUp() override;
  void WriteBackBlock(uint8_t* pBlock) override;
  uint32_t PassReached() const override {
    uint32_t dwPass = 0;
    for (uint32_t i = 0; m_pRequests && i < m_dwQueueDepth; ++i) dwPass = std::max(dwPass, m_pRequests[i].dwPass);
    return dwPass;
  }
  uint64_t PassEnd() const override;

  // Which buffers a batch checks against the stored checksum after their I/O.
  enum class CrcCheck { kNone, kEveryRequest, kCompletedRegions };
  enum class BatchOutcome { kDone, kFailed, kStopped };

  // The prologue's checks; false after a report.
  bool PrepareLoop();
  // One batch of reads or writes on every request. With Error Checking every
  // refused issue, failed wait or completion, wrong byte count and (as
  // asked) checksum is reported and ends the batch with kFailed; without it
  // failures are passed over. pnCompletedRegions counts the requests whose
  // I/O finished their region (piecewise: the last piece).
  BatchOutcome RunBatch(bool bWrite, CrcCheck check, uint32_t* pnCompletedRegions = nullptr);
  // What one batch (or one kept-full queue) of one direction does, decided
  // once before its first issue.
  struct BatchPlan {
    bool bWrite = false;
    CrcCheck check = CrcCheck::kNone;
    uint32_t nApiKind = 0;
    uint32_t dwBytes = 0;       // bytes per I/O: the buffer, or one piece
    bool bShared = false;       // every request moves through the first request's buffer
    bool bStampAhead = false;   // each stamped write goes to the kernel as soon as it is stamped
    bool bEarlyCheck = false;   // checksums taken as each request arrives
    bool bEarlySpoil = false;   // stamped regions spoiled for their read-back as each write arrives
  };
  // The early checks' verdicts: bit i for request i.
  struct EarlyVerdicts {
    uint64_t qwChecked = 0;
    uint64_t qwMatched = 0;
  };
  struct BatchTally {
    uint64_t qwBytes = 0;
    uint64_t qwIos = 0;
  };
  BatchPlan PlanBatch(bool bWrite, CrcCheck check) const;
  // Readies request i for its next I/O (its region, stamps or poison) and
  // issues it: 0, or the errno of the refusal.
  int IssueRequest(const BatchPlan& plan, uint32_t i);
  // Piecewise: the request's next piece, wrapping to 0 after its region's last.
  void NextPiece(AsyncIoRequest& request) const;
  // Issues every request; false after a reported refusal.
  bool IssueBatch(const BatchPlan& plan);
  // Waits for the requests in order, taking each one's checksum (or spoiling
  // its region) as it arrives, until the deadline or the first wait that fails.
  void TakeEarlyVerdicts(const BatchPlan& plan, std::chrono::steady_clock::time_point tDeadline,
                         EarlyVerdicts* pVerdicts);
  // Waits for the whole batch: a time-out or a failed wait is reported as
  // the mode asks (kFailed, the call left), or waited on until a stop (kStopped).
  BatchOutcome WaitBatch(const BatchPlan& plan, std::chrono::milliseconds timeout, unsigned nMaxInFlight = 0);
  // --flush-every: what a drained request wrote, or that it failed.
  void NoteForFlush(const BatchPlan& plan, const AsyncIoRequest& request, int64_t nMoved);
  // A device target: request i's completion, which took latency, on the
  // surface map.
  void NoteOnSurface(const BatchPlan& plan, uint32_t i, std::chrono::steady_clock::duration latency);
  // Judges request i's completion: false after a report; otherwise its bytes
  // and I/O join the tally (a failure passed over is counted as one).
  bool CompleteRequest(const BatchPlan& plan, uint32_t i, const EarlyVerdicts& verdicts,
                       uint32_t* pnCompletedRegions, BatchTally* pTally);
  // The kept-full queue (--keep-depth): every request is in flight at once;
  // as each completes it is judged exactly as in a batch, counted, and
  // issued again with its next I/O. A writer's requests never get more than
  // one region cycle apart (and none where the walk could bring two onto
  // one region); a stop lets every cycle in progress end and the requests
  // come level, so the walk, the passes and the record are a batch's.
  // Readers read; unchecked writers write; verifying writers write a
  // region whole, read it back whole, then check it.
  BatchOutcome RunKeepingDepth();
  // Whether request i may begin its next region cycle now.
  bool MayBeginCycle(uint32_t i, bool bStopping) const;
  uint64_t CyclesBegun(const AsyncIoRequest& request, uint32_t i) const { return (request.qwNextWalk - i) / m_dwQueueDepth; }
  bool KeepDepth() const { return Record().settings.bKeepDepth; }
  // --passes: every request's walk has reached the last pass's end.
  bool WalkOver() const {
    for (uint32_t i = 0; i < m_dwQueueDepth; ++i) {
      if (!m_pRequests[i].bWalkOver) return false;
    }
    return true;
  }
  // A region's cycle begins (its first piece, in the direction the worker
  // is named for): the request moves on to the next region of its walk.
  void NextRegion(AsyncIoRequest& request);
  // Reports a failure that names a request: its region gets the stamp.
  void ReportRequestError(uint32_t dwCode, uint32_t nKind, AsyncIoRequest& request);
  // Whether a request's region holds what was written to it.
  // A good region of stamped units comes out spoiled for its next read.
  bool RegionGood(AsyncIoRequest& request) const {
    const bool bGood = DataGoodThenSpoil(request.pData, request.qwRegionOffset, request.dwPass);
    request.bSpoiled = bGood && SpoilsWhenGood();
    return bGood;
  }
  void ReportBadRegion(AsyncIoRequest& request) {
    ReportRequestError(0, BadDataKind(request.pData, request.qwRegionOffset, request.dwPass), request);
  }
  uint32_t VariantExitCode(uint32_t dwFirstCode) const;
  void EndLoop(uint32_t dwExitCode);

  bool Checking() const { return (m_dwMode & MODE_ERROR_CHECKING) != 0; }
  bool Counting() const { return (m_dwMode & MODE_PERFORMANCE) != 0; }
  bool Piecewise() const { return m_dwBufferSize != m_dwTransferSize; }
  // The console starts these classes only with the asynchronous bit set.
  bool KnownMode() const { return m_dwMode >= MODE_ASYNC && m_dwMode <= (MODE_ASYNC | 3); }

  const std::chrono::milliseconds m_timeout;
  // When the wait in progress (or the last one) began.
  std::chrono::steady_clock::time_point m_tWaitStart{};
  uint32_t m_dwQueueDepth = 0;
  uint32_t m_dwPieces = 1;
  // Buffer-sized regions in the work file: depth, or the span's (never fewer).
  uint64_t m_qwRegions = 0;
  // --passes: the walk ends before this step (passes x regions); a request
  // whose next region would lie there begins no more.
  uint64_t m_qwWalkLimit = UINT64_MAX;
  std::unique_ptr<AsyncIoRequest[]> m_pRequests;
  std::unique_ptr<CIoQueue> m_pQueue;
  // The read engine's one request for the initial fill.
  AsyncIoRequest m_fill;
  // The writer's walk: how many regions it has written whole, counted along
  // the walk (see NextRegion), and whether a batch of it was left part way
  // (pieces of a cycle, or requests a stop cut off), which leaves regions
  // that no one pass describes. The reader's fill: the bytes laid down.
  uint64_t m_qwWalkWritten = 0;
  bool m_bWalkTorn = false;
  uint64_t m_qwFillBytes = 0;
  // The request whose region ReportIoError is stamping.
  AsyncIoRequest* m_pReportRequest = nullptr;
};

// Keeps depth writes in flight per batch; with Error Checking reads every
// region back and verifies it. Exit codes 53..60.
class CWriteAdvancedAsyncClass : public CAsyncEngine {
 public:
  explicit CWriteAdvancedAsyncClass(std::chrono::milliseconds timeout = IoTimeout())
      : CAsyncEngine(true, timeout) {}

 protected:
  void OnStartIo() override;

 private:
  // A verifying piecewise cycle's phase: batches until every region has
  // moved completely. False after a report or a stop.
  BatchOutcome RunPhase(bool bWrite);
};

// Lays the pattern down with one large write, then keeps depth reads in
// flight per batch; with Error Checking verifies each buffer once it has
// been read completely. Exit codes 43..50.
class CReadAdvancedAsyncClass : public CAsyncEngine {
 public:
  explicit CReadAdvancedAsyncClass(std::chrono::milliseconds timeout = IoTimeout())
      : CAsyncEngine(false, timeout) {}

 protected:
  void OnStartIo() override;

 private:
  bool InitialFill();
};

}  // namespace stratavon
