#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/CriticalSection.h"
#include "platform/Event.h"
#include "platform/WorkFile.h"
#include "platform/WorkerThread.h"

namespace stratavon {

class IWorkerConsole;
class CSlotWorker;
class CLatencyHistogram;

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
};

// One I/O side of one slot. hFile, pBuffer and the counters are written
// under g_csRecords.
struct SlotIoEntry {
  int hFile = INVALID_HANDLE_VALUE;
  uint8_t* pBuffer = nullptr;
  uint64_t qwBytes = 0;
  uint64_t qwBytesPrev = 0;
  uint64_t qwIos = 0;
  uint64_t qwIosPrev = 0;
  // The latencies of the counted I/Os, when the worker times them. Set by
  // the worker at start-up and kept after it ends, so the run's figures can
  // be read once every worker is gone; the next reset drops it.
  std::shared_ptr<const CLatencyHistogram> pLatency;
};

// Everything a run keeps per target. The root is held whole: mount points
// can be longer than any fixed row.
struct TargetRunRecord {
  SlotIoEntry entries[kEntriesPerTarget];
  uint32_t workerKind[kSlotsPerTarget] = {};
  HTHREAD hThread[kSlotsPerTarget];
  CSlotWorker* pWorker[kSlotsPerTarget] = {};
  HEVENT hEndEvent[kSlotsPerTarget];
  RunSettings settings;
  std::string szRoot;
};

// The records block: one record per target (plus a spare nothing uses),
// owned by the simple console. Null when no block exists.
extern TargetRunRecord* g_pTargetRecords;
// The number of targets the block was built for.
extern int g_nTargetRecords;

// Guards the slot entries and the workers' reads of szRoot.
extern CCriticalSection g_csRecords;

// "<root>READ/KORVA<slot>.DAT" or "<root>WRITE/KORVA<slot>.DAT".
std::string WorkFileName(const std::string& szRoot, bool bWriteSide, int nSlot);
std::string ReadDirectoryOf(const std::string& szRoot);
std::string WriteDirectoryOf(const std::string& szRoot);

// At most how many workers the settings in the block start: the threads
// of every target, twice for read and write.
unsigned RunWorkerCeiling();

// Clears an entry as the per-run reset does: zero counters, no file, no buffer.
void ClearSlotEntry(SlotIoEntry& entry);

}  // namespace stratavon
