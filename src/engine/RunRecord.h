#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/Target.h"
#include "platform/CriticalSection.h"
#include "platform/Event.h"
#include "platform/WorkFile.h"
#include "platform/WorkerThread.h"

namespace stratavon {

class IWorkerConsole;
class CSlotWorker;
class CLatencyHistogram;
class CSurfaceMap;

constexpr int kSlotsPerTarget = 50;
constexpr int kEntriesPerTarget = 100;
constexpr int kMaxThreadsPerTarget = 25;
// Read workers take slots 0.., write workers slots 25..
constexpr int kFirstWriteSlot = 25;
// The write side of slot s is entry s + 50.
constexpr int kWriteEntryOffset = 50;

// dwMode bits.
constexpr uint32_t MODE_ERROR_CHECKING = 1;
constexpr uint32_t MODE_PERFORMANCE = 2;
constexpr uint32_t MODE_ASYNC = 4;

// dwFunction codes, the same in both consoles.
constexpr uint32_t FUNCTION_READ = 1;
constexpr uint32_t FUNCTION_WRITE = 2;
constexpr uint32_t FUNCTION_READ_WRITE = 4;

// Thread messages.
constexpr uint32_t WM_START_IO = 0x8001;
constexpr uint32_t WM_END_IO = 0x8002;

// Worker kinds stored per slot.
enum WorkerKind : uint32_t {
  kWorkerNone = 0,
  kWorkerSimpleRead = 1,       // CThreadClass
  kWorkerSimpleWrite = 2,      // CWriteThreadClass
  kWorkerReadAdvanced = 3,     // CReadAdvancedClass
  kWorkerWriteAdvanced = 4,    // CWriteAdvancedClass
  kWorkerReadAdvancedAsync = 5,   // CReadAdvancedAsyncClass
  kWorkerWriteAdvancedAsync = 6,  // CWriteAdvancedAsyncClass
};

// A target's settings for one run, written by the advanced console.
struct RunSettings {
  uint32_t dwBufferSize = 0;
  uint32_t dwTransferSize = 0;
  uint32_t dwMode = 0;
  uint32_t dwFunction = 0;
  uint32_t dwQueueDepth = 0;
  IWorkerConsole* pDialog = nullptr;
  uint32_t dwThreads = 0;
  uint8_t bCustom = 0;
  // Opt-in: each worker's work file is this long, walked buffer by buffer
  // (depth buffers at a time by the asynchronous workers) every pass. 0: one buffer; kSpanFill: the target's free space
  // shared between its workers.
  uint64_t qwSpanBytes = 0;
  // Opt-in for the asynchronous workers: every request is issued again as
  // soon as its completion is judged, instead of batch by batch.
  bool bKeepDepth = false;
  // Each worker ends once it has moved this many passes; 0: no limit.
  uint32_t dwPasses = 0;
};
constexpr uint64_t kSpanFill = UINT64_MAX;

// One I/O side of one slot. hFile and pBuffer are written under
// g_csRecords. The counters are running totals written by the slot's worker
// alone, without a lock (Count), and read by anyone at any time; the
// sampler keeps its last reading in the *Prev fields, under g_csRecords.
// One cache line per entry, so that workers do not slow each other down.
struct alignas(64) SlotIoEntry {
  int hFile = INVALID_HANDLE_VALUE;
  uint8_t* pBuffer = nullptr;
  std::atomic<uint64_t> qwBytes{0};
  std::atomic<uint64_t> qwIos{0};
  uint64_t qwBytesPrev = 0;
  uint64_t qwIosPrev = 0;
  // The latencies of the counted I/Os, when the worker times them. Set by
  // the worker at start-up and kept after it ends, so the run's figures can
  // be read once every worker is gone; the next reset drops it.
  std::shared_ptr<const CLatencyHistogram> pLatency;

