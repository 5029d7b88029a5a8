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
  uint32_t dwPiece = 0;
  uint8_t* pData = nullptr;
  uint32_t nSlot = 0;     // the queue slot that carries it
  uint32_t dwPass = 0;    // stamped units: the pass the region holds
  bool bIssued = false;   // accepted by the queue in the current batch
  bool bSpoiled = false;  // stamped units: the region needs no spoiling before its next read
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