  // Adds successful calls; only the slot's own worker calls this.
  void Count(uint64_t qwMoreBytes, uint64_t qwMoreIos) {
    qwBytes.store(qwBytes.load(std::memory_order_relaxed) + qwMoreBytes, std::memory_order_relaxed);
    qwIos.store(qwIos.load(std::memory_order_relaxed) + qwMoreIos, std::memory_order_relaxed);
  }
};

// The call a worker is inside, for a front end that must tell a stall from
// a slow pass.
enum SlotCall : uint8_t { kCallNone = 0, kCallRead = 1, kCallWrite = 2 };

// What a slot's worker tells about itself beyond its counters. Written by
// the worker without a lock (one cache line per slot, so that neighbours do
// not slow each other down), read by the console at any time.
struct alignas(64) SlotActivity {
  std::atomic<uint8_t> bFailed{0};   // it reported a failure
  std::atomic<uint8_t> bIoBegun{0};  // its start-up is over and its loop runs (or it has ended)
  std::atomic<uint8_t> bMoved{0};    // a call of its loop moved data
  std::atomic<uint8_t> byCall{kCallNone};
  std::atomic<int64_t> nsCallStart{0};  // steady clock, when byCall began
  // The request the call moves (the oldest of a batch): its bytes and its
  // offset in the file.
  std::atomic<uint64_t> qwCallOffset{0};
  std::atomic<uint32_t> dwCallBytes{0};

  void Clear();
};

// Everything a run keeps per target. The target's path is held whole: mount
// points can be longer than any fixed row.
struct TargetRunRecord {
  SlotIoEntry entries[kEntriesPerTarget];
  uint32_t workerKind[kSlotsPerTarget] = {};
  HTHREAD hThread[kSlotsPerTarget];
  CSlotWorker* pWorker[kSlotsPerTarget] = {};
  HEVENT hEndEvent[kSlotsPerTarget];
  SlotActivity activity[kSlotsPerTarget];
  RunSettings settings;
  Target target;
  // The start-up failures of this run that a message box has shown already,
  // one bit per kind of message (the simple workers' boxes); under
  // g_csRecords, cleared with the slots.
  uint32_t dwStartBoxesShown = 0;
  // Calls that failed in loops that go on regardless (no Error Checking),
  // with the first one's errno and kind; under g_csRecords.
  uint64_t qwIoErrors = 0;
  int nFirstIoError = 0;
  uint32_t nFirstIoErrorKind = 0;
  // A device target's surface over the run: made by its first worker,
  // under g_csRecords, kept after the run until the next reset.
  std::shared_ptr<CSurfaceMap> pSurface;
};

// The records block: one record per target (plus a spare nothing uses),
// owned by the simple console. Null when no block exists.
extern TargetRunRecord* g_pTargetRecords;
// The number of targets the block was built for.
extern int g_nTargetRecords;

// Guards the slot entries and the workers' reads of the target.
extern CCriticalSection g_csRecords;

// At most how many workers the settings in the block start: the threads
// of every target, twice for read and write.
unsigned RunWorkerCeiling();

// Counts a failed call of a loop that passes failures over.
void CountFailedCall(int nTarget, uint32_t nKind, int nError);

// How long one call may take before it is an I/O TIMEOUT, and how long a
// stop waits for its workers: 120 s unless a front end sets another.
std::chrono::milliseconds IoTimeout();
void SetIoTimeout(std::chrono::milliseconds timeout);

// A worker a stop still waits for (its end event is not signalled): the call
// it is inside and for how long, or kCallNone between calls (in its
// start-up, or while it closes its file).
struct CallInProgress {
  int nTarget = 0;
  int nSlot = 0;
  std::string szFile;
  SlotCall nCall = kCallNone;
  std::chrono::milliseconds age{0};
  uint64_t qwOffset = 0;
  uint32_t dwBytes = 0;  // 0: no call, or the request is not known
};
// Every worker not ended yet, target by target and slot by slot.
std::vector<CallInProgress> CallsInProgress();
// "<file> inside a write for 12.5 s", or "<file>: still starting up or closing".
std::string DescribeCall(const CallInProgress& call);
// After a stop's wait gave up: every worker not ended yet is a failure. Each
// is marked failed and, given a console, its target's row reads FAIL and
// I/O TIMEOUT; returns what each was doing.
std::vector<std::string> FailStalledWorkers(IWorkerConsole* pConsole);

// Whether every slot that holds a worker has begun its I/O or ended.
bool EveryWorkerBegun();

// Clears an entry as the per-run reset does: zero counters, no file, no buffer.
void ClearSlotEntry(SlotIoEntry& entry);

}  // namespace stratavon
